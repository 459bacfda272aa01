#include <windows.h>

#include "platform/file_system.h"

namespace tidemark {

namespace {

HANDLE asHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

// INVALID_HANDLE_VALUE is -1, which is kNoFile.
FileHandle asFile(HANDLE handle) { return reinterpret_cast<FileHandle>(handle); }

class Win32FileSystem final : public FileSystem {
public:
    FileHandle openForAppend(const std::filesystem::path& path) override {
        // Write access (not only append) so that truncate can cut the file;
        // there is one writer, which keeps the file position at the end itself.
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return kNoFile;
        LARGE_INTEGER zero{};
        if (!SetFilePointerEx(file, zero, nullptr, FILE_END)) {
            CloseHandle(file);
            return kNoFile;
        }
        return asFile(file);
    }

    FileHandle createTruncated(const std::filesystem::path& path) override {
        return asFile(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    }

    Opened openForRead(const std::filesystem::path& path) override {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return {asFile(file), file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND};
    }

    bool write(FileHandle file, std::string_view bytes) override {
        while (!bytes.empty()) {
            const DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
            DWORD written = 0;
            if (!WriteFile(asHandle(file), bytes.data(), chunk, &written, nullptr) || written == 0) return false;
            bytes.remove_prefix(written);
        }
        return true;
    }

    std::ptrdiff_t read(FileHandle file, std::span<char> buffer) override {
        const DWORD chunk = buffer.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(buffer.size());
        DWORD got = 0;
        if (!ReadFile(asHandle(file), buffer.data(), chunk, &got, nullptr)) return -1;
        return got;
    }

    // Windows has one flush for a file's data and its attributes alike.
    bool syncData(FileHandle file) override { return FlushFileBuffers(asHandle(file)); }

    bool syncAll(FileHandle file) override { return FlushFileBuffers(asHandle(file)); }

    bool truncate(FileHandle file, std::uint64_t size) override {
        LARGE_INTEGER position;
        position.QuadPart = static_cast<LONGLONG>(size);
        return SetFilePointerEx(asHandle(file), position, nullptr, FILE_BEGIN) && SetEndOfFile(asHandle(file));
    }

    bool close(FileHandle file) override { return CloseHandle(asHandle(file)); }

    bool rename(const std::filesystem::path& from, const std::filesystem::path& to) override {
        return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }

    bool remove(const std::filesystem::path& path) override { return DeleteFileW(path.c_str()); }

    // A folder cannot be flushed through a handle here; the write-through
    // rename returns only once the new name is on the disk.
    bool syncFolder(const std::filesystem::path&) override { return true; }
};

}  // namespace

FileSystem& platformFileSystem() {
    static Win32FileSystem files;
    return files;
}

}  // namespace tidemark
