#include "service/report_service.h"

#include <algorithm>
#include <memory>

#include "base/field_values.h"
#include "page/erase_confirmation.h"
#include "page/player_export.h"
#include "page/player_page.h"

namespace tidemark {
namespace {

constexpr const char* kHomePage =
    "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Tidemark report server</title>"
    "</head><body><h1>Tidemark report server</h1><p>Players open their own page from Tidemark: "
    "\"Jump to mypage\" in the Config tab.</p></body></html>\n";

// Names for metrics and the access log; a page's path is its secret token.
std::string routeOf(const HttpRequest& request) {
  if (request.path == "/rep/post.php") return "post";
  if (request.path == "/rep/get.php") return "get";
  if (request.path == "/healthz") return "healthz";
  if (request.path == "/metrics") return "metrics";
  if (request.path == "/") return "home";
  const size_t slash = request.path.find('/', 1);
  if (slash == std::string::npos) return "page";
  const std::string_view rest = std::string_view(request.path).substr(slash);
  if (rest == "/erase") return "erase";
  if (rest == "/lines.csv" || rest == "/lines.json") return "export";
  return "other";
}

// Downloads are read and encoded on threads of their own, at the lowest
// priority, in turns of one batch.
constexpr unsigned kDownloadThreads = 2;

bool isGet(const HttpRequest& request) { return request.method == "GET" || request.method == "HEAD"; }

std::string trimmed(std::string text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

ReportService::ReportService(const Catalog& catalog, ReportStore& store, ServerLog& log, ServiceLimits limits)
    : catalog_(catalog),
      store_(store),
      log_(log),
      limits_(std::move(limits)),
      protocol_(catalog, store),
      registrations_(limits_.registrationsPerMinute / 60.0, limits_.registrationBurst),
      reports_(limits_.reportsPerSecond, limits_.reportBurst),
      historyReports_(limits_.reportsPerSecond, limits_.historyReportBurst),
      playerPages_(limits_.pagesPerSecond, limits_.pageBurst),
      addressPages_(limits_.addressPagesPerSecond, limits_.addressPageBurst),
      addressErasures_(limits_.erasuresPerMinute / 60.0, limits_.erasureBurst),
      keeper_(store, log, limits_.keepDays, limits_.retentionSweep),
      downloadSlots_(limits_.downloads),
      downloadThreads_(kDownloadThreads, limits_.downloads.bytesPerSecond),
      pages_(std::make_unique<PagePool>(limits_.pageThreads, limits_.maxWaitingPages, limits_.pageDeadline)) {}

std::string ReportService::clientAddress(const HttpRequest& request) const {
  if (request.forwardedFor.empty() || !limits_.trustedProxies.contains(request.peerAddress))
    return request.peerAddress;
  // The proxy appends the address it saw; entries before it are the client's
  // own claims.
  const size_t comma = request.forwardedFor.rfind(',');
  const std::string last = trimmed(comma == std::string::npos ? request.forwardedFor
                                                               : request.forwardedFor.substr(comma + 1));
  return last.empty() ? request.peerAddress : last;
}

void ReportService::handle(const HttpRequest& request, Respond respond) {
  const std::string& path = request.path;
  if (path == "/rep/post.php") {
    if (request.method != "POST") return respond(Reply::text(405, "use POST"));
    return postReport(request, std::move(respond));
  }
  if (const std::string route = routeOf(request); route == "erase" || route == "export") {
    const size_t slash = path.find('/', 1);
    return serveYourData(request, std::string_view(path).substr(1, slash - 1), std::string_view(path).substr(slash + 1),
                         std::move(respond));
  }
  if (!isGet(request)) return respond(Reply::text(405, "use GET"));
  if (path == "/rep/get.php") {
    if (!ProtocolHandlers::readsStore(request.target)) return respond(protocol_.get(request.target));
    return readOnPageThread(request, {}, [this, target = request.target] { return protocol_.get(target); },
                            std::move(respond));
  }
  if (path == "/healthz") {
    if (!store_.healthy()) return respond(Reply::text(503, "the database does not answer\n"));
    if (const auto problem = writes_.problem()) return respond(Reply::text(503, *problem + "\n"));
    return respond(Reply::text(200, "ok\n"));
  }
  if (path == "/metrics") {
    Reply reply = Reply::text(200, metrics_.render(store_.queueDepth()));
    reply.contentType = "text/plain; version=0.0.4; charset=utf-8";
    return respond(std::move(reply));
  }
  if (path == "/") return respond(Reply{200, "text/html; charset=utf-8", kHomePage, {}});
  if (routeOf(request) == "page" && path.size() > 1) {
    const std::string token = path.substr(1);
    // Only an issued token counts as a player: other paths find no page.
    return readOnPageThread(
        request, isIssuedId(token) ? token : std::string(),
        [this, token, target = request.target, cookies = request.cookies] {
          return servePlayerPage(store_, catalog_, token, target, cookies,
                                 PageNotes{limits_.keepDays, limits_.operatorContact});
        },
        std::move(respond));
  }
  respond(Reply::text(404, "not found"));
}

void ReportService::serveYourData(const HttpRequest& request, std::string_view token, std::string_view what,
                                  Respond respond) {
  const std::string player(token);
  if (what != "erase") return serveDownload(request, player, what, std::move(respond));
  if (!isGet(request) && request.method != "POST") return respond(Reply::text(405, "use GET or POST"));
  // Each reads the database and a post may forget a player: few a minute
  // from one address.
  const std::string client = clientAddress(request);
  if (!addressErasures_.allow(client))
    return refuseByRate(addressErasures_, client, "address_erase_rate", client,
                        "Too many erase requests from this address. Please wait a minute.", respond);
  const std::string limitedAs = isIssuedId(player) ? player : std::string();
  if (isGet(request))
    return readOnPageThread(request, limitedAs, [this, player] { return serveEraseConfirmation(store_, player); },
                            std::move(respond));
  erase(request, player, std::move(respond));
}

void ReportService::serveDownload(const HttpRequest& request, const std::string& token, std::string_view what,
                                  Respond respond) {
  if (!isGet(request)) return respond(Reply::text(405, "use GET"));
  const ExportFormat format = what == "lines.csv" ? ExportFormat::Csv : ExportFormat::Json;
  const std::string client = clientAddress(request);
  std::shared_ptr<void> slot;
  if (isIssuedId(token)) {
    // Each download holds up to kDownloadMemory while it runs: so many at
    // once per page, per address and in all.
    const char* refusal = nullptr;
    slot = downloadSlots_.take(token, client, refusal);
    if (!slot) {
      const bool all = std::string_view(refusal) == "downloads";
      refuseByLimit(refusal, client, all ? 503 : 429);
      Reply reply = Reply::text(all ? 503 : 429, all ? "The server is busy with downloads. Please try again in a minute."
                                                     : "Too many downloads at once. Please wait for one to finish.");
      reply.headers.emplace_back("Retry-After", all ? "30" : "10");
      return respond(std::move(reply));
    }
  }
  readOnPageThread(
      request, isIssuedId(token) ? token : std::string(),
      [this, token, format, slot, target = request.target] {
        return servePlayerExport(store_, catalog_, token, target, format,
                                 [this](std::function<size_t()> job) { downloadThreads_.run(std::move(job)); }, slot);
      },
      std::move(respond));
}

void ReportService::erase(const HttpRequest& request, const std::string& token, Respond respond) {
  // Checked on a page thread (the check reads the database); the erasure
  // then goes to the keeper. A check the page deadline overtakes is
  // answered 503 and never erases.
  struct Checked {
    bool japanese = false;
    int64_t lines = 0;
  };
  auto checked = std::make_shared<Checked>();
  constexpr int kGoAhead = 0;
  const std::string client = clientAddress(request);
  PagePool::Build check = [this, token, request, checked, client] {
    if (auto refusal = checkEraseRequest(store_, token, request, checked->japanese, checked->lines)) {
      if (refusal->status == 403) refuseByLimit("cross_site", client, 403);
      return std::move(*refusal);
    }
    return Reply{kGoAhead, {}, {}, {}};
  };
  readOnPageThread(request, isIssuedId(token) ? token : std::string(), std::move(check),
                   [this, token, checked, respond = std::move(respond)](Reply reply) {
                     if (reply.status != kGoAhead) return respond(std::move(reply));
                     keeper_.erase(token, [checked, respond](EraseOutcome outcome) {
                       respond(erasedPage(outcome, checked->japanese, checked->lines));
                     });
                   });
}

void ReportService::readOnPageThread(const HttpRequest& request, const std::string& player, PagePool::Build build,
                                     Respond respond) {
  const std::string client = clientAddress(request);
  if (!addressPages_.allow(client))
    return refuseByRate(addressPages_, client, "address_page_rate", client,
                        "Too many pages asked for from this address. Please wait a moment.", respond);
  if (!player.empty() && !playerPages_.allow(player))
    return refuseByRate(playerPages_, player, "player_page_rate", client,
                        "Too many views of this page. Please wait a moment.", respond);
  if (!pages_) return respond(Reply::text(503, "The server is stopping. Please try again later."));
  pages_->submit(std::move(build), [this, client, route = routeOf(request), respond = std::move(respond)](Reply reply) {
    logStoreProblem(reply, route, client);
    respond(std::move(reply));
  });
}

void ReportService::postReport(const HttpRequest& request, Respond respond) {
  auto checked = protocol_.checkReport(request.body, request.reportId);
  if (auto* refusal = std::get_if<Reply>(&checked)) {
    metrics_.countRejected("bad_input");
    return respond(std::move(*refusal));
  }
  auto report = std::make_shared<ProtocolHandlers::CheckedReport>(std::move(std::get<1>(checked)));
  ReportFields& fields = report->fields;
  const std::string client = clientAddress(request);

  constexpr const char* kTooManyReports = "Too many reports from this player. Please slow down.";
  constexpr const char* kTooManyPlayers = "Too many new players from this address. Please try again later.";
  const bool knownFormat = isIssuedId(fields.aid);
  RateLimiter& perPlayer = fields.present ? reports_ : historyReports_;
  if (knownFormat && !perPlayer.allow(fields.aid))
    return refuseByRate(perPlayer, fields.aid, "player_report_rate", client, kTooManyReports, respond);
  // The registration token is taken before the store, and given back when
  // the store registers nobody: checking first and taking afterwards let
  // every report in flight at once register. A report without a usable
  // player id registers for sure; one with an id of the right form only
  // when the database does not know it, which the store decides, refusing
  // the registration when no token was left.
  const bool tookRegistration = registrations_.allow(client);
  if (!knownFormat && !tookRegistration)
    return refuseByRate(registrations_, client, "registration_rate", client, kTooManyPlayers, respond);
  fields.mayRegister = tookRegistration;
  store_.storeAsync(report->fields, [this, report, client, tookRegistration,
                                     respond = std::move(respond)](std::optional<StoredReport> stored) {
    if (tookRegistration && !(stored && stored->newPlayer && !stored->repeated)) registrations_.giveBack(client);
    if (stored && stored->registrationRefused)
      return refuseByRate(registrations_, client, "registration_rate", client, kTooManyPlayers, respond);
    if (!stored) {
      log_.error("store_error", {{"route", "post"}, {"client", client}, {"reason", writeFailureReason()}});
    } else if (stored->databaseBusy) {
      // A locked database answers every report so: a refusal line, whose
      // rate the log bounds, rather than an error line each.
      refuseByLimit("database_busy", client, 503);
    } else if (stored->reportIdConflict) {
      refuseByLimit("report_id_conflict", client, 409);
    } else if (!stored->repeated) {
      metrics_.countStored();
    }
    if (!stored || stored->databaseBusy) writes_.failed();
    else writes_.succeeded();
    respond(ProtocolHandlers::answerReport(*report, stored));
  });
}

std::string ReportService::writeFailureReason() const {
  std::string reason = store_.lastWriteFailure();
  // A store refuses writes without a database error only while it closes.
  return reason.empty() ? "the store is closing" : reason;
}

void ReportService::logStoreProblem(const Reply& reply, const std::string& route, const std::string& client) {
  if (!reply.storeProblem.empty())
    log_.error("store_error", {{"route", route}, {"client", client}, {"reason", reply.storeProblem}});
}

void ReportService::refuseByRate(const RateLimiter& limiter, const std::string& key, const std::string& reason,
                                 const std::string& client, const char* text, const Respond& respond) {
  refuseByLimit(reason, client, 429);
  Reply reply = Reply::text(429, text);
  reply.headers.emplace_back("Retry-After", std::to_string(limiter.secondsUntilAvailable(key)));
  respond(std::move(reply));
}

void ReportService::refuseByLimit(const std::string& reason, const std::string& client, int status) {
  metrics_.countRejected(reason);
  log_.refusal({{"reason", reason}, {"client", client}, {"status", std::to_string(status)}});
}

void ReportService::refused(std::string_view reason, const std::string& peerAddress, int status) {
  refuseByLimit(std::string(reason), peerAddress, status);
}

void ReportService::answered(const HttpRequest& request, int status, size_t bodyBytes, double seconds) {
  const std::string route = routeOf(request);
  metrics_.countRequest(route, status, seconds);
  if (limits_.accessLog)
    log_.info("access", {{"client", clientAddress(request)},
                         {"method", request.method},
                         {"route", route},
                         {"status", std::to_string(status)},
                         {"bytes", std::to_string(bodyBytes)},
                         {"ms", std::to_string(static_cast<int64_t>(seconds * 1000))}});
}

void ReportService::connectionsChanged(int delta) {
  if (delta > 0) metrics_.connectionOpened();
  else metrics_.connectionClosed();
}

}  // namespace tidemark
