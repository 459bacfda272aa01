// The delivery of matched lines against a scripted server and a clock that
// never waits: which answers end a report, the id every attempt carries, the
// pace of a backlog, and the journal that outlives a run.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "capture/report_delivery.h"
#include "capture/report_journal_format.h"
#include "capture/status_text.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_http_client.h"
#include "fakes/fake_settings_store.h"
#include "support/temp_folder.h"
#include "texts/texts.h"

namespace tidemark {
namespace {

using testing::FakeAnswer;
using testing::FakeHttpServer;
using testing::FakeRequest;

constexpr char kListed[] = R"({"log": "listed"})";

class Delivery : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(LoadTextW(kTextReportsDropped).empty()) << "the string table is not linked"; }

    // A delivery on `journal` (empty: in memory) with ids 1, 2, 3... in
    // their first byte, so that each test knows every report's id.
    std::unique_ptr<ReportDelivery> open(const std::filesystem::path& journal = {}, bool secure = false) {
        connection = std::make_unique<ServerConnection>(server.factory(), "host", 80, secure);
        return std::make_unique<ReportDelivery>(session, *connection, clock, &settings, journal,
                                                session.resetGeneration(), [this] {
                                                    ReportId id;
                                                    id.bytes[0] = static_cast<std::uint8_t>(++idsMade);
                                                    return id;
                                                });
    }
    static std::string idHex(int n) {
        ReportId id;
        id.bytes[0] = static_cast<std::uint8_t>(n);
        return id.toHex();
    }
    void submit(ReportDelivery& delivery, const std::string& line, const std::string& language = "en") {
        LogRecord record;
        record.patternId = 7;
        record.present = 1;
        record.raw = reinterpret_cast<const std::uint8_t*>(line.data());
        record.rawLength = static_cast<std::uint32_t>(line.size());
        delivery.submit(record, language, session.resetGeneration());
    }
    std::vector<std::u16string> messages() const {
        std::vector<std::u16string> texts;
        for (const LogRecord& record : session.messages()) texts.push_back(record.text);
        return texts;
    }
    // "id:language:line" of every POST, in order.
    std::vector<std::string> posts() const {
        std::vector<std::string> out;
        for (const FakeRequest& r : server.requests())
            out.push_back(r.header(kReportIdHeader).value_or("-").substr(0, 2) + ":" + r.field("lang").value_or("") +
                          ":" + r.field("log").value_or(""));
        return out;
    }

    FakeHttpServer server;
    FakeClock clock;
    FakeSettingsStore settings;
    CaptureSession session{&clock};
    std::unique_ptr<ServerConnection> connection;
    int idsMade = 0;
};

// --- which answers end a report ---------------------------------------------

struct AnswerCase {
    const char* name;
    FakeAnswer answer;
    bool ends;
    std::u16string listed;  // what the Log tab shows, if anything
};

void PrintTo(const AnswerCase& c, std::ostream* out) { *out << c.name; }

class DeliveryAnswer : public Delivery, public ::testing::WithParamInterface<AnswerCase> {};

