// The report protocol against a scripted server: what each exchange sends,
// and what it makes of every kind of answer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "fakes/fake_http_client.h"
#include "report/line_report.h"
#include "report/page_token.h"
#include "report/pattern_answer.h"
#include "report/pattern_fetch.h"
#include "report/server_connection.h"
#include "texts/texts.h"

namespace tidemark {
namespace {

using namespace std::string_literals;
using ::testing::ElementsAre;
using testing::FakeAnswer;
using testing::FakeField;
using testing::FakeHttpServer;
using Outcome = ReportAnswer::Outcome;

class ReportProtocol : public ::testing::Test {
protected:
    // A matched line as the reader hands it over.
    LogRecord matchedLine(const std::string& bytes) {
        line = bytes;
        LogRecord record;
        record.time = 1700000123;
        record.ordinal = 2;
        record.patternId = 7;
        record.code = 57;
        record.raw = reinterpret_cast<const std::uint8_t*>(line.data());
        record.rawLength = static_cast<std::uint32_t>(line.size());
        record.present = 1;
        return record;
    }

    ReportAnswer post(const std::string& bytes, const ReportIdentity& identity = {"ja", "", "", ""}) {
        return postLine(connection, identity, matchedLine(bytes));
    }

    FakeHttpServer server;
    ServerConnection connection{server.factory(), "reports.example", 8123};
    std::string line;
};

// --- shared connection rule --------------------------------------------------

TEST_F(ReportProtocol, FirstExchangeConnectsOnceToTheConfiguredServerAndLaterOnesReuseIt) {
    server.answer("[]");
    server.answer("{}");
    fetchPatterns(connection, std::nullopt);
    fetchPageToken(connection, "12ab");
    post("x");

    EXPECT_EQ(server.requestCount(), 3u);
    EXPECT_EQ(server.clientsCreated(), 1);
    auto connects = server.connects();
    ASSERT_EQ(connects.size(), 1u);
    EXPECT_EQ(connects[0].host, "reports.example");
    EXPECT_EQ(connects[0].port, 8123);
    EXPECT_EQ(connects[0].flags, 0xA4000000u);
    for (const auto& request : server.requests()) EXPECT_EQ(request.flags, 0xA4000000u);
}

TEST_F(ReportProtocol, FailedConnectIsSilentAndNeverRetried) {
    server.setConnectSucceeds(false);
    EXPECT_EQ(fetchPatterns(connection, "ja"), "");
    // The client is kept unconnected: later exchanges fail at their request.
    EXPECT_EQ(fetchPatterns(connection, "ja"), LoadTextA(kTextConnectionFailed));
    PageTokenAnswer token = fetchPageToken(connection, "p");
    EXPECT_EQ(token.token, "");
    EXPECT_EQ(token.notice, LoadTextW(kTextConnectionFailed));
    EXPECT_EQ(post("x").outcome, Outcome::NotSent);
    EXPECT_EQ(server.connects().size(), 1u);
    EXPECT_EQ(server.clientsCreated(), 1);

    ServerConnection other(server.factory(), "reports.example", 8123);
    PageTokenAnswer onConnectFailure = fetchPageToken(other, "p");
    EXPECT_EQ(onConnectFailure.token, "");
    EXPECT_FALSE(onConnectFailure.notice);
}

TEST_F(ReportProtocol, WithoutAClientFactoryEveryExchangeIsAConnectFailure) {
    ServerConnection bare({}, "reports.example", 8123);
    EXPECT_EQ(fetchPatterns(bare, std::nullopt), "");
    PageTokenAnswer token = fetchPageToken(bare, "p");
    EXPECT_EQ(token.token, "");
    EXPECT_FALSE(token.notice);
    EXPECT_EQ(postLine(bare, {"ja", "", "", ""}, matchedLine("x")).outcome, Outcome::NotSent);
    EXPECT_EQ(bare.client(), nullptr);
}

// --- pattern and language list fetch -----------------------------------------

TEST_F(ReportProtocol, LanguageListAndPatternRequestsCarryTheirExactTargets) {
    server.answer(R"([{"code":"ja","name2":"日本語"}])");
    server.answer(R"({"1":{"keyword":["a"],"code":"0"}})");
    EXPECT_EQ(fetchPatterns(connection, std::nullopt), R"([{"code":"ja","name2":"日本語"}])");
    EXPECT_EQ(fetchPatterns(connection, "ja"), R"({"1":{"keyword":["a"],"code":"0"}})");

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].verb, "GET");
    EXPECT_EQ(requests[0].target, "/rep/get.php?%67%65%74=%6C%61%6E%67&%6C%61%6E%67=");
    EXPECT_EQ(requests[1].target, "/rep/get.php?%67%65%74=%70%61%74%74%65%72%6E&%6C%61%6E%67=%6A%61");
}

