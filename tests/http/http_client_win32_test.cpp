// The WinInet client against the loopback test server: the bytes on the wire.
#include "http/http_client_win32.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/test_server.h"

namespace tidemark {
namespace {

using testing::ServerAnswer;
using testing::TestServer;

class WinInetClient : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TestServer::available()) << "run inside tools/testserver/http_test_server.py --run";
        TestServer::script({});
    }

    std::string readAll(HttpClient& client) {
        std::string answer;
        char buffer[512];
        std::uint32_t n = 0;
        while (client.read(buffer, sizeof buffer, n) && n > 0) answer.append(buffer, n);
        return answer;
    }

    std::string url(const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(TestServer::port()) + path;
    }
};

TEST_F(WinInetClient, GetSendsTheEncodedQueryWithoutHeadersOrBody) {
    TestServer::script({ServerAnswer::text(R"([{"code":"ja"}])")});
    WinInetHttpClient client;
    ASSERT_TRUE(client.connect("127.0.0.1", TestServer::port(), kRequestFlags));
    const FormField fields[] = {{"get", "lang"}, {"lang", ""}};
    ASSERT_TRUE(client.get("/rep/get.php", fields, kRequestFlags));
    EXPECT_EQ(readAll(client), R"([{"code":"ja"}])");

    auto requests = TestServer::requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].requestLine, "GET /rep/get.php?%67%65%74=%6C%61%6E%67&%6C%61%6E%67= HTTP/1.1");
    EXPECT_EQ(requests[0].body, "");
    EXPECT_FALSE(requests[0].header("Content-Type"));
    EXPECT_FALSE(requests[0].header("Accept-Language"));
    EXPECT_FALSE(requests[0].header("User-Agent"));  // no agent name
}

TEST_F(WinInetClient, GetWithoutFieldsRequestsTheBarePath) {
    WinInetHttpClient client;
    ASSERT_TRUE(client.connect("127.0.0.1", TestServer::port(), kRequestFlags));
    ASSERT_TRUE(client.get("/rep/get.php", {}, kRequestFlags));
    readAll(client);
    auto requests = TestServer::requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target(), "/rep/get.php");
}

TEST_F(WinInetClient, OverlongGetTargetIsRefusedWithoutSending) {
    WinInetHttpClient client;
    ASSERT_TRUE(client.connect("127.0.0.1", TestServer::port(), kRequestFlags));
    std::string value(700, 'x');  // 2100 encoded characters
    const FormField fields[] = {{"v", std::string_view(value)}};
    EXPECT_FALSE(client.get("/rep/get.php", fields, kRequestFlags));
    EXPECT_TRUE(TestServer::requests().empty());
}

TEST_F(WinInetClient, PostFormSendsTheFourHeadersTheContentTypeAndTheBody) {
    WinInetHttpClient client;
    ASSERT_TRUE(client.connect("127.0.0.1", TestServer::port(), kRequestFlags));
    const FormField fields[] = {{"get", "token"}, {"wader", "12"}};
    ASSERT_TRUE(client.postForm("/rep/post.php", FormData(fields), kRequestFlags));
    readAll(client);

    auto requests = TestServer::requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = requests[0];
    EXPECT_EQ(request.requestLine, "POST /rep/post.php HTTP/1.1");
    EXPECT_EQ(request.body, "%67%65%74=%74%6F%6B%65%6E&%77%61%64%65%72=%31%32");
    EXPECT_EQ(request.header("Accept"), "*/*");
    EXPECT_EQ(request.header("Accept-Language"), "ja-JP");
    EXPECT_EQ(request.header("Connection"), "Keep-Alive");
    EXPECT_EQ(request.header("Cache-Control"), "no-cache");
    EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(request.header("Content-Length"), std::to_string(request.body.size()));
    int accepts = 0;
    for (const auto& header : request.headers) accepts += header.first == "Accept";
    EXPECT_EQ(accepts, 1);  // replaced, not added twice
}

