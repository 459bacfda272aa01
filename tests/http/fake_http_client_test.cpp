// The fake stands in for the server in other suites; these cases pin the
// behaviour those suites rely on.
#include "fakes/fake_http_client.h"

#include <gtest/gtest.h>

namespace tidemark {
namespace {

using testing::FakeAnswer;
using testing::FakeHttpServer;

TEST(FakeHttpClient, RecordsRequestsAndAnswersInChunks) {
    FakeHttpServer server;
    server.answer("abcdefg", 3);
    auto client = server.factory()();
    ASSERT_TRUE(client->connect("host", 8080, kRequestFlags));
    std::vector<FormField> fields{{"get", "lang"}, {"lang", ""}};
    ASSERT_TRUE(client->get("/rep/get.php", fields, kRequestFlags));

    char buffer[16];
    std::uint32_t n = 0;
    std::string got;
    while (client->read(buffer, sizeof buffer, n) && n > 0) {
        EXPECT_LE(n, 3u);
        got.append(buffer, n);
    }
    EXPECT_EQ(got, "abcdefg");

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].verb, "GET");
    EXPECT_EQ(requests[0].target, "/rep/get.php?%67%65%74=%6C%61%6E%67&%6C%61%6E%67=");
    EXPECT_EQ(requests[0].field("lang"), "");
    EXPECT_EQ(server.connects()[0].port, 8080);
}

TEST(FakeHttpClient, FailuresAndAnEmptyScriptFailTheRequest) {
    FakeHttpServer server;
    server.push(FakeAnswer::requestFailure());
    auto client = server.factory()();
    EXPECT_FALSE(client->get("/x", {}, 0));  // not connected
    ASSERT_TRUE(client->connect("h", 80, 0));
    EXPECT_FALSE(client->get("/x", {}, 0));  // scripted failure
    EXPECT_FALSE(client->postForm("/x", FormData{}, 0));  // script used up
    EXPECT_EQ(server.requestCount(), 2u);

    server.setConnectSucceeds(false);
    EXPECT_FALSE(client->connect("h", 80, 0));
    EXPECT_FALSE(client->isConnected());
}

}  // namespace
}  // namespace tidemark
