#pragma once

#include <cstdint>
#include <string>

#include "store/report_store.h"

namespace tidemark {

// The report first stored under a report id, as both stores read it back
// when the id comes again.
struct FirstReport {
  int64_t reportId = 0;
  std::string sessionId;
  std::string sentAid;   // "aid" as the first report sent it
  std::string playerId;  // the player it was stored for
  std::string language;
  int32_t patternId = 0;
  int32_t code = 0;
  int32_t ordinal = 0;
  int64_t lineTime = 0;
  bool present = false;
  std::string line;
};

// The first report's answer again when `sent` is that report once more
// (the same line, pattern, language and flags); otherwise a conflict that
// tells the sender nothing of the first.
StoredReport repeatOutcome(const FirstReport& first, const ReportFields& sent);

}  // namespace tidemark
