// Tidemark's own protocol code, over WinInet under Wine, against the bundled
// report server: the language list, the patterns, a first report that
// registers the player, the lines as the server renders them, the page
// token and the page itself.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "http/http_client_win32.h"
#include "report/line_report.h"
#include "report/page_token.h"
#include "report/pattern_fetch.h"
#include "report/server_connection.h"

namespace tidemark {
namespace {

bool isIssuedId(const std::string& text) {
    if (text.size() != 32) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

class AgainstReportServer : public ::testing::Test {
protected:
    void SetUp() override {
        const char* port = std::getenv("TIDEMARK_REPORT_SERVER_PORT");
        if (port == nullptr)
            GTEST_SKIP() << "no report server: build the native configuration first "
                            "(its tidemark-server is started around this test)";
        connection = std::make_unique<ServerConnection>(winInetClientFactory(), "127.0.0.1",
                                                        static_cast<std::uint16_t>(std::atoi(port)));
    }

    // Posts one matched line as the read pass hands it over, and carries the
    // identifiers the server hands out into the next report, as a run does.
    ReportAnswer post(const std::string& bytes, std::int32_t patternId = 2, std::int32_t code = 29,
                      const std::string& reportId = {}) {
        LogRecord record;
        record.time = 1796000000;
        record.code = code;
        record.patternId = patternId;
        record.ordinal = ordinal++;
        record.raw = reinterpret_cast<const std::uint8_t*>(bytes.data());
        record.rawLength = static_cast<std::uint32_t>(bytes.size());
        record.present = 1;
        ReportAnswer answer = postLine(*connection, identity, record, reportId);
        if (answer.sid) identity.sid = *answer.sid;
        if (answer.fid) identity.fid = *answer.fid;
        if (answer.aid) identity.playerId = *answer.aid;
        return answer;
    }

    // GET of a path below the server's root on the same client.
    // The whole page: it is longer than the protocol's answers, which are cut.
    std::string fetchPage(const std::string& path) {
        HttpClient* client = connection->client();
        if (client == nullptr || !client->get(path, {}, kRequestFlags)) return {};
        std::string page;
        char buffer[4096];
        std::uint32_t got = 0;
        for (int reads = 0; reads < 1024 && client->read(buffer, sizeof buffer, got) && got > 0; ++reads)
            page.append(buffer, got);
        return page;
    }

    std::unique_ptr<ServerConnection> connection;
    ReportIdentity identity{"en", "", "", ""};
    std::int32_t ordinal = 0;
};

TEST_F(AgainstReportServer, LanguageList_IsAnArrayWithEnglishAndJapanese) {
    rapidjson::Document list;
    list.Parse(fetchPatterns(*connection, std::nullopt).c_str());
    ASSERT_TRUE(list.IsArray());
    ASSERT_GE(list.Size(), 2u);
    EXPECT_STREQ(list[0]["code"].GetString(), "en");
    EXPECT_STREQ(list[0]["name2"].GetString(), "English");
    EXPECT_STREQ(list[1]["code"].GetString(), "ja");
    EXPECT_STREQ(list[1]["name2"].GetString(), "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E");
}

TEST_F(AgainstReportServer, JapanesePatterns_CarryTheMarkerInPatternOne) {
    rapidjson::Document patterns;
    patterns.Parse(fetchPatterns(*connection, std::string_view("ja")).c_str());
    ASSERT_TRUE(patterns.IsObject());
    ASSERT_TRUE(patterns.HasMember("1"));
    EXPECT_STREQ(patterns["1"]["keyword"][0].GetString(),
                 "\xE3\x82\xA8\xE3\x82\xAA\xE3\x83\xAB\xE3\x82\xBC\xE3\x82\xA2\xE3\x81\xB8"
                 "\xE3\x82\x88\xE3\x81\x86\xE3\x81\x93\xE3\x81\x9D\xEF\xBC\x81");
}

TEST_F(AgainstReportServer, FirstReport_RegistersThePlayerAndTheLinesComeBackRendered) {
    ReportAnswer first = post(std::string("\x1F" "Alice Bell\x1F" "Alice Bell waves.\0!", 31));
    ASSERT_EQ(first.outcome, ReportAnswer::Outcome::Object) << first.text;
    ASSERT_TRUE(first.aid && first.sid && first.fid) << first.text;
    EXPECT_TRUE(isIssuedId(*first.aid)) << *first.aid;
    EXPECT_TRUE(isIssuedId(*first.sid)) << *first.sid;
    EXPECT_FALSE(first.fid->empty());
    EXPECT_EQ(first.log, "Alice Bell: Alice Bell waves.\xEF\xBF\xBD!");
    ASSERT_TRUE(first.msg);
    EXPECT_EQ(first.msg->rfind("You are now registered", 0), 0u) << *first.msg;

    ReportAnswer second = post("\x1F\x1FYou wave to Alice Bell.");
    ASSERT_EQ(second.outcome, ReportAnswer::Outcome::Object) << second.text;
    EXPECT_EQ(second.aid.value_or(*first.aid), *first.aid);
    ASSERT_TRUE(second.fid) << second.text;
    EXPECT_NE(*second.fid, *first.fid);
    EXPECT_FALSE(second.msg);
    EXPECT_EQ(second.log, "You wave to Alice Bell.");
}

TEST_F(AgainstReportServer, PageToken_OpensThePageListingTheLines) {
    post("\x1F\x1FYou wave to <b>Alice</b>.");
    PageTokenAnswer answer = fetchPageToken(*connection, identity.playerId);
    ASSERT_TRUE(isIssuedId(answer.token)) << answer.token;
    EXPECT_FALSE(answer.notice);
    const std::string page = fetchPage("/" + answer.token);
    EXPECT_NE(page.find("Your reported lines"), std::string::npos) << page;
    EXPECT_NE(page.find("You wave to &lt;b&gt;Alice&lt;/b&gt;."), std::string::npos);
}

TEST_F(AgainstReportServer, PageToken_ForAnUnknownPlayerShowsTheServersSentence) {
    PageTokenAnswer answer = fetchPageToken(*connection, "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(answer.token, "");
    EXPECT_EQ(answer.notice, u"This player id is not known to the server.");
}

TEST_F(AgainstReportServer, ReportInAnUnknownLanguage_ComesBackAsTheServersReason) {
    identity.language = "xx";
    ReportAnswer answer = post("\x1F\x1FYou wave.");
    EXPECT_EQ(answer.outcome, ReportAnswer::Outcome::NotAnObject);
    EXPECT_EQ(answer.text, "unknown language");
}

// The longest line the client posts (64 KiB, three times as long encoded)
// is taken, and a repeat of its report id (an answer lost on the way) gets
// the first answer without a second row.
TEST_F(AgainstReportServer, ALineOf64KiBIsStoredOnceAcrossARepeatOfItsId) {
    // The page shows the start of a line: the tag there tells its rows.
    std::string line = "\x1F\x1Flonghead ";
    for (std::size_t i = 0; line.size() < (64u << 10); ++i) line += static_cast<char>('a' + i % 26);
    const std::string id = "0123456789abcdef0123456789abcdef";

    ReportAnswer first = post(line, 2, 29, id);
    ASSERT_EQ(first.outcome, ReportAnswer::Outcome::Object) << first.status.code << " " << first.text;
    --ordinal;  // the same record again, as a retry sends it
    ReportAnswer repeat = post(line, 2, 29, id);
    ASSERT_EQ(repeat.outcome, ReportAnswer::Outcome::Object) << repeat.status.code << " " << repeat.text;
    EXPECT_EQ(repeat.text, first.text) << "the first answer again";

    PageTokenAnswer token = fetchPageToken(*connection, identity.playerId);
    ASSERT_TRUE(isIssuedId(token.token)) << token.token;
    // The whole page, not the first 4095 bytes an exchange keeps.
    HttpClient* client = connection->client();
    ASSERT_TRUE(client != nullptr && client->get("/" + token.token, {}, kRequestFlags));
    std::string page;
    char buffer[16384];
    for (std::uint32_t got = 0; client->read(buffer, sizeof buffer, got) && got > 0;) page.append(buffer, got);
    std::size_t rows = 0;
    for (std::size_t at = page.find("longhead"); at != std::string::npos; at = page.find("longhead", at + 1)) ++rows;
    EXPECT_EQ(rows, 1u) << page.size();
}

}  // namespace
}  // namespace tidemark
