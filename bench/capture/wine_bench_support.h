#pragma once
// What the Wine benchmarks share: the CPU time of this process and of a
// Linux process seen through Wine, and waiting for a condition.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

namespace tidemark::bench {

// utime + stime of a Linux process, in clock ticks (1/100 s), through
// Wine's view of the Unix root.
inline std::optional<std::uint64_t> linuxCpuTicks(const std::string& pid) {
    const std::string path = "Z:\\proc\\" + pid + "\\stat";
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return std::nullopt;
    char text[1024] = "";
    const std::size_t n = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[n] = '\0';
    const char* p = std::strrchr(text, ')');
    if (!p) return std::nullopt;
    // Fields after the command: state is field 3; utime 14, stime 15.
    unsigned long long values[13] = {};
    char state = 0;
    if (std::sscanf(p + 2, "%c %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu", &state, &values[0],
                    &values[1], &values[2], &values[3], &values[4], &values[5], &values[6], &values[7],
                    &values[8], &values[9], &values[10], &values[11]) != 13)
        return std::nullopt;
    return values[10] + values[11];
}

inline double processCpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& t) {
        return (static_cast<double>(t.dwHighDateTime) * 4294967296.0 + t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

inline bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
        if (done()) return true;
        Sleep(1);
    }
    return done();
}

}  // namespace tidemark::bench
