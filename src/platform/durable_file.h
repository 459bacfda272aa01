#pragma once
// Files whose contents must outlive a crash of Tidemark or of the machine:
// a file that grows at its end and is flushed to the disk on request, whole
// reads, and a replacement that readers see either before or after, never
// half done. Built once for every platform on the calls of a FileSystem.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace tidemark {

class AppendFile {
public:
    AppendFile() = default;

    // Opens the file for writing at its end, creating it when missing, with
    // its name on the disk.
    static std::optional<AppendFile> open(FileSystem& files, const std::filesystem::path& path);

    bool isOpen() const { return static_cast<bool>(file_); }
    // Writes at the end. Once it returns, a crash of this program no longer
    // loses the bytes; a crash of the machine still may until flush().
    bool write(std::string_view bytes);
    bool flush();
    // Cuts the file to `size` bytes; later writes go on from there.
    bool truncate(std::uint64_t size);
    void close() { file_.close(); }

private:
    AppendFile(FileSystem& files, FileHandle handle) : files_(&files), file_(files, handle) {}

    FileSystem* files_ = nullptr;
    OpenFile file_;
};

struct FileContents {
    enum class Status { Read, Missing, Failed } status = Status::Failed;
    std::string bytes;
    bool cut = false;  // the file held more than the bytes asked for
};

// Reads at most `maxBytes` of the file.
FileContents readFile(FileSystem& files, const std::filesystem::path& path, std::size_t maxBytes);

// Puts `contents` in place of the file at `path` (created when missing)
// through a flushed file beside it and a rename.
bool replaceFile(FileSystem& files, const std::filesystem::path& path, std::string_view contents);

}  // namespace tidemark
