// The report protocol against a scripted server: what each exchange sends,
// and what it makes of every kind of answer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_session.h"
#include "fakes/fake_http_client.h"
#include "fakes/fake_settings_store.h"
#include "report/pattern_answer.h"
#include "report/recording_notice.h"
#include "report/server_exchange.h"
#include "shell/texts.h"

namespace tidemark {
namespace {

using namespace std::string_literals;
using ::testing::ElementsAre;
using testing::FakeAnswer;
using testing::FakeHttpServer;
using testing::RecordingNotice;

class ReportProtocol : public ::testing::Test {
protected:
    ReportProtocol() : session(makeServices()) { notice.session = &session; }

    SessionServices makeServices() {
        SessionServices services;
        services.settings = &settings;
        services.notice = &notice;
        services.httpClientFactory = server.factory();
        services.serverHost = "reports.example";
        services.serverPort = 8123;
        return services;
    }

    std::vector<std::u16string> messageTexts() {
        auto guard = session.lock();
        std::vector<std::u16string> texts;
        for (const LogRecord& record : session.messages) texts.push_back(record.text);
        return texts;
    }

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

    FakeHttpServer server;
    RecordingNotice notice;
    FakeSettingsStore settings;
    std::string line;
    CaptureSession session;
};

// --- shared connection rule --------------------------------------------------

TEST_F(ReportProtocol, FirstExchangeConnectsOnceToTheConfiguredServerAndLaterOnesReuseIt) {
    server.answer("[]");
    server.answer("{}");
    session.setPlayerId("12ab");
    session.fetchPatterns(std::nullopt);
    session.fetchPageToken();
    LogRecord record = matchedLine("x");
    session.postLine(record);

    EXPECT_EQ(server.clientsCreated(), 1);
    auto connects = server.connects();
    ASSERT_EQ(connects.size(), 1u);
    EXPECT_EQ(connects[0].host, "reports.example");
    EXPECT_EQ(connects[0].port, 8123);
    EXPECT_EQ(connects[0].flags, 0xA4000000u);
    for (const auto& request : server.requests()) EXPECT_EQ(request.flags, 0xA4000000u);
}

TEST_F(ReportProtocol, FailedConnectGivesEmptyTextAndIsNeverRetried) {
    server.setConnectSucceeds(false);
    EXPECT_EQ(session.fetchPatterns("ja"), "");
    // The client is kept unconnected: the next exchange fails at its request.
    EXPECT_EQ(session.fetchPatterns("ja"), LoadTextA(kTextConnectionFailed));
    EXPECT_EQ(server.connects().size(), 1u);
    EXPECT_EQ(server.clientsCreated(), 1);
}

TEST_F(ReportProtocol, WithoutAClientFactoryEveryExchangeIsAConnectFailure) {
    CaptureSession bare(SessionServices{});
    EXPECT_EQ(bare.fetchPatterns(std::nullopt), "");
    EXPECT_EQ(bare.fetchPageToken(), "");
    LogRecord record = matchedLine("x");
    bare.postLine(record);
    EXPECT_FALSE(bare.httpClient);
}

// --- pattern and language list fetch -----------------------------------------

TEST_F(ReportProtocol, LanguageListAndPatternRequestsCarryTheirExactTargets) {
    server.answer(R"([{"code":"ja","name2":"日本語"}])");
    server.answer(R"({"1":{"keyword":["a"],"code":"0"}})");
    EXPECT_EQ(session.fetchPatterns(std::nullopt), R"([{"code":"ja","name2":"日本語"}])");
    EXPECT_EQ(session.fetchPatterns("ja"), R"({"1":{"keyword":["a"],"code":"0"}})");

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
    EXPECT_EQ(session.fetchPatterns("ja"), LoadTextA(kTextConnectionFailed));
    EXPECT_EQ(session.fetchPatterns("ja"), LoadTextA(kTextConnectionFailed));
}

TEST_F(ReportProtocol, AnswerDeliveredInSmallReadsArrivesWhole) {
    std::string body = R"({"1":{"keyword":["marker"],"code":"0","trace":true},"2":{"code":"57"}})";
    server.answer(body, 5);
    EXPECT_EQ(session.fetchPatterns("ja"), body);
}

TEST_F(ReportProtocol, AnswerIsCutAt4095Bytes) {
    std::string exact(4095, 'a');
    std::string longer(5000, 'b');
    longer[4094] = 'c';
    server.answer(exact, 1000);
    server.answer(longer, 1000);
    EXPECT_EQ(session.fetchPatterns("ja"), exact);
    std::string cut = session.fetchPatterns("ja");
    ASSERT_EQ(cut.size(), 4095u);
    EXPECT_EQ(cut.back(), 'c');
}

TEST_F(ReportProtocol, ReadFailureKeepsWhatArrivedBeforeIt) {
    server.push(FakeAnswer::readFailure(R"({"1":)"));
    EXPECT_EQ(session.fetchPatterns("ja"), R"({"1":)");
}

TEST_F(ReportProtocol, ExchangeLockIsHeldWhileTheRequestRuns) {
    bool lockFree = true;
    server.onRequest([&](const testing::FakeRequest&) {
        lockFree = session.exchangeMutex.try_lock();
        if (lockFree) session.exchangeMutex.unlock();
    });
    server.answer("{}");
    session.fetchPatterns("ja");
    EXPECT_FALSE(lockFree);
}

TEST_F(ReportProtocol, ExchangesFromTwoThreadsNeverOverlap) {
    std::atomic<int> inFlight{0};
    std::atomic<int> overlaps{0};
    server.onRequest([&](const testing::FakeRequest&) {
        if (++inFlight > 1) ++overlaps;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        --inFlight;
    });
    for (int i = 0; i < 80; ++i) server.answer(R"({"aid":"p"})");
    session.setPlayerId("p");
    std::thread worker([&] {
        for (int i = 0; i < 40; ++i) {
            LogRecord record = matchedLine("x");
            session.postLine(record);
        }
    });
    for (int i = 0; i < 40; ++i) session.fetchPageToken();
    worker.join();
    EXPECT_EQ(server.requestCount(), 80u);
    EXPECT_EQ(overlaps, 0);
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
    EXPECT_EQ(session.fetchPageToken(), "");
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_THAT(notice.shown, ElementsAre(LoadTextW(kTextAuthenticationRequired)));
    EXPECT_TRUE(notice.exchangeFreeWhileShown);
}

TEST_F(ReportProtocol, PageTokenSendsThePlayerIdAndReturnsTheToken) {
    session.setPlayerId("12ab");
    server.answer(R"({"other":1,"token":"u/12ab/x"})");
    EXPECT_EQ(session.fetchPageToken(), "u/12ab/x");
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/rep/get.php?%67%65%74=%74%6F%6B%65%6E&%77%61%64%65%72=%31%32%61%62");
    EXPECT_TRUE(notice.shown.empty());
}

TEST_F(ReportProtocol, PageTokenAnswerWithoutAStringTokenIsEmptyAndSilent) {
    session.setPlayerId("p");
    server.answer(R"({"note":"none"})");
    server.answer(R"({"token":42})");
    EXPECT_EQ(session.fetchPageToken(), "");
    EXPECT_EQ(session.fetchPageToken(), "");
    EXPECT_TRUE(notice.shown.empty());
}

TEST_F(ReportProtocol, PageTokenShowsAPlainTextAnswerWordForWord) {
    session.setPlayerId("p");
    server.answer("認証エラー: unknown player");
    EXPECT_EQ(session.fetchPageToken(), "");
    EXPECT_THAT(notice.shown, ElementsAre(u"認証エラー: unknown player"));
    EXPECT_TRUE(notice.exchangeFreeWhileShown);
}

TEST_F(ReportProtocol, PageTokenFailuresShowTheirMessages) {
    session.setPlayerId("p");
    server.push(FakeAnswer::requestFailure());
    EXPECT_EQ(session.fetchPageToken(), "");
    EXPECT_THAT(notice.shown, ElementsAre(LoadTextW(kTextConnectionFailed)));
}

TEST_F(ReportProtocol, PageTokenConnectFailureIsSilent) {
    server.setConnectSucceeds(false);
    session.setPlayerId("p");
    EXPECT_EQ(session.fetchPageToken(), "");
    EXPECT_TRUE(notice.shown.empty());
}

// --- line report -------------------------------------------------------------

TEST_F(ReportProtocol, LineReportSendsTenFieldsInOrder) {
    session.setLanguage("ja");
    server.answer("{}");
    LogRecord record = matchedLine("hello");
    record.time = -5;
    record.code = -1;
    session.postLine(record);

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].verb, "POST");
    EXPECT_EQ(requests[0].path, "/rep/post.php");
    EXPECT_THAT(requests[0].fields,
                ElementsAre(testing::FakeField{"lang", "ja"}, testing::FakeField{"sid", ""},
                            testing::FakeField{"fid", ""}, testing::FakeField{"aid", ""},
                            testing::FakeField{"pid", "7"}, testing::FakeField{"code", "-1"},
                            testing::FakeField{"log", "hello"}, testing::FakeField{"line", "2"},
                            testing::FakeField{"ltime", "-5"}, testing::FakeField{"present", "1"}));
    EXPECT_THAT(requests[0].body, ::testing::HasSubstr("%73%69%64=&%66%69%64=&%61%69%64=&"));
}

