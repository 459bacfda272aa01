#pragma once
// What the server's answer to one report changes: the message log, the
// server's identifiers of this run, and the player id with its settings key.

#include <cstdint>
#include <string>

#include "platform/settings_store.h"
#include "report/line_report.h"
#include "session/capture_session.h"
#include "session/log_record.h"

namespace tidemark {

// The identifiers the server hands out for the run and wants back with
// every report.
struct ServerIdentifiers {
    std::string sid;
    std::string fid;
};

// Applies the members of `answer` in the order "log", "msg", "sid", "fid",
// "aid". What is listed lands in the message log only while the session's
// reset generation is still `generation`. An "aid" that could not be kept
// in the settings file as sent (see isStorableSettingsValue) leaves the
// player id alone and is told in the message log; a good one replaces the
// player id and is saved as "wader" at once.
void applyReportAnswer(const ReportAnswer& answer, LogRecord& record, std::uint64_t generation,
                       CaptureSession& session, ServerIdentifiers& identifiers, SettingsStore* settings);

}  // namespace tidemark
