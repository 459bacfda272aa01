#include "capture/report_effects.h"

#include "texts/texts.h"

namespace tidemark {

void applyReportAnswer(const ReportAnswer& answer, LogRecord& record, std::uint64_t generation,
                       CaptureSession& session, ServerIdentifiers& identifiers, SettingsStore* settings) {
    switch (answer.outcome) {
    case ReportAnswer::Outcome::NotSent:
    case ReportAnswer::Outcome::Lost: return;
    case ReportAnswer::Outcome::NotAnObject:
        // The server's own error texts reach the player this way.
        session.reportServerTextIfCurrent(answer.text.c_str(), generation);
        return;
    case ReportAnswer::Outcome::Object: break;
    }
    if (answer.log) {
        record.text = Utf8ToWide(*answer.log);
        session.appendMessageIfCurrent(record, generation);
    }
    if (answer.msg) session.reportTextIfCurrent("* " + *answer.msg, generation);
    if (answer.sid) identifiers.sid = *answer.sid;
    if (answer.fid) identifiers.fid = *answer.fid;
    if (answer.aid) {
        if (!isStorableSettingsValue(*answer.aid)) {
            session.appendMessageIfCurrent(session.messageRecord(u"* " + LoadTextW(kTextPlayerIdRefused)),
                                           generation);
            return;
        }
        // The server knows the player by this id from now on, whatever else
        // was reset: keep it at once.
        session.setPlayerId(*answer.aid);
        if (settings != nullptr) settings->writeText("general", "wader", *answer.aid);
    }
}

}  // namespace tidemark
