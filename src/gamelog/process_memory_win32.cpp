#include "gamelog/process_memory_win32.h"

#include "platform/unique_handle.h"

namespace tidemark {

namespace {

class Win32ProcessMemory final : public ProcessMemory {
public:
    explicit Win32ProcessMemory(HANDLE process) : process_(process) {
        SYSTEM_INFO info{};
        GetSystemInfo(&info);
        minimum_ = reinterpret_cast<std::uint64_t>(info.lpMinimumApplicationAddress);
        maximum_ = reinterpret_cast<std::uint64_t>(info.lpMaximumApplicationAddress);
    }

    std::uint64_t minimumApplicationAddress() const override { return minimum_; }
    std::uint64_t maximumApplicationAddress() const override { return maximum_; }

    bool queryRegion(std::uint64_t address, MemoryRegion& region) const override {
        MEMORY_BASIC_INFORMATION info{};
        if (VirtualQueryEx(process_.get(), reinterpret_cast<LPCVOID>(address), &info, sizeof info) == 0)
            return false;
        region.BaseAddress = reinterpret_cast<std::uint64_t>(info.BaseAddress);
        region.RegionSize = info.RegionSize;
        region.Protect = info.Protect;
        region.Type = info.Type;
        region.State = info.State;
        return true;
    }

    std::uint64_t readMemory(std::uint64_t address, void* buffer, std::uint64_t size) const override {
        // A partial copy fails the call yet reports what it copied; the
        // count is the only answer that matters.
        SIZE_T copied = 0;
        ReadProcessMemory(process_.get(), reinterpret_cast<LPCVOID>(address), buffer,
                          static_cast<SIZE_T>(size), &copied);
        return copied;
    }

    std::optional<ProcessIdentity> identity() const override {
        FILETIME created{}, exited{}, kernel{}, user{};
        const DWORD processId = GetProcessId(process_.get());
        if (processId == 0 || !GetProcessTimes(process_.get(), &created, &exited, &kernel, &user))
            return std::nullopt;
        return ProcessIdentity{processId,
                               std::uint64_t{created.dwHighDateTime} << 32 | std::uint64_t{created.dwLowDateTime}};
    }

private:
    UniqueKernelHandle process_;
    std::uint64_t minimum_ = 0;
    std::uint64_t maximum_ = 0;
};

}  // namespace

std::unique_ptr<ProcessMemory> makeWin32ProcessMemory(HANDLE process) {
    if (process == nullptr) return nullptr;
    return std::make_unique<Win32ProcessMemory>(process);
}

}  // namespace tidemark
