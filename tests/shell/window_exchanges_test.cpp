#include "shell/window_exchanges.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "fakes/fake_http_client.h"

namespace tidemark {
namespace {

// The window asks for the language list from its own thread while a page
// token request may still be running on another; both share one client.
TEST(WindowExchanges, ExchangesFromTwoThreadsNeverOverlap) {
    testing::FakeHttpServer server;
    std::atomic<int> inFlight{0};
    std::atomic<int> overlaps{0};
    server.onRequest([&](const testing::FakeRequest&) {
        if (++inFlight > 1) ++overlaps;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        --inFlight;
    });
    constexpr int kEach = 40;
    for (int i = 0; i < 2 * kEach; ++i) server.answer(R"({"token":"t"})");
    WindowExchanges exchanges(server.factory(), "reports.example", 8123);

    std::thread other([&] {
        for (int i = 0; i < kEach; ++i) exchanges.fetchPageToken("p");
    });
    for (int i = 0; i < kEach; ++i) exchanges.fetchLanguageList();
    other.join();

    EXPECT_EQ(server.requestCount(), 2u * kEach);
    EXPECT_EQ(server.clientsCreated(), 1);
    EXPECT_EQ(overlaps, 0);
}

}  // namespace
}  // namespace tidemark
