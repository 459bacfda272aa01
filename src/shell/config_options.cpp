#include "shell/config_options.h"

#include "session/capture_session.h"
#include "shell/settings.h"

namespace tidemark {

namespace {
const std::string kGeneral = "general";

const char* flagText(bool on) { return on ? "1" : "0"; }
}  // namespace

void chooseExecGame(CaptureSession& session, SettingsStore& settings, bool on) {
    session.setExecGame(on ? 1 : 0);
    settings.writeText(kGeneral, "ExecGame", flagText(on));
}

void chooseExitToTray(SettingsStore& settings, bool on) {
    exitToTray = on ? 1 : 0;
    settings.writeText(kGeneral, "ExitToTray", flagText(on));
}

void chooseExecOnTray(SettingsStore& settings, bool on) {
    execOnTray = on ? 1 : 0;
    settings.writeText(kGeneral, "ExecOnTray", flagText(on));
}

bool chooseLanguage(CaptureSession& session, SettingsStore& settings, const LanguageList& list, int index) {
    std::optional<std::string> code = languageCodeAt(list, index);
    if (!code) return false;
    session.chooseLanguage(*code);
    settings.writeText(kGeneral, "language", *code);
    return true;
}

}  // namespace tidemark
