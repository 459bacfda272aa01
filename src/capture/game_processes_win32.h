#pragma once
// The game's processes, install location and boot program on Windows:
// Toolhelp32, the installer's registry value and the shell.

#include <windows.h>

#include <functional>
#include <memory>

#include "capture/game_processes.h"

namespace tidemark {

// The window that owns whatever the shell shows while starting the boot
// program; asked at each start, so it may be created after this object.
using OwnerWindowProvider = std::function<HWND()>;

class Win32ProcessSystem : public ProcessSystem {
public:
    explicit Win32ProcessSystem(OwnerWindowProvider ownerWindow = {});

    std::vector<ProcessEntry> listProcesses() override;
    std::unique_ptr<ProcessMemory> openForReading(std::uint32_t processId) override;
    std::optional<std::string> readInstallLocation() override;
    void startProgram(const std::string& program, const std::string& directory) override;

private:
    OwnerWindowProvider ownerWindow_;
};

}  // namespace tidemark
