#pragma once
// The production ProcessMemory: another process read through its handle.

#include <windows.h>

#include <memory>

#include "gamelog/process_memory.h"

namespace tidemark {

// Takes ownership of `process` (which needs PROCESS_QUERY_INFORMATION and
// PROCESS_VM_READ) and closes it when the result is destroyed; null for a
// null handle. The current-process pseudo handle works and is never closed.
std::unique_ptr<ProcessMemory> makeWin32ProcessMemory(HANDLE process);

}  // namespace tidemark
