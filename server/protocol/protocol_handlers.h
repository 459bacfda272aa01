#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "protocol/catalog.h"
#include "base/reply.h"
#include "store/report_store.h"

namespace tidemark {

// The client's two endpoints. Every value is taken from the raw request
// target or body and percent-decoded here, byte for byte.
//
// A report's answer carries:
//   "log"  the line rendered for the client's Log tab;
//   "sid"  the session: issued on a client's first report of a run (its
//          "sid" is empty then) and sent back by the client with every
//          later report of that run, so that the reports of one run belong
//          together;
//   "fid"  the id of the stored report, which the client sends back with its
//          next report (kept with that report as the one before it);
//   "aid"  only when a player was registered: the new player id;
//   "msg"  only when there is something to tell the player.
class ProtocolHandlers {
 public:
  ProtocolHandlers(const Catalog& catalog, ReportStore& store) : catalog_(catalog), store_(store) {}

  // GET "/rep/get.php": "get" = "lang", "pattern" (with "lang") or "token"
  // (with "wader").
  Reply get(std::string_view target) const;
  // Whether `get` would read the database for this target (a token), which
  // then must not run on an event loop.
  static bool readsStore(std::string_view target);
  // POST "/rep/post.php", a line report, in two steps around the store:
  // the checked report (or the refusal of bad input), then the answer to it.
  struct CheckedReport {
    ReportFields fields;
    std::string log;  // the line rendered for the answer
  };
  // `reportId`: the Tidemark-Report-Id header, when sent.
  std::variant<Reply, CheckedReport> checkReport(std::string_view body,
                                                 const std::optional<std::string>& reportId = std::nullopt) const;
  static Reply answerReport(const CheckedReport& report, const std::optional<StoredReport>& stored);

 private:
  const Catalog& catalog_;
  ReportStore& store_;
};

}  // namespace tidemark
