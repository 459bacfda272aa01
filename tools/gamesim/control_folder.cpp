#include "control_folder.h"

namespace gamesim {

ControlFolder::ControlFolder(std::string folder) : folder_(std::move(folder)) {
    CreateDirectoryA(folder_.c_str(), nullptr);
    DeleteFileA(path("state.txt").c_str());
}

std::vector<std::string> ControlFolder::takeNewCommands() {
    std::vector<std::string> commands;
    HANDLE file = CreateFileA(path("commands.txt").c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return commands;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(consumed_);
    SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        consumed_ += got;
        partial_.append(buffer, got);
    }
    CloseHandle(file);

    std::size_t start = 0;
    for (std::size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = partial_.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) commands.push_back(std::move(line));
    }
    partial_.erase(0, start);
    return commands;
}

bool ControlFolder::writeState(const std::string& text) {
    const std::string temporary = path("state.tmp");
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || written != text.size()) return false;
    return MoveFileExA(temporary.c_str(), path("state.txt").c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

}  // namespace gamesim