TEST_F(ReportProtocol, LineBytesAreSentOverTheirFullLengthAndAZeroLengthSendsNothing) {
    server.answer("{}");
    server.answer("{}");
    LogRecord record = matchedLine("a\0b\x1F"s);
    record.present = 0;
    session.postLine(record);
    LogRecord empty = matchedLine("not to be sent");
    empty.rawLength = 0;
    session.postLine(empty);

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].field("log"), "a\0b\x1F"s);
    EXPECT_EQ(requests[0].field("present"), "0");
    EXPECT_THAT(requests[0].body, ::testing::HasSubstr("&%6C%6F%67=%61%00%62%1F&"));
    EXPECT_EQ(requests[1].field("log"), "");
}

TEST_F(ReportProtocol, AnswerLogListsTheLineUnderTheServersText) {
    server.answer(R"({"log":"[12:00] ハロー"})");
    LogRecord record = matchedLine("raw");
    session.postLine(record);
    EXPECT_EQ(record.text, u"[12:00] ハロー");
    auto guard = session.lock();
    ASSERT_EQ(session.messages.size(), 1u);
    EXPECT_EQ(session.messages[0].text, u"[12:00] ハロー");
    EXPECT_EQ(session.messages[0].patternId, 7);
    EXPECT_EQ(session.messages[0].time, 1700000123);
    EXPECT_EQ(session.messages[0].raw, nullptr);  // the pass's buffer is not kept
}

