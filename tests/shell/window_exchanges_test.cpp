#include "shell/window_exchanges.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "fakes/fake_http_client.h"
#include "shell/start_failure.h"
#include "texts/texts.h"

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

// At start a refused certificate is the operator's mistake to fix: the box
// names the certificate's reason, never only the connection failure; any
// other failure keeps the plain text.
struct StartFailure {
    const char* name;
    testing::FakeAnswer answer;
    std::optional<CertificateRefusal> refusal;
    std::u16string box;
};

class LanguageListAtStart : public ::testing::TestWithParam<StartFailure> {};

TEST_P(LanguageListAtStart, TellsTheCertificatesReasonOnlyWhenItIsWhy) {
    testing::FakeHttpServer server;
    server.push(GetParam().answer);
    WindowExchanges exchanges(server.factory(), "reports.example", 443, true);
    const LanguageListAnswer answer = exchanges.fetchLanguageList();
    EXPECT_EQ(answer.refusal, GetParam().refusal);
    EXPECT_EQ(startFailureText(answer.refusal), GetParam().box);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, LanguageListAtStart,
    ::testing::Values(
        StartFailure{"OtherName", testing::FakeAnswer::certificateRefused(CertificateRefusal::OtherName),
                     CertificateRefusal::OtherName,
                     LoadTextW(kTextStartCertificateRefused) + u"\n\n" + LoadTextW(kTextCertificateOtherName)},
        StartFailure{"Expired", testing::FakeAnswer::certificateRefused(CertificateRefusal::OutOfDate),
                     CertificateRefusal::OutOfDate,
                     LoadTextW(kTextStartCertificateRefused) + u"\n\n" + LoadTextW(kTextCertificateOutOfDate)},
        StartFailure{"NoServer", testing::FakeAnswer::requestFailure(), std::nullopt, LoadTextW(kTextConnectionFailed)},
        StartFailure{"NotAList", testing::FakeAnswer::text("<html>"), std::nullopt, LoadTextW(kTextConnectionFailed)}),
    [](const ::testing::TestParamInfo<StartFailure>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tidemark
