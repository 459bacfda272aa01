// The report protocol over the real WinInet client against the loopback test
// server: every byte an exchange sends, and every kind of answer it may get.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "http/http_client_win32.h"
#include "report/line_report.h"
#include "report/page_token.h"
#include "report/pattern_answer.h"
#include "report/pattern_fetch.h"
#include "report/server_connection.h"
#include "texts/texts.h"
#include "support/test_server.h"

namespace tidemark {
namespace {

using namespace std::string_literals;
using testing::ServerAnswer;
using testing::TestServer;

class ReportWire : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TestServer::available()) << "run inside tools/testserver/http_test_server.py --run";
        TestServer::script({});
    }

    // A connection to the test server (or to `port`), with WinInet clients
    // whose network steps time out after `stepTimeout`.
    static std::unique_ptr<ServerConnection> makeConnection(
        std::uint16_t port = 0, std::chrono::milliseconds stepTimeout = kDefaultStepTimeout) {
        return std::make_unique<ServerConnection>(winInetClientFactory(stepTimeout), "127.0.0.1",
                                                  port != 0 ? port : TestServer::port());
    }

    LogRecord matchedLine(const std::string& bytes, std::uint32_t present = 1) {
        line = bytes;
        LogRecord record;
        record.time = 1700000123;
        record.ordinal = 0;
        record.patternId = 3;
        record.code = 57;
        record.raw = reinterpret_cast<const std::uint8_t*>(line.data());
        record.rawLength = static_cast<std::uint32_t>(line.size());
        record.present = present;
        return record;
    }

    ReportAnswer post(ServerConnection& connection, const std::string& bytes, std::uint32_t present = 1,
                      const ReportIdentity& identity = {"ja", "", "", ""}) {
        return postLine(connection, identity, matchedLine(bytes, present));
    }

    std::string line;
};

// --- request targets and bodies ----------------------------------------------

TEST_F(ReportWire, GetRequestsCarryTheirExactTargets) {
    auto connection = makeConnection();
    TestServer::script({ServerAnswer::text("[]"), ServerAnswer::text("{}"), ServerAnswer::text(R"({"token":"t"})")});
    fetchPatterns(*connection, std::nullopt);
    fetchPatterns(*connection, "ja");
    EXPECT_EQ(fetchPageToken(*connection, "12ab").token, "t");

    auto requests = TestServer::requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].requestLine, "GET /rep/get.php?%67%65%74=%6C%61%6E%67&%6C%61%6E%67= HTTP/1.1");
    EXPECT_EQ(requests[1].requestLine,
              "GET /rep/get.php?%67%65%74=%70%61%74%74%65%72%6E&%6C%61%6E%67=%6A%61 HTTP/1.1");
    EXPECT_EQ(requests[2].requestLine,
              "GET /rep/get.php?%67%65%74=%74%6F%6B%65%6E&%77%61%64%65%72=%31%32%61%62 HTTP/1.1");
    for (const auto& request : requests) EXPECT_EQ(request.body, "");
}

TEST_F(ReportWire, FirstLineReportOfAFreshInstallHasTheExactBodyAndHeaders) {
    auto connection = makeConnection();
    post(*connection, "abc");

    auto requests = TestServer::requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = requests[0];
    EXPECT_EQ(request.requestLine, "POST /rep/post.php HTTP/1.1");
    EXPECT_EQ(request.body,
              "%6C%61%6E%67=%6A%61&%73%69%64=&%66%69%64=&%61%69%64=&%70%69%64=%33&%63%6F%64%65=%35%37"
              "&%6C%6F%67=%61%62%63&%6C%69%6E%65=%30&%6C%74%69%6D%65=%31%37%30%30%30%30%30%31%32%33"
              "&%70%72%65%73%65%6E%74=%31");
    EXPECT_EQ(request.header("Accept"), "*/*");
    EXPECT_EQ(request.header("Accept-Language"), "ja-JP");
    EXPECT_EQ(request.header("Connection"), "Keep-Alive");
    EXPECT_EQ(request.header("Cache-Control"), "no-cache");
    EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
}

