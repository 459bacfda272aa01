#pragma once
// Posting one matched game log line, and what the server answered.

#include <optional>
#include <string>

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
        NotAnObject,  // `text` is the answer as received (may be empty)
        Object,       // the members below, each only when it was a string
    };
    Outcome outcome = Outcome::NotSent;
    std::string text;
    std::optional<std::string> log, msg, sid, fid, aid;
};

// Sends the ten fields of the report and reads the answer. The line goes
// over its full `rawLength`, NUL and separator bytes included.
ReportAnswer postLine(ServerConnection& connection, const ReportIdentity& identity, const LogRecord& record);

}  // namespace tidemark
