// The bundled report server: serves languages and patterns, stores line
// reports, and shows each player the lines they reported.
#include <csignal>
#include <filesystem>
#include <iostream>
#include <set>

#include "protocol/catalog.h"
#include "service/database_password.h"
#include "store/database_address.h"
#include "front/http_front.h"
#include "front/https_redirect.h"
#include "front/tls_credentials.h"
#include "base/open_file_limit.h"
#include "service/report_service.h"
#include "store/report_store.h"
#include "base/server_log.h"
#include "service/server_options.h"
#include "store/sqlite_report_store.h"

namespace {

// SIGINT and SIGTERM are blocked in every thread, the store's and the HTTP
// library's included, and taken by the main thread, which then stops the
// server: the requests in flight are answered and the store closes cleanly.
// A SIGINT that was ignored when the program started (a background job of a
// script) stays ignored: Linux would otherwise queue it while blocked.
// SIGHUP (a closed terminal, or `systemctl reload`) is taken the same way:
// it reads the TLS certificate and key again (a renewal), else it is only
// logged; its default would kill the server with a status systemd counts as
// clean. SIGPIPE is ignored: a log whose reader has gone must not
// kill the stop half-way.
sigset_t blockStopSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t signals;
  sigemptyset(&signals);
  struct sigaction inherited {};
  if (sigaction(SIGINT, nullptr, &inherited) != 0 || inherited.sa_handler != SIG_IGN)
    sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signals;
}

// A cap per address at or above half the total would let two addresses take
// every connection.
unsigned perAddressCap(unsigned configured, unsigned total) {
  return std::max(1u, std::min(configured, total / 4));
}

// Connections take files; the rest (database, data files, log) needs a few.
constexpr uint64_t kFilesKeptBack = 1024;
constexpr unsigned kDefaultMaxConnections = 16000;