TEST_F(ReportWire, PresentIsSentAsOneOrZero) {
    auto connection = makeConnection();
    post(*connection, "a", 1);
    post(*connection, "a", 0);
    auto requests = TestServer::requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(requests[0].body.ends_with("&%70%72%65%73%65%6E%74=%31"));
    EXPECT_TRUE(requests[1].body.ends_with("&%70%72%65%73%65%6E%74=%30"));
}

TEST_F(ReportWire, LogBytesWithNulAndUnitSeparatorsAreEncodedOverTheFullLength) {
    auto connection = makeConnection();
    post(*connection, "\x1F\x1F" "A\0B\0\xE3\x81\x82\x1F"s);
    auto requests = TestServer::requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_THAT(requests[0].body,
                ::testing::HasSubstr("&%6C%6F%67=%1F%1F%41%00%42%00%E3%81%82%1F&%6C%69%6E%65="));
}

TEST_F(ReportWire, LongLineIsSentWhole) {
    auto connection = makeConnection();
    std::string bytes;
    for (int i = 0; i < 2000; ++i) bytes += static_cast<char>(i % 256);
    post(*connection, bytes);
    auto requests = TestServer::requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string& body = requests[0].body;
    std::string encodedLine;
    for (int i = 0; i < 2000; ++i) {
        char escape[4];
        std::snprintf(escape, sizeof escape, "%%%02X", i % 256);
        encodedLine += escape;
    }
    EXPECT_THAT(body, ::testing::HasSubstr("&%6C%6F%67=" + encodedLine + "&%6C%69%6E%65=%30&"));
    EXPECT_EQ(requests[0].header("Content-Length"), std::to_string(body.size()));
}

TEST_F(ReportWire, OneServerConnectionServesARunOfExchangesOnOneTcpConnection) {
    auto connection = makeConnection();
    TestServer::script({ServerAnswer::text(R"([{"code":"ja","name2":"x"}])"),
                        ServerAnswer::text(R"({"1":{"keyword":["m"],"code":"0"}})"),
                        ServerAnswer::text(R"({"log":"one","aid":"p1","sid":"s","fid":"f"})"),
                        ServerAnswer::text(R"({"log":"two"})")});
    fetchPatterns(*connection, std::nullopt);
    PatternDocument patterns;
    EXPECT_TRUE(parsePatternAnswer(fetchPatterns(*connection, "ja"), patterns));
    ReportAnswer first = post(*connection, "one");
    ASSERT_EQ(first.outcome, ReportAnswer::Outcome::Object);
    ReportIdentity next{"ja", first.sid.value_or(""), first.fid.value_or(""), first.aid.value_or("")};
    ReportAnswer second = post(*connection, "two", 1, next);

    auto requests = TestServer::requests();
    ASSERT_EQ(requests.size(), 4u);
    for (const auto& request : requests) EXPECT_EQ(request.connection, requests[0].connection);
    EXPECT_THAT(requests[3].body, ::testing::HasSubstr("&%73%69%64=%73&%66%69%64=%66&%61%69%64=%70%31&"));
    EXPECT_EQ(first.log, "one");
    EXPECT_EQ(second.log, "two");
}

// --- answers -----------------------------------------------------------------

