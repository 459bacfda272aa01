// Tidemark's own protocol code, over WinInet under Wine, against the bundled
// report server: the language list, the patterns, a first report that
// registers the player, reports listed with the server's text, the page
// token and the page itself.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "capture/capture_session.h"
#include "http/http_client_win32.h"
#include "report/server_exchange.h"

namespace tidemark {
namespace {

class MemorySettings : public SettingsStore {
public:
    std::string readText(const std::string& section, const std::string& key, const std::string& fallback,
                         std::size_t) override {
        auto it = values.find(section + "/" + key);
        return it == values.end() ? fallback : it->second;
    }
    int readInt(const std::string&, const std::string&, int fallback) override { return fallback; }
    bool writeText(const std::string& section, const std::string& key, const std::string& value) override {
        values[section + "/" + key] = value;
        return true;
    }
    std::map<std::string, std::string> values;
};

class RecordingNotice : public UserNotice {
public:
    void showInformation(const std::u16string& text) override { shown.push_back(text); }
    std::vector<std::u16string> shown;
};

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
        SessionServices services;
        services.settings = &settings;
        services.notice = &notice;
        services.httpClientFactory = winInetClientFactory();
        services.serverHost = "127.0.0.1";
        services.serverPort = static_cast<std::uint16_t>(std::atoi(port));
        session = std::make_unique<CaptureSession>(std::move(services));
        session->setLanguage("en");
    }

    // Posts one matched line as the read pass hands it over.
    void post(const std::string& bytes, std::int32_t patternId = 2, std::int32_t code = 29) {
        LogRecord record;
        record.time = 1796000000;
        record.code = code;
        record.patternId = patternId;
        record.ordinal = ordinal++;
        record.raw = reinterpret_cast<const std::uint8_t*>(bytes.data());
        record.rawLength = static_cast<std::uint32_t>(bytes.size());
        record.present = 1;
        session->postLine(record);
    }

    std::vector<std::u16string> messages() {
        auto guard = session->lock();
        std::vector<std::u16string> texts;
        for (const LogRecord& record : session->messages) texts.push_back(record.text);
        return texts;
    }

    // GET of a path below the server's root on the session's client.
    std::string fetchPage(const std::string& path) {
        std::lock_guard exchange(session->exchangeMutex);
        HttpClient* client = clientForExchange(*session);
        if (client == nullptr || !client->get(path, {}, kRequestFlags)) return {};
        return readAnswer(*client);
    }

    MemorySettings settings;
    RecordingNotice notice;
    std::unique_ptr<CaptureSession> session;
    std::int32_t ordinal = 0;
};

TEST_F(AgainstReportServer, LanguageList_IsAnArrayWithEnglishAndJapanese) {
    rapidjson::Document list;
    list.Parse(session->fetchPatterns(std::nullopt).c_str());
    ASSERT_TRUE(list.IsArray());
    ASSERT_GE(list.Size(), 2u);
    EXPECT_STREQ(list[0]["code"].GetString(), "en");
    EXPECT_STREQ(list[0]["name2"].GetString(), "English");
    EXPECT_STREQ(list[1]["code"].GetString(), "ja");
    EXPECT_STREQ(list[1]["name2"].GetString(), "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E");
}

TEST_F(AgainstReportServer, JapanesePatterns_CarryTheMarkerInPatternOne) {
    rapidjson::Document patterns;
    patterns.Parse(session->fetchPatterns(std::string_view("ja")).c_str());
    ASSERT_TRUE(patterns.IsObject());
    ASSERT_TRUE(patterns.HasMember("1"));
    EXPECT_STREQ(patterns["1"]["keyword"][0].GetString(),
                 "\xE3\x82\xA8\xE3\x82\xAA\xE3\x83\xAB\xE3\x82\xBC\xE3\x82\xA2\xE3\x81\xB8"
                 "\xE3\x82\x88\xE3\x81\x86\xE3\x81\x93\xE3\x81\x9D\xEF\xBC\x81");
}

TEST_F(AgainstReportServer, FirstReport_RegistersThePlayerAndTheLinesAreListed) {
    post(std::string("\x1F" "Alice Bell\x1F" "Alice Bell waves.\0!", 31));
    const std::string wader = settings.values["general/wader"];
    EXPECT_TRUE(isIssuedId(wader)) << wader;
    EXPECT_EQ(session->playerId(), wader);
    EXPECT_TRUE(isIssuedId(session->sid));
    EXPECT_FALSE(session->fid.empty());
    const std::string firstFid = session->fid;

    post("\x1F\x1FYou wave to Alice Bell.");
    EXPECT_EQ(settings.values["general/wader"], wader);
    EXPECT_NE(session->fid, firstFid);

    const auto texts = messages();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], u"Alice Bell: Alice Bell waves.\uFFFD!");
    EXPECT_EQ(texts[1].rfind(u"* You are now registered", 0), 0u);
    EXPECT_EQ(texts[2], u"You wave to Alice Bell.");
}

TEST_F(AgainstReportServer, PageToken_OpensThePageListingTheLines) {
    post("\x1F\x1FYou wave to <b>Alice</b>.");
    const std::string token = session->fetchPageToken();
    ASSERT_TRUE(isIssuedId(token)) << token;
    EXPECT_TRUE(notice.shown.empty());
    const std::string page = fetchPage("/" + token);
    EXPECT_NE(page.find("Your reported lines"), std::string::npos) << page;
    EXPECT_NE(page.find("You wave to &lt;b&gt;Alice&lt;/b&gt;."), std::string::npos);
}

TEST_F(AgainstReportServer, PageToken_ForAnUnknownPlayerShowsTheServersSentence) {
    session->setPlayerId("0123456789abcdef0123456789abcdef");
    EXPECT_EQ(session->fetchPageToken(), "");
    ASSERT_EQ(notice.shown.size(), 1u);
    EXPECT_EQ(notice.shown[0], u"This player id is not known to the server.");
}

TEST_F(AgainstReportServer, ReportInAnUnknownLanguage_ListsTheServersReason) {
    session->setLanguage("xx");
    post("\x1F\x1FYou wave.");
    const auto texts = messages();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], u"unknown language");
    EXPECT_TRUE(settings.values.empty());
}

}  // namespace
}  // namespace tidemark
