// When each byte and each name reaches the disk, decided here once for every
// platform; the FileSystem only carries the calls out.
#include "platform/durable_file.h"

#include <array>

namespace tidemark {

namespace {

std::filesystem::path folderOf(const std::filesystem::path& path) {
    std::filesystem::path folder = path.parent_path();
    return folder.empty() ? "." : folder;
}

}  // namespace

std::optional<AppendFile> AppendFile::open(FileSystem& files, const std::filesystem::path& path) {
    AppendFile file(files, files.openForAppend(path));
    // Bytes flushed to a file are only as durable as its name: the open may
    // have created it, or a rename whose folder sync failed may have given
    // it its name.
    if (!file.isOpen() || !files.syncFolder(folderOf(path))) return std::nullopt;
    return file;
}

bool AppendFile::write(std::string_view bytes) { return isOpen() && files_->write(file_.get(), bytes); }

bool AppendFile::flush() { return isOpen() && files_->syncData(file_.get()); }

bool AppendFile::truncate(std::uint64_t size) { return isOpen() && files_->truncate(file_.get(), size); }

FileContents readFile(FileSystem& files, const std::filesystem::path& path, std::size_t maxBytes) {
    FileContents contents;
    const FileSystem::Opened opened = files.openForRead(path);
    if (opened.handle == kNoFile) {
        contents.status = opened.missing ? FileContents::Status::Missing : FileContents::Status::Failed;
        return contents;
    }
    OpenFile file(files, opened.handle);
    std::array<char, 65536> buffer;
    for (;;) {
        const std::ptrdiff_t got = files.read(file.get(), buffer);
        if (got < 0) {
            contents.bytes.clear();
            return contents;  // Failed
        }
        if (got == 0) break;
        const std::size_t room = maxBytes - contents.bytes.size();
        if (static_cast<std::size_t>(got) > room) {
            contents.bytes.append(buffer.data(), room);
            contents.cut = true;
            break;
        }
        contents.bytes.append(buffer.data(), static_cast<std::size_t>(got));
    }
    contents.status = FileContents::Status::Read;
    return contents;
}

bool replaceFile(FileSystem& files, const std::filesystem::path& path, std::string_view contents) {
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    {
        OpenFile file(files, files.createTruncated(temporary));
        if (!file) return false;
        // The name must never reach the disk before the bytes it names.
        if (!files.write(file.get(), contents) || !files.syncAll(file.get()) || !file.close()) {
            file.close();
            files.remove(temporary);
            return false;
        }
    }
    if (!files.rename(temporary, path)) {
        files.remove(temporary);
        return false;
    }
    // Until the folder is on the disk, a power cut may undo the rename and
    // with it everything written to the new file since.
    return files.syncFolder(folderOf(path));
}

}  // namespace tidemark
