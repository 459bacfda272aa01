// Pages read the database on page threads of their own: a slow page holds
// up neither the event loops nor the reports, and pages are rate-limited.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <thread>

#include "base/page_binding.h"
#include "page/erase_confirmation.h"
#include "server_fixture.h"

namespace tidemark {
namespace {

using namespace std::chrono_literals;

// A real store whose page reads wait until released (5 s at most).
class SlowPagesStore final : public ReportStore {
 public:
  explicit SlowPagesStore(std::unique_ptr<ReportStore> inner) : inner_(std::move(inner)) {}

  // Set once a held read was let go by the stop's interruption.
  void onInterrupt(std::atomic<bool>* cut) { cut_ = cut; }
  void interruptReads() override {
    if (cut_ && waiting_ > 0) *cut_ = true;
    release();
  }

  void release() {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    releasedSignal_.notify_all();
  }
  int waiting() const { return waiting_; }

  void storeAsync(ReportFields fields, StoreDone done) override { inner_->storeAsync(std::move(fields), std::move(done)); }
  TokenLookup tokenOf(std::string_view playerId) override { return inner_->tokenOf(playerId); }
  std::optional<bool> playerExists(std::string_view playerId) override { return inner_->playerExists(playerId); }
  PageLookup lookUpPage(std::string_view token) override { return inner_->lookUpPage(token); }
  int64_t reportCount() override { return inner_->reportCount(); }
  int64_t playerCount() override { return inner_->playerCount(); }
  bool healthy() override { return inner_->healthy(); }
  size_t queueDepth() const override { return inner_->queueDepth(); }
  std::string describe() const override { return inner_->describe(); }
  std::optional<std::vector<DayTotal>> dayTotalsOf(std::string_view token, int64_t fromDay, int64_t toDay) override {
    return inner_->dayTotalsOf(token, fromDay, toDay);
  }
  std::optional<std::vector<ExportedReport>> exportBatch(std::string_view token, int64_t afterId,
                                                         int64_t limit) override {
    return inner_->exportBatch(token, afterId, limit);
  }
  EraseOutcome forgetPlayer(std::string_view token) override { return inner_->forgetPlayer(token); }
  int64_t removeErasedPlayers() override { return inner_->removeErasedPlayers(); }
  int64_t removeLinesReceivedBefore(int64_t beforeMs) override { return inner_->removeLinesReceivedBefore(beforeMs); }
  std::optional<std::string> pageSecret() override { return inner_->pageSecret(); }

 protected:
  std::optional<PlayerReports> listReports(std::string_view token, int64_t offset, int64_t limit,
                                           const ReportFilter& filter, const PageKey& key) override {
    ++waiting_;
    {
      std::unique_lock lock(mutex_);
      releasedSignal_.wait_for(lock, 5s, [&] { return released_; });
    }
    --waiting_;
    return inner_->reportsOf(token, offset, limit, filter, key);
  }

