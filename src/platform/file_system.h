#pragma once
// The operating system's file calls that durable files are built from, behind
// an interface so that a test can put a simulated disk in place of the real
// one and cut its power between any two calls. Implementations only pass the
// calls on: every decision of what to sync and when lies in durable_file.cpp,
// where one set of tests covers it for every platform.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>
#include <utility>

namespace tidemark {

using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = -1;

class FileSystem {
public:
    struct Opened {
        FileHandle handle = kNoFile;
        bool missing = false;  // when not opened: the file does not exist
    };

    virtual ~FileSystem() = default;

    // For writing at the end, created when missing.
    virtual FileHandle openForAppend(const std::filesystem::path& path) = 0;
    // For writing from the start, created when missing and emptied when not.
    virtual FileHandle createTruncated(const std::filesystem::path& path) = 0;
    virtual Opened openForRead(const std::filesystem::path& path) = 0;

    // All of `bytes`, or false with any part of them written.
    virtual bool write(FileHandle file, std::string_view bytes) = 0;
    // Up to buffer.size() bytes: the count, 0 at the end, -1 on failure.
    virtual std::ptrdiff_t read(FileHandle file, std::span<char> buffer) = 0;
    // The file's contents and size on the disk.
    virtual bool syncData(FileHandle file) = 0;
    // As syncData, and every other attribute of the file with them.
    virtual bool syncAll(FileHandle file) = 0;
    // Later writes go on from `size`.
    virtual bool truncate(FileHandle file, std::uint64_t size) = 0;
    // The handle is gone whatever the result; false may tell of a failed
    // earlier write.
    virtual bool close(FileHandle file) = 0;

    // Replaces `to` when it exists.
    virtual bool rename(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
    virtual bool remove(const std::filesystem::path& path) = 0;
    // The folder's names, as renames and new files left them, on the disk.
    virtual bool syncFolder(const std::filesystem::path& folder) = 0;
};

// The running system's calls. Stateless, so one object serves every caller
// on every thread.
FileSystem& platformFileSystem();

// One owner of a file opened through a FileSystem, which must outlive it.
class OpenFile {
public:
    OpenFile() = default;
    OpenFile(FileSystem& files, FileHandle handle) : files_(&files), handle_(handle) {}
    ~OpenFile() { close(); }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    OpenFile(OpenFile&& other) noexcept
        : files_(other.files_), handle_(std::exchange(other.handle_, kNoFile)) {}
    OpenFile& operator=(OpenFile&& other) noexcept {
        if (this != &other) {
            close();
            files_ = other.files_;
            handle_ = std::exchange(other.handle_, kNoFile);
        }
        return *this;
    }

    explicit operator bool() const { return handle_ != kNoFile; }
    FileHandle get() const { return handle_; }
    // True when nothing was open.
    bool close() { return handle_ == kNoFile || files_->close(std::exchange(handle_, kNoFile)); }

private:
    FileSystem* files_ = nullptr;
    FileHandle handle_ = kNoFile;
};

}  // namespace tidemark
