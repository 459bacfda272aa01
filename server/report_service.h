#pragma once

#include <string>
#include <vector>

#include "catalog.h"
#include "http_front.h"
#include "protocol_handlers.h"
#include "rate_limiter.h"
#include "report_store.h"
#include "server_log.h"
#include "server_metrics.h"

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
  // Proxies whose X-Forwarded-For names the client for the rate limits.
  std::vector<std::string> trustedProxies;
  bool accessLog = false;
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

  const ServerMetrics& metrics() const { return metrics_; }
  // The address the limits count a request against.
  std::string clientAddress(const HttpRequest& request) const;

 private:
  void postReport(const HttpRequest& request, Respond respond);
  void refuseByLimit(const std::string& reason, const std::string& client, int status);
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
  ServerMetrics metrics_;
};

}  // namespace tidemark