TEST_F(ReportProtocol, FailedRequestAndEmptyAnswerGiveTheConnectionFailedText) {
    ASSERT_FALSE(LoadTextA(kTextConnectionFailed).empty());
    server.push(FakeAnswer::requestFailure());
    server.push(FakeAnswer::empty());
    EXPECT_EQ(fetchPatterns(connection, "ja"), LoadTextA(kTextConnectionFailed));
    EXPECT_EQ(fetchPatterns(connection, "ja"), LoadTextA(kTextConnectionFailed));
}

TEST_F(ReportProtocol, AnswerDeliveredInSmallReadsArrivesWhole) {
    std::string body = R"({"1":{"keyword":["marker"],"code":"0","trace":true},"2":{"code":"57"}})";
    server.answer(body, 5);
    EXPECT_EQ(fetchPatterns(connection, "ja"), body);
}

TEST_F(ReportProtocol, AnswerIsCutAt4095Bytes) {
    std::string exact(4095, 'a');
    std::string longer(5000, 'b');
    longer[4094] = 'c';
    server.answer(exact, 1000);
    server.answer(longer, 1000);
    EXPECT_EQ(fetchPatterns(connection, "ja"), exact);
    std::string cut = fetchPatterns(connection, "ja");
    ASSERT_EQ(cut.size(), 4095u);
    EXPECT_EQ(cut.back(), 'c');
}

TEST_F(ReportProtocol, ReadFailureKeepsWhatArrivedBeforeIt) {
    server.push(FakeAnswer::readFailure(R"({"1":)"));
    EXPECT_EQ(fetchPatterns(connection, "ja"), R"({"1":)");
}

// --- pattern answer validation -----------------------------------------------

TEST(PatternAnswer, ObjectWithAFirstStringKeywordInMemberOneIsValid) {
    PatternDocument patterns;
    EXPECT_TRUE(parsePatternAnswer(R"({"2":{"code":"1"},"1":{"keyword":["marker",5],"code":"0"}})", patterns));
    ASSERT_TRUE(patterns.IsObject());
    EXPECT_EQ(patterns.MemberCount(), 2u);
    EXPECT_STREQ(patterns.MemberBegin()->name.GetString(), "2");  // document order kept
}

TEST(PatternAnswer, AnswersThatCouldNeverLocateTheChatLogAreRefused) {
    const char* refused[] = {
        R"({"2":{"keyword":["a"],"code":"0"}})",  // no "1"
        R"({"1":{"keyword":[],"code":"0"}})",     // no first keyword
        R"({"1":{"keyword":[7,"a"],"code":"0"}})",  // first keyword not a string
        R"({"1":{"keyword":"a","code":"0"}})",    // keyword not an array
        R"({"1":["a"]})",                         // pattern not an object
        R"([{"1":{"keyword":["a"]}}])",           // not an object
        "{\"1\":{\"keyword\":[\"a\"]}",           // cut short
        "",
    };
    for (const char* text : refused) {
        PatternDocument patterns;
        EXPECT_FALSE(parsePatternAnswer(text, patterns)) << text;
        EXPECT_TRUE(patterns.IsObject() && patterns.MemberCount() == 0) << text;
    }
    PatternDocument patterns;
    EXPECT_FALSE(parsePatternAnswer(LoadTextA(kTextConnectionFailed), patterns));
}

// --- page token --------------------------------------------------------------

