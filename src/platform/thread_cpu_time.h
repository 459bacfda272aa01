#pragma once
#include <cstdint>

namespace tidemark {

// Processor time the calling thread has used so far (user and kernel), in
// milliseconds.
std::uint64_t threadCpuMilliseconds();

}  // namespace tidemark