TEST_F(WinInetClient, FormWithoutFieldsPostsAnEmptyBody) {
    WinInetHttpClient client;
    ASSERT_TRUE(client.connect("127.0.0.1", TestServer::port(), kRequestFlags));
    ASSERT_TRUE(client.postForm("/rep/post.php", FormData{}, kRequestFlags));
    readAll(client);
    auto requests = TestServer::requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, "");
    EXPECT_EQ(requests[0].header("Content-Length"), "0");
}

TEST_F(WinInetClient, WithoutAConnectionAFullUrlConnectsAndABarePathFails) {
    WinInetHttpClient client;
    EXPECT_FALSE(client.openRequest("/x", "GET", kRequestFlags, 0));
    EXPECT_FALSE(client.get("/rep/get.php", {}, kRequestFlags));
    EXPECT_FALSE(client.isConnected());

    ASSERT_TRUE(client.get(url("/rep/get.php?dropped=1"), {}, kRequestFlags));
    readAll(client);
    EXPECT_TRUE(client.isConnected());
    WinInetHttpClient poster;
    ASSERT_TRUE(poster.postForm(url("/rep/post.php?kept=1"), FormData{}, kRequestFlags));
    readAll(poster);

    auto requests = TestServer::requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target(), "/rep/get.php");
    EXPECT_EQ(requests[1].target(), "/rep/post.php?kept=1");
}

TEST_F(WinInetClient, OneConnectionServesRequestsInTurn) {
    WinInetHttpClient client;
    ASSERT_TRUE(client.connect("127.0.0.1", TestServer::port(), kRequestFlags));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(client.get("/rep/get.php", {}, kRequestFlags));
        EXPECT_EQ(readAll(client), "{}");
        ASSERT_TRUE(client.postForm("/rep/post.php", FormData{}, kRequestFlags));
        EXPECT_EQ(readAll(client), "{}");
    }
    auto requests = TestServer::requests();
    ASSERT_EQ(requests.size(), 6u);
    for (const auto& request : requests) EXPECT_EQ(request.connection, requests[0].connection);
}

TEST_F(WinInetClient, SilentServerIsGivenUpAfterTheStepTimeout) {
    TestServer::script({ServerAnswer::silent()});
    WinInetHttpClient client(std::chrono::milliseconds(1500));
    ASSERT_TRUE(client.connect("127.0.0.1", TestServer::port(), kRequestFlags));
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.get("/rep/get.php", {}, kRequestFlags));
    auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_LT(elapsed, std::chrono::seconds(6));
    EXPECT_EQ(TestServer::requests().size(), 1u);
}

TEST_F(WinInetClient, TricklingAnswerIsGivenUpWithinThreeSteps) {
    ServerAnswer trickle = ServerAnswer::text(std::string(40, 't'));
    trickle.split = std::vector<std::size_t>(39, 1);
    trickle.pauseMs = 250;  // 10 s for the whole answer
    TestServer::script({trickle});
    const auto step = std::chrono::milliseconds(1000);
    WinInetHttpClient client(step);
    ASSERT_TRUE(client.connect("127.0.0.1", TestServer::port(), kRequestFlags));
    auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.get("/rep/get.php", {}, kRequestFlags));
    std::string answer;
    char buffer[64];
    std::uint32_t n = 0;
    bool ended = false;
    while (client.read(buffer, sizeof buffer, n)) {
        if (n == 0) {
            ended = true;
            break;
        }
        answer.append(buffer, n);
    }
    EXPECT_FALSE(ended);
    EXPECT_LT(answer.size(), 40u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3 * step + std::chrono::milliseconds(500));
}

TEST_F(WinInetClient, CallsWithoutTheirHandleFailAtOnce) {
    WinInetHttpClient client;
    char buffer[4];
    std::uint32_t n = 7;
    EXPECT_FALSE(client.read(buffer, sizeof buffer, n));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(client.addHeaders("Accept:*/*\r\n", static_cast<DWORD>(-1), 0xA0000000));
    EXPECT_FALSE(client.send(nullptr, nullptr, 0));
    client.closeAll();
    EXPECT_FALSE(client.connect("127.0.0.1", TestServer::port(), kRequestFlags));  // no session
}

}  // namespace
}  // namespace tidemark
