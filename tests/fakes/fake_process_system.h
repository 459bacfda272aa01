#pragma once
// A scripted process table, registry value and shell for tests of game
// discovery and launch, and of the worker that drives them. Thread-safe: a
// worker thread may list, open and start while the test thread changes the
// table and inspects what happened.
//
//   FakeProcessSystem system;
//   auto game = std::make_shared<FakeProcessImage>();
//   system.addProcess(42, "ffxiv_dx11.exe", game);   // opening it reads `game`
//   system.setInstallLocation("C:\\Games");
//   services.processes = &system;
//   ... session.openProcessByName("ffxiv_dx11.exe"), session.launchGame() ...
//   system.openedProcessIds(), system.startedPrograms()

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "capture/game_processes.h"
#include "gamelog/process_memory.h"

namespace tidemark {

class FakeProcessSystem : public ProcessSystem {
public:
    struct StartedProgram {
        std::string program;
        std::string directory;
        bool operator==(const StartedProgram&) const = default;
    };

    // A running process, listed after those added before it. Opening it
    // gives a view of `memory` (an empty address space when null) that stays
    // valid after the process is removed, as a real handle does. A process
    // started again under a reused id has another creation time.
    void addProcess(std::uint32_t processId, std::string exeFile,
                    std::shared_ptr<ProcessMemory> memory = nullptr, std::uint64_t creationTime = 1) {
        std::lock_guard guard(mutex_);
        processes_.push_back({ProcessEntry{processId, std::move(exeFile)}, std::move(memory), creationTime});
    }
    void removeProcess(std::uint32_t processId) {
        std::lock_guard guard(mutex_);
        std::erase_if(processes_, [&](const Running& p) { return p.entry.processId == processId; });
    }
    // The process stays listed but cannot be opened (access denied, or it
    // exited between the snapshot and the open).
    void refuseToOpen(std::uint32_t processId) {
        std::lock_guard guard(mutex_);
        refused_.insert(processId);
    }
    void setInstallLocation(std::optional<std::string> location) {
        std::lock_guard guard(mutex_);
        installLocation_ = std::move(location);
    }

    std::vector<std::uint32_t> openedProcessIds() const {
        std::lock_guard guard(mutex_);
        return opened_;
    }
    std::vector<StartedProgram> startedPrograms() const {
        std::lock_guard guard(mutex_);
        return started_;
    }
    int snapshotsTaken() const {
        std::lock_guard guard(mutex_);
        return snapshots_;
    }

    std::vector<ProcessEntry> listProcesses() override {
        std::lock_guard guard(mutex_);
        ++snapshots_;
        std::vector<ProcessEntry> entries;
        for (const Running& p : processes_) entries.push_back(p.entry);
        return entries;
    }

    std::unique_ptr<ProcessMemory> openForReading(std::uint32_t processId) override {
        std::lock_guard guard(mutex_);
        opened_.push_back(processId);
        if (refused_.count(processId)) return nullptr;
        auto running = std::find_if(processes_.begin(), processes_.end(),
                                    [&](const Running& p) { return p.entry.processId == processId; });
        if (running == processes_.end()) return nullptr;
        return std::make_unique<View>(ProcessIdentity{processId, running->creationTime}, running->memory);
    }

    std::optional<std::string> readInstallLocation() override {
        std::lock_guard guard(mutex_);
        return installLocation_;
    }

    void startProgram(const std::string& program, const std::string& directory) override {
        std::lock_guard guard(mutex_);
        started_.push_back({program, directory});
    }

    // What openForReading hands out: tests can tell which process a handle
    // belongs to through processIdOf().
    class View : public ProcessMemory {
    public:
        View(ProcessIdentity identity, std::shared_ptr<ProcessMemory> memory)
            : identity_(identity), memory_(std::move(memory)) {}
        std::uint32_t processId() const { return identity_.processId; }

        std::uint64_t minimumApplicationAddress() const override {
            return memory_ ? memory_->minimumApplicationAddress() : 0x10000;
        }
        std::uint64_t maximumApplicationAddress() const override {
            return memory_ ? memory_->maximumApplicationAddress() : 0x7FFFFFFEFFFF;
        }
        bool queryRegion(std::uint64_t address, MemoryRegion& region) const override {
            return memory_ && memory_->queryRegion(address, region);
        }
        std::uint64_t readMemory(std::uint64_t address, void* buffer, std::uint64_t size) const override {
            return memory_ ? memory_->readMemory(address, buffer, size) : 0;
        }
        std::optional<ProcessIdentity> identity() const override { return identity_; }

    private:
        ProcessIdentity identity_;
        std::shared_ptr<ProcessMemory> memory_;
    };

    // 0 when `memory` is null or did not come from a FakeProcessSystem.
    static std::uint32_t processIdOf(const ProcessMemory* memory) {
        auto* view = dynamic_cast<const View*>(memory);
        return view ? view->processId() : 0;
    }

private:
    struct Running {
        ProcessEntry entry;
        std::shared_ptr<ProcessMemory> memory;
        std::uint64_t creationTime;
    };

    mutable std::mutex mutex_;
    std::vector<Running> processes_;
    std::set<std::uint32_t> refused_;
    std::optional<std::string> installLocation_;
    std::vector<std::uint32_t> opened_;
    std::vector<StartedProgram> started_;
    int snapshots_ = 0;
};

}  // namespace tidemark