TEST_F(ReportProtocol, PageTokenWithoutPlayerIdSendsNothingAndAsksForAnEmote) {
    PageTokenAnswer answer = fetchPageToken(connection, "");
    EXPECT_EQ(answer.token, "");
    EXPECT_EQ(answer.notice, LoadTextW(kTextAuthenticationRequired));
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(ReportProtocol, PageTokenSendsThePlayerIdAndReturnsTheToken) {
    server.answer(R"({"other":1,"token":"u/12ab/x"})");
    PageTokenAnswer answer = fetchPageToken(connection, "12ab");
    EXPECT_EQ(answer.token, "u/12ab/x");
    EXPECT_FALSE(answer.notice);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/rep/get.php?%67%65%74=%74%6F%6B%65%6E&%77%61%64%65%72=%31%32%61%62");
}

TEST_F(ReportProtocol, PageTokenAnswerWithoutAStringTokenIsEmptyAndSilent) {
    server.answer(R"({"note":"none"})");
    server.answer(R"({"token":42})");
    for (int i = 0; i < 2; ++i) {
        PageTokenAnswer answer = fetchPageToken(connection, "p");
        EXPECT_EQ(answer.token, "");
        EXPECT_FALSE(answer.notice);
    }
}

TEST_F(ReportProtocol, PageTokenPlainTextAnswerIsTheNoticeWordForWord) {
    server.answer("認証エラー: unknown player");
    PageTokenAnswer answer = fetchPageToken(connection, "p");
    EXPECT_EQ(answer.token, "");
    EXPECT_EQ(answer.notice, u"認証エラー: unknown player");
}

// --- line report -------------------------------------------------------------

TEST_F(ReportProtocol, LineReportSendsTenFieldsInOrder) {
    server.answer("{}");
    LogRecord record = matchedLine("hello");
    record.time = -5;
    record.code = -1;
    postLine(connection, {"ja", "s1", "", "a1"}, record);

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].verb, "POST");
    EXPECT_EQ(requests[0].path, "/rep/post.php");
    EXPECT_THAT(requests[0].fields,
                ElementsAre(FakeField{"lang", "ja"}, FakeField{"sid", "s1"}, FakeField{"fid", ""},
                            FakeField{"aid", "a1"}, FakeField{"pid", "7"}, FakeField{"code", "-1"},
                            FakeField{"log", "hello"}, FakeField{"line", "2"}, FakeField{"ltime", "-5"},
                            FakeField{"present", "1"}));
    EXPECT_THAT(requests[0].body, ::testing::HasSubstr("&%66%69%64=&%61%69%64=%61%31&"));
}

TEST_F(ReportProtocol, LineBytesAreSentOverTheirFullLengthAndAZeroLengthSendsNothing) {
    server.answer("{}");
    server.answer("{}");
    LogRecord record = matchedLine("a\0b\x1F"s);
    record.present = 0;
    postLine(connection, {"ja", "", "", ""}, record);
    LogRecord empty = matchedLine("not to be sent");
    empty.rawLength = 0;
    postLine(connection, {"ja", "", "", ""}, empty);

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].field("log"), "a\0b\x1F"s);
    EXPECT_EQ(requests[0].field("present"), "0");
    EXPECT_THAT(requests[0].body, ::testing::HasSubstr("&%6C%6F%67=%61%00%62%1F&"));
    EXPECT_EQ(requests[1].field("log"), "");
}

TEST_F(ReportProtocol, ObjectAnswerKeepsOnlyItsStringMembers) {
    const std::string full = R"({"log":"[12:00] ハロー","msg":"welcome","sid":"s1","fid":"f1","aid":"a1"})";
    server.answer(full);
    server.answer(R"({"log":5,"msg":null,"sid":["x"],"fid":{},"aid":true})");

    ReportAnswer strings = post("raw");
    EXPECT_EQ(strings.outcome, Outcome::Object);
    EXPECT_EQ(strings.text, full);
    EXPECT_EQ(strings.log, "[12:00] ハロー");
    EXPECT_EQ(strings.msg, "welcome");
    EXPECT_EQ(strings.sid, "s1");
    EXPECT_EQ(strings.fid, "f1");
    EXPECT_EQ(strings.aid, "a1");

    ReportAnswer others = post("raw");
    EXPECT_EQ(others.outcome, Outcome::Object);
    EXPECT_FALSE(others.log || others.msg || others.sid || others.fid || others.aid);
}

TEST_F(ReportProtocol, OutcomeTellsAnswersThatAreNoObjectFromAReportNeverSent) {
    server.answer("Service unavailable");
    server.answer("[1,2]");
    server.answer("");
    server.push(FakeAnswer::requestFailure());

    ReportAnswer plain = post("raw");
    EXPECT_EQ(plain.outcome, Outcome::NotAnObject);
    EXPECT_EQ(plain.text, "Service unavailable");
    ReportAnswer array = post("raw");
    EXPECT_EQ(array.outcome, Outcome::NotAnObject);
    EXPECT_EQ(array.text, "[1,2]");
    EXPECT_FALSE(array.log || array.msg || array.aid);
    ReportAnswer empty = post("raw");
    EXPECT_EQ(empty.outcome, Outcome::NotAnObject);
    EXPECT_EQ(empty.text, "");
    EXPECT_EQ(post("raw").outcome, Outcome::NotSent);
    EXPECT_EQ(server.requestCount(), 4u);
}

}  // namespace
}  // namespace tidemark
