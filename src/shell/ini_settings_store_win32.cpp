#include "shell/ini_settings_store_win32.h"

#include <windows.h>

#include <vector>

#include "shell/settings.h"

namespace tidemark {

// An empty path never reaches the platform: it would take a bare file name
// as one in the Windows folder and read or write someone else's file.

const std::string& IniSettingsStore::path() const { return path_ ? *path_ : settingsPath; }

std::string IniSettingsStore::readText(const std::string& section, const std::string& key,
                                       const std::string& fallback, std::size_t bufferSize) {
    if (bufferSize == 0) return {};
    if (path().empty()) return fallback.substr(0, bufferSize - 1);
    std::vector<char> buffer(bufferSize, '\0');
    DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), fallback.c_str(), buffer.data(),
                                            static_cast<DWORD>(bufferSize), path().c_str());
    return std::string(buffer.data(), length);
}

int IniSettingsStore::readInt(const std::string& section, const std::string& key, int fallback) {
    if (path().empty()) return fallback;
    return static_cast<int>(GetPrivateProfileIntA(section.c_str(), key.c_str(), fallback, path().c_str()));
}

bool IniSettingsStore::writeText(const std::string& section, const std::string& key, const std::string& value) {
    if (path().empty()) return false;
    return WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), path().c_str()) != FALSE;
}

}  // namespace tidemark
