// The delivery of matched lines against a scripted server and a clock that
// never waits: which answers end a report, the id every attempt carries, the
// pace of a backlog, and the journal that outlives a run.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "capture/report_delivery.h"
#include "capture/report_journal_format.h"
#include "capture/status_text.h"
#include "fakes/fake_clock.h"
#include "platform/durable_file.h"
#include "fakes/fake_http_client.h"
#include "fakes/fake_settings_store.h"
#include "fakes/simulated_disk.h"
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
    // their first two bytes, so that each test knows every report's id.
    std::unique_ptr<ReportDelivery> open(const std::filesystem::path& journal = {}, bool secure = false,
                                         FileSystem& files = platformFileSystem()) {
        connection = std::make_unique<ServerConnection>(server.factory(), "host", 80, secure);
        return std::make_unique<ReportDelivery>(session, *connection, clock, &settings, journal,
                                                session.resetGeneration(), [this] {
                                                    ReportId id;
                                                    ++idsMade;
                                                    id.bytes[0] = static_cast<std::uint8_t>(idsMade);
                                                    id.bytes[1] = static_cast<std::uint8_t>(idsMade >> 8);
                                                    return id;
                                                },
                                                files);
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
        record.time = clock.now();
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
TEST_P(DeliveryAnswer, EveryWholeAnswerEndsTheReportButTryAgainLaterOnes) {
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
                      AnswerCase{"ServerText", FakeAnswer::text("plain text answer"), true, u"plain text answer"},
                      AnswerCase{"EmptyAnswer", FakeAnswer::text(""), true, {}},
                      AnswerCase{"RedirectPage", FakeAnswer::withStatus(302, "moved"), true, u"moved"},
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

// The server's text in the middle of a backlog is listed once, and it holds
// nobody up: every report behind it goes out in order.
TEST_F(Delivery, AServerTextInABacklogIsListedOnceAndTheReportsBehindItGoOn) {
    auto delivery = open();
    server.push(FakeAnswer::requestFailure());
    for (int i = 0; i < 6; ++i) submit(*delivery, "line " + std::to_string(i));
    for (int i = 0; i < 6; ++i) server.answer(i == 2 ? "plain text answer" : kListed);

    clock.advanceMs(1000);
    for (int step = 0; step < 10 && delivery->waiting() > 0; ++step) delivery->sendWaiting(1000);

    EXPECT_EQ(delivery->waiting(), 0u);
    EXPECT_EQ(posts(), (std::vector<std::string>{"01:en:line 0", "01:en:line 0", "02:en:line 1", "03:en:line 2",
                                                 "04:en:line 3", "05:en:line 4", "06:en:line 5"}));
    EXPECT_EQ(messages(), (std::vector<std::u16string>{u"listed", u"listed", u"plain text answer", u"listed",
                                                       u"listed", u"listed"}));
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
    clock.advanceMs(1000);
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

// --- a report the server will not take ---------------------------------------

// Every answer for a line holding "poison" is a 500; the rest are taken.
FakeAnswer poisonRefused(const FakeRequest& request) {
    if (request.field("log").value_or("").find("poison") != std::string::npos)
        return FakeAnswer::withStatus(500, "cannot store");
    return FakeAnswer::text(kListed);
}

constexpr int kHour = 3600;

// What waits in the journal file as it stands, read without opening it as a
// journal (which would rewrite it).
std::size_t waitingOnDisk(const std::filesystem::path& journal) {
    return journal_format::parse(readFile(platformFileSystem(), journal, std::size_t{16} << 20).bytes).waiting.size();
}

// Runs the delivery for `seconds` of the clock, a second at a time, without
// waiting: the test's own bound on its steps.
void runFor(ReportDelivery& delivery, FakeClock& clock, int seconds) {
    for (int second = 0; second < seconds; ++second) {
        clock.advanceMs(1000);
        delivery.sendWaiting(1000);
    }
}

TEST_F(Delivery, AReportRefusedAgainAndAgainIsSetAsideTheOthersGoOnAndItIsTriedHourlyThenGivenUp) {
    testing::TempFolder folder;
    const auto journal = folder.file("Tidemark.queue");
    auto delivery = open(journal);
    server.push(FakeAnswer::requestFailure());  // the first attempt of "before" fails: all queue up
    submit(*delivery, "before");
    server.respondWith(poisonRefused);
    for (const char* line : {"poison", "after 1", "after 2"}) submit(*delivery, line);
    runFor(*delivery, clock, kHour / 2);

    std::vector<std::string> sent = posts();
    ASSERT_GE(sent.size(), 4u);
    const std::size_t n = ReportQueue::kSetAsideAfter;
    ASSERT_EQ(sent.size(), n + 5) << "after the one more try at once, nothing until the hour";
    EXPECT_EQ(sent[1], "01:en:before");
    EXPECT_EQ(std::vector<std::string>(sent.begin() + 2, sent.begin() + 2 + static_cast<std::ptrdiff_t>(n)),
              std::vector<std::string>(n, "02:en:poison"));
    EXPECT_EQ(sent[2 + n], "03:en:after 1") << "the others go on";
    EXPECT_EQ(sent[3 + n], "02:en:poison");
    EXPECT_EQ(sent[4 + n], "04:en:after 2");
    EXPECT_EQ(delivery->waiting(), 1u);
    EXPECT_EQ(waitingOnDisk(journal), 1u) << "set aside, it stays in the journal";

    // Tried again about hourly; the line's time is old enough to be given up
    // at once, a fresh one only after its last attempt.
    const std::size_t before = server.requestCount();
    runFor(*delivery, clock, 3 * kHour);
    EXPECT_GE(server.requestCount() - before, 2u);
    EXPECT_LE(server.requestCount() - before, 3u);
    EXPECT_EQ(delivery->waiting(), 1u);
    clock.setNow(clock.now() + ReportQueue::kGiveUpAfterSeconds + 4 * kHour);
    runFor(*delivery, clock, 2 * kHour);
    EXPECT_EQ(delivery->waiting(), 0u);
    const std::vector<std::u16string> shown = messages();
    EXPECT_EQ(std::count(shown.begin(), shown.end(), u"* " + LoadTextW(kTextReportGivenUp)), 1);
    EXPECT_EQ(waitingOnDisk(journal), 0u) << "given up, it is out of the journal";
}

// While the server fails everything, nothing is set aside for good: the
// reports keep their order and all go once it is back.
TEST_F(Delivery, AServerThatFailsEverythingSetsNothingAsideAndTheOrderHolds) {
    auto delivery = open();
    bool down = true;
    server.respondWith([&](const FakeRequest&) {
        return down ? FakeAnswer::withStatus(500, "database down") : FakeAnswer::text(kListed);
    });
    for (int i = 0; i < 4; ++i) submit(*delivery, "line " + std::to_string(i));
    runFor(*delivery, clock, kHour);
    const std::vector<std::string> failed = posts();
    ASSERT_GT(failed.size(), 4u * ReportQueue::kSetAsideAfter);
    EXPECT_GT(std::count(failed.begin(), failed.end(), "01:en:line 0"),
              2 * std::count(failed.begin(), failed.end(), "02:en:line 1"))
        << "the head keeps most of the attempts";
    EXPECT_EQ(std::count(failed.begin(), failed.end(), "03:en:line 2"), 0) << "a probation goes one deep";
    down = false;
    runFor(*delivery, clock, 2 * 60);

    EXPECT_EQ(delivery->waiting(), 0u) << "nothing waits an hour once the server is back";
    const std::vector<std::string> all = posts();
    std::vector<std::string> taken(all.begin() + static_cast<std::ptrdiff_t>(failed.size()), all.end());
    // Back in the middle of a probation, the report behind may go first.
    if (taken.size() == 4 && taken[0] == "02:en:line 1") std::swap(taken[0], taken[1]);
    EXPECT_EQ(taken, (std::vector<std::string>{"01:en:line 0", "02:en:line 1", "03:en:line 2", "04:en:line 3"}));
}

// --- stop -------------------------------------------------------------------

TEST_F(Delivery, AStopIsSeenBeforeEveryReportAndEveryUnansweredOneStaysInTheJournal) {
    testing::TempFolder folder;
    const auto journal = folder.file("Tidemark.queue");
    auto delivery = open(journal);
    server.push(FakeAnswer::requestFailure());
    std::vector<PendingReport> backlog;
    LogRecord record;
    const std::string line = "a line";
    record.raw = reinterpret_cast<const std::uint8_t*>(line.data());
    record.rawLength = static_cast<std::uint32_t>(line.size());
    for (std::size_t i = 0; i < ReportQueue::kDefaultMaxReports; ++i)
        backlog.push_back(delivery->reportOf(record, "en", session.resetGeneration()));
    delivery->handOver(std::move(backlog));
    int answered = 0;
    server.onRequest([&](const FakeRequest&) {
        if (++answered == 3) session.requestStop();
    });
    server.respondWith([](const FakeRequest&) { return FakeAnswer::text(kListed); });

    clock.advanceMs(1000);
    delivery->sendWaiting(3600000);

    EXPECT_EQ(server.requestCount(), 3u);
    EXPECT_EQ(waitingOnDisk(journal), ReportQueue::kDefaultMaxReports - 3);
}

// --- on the disk before the first attempt -----------------------------------

TEST_F(Delivery, EveryReportOfAPassIsOnTheDiskBeforeItsFirstAttempt) {
    testing::TempFolder folder;
    const auto journal = folder.file("Tidemark.queue");
    auto delivery = open(journal);
    std::vector<std::string> missing;
    server.onRequest([&](const FakeRequest& request) {
        // What a power cut now would leave: the file as it stands.
        const journal_format::ParsedJournal onDisk =
            journal_format::parse(readFile(platformFileSystem(), journal, std::size_t{1} << 20).bytes);
        const std::string id = request.header(kReportIdHeader).value_or("");
        if (std::none_of(onDisk.waiting.begin(), onDisk.waiting.end(),
                         [&](const JournalEntry& entry) { return entry.id.toHex() == id; }))
            missing.push_back(id);
    });
    for (int i = 0; i < 3; ++i) server.answer(kListed);

    LogRecord record;
    const std::string line = "a line";
    record.raw = reinterpret_cast<const std::uint8_t*>(line.data());
    record.rawLength = static_cast<std::uint32_t>(line.size());
    std::vector<PendingReport> pass;
    for (int i = 0; i < 3; ++i) pass.push_back(delivery->reportOf(record, "en", session.resetGeneration()));
    delivery->handOver(std::move(pass));
    clock.advanceMs(1000);
    delivery->sendWaiting(1000);

    EXPECT_EQ(server.requestCount(), 3u);
    EXPECT_TRUE(missing.empty()) << missing.size() << " reports were sent before they were on the disk";
    EXPECT_EQ(waitingOnDisk(journal), 0u);
}

// --- on a thread of its own ---------------------------------------------------

// A server that does not answer holds only the sending thread: passes are
// handed over meanwhile, and once it answers they all go, in order.
TEST(DeliveryThread, ASilentServerHoldsOnlyTheSenderAndThePassesGoOutInOrderOnceItAnswers) {
    FakeHttpServer server;
    FakeSettingsStore settings;
    CaptureSession session{&systemClock()};
    ServerConnection connection(server.factory(), "host", 80);
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    server.onRequest([&](const FakeRequest&) {
        std::unique_lock guard(mutex);
        changed.wait_for(guard, std::chrono::seconds(20), [&] { return released; });
    });
    server.respondWith([](const FakeRequest&) { return FakeAnswer::text(kListed); });
    {
        ReportDelivery delivery(session, connection, systemClock(), &settings, {}, session.resetGeneration());
        delivery.startSending();
        const std::string line = "line";
        LogRecord record;
        record.raw = reinterpret_cast<const std::uint8_t*>(line.data());
        record.rawLength = static_cast<std::uint32_t>(line.size());
        for (int pass = 0; pass < 5; ++pass) {
            record.ordinal = pass;
            std::vector<PendingReport> matches;
            matches.push_back(delivery.reportOf(record, "en", session.resetGeneration()));
            delivery.handOver(std::move(matches));
        }
        EXPECT_EQ(delivery.sendWaiting(1000), 0u) << "the thread sends, not the caller";
        EXPECT_LE(server.requestCount(), 1u);
        EXPECT_EQ(delivery.waiting(), 5u);
        {
            std::lock_guard guard(mutex);
            released = true;
        }
        changed.notify_all();
        for (int i = 0; i < 200 && delivery.waiting() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(delivery.waiting(), 0u);
    }
    std::vector<std::string> ordinals;
    for (const FakeRequest& r : server.requests()) ordinals.push_back(r.field("line").value_or(""));
    EXPECT_EQ(ordinals, (std::vector<std::string>{"0", "1", "2", "3", "4"}));
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

// A journal that cannot be rewritten at start (here the rewrite's temporary
// cannot be made) is appended to as it stands: the answers are marked there,
// and nothing is sent twice by a later start.
TEST_F(Delivery, AJournalThatCannotBeRewrittenAtStartStillMarksWhatWasAnswered) {
    testing::TempFolder folder;
    const auto journal = folder.file("Tidemark.queue");
    {
        auto first = open(journal);
        server.push(FakeAnswer::requestFailure());
        submit(*first, "one");
        submit(*first, "two");
    }
    std::ofstream(journal, std::ios::binary | std::ios::app) << "torn";
    std::filesystem::create_directory(folder.file("Tidemark.queue.tmp"));
    for (int i = 0; i < 2; ++i) server.answer(kListed);
    {
        auto second = open(journal);
        EXPECT_TRUE(second->durable());
        clock.advanceMs(1000);
        second->sendWaiting(1000);
        EXPECT_EQ(second->waiting(), 0u);
    }
    auto third = open(journal);
    third->sendWaiting(1000);
    EXPECT_EQ(posts(), (std::vector<std::string>{"01:en:one", "01:en:one", "02:en:two"}));
}

// A full disk passes: what a pass could not journal is tried again with the
// next, in order, and the Log tab says so once per outage.
TEST_F(Delivery, AFailedAppendIsTriedAgainWithTheNextPassAndToldOncePerOutage) {
    SimulatedDisk disk;
    const std::filesystem::path journal = "/player/Tidemark.queue";
    auto delivery = open(journal, false, disk);
    ASSERT_TRUE(delivery->durable());
    server.respondWith([](const FakeRequest&) { return FakeAnswer::requestFailure(); });
    const std::u16string told = u"* " + LoadTextW(kTextJournalNotWritten);

    disk.failCall(1, SimulatedDisk::Call::Write, 5);
    submit(*delivery, "one");
    disk.failCall(1, SimulatedDisk::Call::SyncData);
    submit(*delivery, "two");
    submit(*delivery, "three");
    EXPECT_EQ(messages(), std::vector<std::u16string>{told});
    disk.failCall(1, SimulatedDisk::Call::Write);
    submit(*delivery, "four");
    EXPECT_EQ(messages(), (std::vector<std::u16string>{told, told})) << "a new outage is told again";
    submit(*delivery, "five");

    disk.cutPower();
    disk.powerOn();
    std::vector<std::string> kept;
    for (const JournalEntry& entry : ReportJournal::open(journal, {}, disk).second.waiting) kept.push_back(entry.line);
    EXPECT_EQ(kept, (std::vector<std::string>{"one", "two", "three", "four", "five"}));
    EXPECT_EQ(delivery->waiting(), 5u);
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
    EXPECT_EQ(delivery->durable(), c.notice != kTextJournalUnusable);
}

INSTANTIATE_TEST_SUITE_P(
    Journals, DeliveryJournal,
    ::testing::Values(JournalCase{"DamagedTail", kTextJournalDamaged, journal_format::header() + "torn"},
                      JournalCase{"OtherVersion", kTextJournalOtherVersion, journal_format::header(2)},
                      JournalCase{"FlippedMagic", kTextJournalSetAside, "TDMQUEUF" + journal_format::header().substr(8)},
                      JournalCase{"Unusable", kTextJournalUnusable, std::nullopt}),
    [](const ::testing::TestParamInfo<JournalCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tidemark
