#include "capture/game_processes_win32.h"

#include <shellapi.h>
#include <tlhelp32.h>

#include "gamelog/process_memory_win32.h"
#include "platform/unique_handle.h"

// Process names are compared as the 8-bit names of the snapshot; the build's
// UNICODE setting must not switch the walk to the UTF-16 record.
#undef PROCESSENTRY32
#undef Process32First
#undef Process32Next

namespace tidemark {

namespace {

// Query information and read memory: enough to walk and read the game's
// address space, and nothing that could change it.
constexpr DWORD kGameAccessRights = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
static_assert(kGameAccessRights == 0x410);

static_assert(sizeof(PROCESSENTRY32) == 304);

constexpr const char* kInstallerKey =
    "SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    "{2B41E132-07DF-4925-A3D3-F2D1765CCDFE}";
constexpr const char* kInstallLocationValue = "InstallLocation";
constexpr DWORD kInstallLocationCapacity = 260;

}  // namespace

Win32ProcessSystem::Win32ProcessSystem(OwnerWindowProvider ownerWindow)
    : ownerWindow_(std::move(ownerWindow)) {}

std::vector<ProcessEntry> Win32ProcessSystem::listProcesses() {
    std::vector<ProcessEntry> entries;
    UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return entries;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry)) {
        entry.szExeFile[MAX_PATH - 1] = '\0';
        entries.push_back({entry.th32ProcessID, entry.szExeFile});
    }
    return entries;
}

std::unique_ptr<ProcessMemory> Win32ProcessSystem::openForReading(std::uint32_t processId) {
    HANDLE process = OpenProcess(kGameAccessRights, FALSE, processId);
    if (process == nullptr) return nullptr;
    return makeWin32ProcessMemory(process);
}

std::optional<std::string> Win32ProcessSystem::readInstallLocation() {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstallerKey, 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return std::nullopt;
    UniqueRegistryKey key(opened);
    char buffer[kInstallLocationCapacity];
    DWORD size = sizeof buffer;
    if (RegQueryValueExA(key.get(), kInstallLocationValue, nullptr, nullptr,
                         reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
        return std::nullopt;
    // A value stored without its terminating zero is taken up to its stored
    // length; only what the registry reports as written is ever looked at.
    std::string location(buffer, size);
    if (std::size_t end = location.find('\0'); end != std::string::npos) location.resize(end);
    return location;
}

void Win32ProcessSystem::startProgram(const std::string& program, const std::string& directory) {
    HWND owner = ownerWindow_ ? ownerWindow_() : nullptr;
    ShellExecuteA(owner, "open", program.c_str(), "", directory.c_str(), SW_SHOWDEFAULT);
}

}  // namespace tidemark
