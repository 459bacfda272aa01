#include "store/repeated_report.h"

#include <tuple>

namespace tidemark {

StoredReport repeatOutcome(const FirstReport& first, const ReportFields& sent) {
  StoredReport outcome;
  // An id is 128 random bits, never shown: one that comes again with
  // another line is a client's fault or a guessed or leaked id, and
  // answering it would hand over the first report's session and player.
  if (std::tie(first.language, first.patternId, first.code, first.ordinal, first.lineTime, first.present,
               first.line) != std::tie(sent.language, sent.patternId, sent.code, sent.ordinal, sent.lineTime,
                                       sent.present, sent.line)) {
    outcome.reportIdConflict = true;
    return outcome;
  }
  outcome.repeated = true;
  outcome.reportId = first.reportId;
  outcome.sessionId = first.sessionId;
  outcome.language = first.language;
  outcome.line = first.line;
  outcome.playerId = first.playerId;
  // A report that registered its player was sent without that id.
  outcome.newPlayer = first.sentAid != first.playerId;
  outcome.replacedUnknownPlayer = outcome.newPlayer && !first.sentAid.empty();
  return outcome;
}

}  // namespace tidemark
