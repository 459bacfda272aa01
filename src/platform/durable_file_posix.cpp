#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/durable_file.h"

namespace tidemark {

namespace {

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    bool closeNow() { return ::close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_;
};

}  // namespace

std::optional<AppendFile> AppendFile::open(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) return std::nullopt;
    AppendFile file;
    file.handle_ = fd;
    return file;
}

bool AppendFile::isOpen() const { return handle_ >= 0; }

bool AppendFile::write(std::string_view bytes) { return isOpen() && writeAll(static_cast<int>(handle_), bytes); }

bool AppendFile::flush() { return isOpen() && ::fdatasync(static_cast<int>(handle_)) == 0; }

bool AppendFile::truncate(std::uint64_t size) {
    return isOpen() && ::ftruncate(static_cast<int>(handle_), static_cast<off_t>(size)) == 0;
}

void AppendFile::close() {
    if (handle_ >= 0) ::close(static_cast<int>(std::exchange(handle_, -1)));
}

FileContents readFile(const std::filesystem::path& path, std::size_t maxBytes) {
    FileContents contents;
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        contents.status = errno == ENOENT ? FileContents::Status::Missing : FileContents::Status::Failed;
        return contents;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            contents.bytes.clear();
            return contents;  // Failed
        }
        if (got == 0) break;
        const std::size_t room = maxBytes - contents.bytes.size();
        if (static_cast<std::size_t>(got) > room) {
            contents.bytes.append(buffer, room);
            contents.cut = true;
            break;
        }
        contents.bytes.append(buffer, static_cast<std::size_t>(got));
    }
    contents.status = FileContents::Status::Read;
    return contents;
}

bool replaceFile(const std::filesystem::path& path, std::string_view contents) {
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    {
        Descriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
        if (fd.get() < 0) return false;
        if (!writeAll(fd.get(), contents) || ::fsync(fd.get()) != 0 || !fd.closeNow()) {
            ::unlink(temporary.c_str());
            return false;
        }
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself is only durable once the folder is flushed.
    std::filesystem::path folder = path.parent_path();
    if (folder.empty()) folder = ".";
    Descriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return directory.get() >= 0 && ::fsync(directory.get()) == 0;
}

}  // namespace tidemark
