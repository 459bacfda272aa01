// The running executable's path from the module file name.
#include <windows.h>

#include <string>

#include "shell/settings.h"

namespace tidemark {

namespace {

// MAX_PATH is enough for the usual install; a longer path is read whole
// rather than cut, since a cut name would point at some other file.
template <typename Text, typename GetName>
Text modulePath(GetName getName) {
    Text path(MAX_PATH, 0);
    for (;;) {
        DWORD length = getName(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        if (path.size() >= 32768) return {};
        path.resize(path.size() * 2);
    }
}

}  // namespace

std::string executablePath() { return modulePath<std::string>(GetModuleFileNameA); }

std::filesystem::path executableFile() { return modulePath<std::wstring>(GetModuleFileNameW); }

}  // namespace tidemark
