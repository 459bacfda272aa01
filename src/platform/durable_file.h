#pragma once
// Files whose contents must outlive a crash of Tidemark or of the machine:
// a file that grows at its end and is flushed to the disk on request, whole
// reads, and a replacement that readers see either before or after, never
// half done.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tidemark {

class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;
    AppendFile(AppendFile&& other) noexcept;
    AppendFile& operator=(AppendFile&& other) noexcept;

    // Opens the file for writing at its end, creating it when missing.
    static std::optional<AppendFile> open(const std::filesystem::path& path);

    bool isOpen() const;
    // Writes at the end. Once it returns, a crash of this program no longer
    // loses the bytes; a crash of the machine still may until flush().
    bool write(std::string_view bytes);
    bool flush();
    // Cuts the file to `size` bytes; later writes go on from there.
    bool truncate(std::uint64_t size);
    void close();

private:
    std::intptr_t handle_ = -1;  // the platform's handle; -1 is none on both
};

struct FileContents {
    enum class Status { Read, Missing, Failed } status = Status::Failed;
    std::string bytes;
    bool cut = false;  // the file held more than the bytes asked for
};

// Reads at most `maxBytes` of the file.
FileContents readFile(const std::filesystem::path& path, std::size_t maxBytes);

// Puts `contents` in place of the file at `path` (created when missing)
// through a flushed file beside it and a rename.
bool replaceFile(const std::filesystem::path& path, std::string_view contents);

}  // namespace tidemark
