#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "base/address_ranges.h"
#include "protocol/catalog.h"
#include "front/http_front.h"
#include "protocol/protocol_handlers.h"
#include "service/downloads.h"
#include "service/player_data_keeper.h"
#include "service/page_pool.h"
#include "base/rate_limiter.h"
#include "store/report_store.h"
#include "base/server_log.h"
#include "base/server_metrics.h"
#include "service/write_health.h"

namespace tidemark {

struct ServiceLimits {
  double registrationsPerMinute = 10;
  double registrationBurst = 20;
  double reportsPerSecond = 20;
  double reportBurst = 200;
  // Lines from the game's history ("present" 0) have a bucket of their own,
  // refilled at reportsPerSecond: a start reads the whole log at once, and
  // its catch-up must neither be refused nor use up the present lines' burst.
  double historyReportBurst = 2000;
  // Page views (the player's page, a page token), each per player and per
  // address: a page reads the database, the report path's other user.
  double pagesPerSecond = 2;
  double pageBurst = 20;
  double addressPagesPerSecond = 5;
  double addressPageBurst = 50;
  // The page threads, how many views may wait for them, and how long a view
  // may take before it is answered 503.
  unsigned pageThreads = 2;
  size_t maxWaitingPages = 64;
  std::chrono::milliseconds pageDeadline{2000};
  // Downloads of a player's lines running at once.
  DownloadLimits downloads;
  // Erase confirmations and erase posts, per address: each reads the
  // database, and a post that is let through forgets a player.
  double erasuresPerMinute = 6;
  double erasureBurst = 10;
  // Proxies whose X-Forwarded-For names the client for the rate limits.
  AddressRanges trustedProxies;
  bool accessLog = false;
  // Lines received more than this many days ago are removed in the
  // background; 0 keeps them.
  int keepDays = 0;
  // Who runs the server, name and contact, told on every page when set.
  std::string operatorContact;
  std::chrono::milliseconds retentionSweep{std::chrono::minutes(10)};
};

// The report server's routes behind the HTTP front: the client's protocol,
// the player pages, /healthz and /metrics; with the per-address and
// per-player rate limits, the metrics and the log lines.
class ReportService final : public HttpService {
 public:
  ReportService(const Catalog& catalog, ReportStore& store, ServerLog& log, ServiceLimits limits);

  void handle(const HttpRequest& request, Respond respond) override;
  void refused(std::string_view reason, const std::string& peerAddress, int status) override;
  void answered(const HttpRequest& request, int status, size_t bodyBytes, double seconds) override;
  void connectionsChanged(int delta) override;

  // Waits for the pages and download batches being built, which read the
  // store: before the store closes.
  void stopPages() {
    store_.interruptReads();
    pages_.reset();
    downloadThreads_.stop();
  }

  const ServerMetrics& metrics() const { return metrics_; }
  // Stops the background removals; before the store closes.
  void stopBackgroundWork() { keeper_.stop(); }
  // The address the limits count a request against.
  std::string clientAddress(const HttpRequest& request) const;

 private:
  void postReport(const HttpRequest& request, Respond respond);
  void serveYourData(const HttpRequest& request, std::string_view token, std::string_view what, Respond respond);
  void serveDownload(const HttpRequest& request, const std::string& token, std::string_view what, Respond respond);
  void erase(const HttpRequest& request, const std::string& token, Respond respond);
  // Off the event loop, within the page limits.
  void readOnPageThread(const HttpRequest& request, const std::string& player, PagePool::Build build,
                        Respond respond);
  void refuseByLimit(const std::string& reason, const std::string& client, int status);
  std::string writeFailureReason() const;
  void logStoreProblem(const Reply& reply, const std::string& route, const std::string& client);
  void refuseByRate(const RateLimiter& limiter, const std::string& key, const std::string& reason,
                    const std::string& client, const char* text, const Respond& respond);

  const Catalog& catalog_;
  ReportStore& store_;
  ServerLog& log_;
  const ServiceLimits limits_;
  ProtocolHandlers protocol_;
  RateLimiter registrations_;
  RateLimiter reports_;
  RateLimiter historyReports_;
  RateLimiter playerPages_;
  RateLimiter addressPages_;
  RateLimiter addressErasures_;
  ServerMetrics metrics_;
  WriteHealth writes_;
  // Stops (finishing the erasure it runs) before the store goes.
  PlayerDataKeeper keeper_;
  // The downloads' places, then their threads: a batch let go on them
  // gives its place back.
  DownloadSlots downloadSlots_;
  DownloadThreads downloadThreads_;
  // Last: its threads use everything above until they are joined.
  std::unique_ptr<PagePool> pages_;
};

}  // namespace tidemark
