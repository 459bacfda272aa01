#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_system.h"

namespace tidemark {

namespace {

int fd(FileHandle file) { return static_cast<int>(file); }

FileHandle openWith(const std::filesystem::path& path, int flags) {
    int opened;
    do opened = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    while (opened < 0 && errno == EINTR);
    return opened < 0 ? kNoFile : opened;
}

class PosixFileSystem final : public FileSystem {
public:
    FileHandle openForAppend(const std::filesystem::path& path) override {
        return openWith(path, O_WRONLY | O_CREAT | O_APPEND);
    }

    FileHandle createTruncated(const std::filesystem::path& path) override {
        return openWith(path, O_WRONLY | O_CREAT | O_TRUNC);
    }

    Opened openForRead(const std::filesystem::path& path) override {
        const FileHandle handle = openWith(path, O_RDONLY);
        return {handle, handle == kNoFile && errno == ENOENT};
    }

    bool write(FileHandle file, std::string_view bytes) override {
        while (!bytes.empty()) {
            const ssize_t written = ::write(fd(file), bytes.data(), bytes.size());
            if (written < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(written));
        }
        return true;
    }

    std::ptrdiff_t read(FileHandle file, std::span<char> buffer) override {
        for (;;) {
            const ssize_t got = ::read(fd(file), buffer.data(), buffer.size());
            if (got >= 0 || errno != EINTR) return got;
        }
    }

    bool syncData(FileHandle file) override { return ::fdatasync(fd(file)) == 0; }

    bool syncAll(FileHandle file) override { return ::fsync(fd(file)) == 0; }

    bool truncate(FileHandle file, std::uint64_t size) override {
        return ::ftruncate(fd(file), static_cast<off_t>(size)) == 0;
    }

    bool close(FileHandle file) override { return ::close(fd(file)) == 0; }

    bool rename(const std::filesystem::path& from, const std::filesystem::path& to) override {
        return ::rename(from.c_str(), to.c_str()) == 0;
    }

    bool remove(const std::filesystem::path& path) override { return ::unlink(path.c_str()) == 0; }

    bool syncFolder(const std::filesystem::path& folder) override {
        const FileHandle directory = openWith(folder, O_RDONLY | O_DIRECTORY);
        if (directory == kNoFile) return false;
        const bool synced = ::fsync(fd(directory)) == 0;
        return close(directory) && synced;
    }
};

}  // namespace

FileSystem& platformFileSystem() {
    static PosixFileSystem files;
    return files;
}

}  // namespace tidemark
