#pragma once
// Which resource set (string-table blocks, dialog templates, menus) the
// program uses. Wine does not choose the Japanese set by UI language as
// Windows does, so the set is chosen here and resources are loaded from it
// explicitly.

#include <windows.h>

namespace tidemark {

// The Japanese set (0x0411) for a Japanese UI, else the neutral English set (0x0400).
WORD uiResourceSet();
WORD otherResourceSet(WORD set);

// The bytes of a resource of exactly `set`, and their size; null when missing.
const void* lockResourceIn(LPCWSTR type, LPCWSTR name, WORD set, DWORD* size = nullptr);

}  // namespace tidemark
