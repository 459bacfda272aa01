// Running the server as a service: options and config file, the forwarded
// address behind a trusted proxy, /healthz and /metrics.
#include <gtest/gtest.h>

#include <libpq-fe.h>
#include <sqlite3.h>

#include <atomic>
#include <fstream>

#include "raw_http.h"
#include "server_fixture.h"
#include "store/postgresql_report_store.h"
#include "service/server_options.h"
#include "store/sqlite_report_store.h"
#include "test_database.h"

namespace tidemark {
namespace {

TEST(ServerOptions, ConfigFileIsReadAndFlagsWin) {
  testing::TempDir dir;
  const auto config = (dir.path() / "server.conf").string();
  std::ofstream(config) << "# comment\nport = 2000\ndatabase = postgresql://x@127.0.0.1:5/db\n"
                           "reports-per-second = 2.5\ntrusted-proxy = 10.0.0.1, 10.0.0.2\naccess-log = true\n"
                           "history-report-burst = 3000\nkeep-days = 30\noperator = Example Linkshell, admin@example.org\n";
  ServerOptions options;
  std::string error;
  ASSERT_TRUE(parseServerOptions({"--port", "3000", "--config", config}, options, error)) << error;
  EXPECT_EQ(options.port, 3000);
  EXPECT_EQ(options.database, "postgresql://x@127.0.0.1:5/db");
  EXPECT_DOUBLE_EQ(options.reportsPerSecond, 2.5);
  EXPECT_EQ(options.historyReportBurst, 3000);
  EXPECT_EQ(options.trustedProxies, (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
  EXPECT_TRUE(options.accessLog);
  EXPECT_EQ(options.keepDays, 30);
  EXPECT_EQ(options.operatorContact, "Example Linkshell, admin@example.org");
}

TEST(ServerOptions, FaultsNameTheOptionOrTheLine) {
  testing::TempDir dir;
  const auto config = (dir.path() / "server.conf").string();
  std::ofstream(config) << "port = 80\nthreads = many\n";
  ServerOptions options;
  std::string error;
  EXPECT_FALSE(parseServerOptions({"--config", config}, options, error));
  EXPECT_NE(error.find("server.conf:2: --threads"), std::string::npos) << error;
  EXPECT_FALSE(parseServerOptions({"--port", "0"}, options, error));
  EXPECT_FALSE(parseServerOptions({"--frobnicate", "1"}, options, error));
  EXPECT_NE(error.find("unknown option --frobnicate"), std::string::npos) << error;
  EXPECT_FALSE(parseServerOptions({"--config", (dir.path() / "missing").string()}, options, error));
  EXPECT_FALSE(parseServerOptions({"--keep-days", "-1"}, options, error));
  EXPECT_FALSE(parseServerOptions({"--keep-days", "1e3"}, options, error));
  std::ofstream(config) << "forget-player = 0123456789abcdef0123456789abcdef\n";
  EXPECT_FALSE(parseServerOptions({"--config", config}, options, error));
  EXPECT_NE(error.find("belongs on the command line"), std::string::npos) << error;
  // Every option is documented.
  const std::string usage = serverUsage("tidemark-server");
  for (const char* flag : {"--config", "--database", "--max-connections-per-address", "--trusted-proxy",
                           "--registrations-per-minute", "--reports-per-second", "--history-report-burst",
                           "--access-log", "--backup", "--keep-days", "--forget-player", "--operator"})
    EXPECT_NE(usage.find(flag), std::string::npos) << flag;
}

TEST(ServiceRoutes, HealthAndMetricsAnswerOutsideTheRateLimits) {
  testing::TempDir dir;
  ServiceLimits limits;
  limits.registrationBurst = 1;
  testing::LocalServer server(dir.path() / "reports.sqlite3", limits);
  auto client = server.client();
  // One connection: a request is counted once its answer is sent, and the
  // library finishes a request on a connection before it reads the next,
  // whereas a new connection may be served first by the other event loop.
  client.set_keep_alive(true);
  ASSERT_EQ(client.Post("/rep/post.php", testing::ReportForm{}.body(), "application/x-www-form-urlencoded")->status, 200);
  const auto refused = client.Post("/rep/post.php", testing::ReportForm{}.body(), "application/x-www-form-urlencoded");
  EXPECT_EQ(refused->status, 429);
  EXPECT_EQ(refused->get_header_value("Retry-After"), "6");  // one of 10 a minute
  for (int i = 0; i < 50; ++i) ASSERT_EQ(client.Get("/healthz")->status, 200);
  const auto metrics = client.Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->status, 200);
  for (const char* line : {"tidemark_requests_total{route=\"post\",status=\"200\"} 1",
                           "tidemark_requests_total{route=\"post\",status=\"429\"} 1",
                           "tidemark_requests_total{route=\"healthz\",status=\"200\"} 50",
                           "tidemark_reports_stored_total 1", "tidemark_rejected_total{reason=\"registration_rate\"} 1",
                           "tidemark_request_duration_seconds_count 52", "tidemark_open_connections 1",
                           "tidemark_store_queue_depth 0"})
    EXPECT_NE(metrics->body.find(line), std::string::npos) << line << "\n" << metrics->body;
}

TEST(ServiceRoutes, HistoryCatchUpOfAThousandLines_IsNeverRefused_PresentLinesKeepTheirOwnBurst) {
  testing::TempDir dir;
  testing::LocalServer server(dir.path() / "reports.sqlite3");
  testing::ReportForm form;
  const auto request = [&] {
    const std::string body = form.body();
    return "POST /rep/post.php HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  testing::RawConnection client(server.port());
  client.send(request());
  const auto registered = client.read();
  ASSERT_EQ(registered.status, 200);
  form.aid = registered.body.substr(registered.body.find("\"aid\":\"") + 7, 32);
  // Back to back, as a start sends them: all at once, answered in order.
  const auto sendAll = [&](const char* present, int count) {
    std::string requests;
    for (int i = 0; i < count; ++i) {
      form.present = present;
      form.log = "line " + std::to_string(i);
      requests += request();
    }
    client.send(requests);
    std::vector<testing::RawConnection::Answer> answers;
    for (int i = 0; i < count; ++i) answers.push_back(client.read());
    return answers;
  };
  int refused = 0;
  for (const auto& answer : sendAll("0", 1000)) refused += answer.status != 200;
  EXPECT_EQ(refused, 0) << "history lines refused";
  // The present lines' documented burst is still whole, and still ends.
  const auto present = sendAll("1", 300);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(present[i].status, 200) << "present line " << i;
  EXPECT_EQ(present.back().status, 429);
  EXPECT_NE(present.back().head.find("\r\nRetry-After: 1"), std::string::npos) << present.back().head;
}

TEST(ServiceRoutes, LargeBodiesBeyondTheirSharedAllowance_GetA503WhileOthersPass) {
  testing::TempDir dir;
  HttpLimits limits;
  limits.maxLargeBodyBytes = limits.maxReportBodyBytes - limits.maxBodyBytes;  // one at a time
  testing::LocalServer server(dir.path() / "reports.sqlite3", {}, limits);
  testing::ReportForm form;
  form.log = std::string(10000, 'x');
  const std::string body = form.body();
  const std::string head = "POST /rep/post.php HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  testing::RawConnection holding(server.port()), second(server.port());
  ASSERT_TRUE(holding.send(head + body.substr(0, 20000)));  // past the small limit, not yet done
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  second.send(head + body);
  const auto refused = second.read();
  EXPECT_EQ(refused.status, 503);
  EXPECT_NE(refused.head.find("Retry-After:"), std::string::npos);
  holding.send(body.substr(20000));
  EXPECT_EQ(holding.read().status, 200);
  // The allowance comes back when the request is over, which may be a moment
  // after its answer arrived.
  int status = 0;
  for (int attempt = 0; attempt < 20 && status != 200; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    testing::RawConnection third(server.port());
    third.send(head + body);
    status = third.read().status;
  }
  EXPECT_EQ(status, 200) << "the allowance is not given back";
}

TEST(ServiceRoutes, RegistrationsInFlightAtOnce_NeverPassTheBurst_KnownPlayersTakeNone) {
  testing::TempDir dir;
  HttpLimits httpLimits;
  httpLimits.maxConnectionsPerAddress = 300;
  testing::LocalServer server(dir.path() / "reports.sqlite3", {}, httpLimits);  // burst 20
  testing::ReportForm form;
  const std::string registered = server.report(form);
  form.aid = registered.substr(registered.find("\"aid\":\"") + 7, 32);
  // A known player's reports hold a token only while in flight.
  for (int i = 0; i < 30; ++i) server.report(form);

  // First reports of players this server does not know, all at once.
  constexpr int kAtOnce = 256;
  std::vector<std::unique_ptr<testing::RawConnection>> connections;
  for (int i = 0; i < kAtOnce; ++i) {
    char aid[33];
    std::snprintf(aid, sizeof aid, "%032x", i + 1);
    form.aid = i % 2 ? aid : "";
    const std::string body = form.body();
    connections.push_back(std::make_unique<testing::RawConnection>(server.port()));
    ASSERT_TRUE(connections.back()->send(
        "POST /rep/post.php HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
        "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body));
  }
  int passed = 0;
  for (auto& connection : connections) {
    const int status = connection->read(std::chrono::seconds(10)).status;
    EXPECT_TRUE(status == 200 || status == 429) << status;
    passed += status == 200;
  }
  // 19 tokens left, and one more at most from the refill (10 a minute).
  EXPECT_GE(passed, 19);
  EXPECT_LE(passed, 20);
  EXPECT_EQ(server.store().playerCount(), 1 + passed);
}

class TrustedProxy : public ::testing::TestWithParam<const char*> {};

// The proxy is 127.0.0.5; 127.0.0.6 is outside every listed form.
INSTANTIATE_TEST_SUITE_P(AsAddressOrRange, TrustedProxy,
                         ::testing::Values("127.0.0.5", "127.0.0.4/31", "::ffff:127.0.0.4/127"));

TEST_P(TrustedProxy, ForwardedAddressCountsOnlyFromATrustedProxy) {
  testing::TempDir dir;
  ServiceLimits limits;
  limits.registrationBurst = 1;
  limits.trustedProxies = {GetParam()};
  testing::LocalServer server(dir.path() / "reports.sqlite3", limits);
  const std::string body = testing::ReportForm{}.body();
  const auto postFrom = [&](const std::string& peer, const std::string& forwardedFor) {
    testing::RawConnection connection(server.port(), peer);
    connection.send("POST /rep/post.php HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n" +
                    (forwardedFor.empty() ? "" : "X-Forwarded-For: " + forwardedFor + "\r\n") +
                    "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    return connection.read().status;
  };
  // Through the proxy each client has its own allowance, whatever it claims.
  EXPECT_EQ(postFrom("127.0.0.5", "198.51.100.1"), 200);
  EXPECT_EQ(postFrom("127.0.0.5", "198.51.100.2"), 200);
  EXPECT_EQ(postFrom("127.0.0.5", "203.0.113.9, 198.51.100.2"), 429);
  // An untrusted peer's claim is ignored: its own address counts.
  EXPECT_EQ(postFrom("127.0.0.6", "198.51.100.3"), 200);
  EXPECT_EQ(postFrom("127.0.0.6", "198.51.100.4"), 429);
}

TEST(ServiceRoutes, HealthSays503WithTheReasonWhileWritesFail_AndOkOnceOneSucceeds) {
  testing::TempDir dir;
  const auto database = dir.path() / "reports.sqlite3";
  testing::LocalServer server(database);
  auto client = server.client();
  const auto post = [&] {
    return client.Post("/rep/post.php", testing::ReportForm{}.body(), "application/x-www-form-urlencoded")->status;
  };
  ASSERT_EQ(post(), 200);
  // From outside, every write starts failing while reads still work: what
  // a full disk or a lost lock looks like to the server.
  const auto outside = [&](const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(database.c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  };
  outside("CREATE TRIGGER refuse_writes BEFORE INSERT ON reports BEGIN SELECT RAISE(ABORT, 'disk full'); END");
  EXPECT_GE(post(), 500);
  EXPECT_GE(post(), 500);
  const auto failing = client.Get("/healthz");
  ASSERT_TRUE(failing);
  EXPECT_EQ(failing->status, 503);
  EXPECT_NE(failing->body.find("the last 2 writes to the database failed"), std::string::npos) << failing->body;
  outside("DROP TRIGGER refuse_writes");
  EXPECT_EQ(post(), 200);
  EXPECT_EQ(client.Get("/healthz")->status, 200);
}

TEST(ServiceRoutes, AKnownPlayersTokenAfterPostgresqlDroppedEveryConnection_IsStillFound) {
  testing::TestDatabase database(testing::StoreKind::Postgresql);
  if (!database.available()) GTEST_SKIP() << "no throwaway PostgreSQL runs (tools/throwaway-postgresql.sh)";
  testing::LocalServer server(database.address());
  const std::string answer = server.report(testing::ReportForm{});
  const size_t at = answer.find("\"aid\":\"");
  ASSERT_NE(at, std::string::npos) << answer;
  const std::string aid = answer.substr(at + 7, 32);
  // What a restart of PostgreSQL does to the server's idle connections.
  PGconn* admin = PQconnectdb(database.address().c_str());
  PGresult* dropped = PQexec(admin, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                                    "WHERE datname = current_database() AND pid <> pg_backend_pid()");
  EXPECT_EQ(PQresultStatus(dropped), PGRES_TUPLES_OK) << PQerrorMessage(admin);
  PQclear(dropped);
  PQfinish(admin);
  auto client = server.client();
  for (int i = 0; i <= PostgresqlReportStore::kReaders; ++i) {
    const auto token = client.Get(testing::getTarget({{"get", "token"}, {"wader", aid}}));
    ASSERT_TRUE(token);
    EXPECT_EQ(token->status, 200) << token->body;
  }
}

}  // namespace
}  // namespace tidemark

namespace tidemark {
namespace {

TEST(Backup, CopiesARunningServersDatabaseWithWhatSitsInTheLog) {
  testing::TempDir dir;
  const auto database = dir.path() / "reports.sqlite3";
  testing::ServerProcess server(database);
  httplib::Client client("127.0.0.1", server.port());
  for (int i = 0; i < 25; ++i)
    ASSERT_EQ(client.Post("/rep/post.php", testing::ReportForm{}.body(), "application/x-www-form-urlencoded")->status, 200);
  const auto backup = dir.path() / "backup.sqlite3";
  const std::string command = std::string(TIDEMARK_SERVER_EXECUTABLE) + " --database " + database.string() +
                              " --backup " + backup.string() + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(testing::countRows(backup, "reports"), 25);
  EXPECT_EQ(testing::countRows(backup, "players"), 25);
  // It never overwrites.
  EXPECT_NE(std::system(command.c_str()), 0);
}

TEST(Backup, FinishesWhileReportsAreWrittenWithoutPause_AndIsAWholeDatabase) {
  testing::TempDir dir;
  const auto database = (dir.path() / "reports.sqlite3").string();
  std::string error;
  auto store = SqliteReportStore::open(database, error);
  ASSERT_TRUE(store) << error;
  ReportFields report;
  report.language = "en";
  report.patternId = 2;
  report.code = 29;
  report.present = true;
  const auto first = store->store(report);
  ASSERT_TRUE(first);
  report.aid = first->playerId;
  // Enough pages that a copy in steps sees writes between its steps; lines
  // of zero bytes take as many pages and give the search index no work.
  ASSERT_TRUE(testing::TestDatabase::executeOn(database,
      "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 8000)"
      " INSERT INTO reports(player, received_at_ms, session, lang, sid, fid, aid, pid, code, log, line, ltime,"
      " present) SELECT 1, 0, 's', 'en', '', '', '', 2, 29, zeroblob(3000), 0, x, 1 FROM n"));

  std::atomic<bool> copied{false}, gaveUp{false};
  std::atomic<int64_t> written{0};
  // Writers back to back, as a busy server commits. Bounded: a copy that
  // never finishes ends the writes after 20 s.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::vector<std::thread> writers;
  for (int i = 0; i < 3; ++i)
    writers.emplace_back([&] {
      while (!copied) {
        if (std::chrono::steady_clock::now() > end) {
          gaveUp = true;
          break;
        }
        if (store->store(report)) ++written;
      }
    });
  while (written == 0 && !gaveUp) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const int64_t writtenBefore = written;
  const auto backup = (dir.path() / "backup.sqlite3").string();
  const bool done = backupSqliteDatabase(database, backup, error);
  const bool underWrites = !gaveUp && written > writtenBefore;
  copied = true;
  for (auto& writer : writers) writer.join();
  ASSERT_TRUE(done) << error;
  EXPECT_TRUE(underWrites) << "the copy finished only once the writes had stopped";
  EXPECT_FALSE(std::filesystem::exists(backup + ".partial"));
  EXPECT_GE(testing::countRows(backup, "reports"), 8001);
  // The copy is one file that opens as a store of its own.
  const auto reopened = SqliteReportStore::open(backup, error);
  ASSERT_TRUE(reopened) << error;
  EXPECT_EQ(reopened->playerCount(), 1);
}

}  // namespace
}  // namespace tidemark

namespace tidemark {
namespace {

// A database that takes reports and never answers until it is closed.
class SilentStore final : public ReportStore {
 public:
  ~SilentStore() override { answerAll(); }
  // What a database that comes back at last does; the service must still be
  // there to hear it.
  void answerAll() {
    std::vector<StoreDone> waiting;
    {
      std::lock_guard lock(mutex_);
      waiting.swap(waiting_);
    }
    for (auto& done : waiting) done(std::nullopt);
  }
  void storeAsync(ReportFields, StoreDone done) override {
    std::lock_guard lock(mutex_);
    waiting_.push_back(std::move(done));
  }
  TokenLookup tokenOf(std::string_view) override { return {}; }
  std::optional<bool> playerExists(std::string_view) override { return false; }
  PageLookup lookUpPage(std::string_view) override { return {false, "the database does not answer"}; }
  int64_t reportCount() override { return 0; }
  int64_t playerCount() override { return 0; }
  bool healthy() override { return false; }
  size_t queueDepth() const override {
    std::lock_guard lock(mutex_);
    return waiting_.size();
  }
  std::string describe() const override { return "silent"; }
  std::optional<std::vector<DayTotal>> dayTotalsOf(std::string_view, int64_t, int64_t) override {
    return std::nullopt;
  }
  std::optional<std::vector<ExportedReport>> exportBatch(std::string_view, int64_t, int64_t) override {
    return std::nullopt;
  }
  EraseOutcome forgetPlayer(std::string_view) override { return {false, true, 0}; }
  int64_t removeErasedPlayers() override { return -1; }
  int64_t removeLinesReceivedBefore(int64_t) override { return -1; }
  std::optional<std::string> pageSecret() override { return std::nullopt; }

 protected:
  std::optional<PlayerReports> listReports(std::string_view, int64_t, int64_t, const ReportFilter&, const PageKey&) override {
    return std::nullopt;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<StoreDone> waiting_;
};

TEST(Stopping, ReportsWaitingOnADatabaseThatDoesNotAnswer_Get503AndTheStopIsQuick) {
  SilentStore store;
  std::FILE* logFile = std::tmpfile();
  ServerLog log(logFile);
  ReportService service(testing::bundledCatalog(), store, log, {});
  HttpFront front(service, {});
  std::string error;
  ASSERT_TRUE(front.start("127.0.0.1", 0, error)) << error;
  testing::RawConnection client(front.port());
  const std::string body = testing::ReportForm{}.body();
  client.send("POST /rep/post.php HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
              "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  testing::RawConnection health(front.port(), "127.0.0.2");
  health.send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(health.read().status, 503);
  for (int i = 0; i < 100 && store.queueDepth() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(store.queueDepth(), 1u);
  const auto started = std::chrono::steady_clock::now();
  front.stop(std::chrono::milliseconds(300));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  const auto answer = client.read(std::chrono::seconds(2));
  EXPECT_TRUE(answer.status == 503 || answer.status == 0) << answer.status;
  store.answerAll();  // after the request is gone: lands nowhere
  std::fclose(logFile);
}

}  // namespace
}  // namespace tidemark
