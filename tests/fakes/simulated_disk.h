#pragma once
// A disk that forgets what a real one may forget. Per file it keeps what was
// written and what of that was synced; per folder, its names as they were
// last synced. Cutting the power throws away everything not yet synced: each
// file's contents go back to their last sync (optionally keeping the first
// bytes of what was appended since, as a torn write does), names go back to
// their folder's last sync (undoing renames, new and removed files), and every
// open file is gone. Any one call, counted from when the fault is set, can
// fail or be the one the power goes off at; until powerOn() every call fails.
// One thread.

#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace tidemark {

class SimulatedDisk : public FileSystem {
public:
    enum class Call { OpenForAppend, CreateTruncated, OpenForRead, Write, Read, SyncData, SyncAll, Truncate, Close,
                      Rename, Remove, SyncFolder };

    // A file already on the disk, synced with its name.
    void place(const std::filesystem::path& path, const std::string& bytes) {
        auto file = std::make_shared<File>(File{bytes, bytes});
        names_[key(path)] = file;
        syncedNames_[key(path)] = file;
    }

    // The `nth` call from now (counting only calls of `kind` when given)
    // fails without effect, but for a write, which first writes `bytes` of
    // its bytes.
    void failCall(std::size_t nth, std::optional<Call> kind = std::nullopt, std::size_t bytes = 0) {
        fault_ = Fault{nth, kind, false, bytes};
    }
    // The power goes off just before the `nth` call from now; `keepBytes` of
    // each file's unsynced appended bytes survive it.
    void cutPowerAtCall(std::size_t nth, std::optional<Call> kind = std::nullopt, std::size_t keepBytes = 0) {
        fault_ = Fault{nth, kind, true, keepBytes};
    }

    void cutPower(std::size_t keepBytes = 0) {
        std::set<File*> reverted;
        for (auto* names : {&names_, &syncedNames_})
            for (auto& [name, file] : *names)
                if (reverted.insert(file.get()).second) file->revert(keepBytes);
        for (auto& [handle, open] : open_)
            if (reverted.insert(open.file.get()).second) open.file->revert(keepBytes);
        names_ = syncedNames_;
        open_.clear();
        off_ = true;
        fault_.reset();
    }
    void powerOn() { off_ = false; }

    std::size_t callCount() const { return calls_.size(); }
    std::size_t callCount(Call kind) const {
        std::size_t count = 0;
        for (const Call call : calls_) count += call == kind;
        return count;
    }
    const std::vector<Call>& calls() const { return calls_; }

    FileHandle openForAppend(const std::filesystem::path& path) override {
        if (!proceed(Call::OpenForAppend)) return kNoFile;
        auto& file = names_[key(path)];
        if (!file) file = std::make_shared<File>();
        return openHandle(file);
    }

    FileHandle createTruncated(const std::filesystem::path& path) override {
        if (!proceed(Call::CreateTruncated)) return kNoFile;
        auto& file = names_[key(path)];
        if (!file) file = std::make_shared<File>();
        file->written.clear();
        return openHandle(file);
    }

    Opened openForRead(const std::filesystem::path& path) override {
        if (!proceed(Call::OpenForRead)) return {};
        const auto found = names_.find(key(path));
        if (found == names_.end()) return {kNoFile, true};
        return {openHandle(found->second), false};
    }

    bool write(FileHandle handle, std::string_view bytes) override {
        const bool go = proceed(Call::Write);
        Open* open = find(handle);
        if (!open) return false;
        if (go) open->file->written.append(bytes);
        else if (failing_) open->file->written.append(bytes.substr(0, std::min(failingBytes_, bytes.size())));
        return go;
    }

    std::ptrdiff_t read(FileHandle handle, std::span<char> buffer) override {
        if (!proceed(Call::Read)) return -1;
        Open* open = find(handle);
        if (!open) return -1;
        const std::string& written = open->file->written;
        const std::size_t count = std::min(buffer.size(), written.size() - std::min(open->readAt, written.size()));
        written.copy(buffer.data(), count, open->readAt);
        open->readAt += count;
        return static_cast<std::ptrdiff_t>(count);
    }

