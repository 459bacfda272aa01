#include <windows.h>

#include "platform/thread_cpu_time.h"

namespace tidemark {

std::uint64_t threadCpuMilliseconds() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    auto units = [](const FILETIME& t) { return (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
    return (units(kernel) + units(user)) / 10000;  // 100 ns units
}

}  // namespace tidemark
