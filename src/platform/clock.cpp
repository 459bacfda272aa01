#include "platform/clock.h"

#include <ctime>

#include "platform/thread_sleep.h"

namespace tidemark {

namespace {
class SystemClock final : public Clock {
public:
    std::int64_t now() override { return static_cast<std::int64_t>(std::time(nullptr)); }
    void sleepMs(std::uint32_t milliseconds) override { sleepMilliseconds(milliseconds); }
};
}  // namespace

Clock& systemClock() {
    static SystemClock clock;
    return clock;
}

}  // namespace tidemark
