#include "capture/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace tidemark {

namespace {
class SystemClock final : public Clock {
public:
    std::int64_t now() override { return static_cast<std::int64_t>(std::time(nullptr)); }
    void sleepMs(std::uint32_t milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
};
}  // namespace

Clock& systemClock() {
    static SystemClock clock;
    return clock;
}

}  // namespace tidemark