 private:
  std::unique_ptr<ReportStore> inner_;
  std::mutex mutex_;
  std::condition_variable releasedSignal_;
  bool released_ = false;
  std::atomic<int> waiting_{0};
  std::atomic<bool>* cut_ = nullptr;
};

std::string tokenOfNewPlayer(testing::LocalServer& server, const std::string& line) {
  testing::ReportForm form;
  form.log = line;
  const std::string answer = server.report(form);
  const size_t aid = answer.find("\"aid\":\"");
  if (aid == std::string::npos) return {};
  const auto token = server.store().tokenOf(answer.substr(aid + 7, 32));
  return token ? *token : std::string();
}

// What reads the database for a page, or for an erase post's check, does
// so on a page thread, never an event loop's: slow ones hold up neither the
// language list nor another player's report, and one the page deadline
// overtakes is answered 503 (an erase post then erases nothing).
struct SlowRead {
  const char* name;
  bool erase;  // an erase post, else a view of the page
};

void PrintTo(const SlowRead& read, std::ostream* out) { *out << read.name; }

class PageThreadsSlow : public ::testing::TestWithParam<SlowRead> {};

TEST_P(PageThreadsSlow, HoldUpNeitherTheLanguageListNorReports_AndAre503AtTheirDeadline) {
  testing::TempDir dir;
  std::string error;
  auto slow = std::make_unique<SlowPagesStore>(ReportStore::open((dir.path() / "reports.sqlite3").string(), error));
  SlowPagesStore& store = *slow;
  testing::LocalServer server(std::move(slow));
  const std::string token = tokenOfNewPlayer(server, "a line");
  ASSERT_FALSE(token.empty());
  const std::string confirm = "confirm=" + pageBoundToken(*store.pageSecret(), kErasePurpose, token);

  // More slow requests at once than there are event loops.
  std::vector<int> statuses(4, 0);
  std::vector<std::thread> requests;
  for (size_t i = 0; i < statuses.size(); ++i)
    requests.emplace_back([&, i] {
      const auto answer = GetParam().erase
                              ? server.client().Post("/" + token + "/erase", confirm, "application/x-www-form-urlencoded")
                              : server.client().Get("/" + token);
      statuses[i] = answer ? answer->status : -1;
    });
  for (int i = 0; i < 200 && store.waiting() < 2; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_GE(store.waiting(), 2);

  auto client = server.client();
  client.set_read_timeout(1s);
  const auto languages = client.Get(testing::getTarget({{"get", "lang"}, {"lang", ""}}));
  ASSERT_TRUE(languages) << "the language list waited for the slow requests";
  EXPECT_EQ(languages->status, 200);
  testing::ReportForm other;
  other.log = "another player's line";
  const auto report = client.Post("/rep/post.php", other.body(), "application/x-www-form-urlencoded");
  ASSERT_TRUE(report) << "another player's report waited for the slow requests";
  EXPECT_EQ(report->status, 200);

  for (auto& request : requests) request.join();
  for (const int status : statuses) EXPECT_EQ(status, 503);
  store.release();
  std::this_thread::sleep_for(200ms);
  const auto page = server.client().Get("/" + token);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200) << "a request answered 503 erased the player";
}

INSTANTIATE_TEST_SUITE_P(PageThreads, PageThreadsSlow,
                         ::testing::Values(SlowRead{"PageViews", false}, SlowRead{"ErasePosts", true}),
                         [](const ::testing::TestParamInfo<SlowRead>& info) { return std::string(info.param.name); });

// A stop does not wait out the page being built: its read is cut (for
// SQLite, a long read in progress fails rather than running to its bound).
TEST(PageThreads, AStopCutsTheReadsOfPagesBeingBuilt) {
  testing::TempDir dir;
  std::string error;
  std::atomic<bool> cut{false};
  std::thread viewer;
  {
    auto slow = std::make_unique<SlowPagesStore>(ReportStore::open((dir.path() / "a.sqlite3").string(), error));
    slow->onInterrupt(&cut);
    SlowPagesStore& store = *slow;
    testing::LocalServer server(std::move(slow));
    const std::string token = tokenOfNewPlayer(server, "a line");
    viewer = std::thread([&server, token] { server.client().Get("/" + token); });
    for (int i = 0; i < 200 && store.waiting() < 1; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(store.waiting(), 1);
  }
  viewer.join();
  EXPECT_TRUE(cut) << "the stop waited for the page's read";

  auto store = ReportStore::open((dir.path() / "b.sqlite3").string(), error);
  ASSERT_TRUE(store) << error;
  ReportFields fields;
  fields.aid = "";
  fields.language = "en";
  fields.patternId = 2;
  const auto first = store->store(fields);
  ASSERT_TRUE(first);
  fields.aid = first->playerId;
  for (int i = 0; i < 300; ++i) {
    fields.line = "line " + std::to_string(i);
    ASSERT_TRUE(store->store(fields));
  }
  const std::string token = *store->tokenOf(first->playerId);
  const ReportFilter scan{{}, std::nullopt, "zz"};  // too short for the index: a scan
  ASSERT_TRUE(store->reportsOf(token, 0, 50, scan));
  store->interruptReads();
  EXPECT_FALSE(store->reportsOf(token, 0, 50, scan));
}


TEST(PageThreads, PageViewsAreLimitedPerPlayerAndPerAddress) {
  testing::TempDir dir;
  ServiceLimits limits;
  limits.pagesPerSecond = limits.addressPagesPerSecond = 0.001;
  limits.pageBurst = 2;
  limits.addressPageBurst = 4;
  testing::LocalServer server(dir.path() / "reports.sqlite3", limits);
  const std::string first = tokenOfNewPlayer(server, "first"), second = tokenOfNewPlayer(server, "second");
  auto client = server.client();
  const auto status = [&](const std::string& token) {
    const auto page = client.Get("/" + token);
    return page ? page->status : -1;
  };
  EXPECT_EQ(status(first), 200);
  EXPECT_EQ(status(first), 200);
  const auto refused = client.Get("/" + first);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 429);
  EXPECT_EQ(refused->body, "Too many views of this page. Please wait a moment.");
  EXPECT_TRUE(refused->has_header("Retry-After"));
  // The address's fourth view is another player's page; its fifth is refused.
  EXPECT_EQ(status(second), 200);
  const auto fromAddress = client.Get("/" + second);
  ASSERT_TRUE(fromAddress);
  EXPECT_EQ(fromAddress->status, 429);
  EXPECT_NE(fromAddress->body.find("from this address"), std::string::npos) << fromAddress->body;
}

}  // namespace
}  // namespace tidemark
