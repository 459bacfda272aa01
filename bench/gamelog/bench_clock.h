#pragma once
// Wall and CPU time, and the process's memory, for the benchmarks.

#include <chrono>
#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#include <psapi.h>
#else
#include <ctime>
#include <fstream>
#include <string>
#endif

namespace tidemark::bench {

inline double wallSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// CPU time of the whole process, user and system (reads are system time).
inline double cpuSeconds() {
#if defined(_WIN32)
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto toSeconds = [](const FILETIME& t) {
        return static_cast<double>((std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) * 1e-7;
    };
    return toSeconds(kernel) + toSeconds(user);
#else
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
#endif
}

struct ResidentMemory {
    std::uint64_t current = 0;  // bytes
    std::uint64_t peak = 0;
};

inline ResidentMemory residentMemory() {
    ResidentMemory memory;
#if defined(_WIN32)
    PROCESS_MEMORY_COUNTERS counters{};
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
        memory.current = counters.WorkingSetSize;
        memory.peak = counters.PeakWorkingSetSize;
    }
#else
    std::ifstream status("/proc/self/status");
    std::string key;
    std::uint64_t kib = 0;
    while (status >> key) {
        if (key == "VmRSS:" && status >> kib) memory.current = kib * 1024;
        else if (key == "VmHWM:" && status >> kib) memory.peak = kib * 1024;
    }
#endif
    return memory;
}

}  // namespace tidemark::bench
