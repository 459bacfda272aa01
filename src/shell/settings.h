#pragma once
// The settings file beside the executable: its path, the shell's own two
// options, and the loading of every value that is read once at start.

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/settings_store.h"

namespace tidemark {

class CaptureSession;

// Full path of the settings file (system code page); set by loadSettings.
extern std::string settingsPath;
// "ExecOnTray": the main window starts hidden in the notification area.
extern int execOnTray;
// "ExitToTray": closing the main window hides it instead of ending the program.
extern int exitToTray;

// The executable's path with the extension of its file name replaced by
// ".ini", or ".ini" appended when the file name has none. The extension is
// found as the platform's PathFindExtension finds it: the last "." of the
// last component, unless a space follows it; folder names are never touched.
std::string settingsPathFor(std::string_view executablePath);

// The file of the reports that wait for the server, beside the settings
// file: the executable's path with its extension replaced by ".queue", the
// extension found as settingsPathFor finds it. Empty for an empty path.
std::filesystem::path journalPathFor(const std::filesystem::path& executable);
// Where the game's chat log was last found, beside the journal and named
// the same way with the extension ".log-address". Empty for an empty path.
std::filesystem::path knownLogPathFor(const std::filesystem::path& executable);

// Full path of the running executable.
std::string executablePath();
// The same as a path, without a detour through the system code page.
std::filesystem::path executableFile();

// Derives settingsPath, then reads "language", "wader", "ExecGame",
// "ExecOnTray" and "ExitToTray" of section "general" into the session and
// the two options. Missing values read as their defaults; nothing is written.
void loadSettings(CaptureSession& session, SettingsStore& store);

}  // namespace tidemark
