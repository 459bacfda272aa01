#include <windows.h>

#include <utility>

#include "platform/durable_file.h"
#include "platform/unique_handle.h"

namespace tidemark {

namespace {

HANDLE asHandle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

bool writeAll(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
        bytes.remove_prefix(written);
    }
    return true;
}

}  // namespace

std::optional<AppendFile> AppendFile::open(const std::filesystem::path& path) {
    // Write access (not only append) so that truncate can cut the file;
    // there is one writer, which keeps the file position at the end itself.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    AppendFile opened;
    opened.handle_ = reinterpret_cast<std::intptr_t>(file);
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(file, zero, nullptr, FILE_END)) return std::nullopt;
    return opened;
}

bool AppendFile::isOpen() const { return handle_ != -1; }

bool AppendFile::write(std::string_view bytes) { return isOpen() && writeAll(asHandle(handle_), bytes); }

bool AppendFile::flush() { return isOpen() && FlushFileBuffers(asHandle(handle_)); }

bool AppendFile::truncate(std::uint64_t size) {
    if (!isOpen()) return false;
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(asHandle(handle_), position, nullptr, FILE_BEGIN) && SetEndOfFile(asHandle(handle_));
}

void AppendFile::close() {
    if (isOpen()) CloseHandle(asHandle(std::exchange(handle_, -1)));
}

FileContents readFile(const std::filesystem::path& path, std::size_t maxBytes) {
    FileContents contents;
    UniqueKernelHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        contents.status = GetLastError() == ERROR_FILE_NOT_FOUND ? FileContents::Status::Missing
                                                                  : FileContents::Status::Failed;
        return contents;
    }
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) {
            contents.bytes.clear();
            return contents;  // Failed
        }
        if (got == 0) break;
        const std::size_t room = maxBytes - contents.bytes.size();
        if (got > room) {
            contents.bytes.append(buffer, room);
            contents.cut = true;
            break;
        }
        contents.bytes.append(buffer, got);
    }
    contents.status = FileContents::Status::Read;
    return contents;
}

bool replaceFile(const std::filesystem::path& path, std::string_view contents) {
    std::filesystem::path temporary = path;
    temporary += L".tmp";
    {
        UniqueKernelHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        if (!writeAll(file.get(), contents) || !FlushFileBuffers(file.get())) {
            file.reset();
            DeleteFileW(temporary.c_str());
            return false;
        }
    }
    if (!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace tidemark
