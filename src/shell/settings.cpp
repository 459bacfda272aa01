#include "shell/settings.h"

#include "session/capture_session.h"

namespace tidemark {

std::string settingsPath;
int execOnTray = 0;
int exitToTray = 0;

namespace {
constexpr char kGeneral[] = "general";
// Text values are read into a 512-character buffer: at most 511 characters.
constexpr std::size_t kTextBuffer = 512;

template <typename Char>
std::size_t extensionPosition(std::basic_string_view<Char> path) {
    std::size_t dot = std::basic_string_view<Char>::npos;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const Char c = path[i];
        if (c == '\\' || c == '/' || c == ' ') dot = std::basic_string_view<Char>::npos;
        else if (c == '.') dot = i;
    }
    return dot == std::basic_string_view<Char>::npos ? path.size() : dot;
}
}  // namespace

std::string settingsPathFor(std::string_view executablePath) {
    std::string path(executablePath.substr(0, extensionPosition(executablePath)));
    path += ".ini";
    return path;
}

namespace {
std::filesystem::path besideExecutable(const std::filesystem::path& executable, std::string_view extension) {
    using Char = std::filesystem::path::value_type;
    const std::basic_string_view<Char> text = executable.native();
    if (text.empty()) return {};
    std::basic_string<Char> path(text.substr(0, extensionPosition(text)));
    for (char c : extension) path += static_cast<Char>(c);
    return path;
}
}  // namespace

std::filesystem::path journalPathFor(const std::filesystem::path& executable) {
    return besideExecutable(executable, ".queue");
}

std::filesystem::path knownLogPathFor(const std::filesystem::path& executable) {
    return besideExecutable(executable, ".log-address");
}

void loadSettings(CaptureSession& session, SettingsStore& store) {
    // Without the executable's path there is no file to use: the store then
    // reads defaults and writes nothing.
    const std::string executable = executablePath();
    settingsPath = executable.empty() ? std::string() : settingsPathFor(executable);
    session.setLanguage(store.readText(kGeneral, "language", "", kTextBuffer));
    session.setPlayerId(store.readText(kGeneral, "wader", "", kTextBuffer));
    // Any non-zero value counts as on; flags hold 0 or 1 from here on.
    session.setExecGame(store.readInt(kGeneral, "ExecGame", 0) != 0 ? 1 : 0);
    execOnTray = store.readInt(kGeneral, "ExecOnTray", 0) != 0 ? 1 : 0;
    exitToTray = store.readInt(kGeneral, "ExitToTray", 0) != 0 ? 1 : 0;
}

}  // namespace tidemark