TEST_F(ReportWire, NothingListeningFailsAtOnce) {
    auto connection = makeConnection(TestServer::unusedPort());
    auto started = std::chrono::steady_clock::now();
    // WinInet connects lazily, so the failure shows at the request.
    EXPECT_EQ(fetchPatterns(*connection, "ja"), LoadTextA(kTextConnectionFailed));
    PageTokenAnswer token = fetchPageToken(*connection, "p");
    EXPECT_EQ(token.token, "");
    EXPECT_EQ(token.notice, LoadTextW(kTextConnectionFailed));
    EXPECT_EQ(post(*connection, "a").outcome, ReportAnswer::Outcome::NotSent);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST_F(ReportWire, AnswerSplitIntoSeveralWritesArrivesWhole) {
    std::string body = R"({"1":{"keyword":["marker"],"code":"0"},"2":{"keyword":[")" + std::string(1500, 'k') +
                       R"("],"code":"57"}})";
    ServerAnswer split = ServerAnswer::text(body);
    split.split = {1, 7, 300, 900};
    split.pauseMs = 60;
    ServerAnswer unframed = ServerAnswer::text(body);
    unframed.split = {10, 10};
    unframed.pauseMs = 60;
    unframed.framing = "close";
    TestServer::script({split, unframed});
    auto connection = makeConnection();
    EXPECT_EQ(fetchPatterns(*connection, "ja"), body);
    EXPECT_EQ(fetchPatterns(*connection, "ja"), body);
}

TEST_F(ReportWire, AnswersAreCutAt4095Bytes) {
    std::string exact(4095, 'e');
    std::string longer(5000, 'l');
    TestServer::script({ServerAnswer::text(exact), ServerAnswer::text(longer)});
    auto connection = makeConnection();
    EXPECT_EQ(fetchPatterns(*connection, "ja"), exact);
    EXPECT_EQ(fetchPatterns(*connection, "ja"), longer.substr(0, 4095));
}

TEST_F(ReportWire, ServerErrorStatusWithAJsonObjectIsAValidAnswer) {
    ServerAnswer failed = ServerAnswer::text(R"({"1":{"keyword":["m"],"code":"0"}})");
    failed.status = 500;
    ServerAnswer postAnswer = ServerAnswer::text(R"({"msg":"busy"})");
    postAnswer.status = 500;
    TestServer::script({failed, postAnswer});
    auto connection = makeConnection();
    PatternDocument patterns;
    EXPECT_TRUE(parsePatternAnswer(fetchPatterns(*connection, "ja"), patterns));
    ReportAnswer answer = post(*connection, "a");
    EXPECT_EQ(answer.outcome, ReportAnswer::Outcome::Object);
    EXPECT_EQ(answer.msg, "busy");
}

TEST_F(ReportWire, EmptyOrLostAnswersGiveTheConnectionFailedText) {
    const std::string failed = LoadTextA(kTextConnectionFailed);
    ASSERT_FALSE(failed.empty());
    // WinInet sends a request again on a fresh connection when a reused one
    // closes without an answer, so every later request is closed as well.
    TestServer::script({ServerAnswer::text("")}, ServerAnswer::closed());
    auto connection = makeConnection();
    EXPECT_EQ(fetchPatterns(*connection, "ja"), failed);
    EXPECT_EQ(fetchPatterns(*connection, "ja"), failed);
    PatternDocument patterns;
    EXPECT_FALSE(parsePatternAnswer(failed, patterns));
}

TEST_F(ReportWire, PlainTextTokenAnswerIsTheNoticeInUtf16) {
    TestServer::script({ServerAnswer::text("プレイヤーが見つかりません")});
    auto connection = makeConnection();
    PageTokenAnswer answer = fetchPageToken(*connection, "12ab");
    EXPECT_EQ(answer.token, "");
    EXPECT_EQ(answer.notice, u"プレイヤーが見つかりません");
}

TEST_F(ReportWire, SilentServerIsGivenUpWithinTheBound) {
    TestServer::script({ServerAnswer::silent()});
    auto connection = makeConnection();  // the production bound
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(fetchPatterns(*connection, "ja"), LoadTextA(kTextConnectionFailed));
    auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_LT(elapsed, 3 * kDefaultStepTimeout);
    EXPECT_EQ(TestServer::requests().size(), 1u);
    // The next exchange goes through once the server answers again.
    TestServer::script({ServerAnswer::text(R"({"log":"back"})")});
    EXPECT_EQ(post(*connection, "a").log, "back");
}

}  // namespace
}  // namespace tidemark
