#pragma once
// A clock for tests: the time is whatever the test sets, and sleeping only
// records how long the code wanted to wait. Elapsed time is the time slept
// plus whatever the test adds.

#include <atomic>
#include <cstdint>

#include "platform/clock.h"

namespace tidemark {

class FakeClock : public Clock {
public:
    explicit FakeClock(std::int64_t now = 1700000000) : now_(now) {}

    std::int64_t now() override { return now_; }
    void sleepMs(std::uint32_t milliseconds) override {
        sleptMs_ += milliseconds;
        ++sleeps_;
    }

    std::uint64_t elapsedMs() override { return sleptMs_ + advancedMs_; }
    // Time advanced by the test is work; sleeping is not.
    std::uint64_t threadCpuMs() override { return advancedMs_; }

    void setNow(std::int64_t now) { now_ = now; }
    // Time passing without a sleep, as a long search takes it.
    void advanceMs(std::uint64_t milliseconds) { advancedMs_ += milliseconds; }
    std::uint64_t sleptMs() const { return sleptMs_; }
    std::uint64_t sleeps() const { return sleeps_; }

private:
    std::atomic<std::int64_t> now_;
    std::atomic<std::uint64_t> sleptMs_{0};
    std::atomic<std::uint64_t> sleeps_{0};
    std::atomic<std::uint64_t> advancedMs_{0};
};

}  // namespace tidemark
