#include "platform/clock.h"

#include <chrono>
#include <ctime>

#include "platform/thread_cpu_time.h"
#include "platform/thread_sleep.h"

namespace tidemark {

namespace {
class SystemClock final : public Clock {
public:
    std::int64_t now() override { return static_cast<std::int64_t>(std::time(nullptr)); }
    void sleepMs(std::uint32_t milliseconds) override { sleepMilliseconds(milliseconds); }
    std::uint64_t threadCpuMs() override { return threadCpuMilliseconds(); }
};
}  // namespace

std::uint64_t Clock::elapsedMs() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

Clock& systemClock() {
    static SystemClock clock;
    return clock;
}

}  // namespace tidemark
