#pragma once
// The four platform services that game discovery and launch need, so that
// every decision about them can be tested without the platform.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gamelog/process_memory.h"

namespace tidemark {

struct ProcessEntry {
    std::uint32_t processId = 0;
    std::string exeFile;  // 8-bit file name without directory
};

class ProcessSystem {
public:
    virtual ~ProcessSystem() = default;
    // A fresh snapshot of the running processes, in the platform's order.
    virtual std::vector<ProcessEntry> listProcesses() = 0;
    // Opens the process with exactly query-information and memory-read
    // rights (0x410), not inheritable; null when it cannot be opened.
    virtual std::unique_ptr<ProcessMemory> openForReading(std::uint32_t processId) = 0;
    // The installer's recorded "InstallLocation"; nullopt when missing or too long.
    virtual std::optional<std::string> readInstallLocation() = 0;
    // Asks the shell to open `program` with `directory` as working directory.
    virtual void startProgram(const std::string& program, const std::string& directory) = 0;
};

// The first running process of that name (compared without ASCII case),
// opened for reading; null when none runs, it refuses, or `stopRequested`
// cut the search short.
std::unique_ptr<ProcessMemory> openProcessByName(ProcessSystem& processes, const std::string& exeName,
                                                 const std::function<bool()>& stopRequested = {});

// Whether a process of that name runs, by the process list alone: a program
// that refuses to be opened (one running elevated) still runs.
bool isProcessRunning(ProcessSystem& processes, const std::string& exeName);

// Hands the boot program below the recorded install location to the shell;
// false when the install location cannot be read.
bool launchGame(ProcessSystem& processes);

}  // namespace tidemark