    bool syncData(FileHandle handle) override { return sync(Call::SyncData, handle); }
    bool syncAll(FileHandle handle) override { return sync(Call::SyncAll, handle); }

    bool truncate(FileHandle handle, std::uint64_t size) override {
        if (!proceed(Call::Truncate)) return false;
        Open* open = find(handle);
        if (!open) return false;
        open->file->written.resize(static_cast<std::size_t>(size), '\0');
        return true;
    }

    bool close(FileHandle handle) override {
        const bool done = proceed(Call::Close);
        open_.erase(handle);
        return done;
    }

    bool rename(const std::filesystem::path& from, const std::filesystem::path& to) override {
        if (!proceed(Call::Rename)) return false;
        const auto found = names_.find(key(from));
        if (found == names_.end()) return false;
        auto file = found->second;
        names_.erase(found);
        names_[key(to)] = std::move(file);
        return true;
    }

    bool remove(const std::filesystem::path& path) override {
        return proceed(Call::Remove) && names_.erase(key(path)) == 1;
    }

    bool syncFolder(const std::filesystem::path& folder) override {
        if (!proceed(Call::SyncFolder)) return false;
        const std::string inside = key(folder);
        for (auto it = syncedNames_.begin(); it != syncedNames_.end();)
            it = folderOf(it->first) == inside && !names_.contains(it->first) ? syncedNames_.erase(it) : std::next(it);
        for (const auto& [name, file] : names_)
            if (folderOf(name) == inside) syncedNames_[name] = file;
        return true;
    }

private:
    struct File {
        std::string written, synced;

        void revert(std::size_t keepBytes) {
            const bool appended = written.size() > synced.size() && written.starts_with(synced);
            synced += appended ? written.substr(synced.size(), keepBytes) : std::string();
            written = synced;
        }
    };
    struct Open {
        std::shared_ptr<File> file;
        std::size_t readAt = 0;
    };
    struct Fault {
        std::size_t nth;
        std::optional<Call> kind;
        bool cut;
        std::size_t bytes;
    };

    static std::string key(const std::filesystem::path& path) { return path.lexically_normal().generic_string(); }
    static std::string folderOf(const std::string& name) {
        const std::string folder = std::filesystem::path(name).parent_path().generic_string();
        return folder.empty() ? "." : folder;
    }

    // Logs the call and says whether it may take effect.
    bool proceed(Call call) {
        calls_.push_back(call);
        failing_ = false;
        if (!off_ && fault_ && (!fault_->kind || fault_->kind == call) && --fault_->nth == 0) {
            const Fault fault = *fault_;
            fault_.reset();
            if (fault.cut) {
                cutPower(fault.bytes);
            } else {
                failing_ = true;
                failingBytes_ = fault.bytes;
            }
        }
        return !off_ && !failing_;
    }

    FileHandle openHandle(std::shared_ptr<File> file) {
        open_[nextHandle_] = Open{std::move(file), 0};
        return nextHandle_++;
    }
    Open* find(FileHandle handle) {
        const auto found = open_.find(handle);
        return found == open_.end() ? nullptr : &found->second;
    }
    bool sync(Call call, FileHandle handle) {
        if (!proceed(call)) return false;
        Open* open = find(handle);
        if (!open) return false;
        open->file->synced = open->file->written;
        return true;
    }

    std::map<std::string, std::shared_ptr<File>> names_;        // as the running system sees them
    std::map<std::string, std::shared_ptr<File>> syncedNames_;  // as a restart would find them
    std::map<FileHandle, Open> open_;
    FileHandle nextHandle_ = 3;  // never kNoFile, and never reused after a power cut
    std::optional<Fault> fault_;
    bool off_ = false;
    bool failing_ = false;
    std::size_t failingBytes_ = 0;
    std::vector<Call> calls_;
};

}  // namespace tidemark
