#include <windows.h>

#include "platform/thread_sleep.h"

namespace tidemark {

void sleepMilliseconds(std::uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace tidemark