TEST_F(ReportProtocol, AnswerMsgWithoutLogListsOnlyTheMessage) {
    server.answer(R"({"msg":"welcome"})");
    LogRecord record = matchedLine("raw");
    session.postLine(record);
    EXPECT_THAT(messageTexts(), ElementsAre(u"* welcome"));
}

TEST_F(ReportProtocol, AnswerMembersApplyInOrderLogThenMsg) {
    server.answer(R"({"msg":"second","log":"first"})");
    LogRecord record = matchedLine("raw");
    session.postLine(record);
    EXPECT_THAT(messageTexts(), ElementsAre(u"first", u"* second"));
}

TEST_F(ReportProtocol, AnswerAidReplacesThePlayerIdAndIsSavedAsWader) {
    session.setPlayerId("old");
    server.answer(R"({"aid":"new-id"})");
    LogRecord record = matchedLine("raw");
    session.postLine(record);
    EXPECT_EQ(session.playerId(), "new-id");
    EXPECT_THAT(settings.writes(), ElementsAre(FakeSettingsStore::Write{"general", "wader", "new-id"}));
    EXPECT_TRUE(messageTexts().empty());
}

TEST_F(ReportProtocol, IdentifiersFromOneAnswerAreSentWithTheNextReport) {
    server.answer(R"({"sid":"s1","fid":"f1","aid":"a1"})");
    server.answer("{}");
    LogRecord first = matchedLine("one");
    session.postLine(first);
    LogRecord second = matchedLine("two");
    session.postLine(second);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].field("sid"), "s1");
    EXPECT_EQ(requests[1].field("fid"), "f1");
    EXPECT_EQ(requests[1].field("aid"), "a1");
}

TEST_F(ReportProtocol, NonStringMembersAreIgnored) {
    session.setPlayerId("keep");
    server.answer(R"({"log":5,"msg":null,"sid":["x"],"fid":{},"aid":true})");
    LogRecord record = matchedLine("raw");
    session.postLine(record);
    EXPECT_TRUE(messageTexts().empty());
    EXPECT_EQ(session.playerId(), "keep");
    EXPECT_EQ(session.sid, "");
    EXPECT_EQ(session.fid, "");
    EXPECT_TRUE(settings.writes().empty());
}

TEST_F(ReportProtocol, AnswersThatAreNotObjectsAreListedAsServerText) {
    server.answer("Service unavailable");
    server.answer("[1,2]");
    server.answer("");
    LogRecord record = matchedLine("raw");
    session.postLine(record);
    session.postLine(record);
    session.postLine(record);  // an empty answer lists nothing
    EXPECT_THAT(messageTexts(), ElementsAre(u"Service unavailable", u"[1,2]"));
    EXPECT_TRUE(record.text.empty());
}

TEST_F(ReportProtocol, FailedReportIsDroppedSilently) {
    server.push(FakeAnswer::requestFailure());
    LogRecord record = matchedLine("raw");
    session.postLine(record);
    EXPECT_TRUE(messageTexts().empty());
    EXPECT_EQ(server.requestCount(), 1u);
}

}  // namespace
}  // namespace tidemark
