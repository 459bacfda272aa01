#include <time.h>

#include "platform/thread_cpu_time.h"

namespace tidemark {

std::uint64_t threadCpuMilliseconds() {
    timespec used{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return static_cast<std::uint64_t>(used.tv_sec) * 1000 + static_cast<std::uint64_t>(used.tv_nsec) / 1000000;
}

}  // namespace tidemark
