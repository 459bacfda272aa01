#include <chrono>
#include <thread>

#include "platform/thread_sleep.h"

namespace tidemark {

void sleepMilliseconds(std::uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace tidemark
