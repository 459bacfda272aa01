#pragma once
// Posting one matched game log line, and what the server answered.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "report/server_connection.h"
#include "session/log_record.h"

namespace tidemark {

// Who sends the report: the language its pattern set was fetched for, the
// server's identifiers of this run, and the player's id (empty while unknown).
struct ReportIdentity {
    std::string language;
    std::string sid;
    std::string fid;
    std::string playerId;
};

struct ReportAnswer {
    enum class Outcome {
        NotSent,      // no connection, or the request could not be made or sent
        Lost,         // sent, but the answer broke off: the server may or may not have it
        NotAnObject,  // `text` is the answer as received (may be empty): the server's own text
        Object,       // the members below, each only when it was a string
    };
    Outcome outcome = Outcome::NotSent;
    AnswerStatus status;  // of a sent request
    std::string text;
    std::optional<std::string> log, msg, sid, fid, aid;
};

// The header that carries a report's id on every attempt, so that the server
// can tell a repeat from a new line.
inline constexpr char kReportIdHeader[] = "Tidemark-Report-Id";

// Sends the ten fields of the report and reads the answer. The line goes
// over its full `rawLength`, NUL and separator bytes included; `reportId`,
// when not empty, goes in the report id header, never in the body.
ReportAnswer postLine(ServerConnection& connection, const ReportIdentity& identity, const LogRecord& record,
                      std::string_view reportId = {});

// Whether the answer ends the report. Any answer the server gave in full
// does (an object is applied, anything else is the server's text for the
// player), except those that say "try again later": 408, 429 and a 5xx.
// Nothing received, or an answer that broke off, keeps the report too.
bool endsReport(const ReportAnswer& answer);

}  // namespace tidemark
