#pragma once
#include <cstdint>

namespace tidemark {

// Pauses the calling thread with the platform's own call. Under Wine the
// standard library's sleep costs a timer object per call, which doubles the
// cost of the worker's 10 ms polling.
void sleepMilliseconds(std::uint32_t milliseconds);

}  // namespace tidemark
