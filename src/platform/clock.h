#pragma once
#include <cstdint>

namespace tidemark {

// Wall clock and sleeping, injectable so tests neither wait nor depend on
// the date.
class Clock {
public:
    virtual ~Clock() = default;
    // Seconds since 1970-01-01 00:00 UTC, as time() gives them.
    virtual std::int64_t now() = 0;
    virtual void sleepMs(std::uint32_t milliseconds) = 0;
    // Milliseconds on a clock that only moves forward, for measuring how
    // long something took; its zero is arbitrary.
    virtual std::uint64_t elapsedMs();
    // Processor time the calling thread has used, in milliseconds, for
    // telling work from waiting; a clock that cannot tell counts all elapsed
    // time as used.
    virtual std::uint64_t threadCpuMs() { return elapsedMs(); }
};

// The real clock: time() and the platform's sleep.
Clock& systemClock();

}  // namespace tidemark