// A kept report goes again, with the same id, once its back-off is over; an
// ended one never goes again. Nothing of a kept answer is listed.
TEST_P(DeliveryAnswer, EndsTheReportOnlyForTheProtocolsAnswerOrARefusalOfTheReport) {
    const AnswerCase& c = GetParam();
    auto delivery = open();
    server.push(c.answer);
    server.answer(kListed);

    submit(*delivery, "a line");
    clock.advanceMs(ReportQueue::kLongestRetryAfterMs);
    delivery->sendWaiting(0);

    EXPECT_EQ(delivery->waiting(), 0u);
    const std::vector<std::string> once{"01:en:a line"};
    const std::vector<std::string> twice{"01:en:a line", "01:en:a line"};
    EXPECT_EQ(posts(), c.ends ? once : twice);
    std::vector<std::u16string> listed;
    if (!c.listed.empty()) listed.push_back(c.listed);
    if (!c.ends) listed.push_back(u"listed");
    EXPECT_EQ(messages(), listed);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, DeliveryAnswer,
    ::testing::Values(AnswerCase{"Json", FakeAnswer::text(kListed), true, u"listed"},
                      AnswerCase{"BadRequest", FakeAnswer::withStatus(400, "field pid is missing"), true,
                                 u"field pid is missing"},
                      AnswerCase{"NotFound", FakeAnswer::withStatus(404, "not found"), true, u"not found"},
                      AnswerCase{"NoConnection", FakeAnswer::requestFailure(), false, {}},
                      AnswerCase{"AnswerLost", FakeAnswer::readFailure("{\"log"), false, {}},
                      AnswerCase{"Timeout408", FakeAnswer::withStatus(408, "timeout"), false, {}},
                      AnswerCase{"TooMany", FakeAnswer::withStatus(429, "slow down", 2), false, {}},
                      AnswerCase{"NotStored", FakeAnswer::withStatus(500, "not stored"), false, {}},
                      AnswerCase{"ProxyPage", FakeAnswer::withStatus(502, "<html>bad gateway</html>"), false, {}},
                      AnswerCase{"Busy", FakeAnswer::withStatus(503, "busy", 1), false, {}},
                      AnswerCase{"NotTheProtocol", FakeAnswer::text("<html>portal</html>"), false, {}},
                      AnswerCase{"CutByTheClient", FakeAnswer::text("{\"log\": \"" + std::string(5000, 'a') + "\"}"),
                                 true, u"{\"log\": \"" + std::u16string(kAnswerCapacity - 9, u'a')}),
    [](const ::testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

TEST_F(Delivery, RetryAfterHoldsTheReportAndEveryReportHasItsOwnIdOutsideTheBody) {
    auto delivery = open();
    server.push(FakeAnswer::withStatus(503, "busy", 30));
    for (int i = 0; i < 3; ++i) server.answer(kListed);

    submit(*delivery, "first");
    submit(*delivery, "second");
    clock.advanceMs(29000);
    delivery->sendWaiting(0);
    EXPECT_EQ(server.requestCount(), 1u) << "not before the server's 30 s";
    clock.advanceMs(1000);
    delivery->sendWaiting(1000);

    EXPECT_EQ(posts(), (std::vector<std::string>{"01:en:first", "01:en:first", "02:en:second"}));
    for (const FakeRequest& r : server.requests()) {
        EXPECT_EQ(r.header(kReportIdHeader)->size(), 32u);
        EXPECT_EQ(r.body.find(percentEncode(*r.header(kReportIdHeader))), std::string::npos);
        EXPECT_EQ(r.fields.size(), 10u);
    }
}

// 40 reports wait; the server is back: they go no faster than 20 a second,
// and after a "too many" at half that pace.
TEST_F(Delivery, ABacklogGoesAtTheServersRateAndSlowerAfterTooMany) {
    auto delivery = open();
    server.push(FakeAnswer::requestFailure());
    for (int i = 0; i < 40; ++i) submit(*delivery, "line " + std::to_string(i));
    ASSERT_EQ(delivery->waiting(), 40u);
    std::vector<std::uint64_t> sentAt;
    server.onRequest([&](const FakeRequest&) { sentAt.push_back(clock.elapsedMs()); });
    for (int i = 0; i < 20; ++i) server.answer(kListed);
    server.push(FakeAnswer::withStatus(429, "slow down", 1));
    for (int i = 0; i < 20; ++i) server.answer(kListed);

    clock.advanceMs(1000);
    for (int step = 0; step < 10 && delivery->waiting() > 0; ++step) {
        const std::uint64_t slept = delivery->sendWaiting(1000);
        if (slept < 1000) clock.advanceMs(1000 - slept);
    }

    ASSERT_EQ(delivery->waiting(), 0u);
    ASSERT_EQ(sentAt.size(), 41u);
    for (std::size_t i = 1; i < 20; ++i) EXPECT_GE(sentAt[i] - sentAt[i - 1], 50u) << i;
    for (std::size_t i = 22; i < sentAt.size(); ++i) EXPECT_GE(sentAt[i] - sentAt[i - 1], 100u) << i;
}

TEST_F(Delivery, BeyondTheBoundTheOldestAreDroppedAndThatIsToldOnce) {
    auto delivery = open();
    server.push(FakeAnswer::requestFailure());
    for (std::size_t i = 0; i < ReportQueue::kDefaultMaxReports + 5; ++i) submit(*delivery, "x");

    EXPECT_EQ(delivery->waiting(), ReportQueue::kDefaultMaxReports);
    EXPECT_EQ(messages(), std::vector<std::u16string>{u"* " + LoadTextW(kTextReportsDropped)});
}

// Over HTTPS every request is a secure one; a refused certificate keeps the
// report like any failed connection, and its reason is told once while it
// lasts, again once the server got through in between.
TEST_F(Delivery, ARefusedCertificateKeepsTheReportAndItsReasonIsToldOnceWhileItLasts) {
    auto delivery = open({}, true);
    const auto refused = [](CertificateRefusal why) { return FakeAnswer::certificateRefused(why); };
    server.push(refused(CertificateRefusal::UntrustedAuthority));
    server.push(refused(CertificateRefusal::UntrustedAuthority));
    server.push(refused(CertificateRefusal::OtherName));
    server.answer(kListed);
    server.push(refused(CertificateRefusal::UntrustedAuthority));

    submit(*delivery, "first");
    for (int i = 0; i < 5 && delivery->waiting() > 0; ++i) {
        clock.advanceMs(3600000);
        delivery->sendWaiting(0);
    }
    submit(*delivery, "second");

    EXPECT_EQ(posts(), (std::vector<std::string>{"01:en:first", "01:en:first", "01:en:first", "01:en:first",
                                                 "02:en:second"}));
    EXPECT_EQ(delivery->waiting(), 1u);
    const std::u16string untrusted = u"* " + LoadTextW(kTextCertificateUntrusted);
    EXPECT_EQ(messages(), (std::vector<std::u16string>{untrusted, u"* " + LoadTextW(kTextCertificateOtherName),
                                                       u"listed", untrusted}));
    ASSERT_FALSE(server.connects().empty());
    EXPECT_NE(server.connects()[0].flags & kSecureFlag, 0u);
    for (const FakeRequest& r : server.requests()) EXPECT_EQ(r.flags, kRequestFlags | kSecureFlag);
}

// --- the journal ------------------------------------------------------------

TEST_F(Delivery, ReportsLeftAtTheEndAreSentFirstAtTheNextStartInOrderWithTheirOwnIdsAndLanguage) {
    testing::TempFolder folder;
    const auto journal = folder.file("Tidemark.queue");
    {
        auto first = open(journal);
        ASSERT_TRUE(first->durable());
        server.push(FakeAnswer::requestFailure());
        submit(*first, "one", "en");
        submit(*first, "two", "ja");
    }
    for (int i = 0; i < 3; ++i) server.answer(kListed);
    auto next = open(journal);
    ASSERT_EQ(next->waiting(), 2u);
    submit(*next, "three", "en");
    next->sendWaiting(1000);
    next.reset();

    EXPECT_EQ(posts(), (std::vector<std::string>{"01:en:one", "01:en:one", "02:ja:two", "03:en:three"}));
    EXPECT_EQ(messages(), (std::vector<std::u16string>{
                              u"listed", u"listed",
                              u"* " + formatStatusText(LoadTextW(kTextLastRunReportsSent), {2}), u"listed"}));
    EXPECT_EQ(open(journal)->waiting(), 0u) << "answered reports are not sent again";
}

struct JournalCase {
    const char* name;
    int notice;
    std::optional<std::string> contents;  // nullopt: the path is a folder
};

void PrintTo(const JournalCase& c, std::ostream* out) { *out << c.name; }

class DeliveryJournal : public Delivery, public ::testing::WithParamInterface<JournalCase> {};

TEST_P(DeliveryJournal, AJournalThatCannotBeReadWhollyIsToldAndTheReportsStillGoOut) {
    const JournalCase& c = GetParam();
    testing::TempFolder folder;
    const auto journal = folder.file("Tidemark.queue");
    if (c.contents) std::ofstream(journal, std::ios::binary) << *c.contents;
    else std::filesystem::create_directory(journal);
    server.answer(kListed);

    auto delivery = open(journal);
    submit(*delivery, "a line");

    EXPECT_EQ(messages(), (std::vector<std::u16string>{u"* " + LoadTextW(c.notice), u"listed"}));
    EXPECT_EQ(delivery->durable(), c.notice == kTextJournalDamaged);
}

INSTANTIATE_TEST_SUITE_P(
    Journals, DeliveryJournal,
    ::testing::Values(JournalCase{"DamagedTail", kTextJournalDamaged, journal_format::header() + "torn"},
                      JournalCase{"OtherVersion", kTextJournalOtherVersion, journal_format::header(2)},
                      JournalCase{"Unusable", kTextJournalUnusable, std::nullopt}),
    [](const ::testing::TestParamInfo<JournalCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tidemark
