// The running executable's path off Windows (tests and tools only).
#include <unistd.h>

#include <string>

#include "shell/settings.h"

namespace tidemark {

std::string executablePath() {
    std::string path(4096, '\0');
    ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
    path.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return path;
}

std::filesystem::path executableFile() { return executablePath(); }

}  // namespace tidemark