unsigned connectionCap(int configured, uint64_t fileLimit) {
  const uint64_t room = fileLimit > 2 * kFilesKeptBack ? fileLimit - kFilesKeptBack : fileLimit / 2;
  if (configured > 0) return static_cast<unsigned>(std::min<uint64_t>(configured, room));
  return static_cast<unsigned>(std::min<uint64_t>(kDefaultMaxConnections, room));
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tidemark;
  const sigset_t stopSignals = blockStopSignals();
  ServerOptions options;
  std::string error;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (!parseServerOptions(args, options, error)) {
    std::cerr << "tidemark-server: " << error << "\n" << serverUsage(argv[0]);
    return 2;
  }
  if (options.help) {
    std::cout << serverUsage(argv[0]);
    return 0;
  }
  if (!options.databasePasswordFile.empty() &&
      !addDatabasePassword(options.database, options.databasePasswordFile, error)) {
    std::cerr << "tidemark-server: " << error << "\n";
    return 2;
  }
  if (!options.backupFile.empty()) {
    if (ReportStore::isPostgresql(options.database)) {
      std::cerr << "tidemark-server: --backup copies SQLite databases; for PostgreSQL use pg_dump\n";
      return 2;
    }
    if (!backupSqliteDatabase(options.database, options.backupFile, error)) {
      std::cerr << "tidemark-server: backup failed: " << error << "\n";
      return 1;
    }
    std::cout << "tidemark-server: copied " << options.database << " to " << options.backupFile << "\n";
    return 0;
  }

  if (!options.forgetPlayerToken.empty()) {
    auto store = ReportStore::open(options.database, error);
    if (!store) {
      std::cerr << "tidemark-server: cannot open the database " << withoutPassword(options.database) << ": "
                << scrubPassword(error, options.database) << "\n";
      return 1;
    }
    const EraseOutcome outcome = store->erasePlayer(options.forgetPlayerToken);
    if (!outcome.found) {
      std::cerr << "tidemark-server: " << (outcome.failed ? "the database refused the erasure; try again"
                                                          : "no player has the page " + options.forgetPlayerToken)
                << "\n";
      return 1;
    }
    if (outcome.failed) {
      std::cerr << "tidemark-server: the player is forgotten, but " << outcome.lines
                << " lines so far were removed; the rest go at the next start or run\n";
      return 1;
    }
    std::cout << "tidemark-server: forgot the player of that page and removed " << outcome.lines << " lines\n";
    return 0;
  }
  // Certificates that cannot be served are a setting at fault, like the
  // others: refused before anything starts.
  std::unique_ptr<TlsCredentials> tls;
  if (!options.tlsCertificate.empty()) {
    tls = TlsCredentials::load(options.tlsCertificate, options.tlsKey, error);
    if (!tls) {
      std::cerr << "tidemark-server: " << error << "\n";
      return 2;
    }
  }

  ServerLog log;
  const OpenFileLimit files = raiseOpenFileLimit();
  const auto catalog = Catalog::load(options.dataDir, error);
  if (!catalog) {
    log.error("start_failed", {{"reason", "bad data file: " + error}});
    std::cerr << "tidemark-server: bad data file: " << error << "\n";
    return 1;
  }
  auto store = ReportStore::open(options.database, error);
  if (!store) {
    error = scrubPassword(error, options.database);
    log.error("start_failed", {{"reason", "cannot open the database: " + error}});
    std::cerr << "tidemark-server: cannot open the database " << withoutPassword(options.database) << ": "
              << error << "\n";
    return 1;
  }

  HttpLimits limits;
  limits.threads = static_cast<unsigned>(options.threads);
  limits.maxConnections = connectionCap(options.maxConnections, files.now);
  limits.maxConnectionsPerAddress =
      perAddressCap(static_cast<unsigned>(options.maxConnectionsPerAddress), limits.maxConnections);
  limits.idleTimeoutSeconds = static_cast<unsigned>(options.idleTimeoutSeconds);
  limits.requestTimeoutSeconds = static_cast<unsigned>(options.requestTimeoutSeconds);
  limits.listenBacklog = static_cast<unsigned>(options.listenBacklog);
  limits.uncappedAddresses = AddressRanges(options.trustedProxies);
  ServiceLimits serviceLimits;
  serviceLimits.registrationsPerMinute = options.registrationsPerMinute;
  serviceLimits.registrationBurst = options.registrationBurst;
  serviceLimits.reportsPerSecond = options.reportsPerSecond;
  serviceLimits.reportBurst = options.reportBurst;
  serviceLimits.historyReportBurst = options.historyReportBurst;
  serviceLimits.pagesPerSecond = options.pagesPerSecond;
  serviceLimits.pageBurst = options.pageBurst;
  serviceLimits.addressPagesPerSecond = options.addressPagesPerSecond;
  serviceLimits.addressPageBurst = options.addressPageBurst;
  serviceLimits.downloads.perPlayer = static_cast<unsigned>(options.downloadsPerPlayer);
  serviceLimits.downloads.perAddress = static_cast<unsigned>(options.downloadsPerAddress);
  serviceLimits.downloads.total = static_cast<unsigned>(options.maxDownloads);
  serviceLimits.downloads.bytesPerSecond = options.downloadMibPerSecond * 1024 * 1024;
  serviceLimits.trustedProxies = AddressRanges(options.trustedProxies);
  serviceLimits.accessLog = options.accessLog;
  serviceLimits.keepDays = options.keepDays;
  serviceLimits.operatorContact = options.operatorContact;

  ReportService service(*catalog, *store, log, serviceLimits);
  HttpFront front(service, limits);
  if (tls) front.serveTls(*tls);
  HttpsRedirect redirect(options.port);
  if (!front.start(options.address, options.port, error) ||
      (options.redirectPort != 0 && !redirect.start(options.address, options.redirectPort, error))) {
    log.error("start_failed", {{"reason", error}});
    std::cerr << "tidemark-server: " << error << "\n";
    return 1;
  }
  std::error_code ignored;
  const std::string storeName = ReportStore::isPostgresql(options.database)
                                    ? store->describe()
                                    : std::filesystem::absolute(options.database, ignored).string();
  if (tls) log.info("tls", {{"certificate", tls->subject()}});
  if (options.redirectPort != 0)
    log.info("redirect", {{"listen", "http://" + options.address + ":" + std::to_string(options.redirectPort) + "/"}});
  log.info("start", {{"listen", (tls ? "https://" : "http://") + options.address + ":" + std::to_string(front.port()) + "/"},
                     {"store", storeName},
                     {"open_file_limit", std::to_string(files.now)},
                     {"open_file_limit_was", std::to_string(files.before)},
                     {"max_connections", std::to_string(limits.maxConnections)},
                     {"max_connections_per_address", std::to_string(limits.maxConnectionsPerAddress)},
                     {"threads", std::to_string(limits.threads)}});
  std::cout << "tidemark-server: serving ";
  for (const auto& language : catalog->languages())
    std::cout << language.code << " (marker \"" << language.marker << "\") ";
  std::cout << "from " << options.dataDir << std::endl;

  int received = 0;
  while (sigwait(&stopSignals, &received) != 0 || received == SIGHUP) {
    if (received != SIGHUP) continue;
    if (!tls) {
      log.info("sighup", {{"action", "ignored"}, {"reason", "restart the server to read new data files or settings"}});
    } else if (tls->reload(error)) {
      log.info("sighup", {{"action", "tls_reloaded"}, {"certificate", tls->subject()}});
    } else {
      // A renewal caught half-written must not take the server down: the
      // served certificate stays until a later SIGHUP finds good files.
      log.error("sighup", {{"action", "tls_kept"}, {"reason", error}});
    }
  }
  log.info("stopping", {{"signal", received == SIGTERM ? "SIGTERM" : "SIGINT"}});
  // Reports waiting for another program's lock are answered "busy" now, not
  // after the grace, and none queued behind them waits again.
  store->interruptWrites();
  redirect.stop();
  front.stop();
  service.stopPages();
  service.stopBackgroundWork();
  const int64_t reports = store->reportCount();
  store.reset();
  log.info("stop", {{"reports_stored", std::to_string(reports)}});
  return 0;
}
