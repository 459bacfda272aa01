// Texts from the executable's string table. Wine's LoadStringW does not pick
// the Japanese table by UI language as Windows does, so the set is chosen
// here from the UI language and the string is read from that set's block
// directly; Windows and Wine then agree.
#include <windows.h>

#include <algorithm>

#include "texts/texts.h"
#include "texts/resource_set_win32.h"

namespace tidemark {

namespace {
constexpr std::size_t kTextCapacity = 1023;

// A string-table block holds 16 counted UTF-16 strings.
std::u16string findInBlock(int id, WORD set) {
    const auto block = static_cast<UINT>(id / 16 + 1);
    DWORD bytes = 0;
    const auto* p = static_cast<const WCHAR*>(lockResourceIn(RT_STRING, MAKEINTRESOURCEW(block), set, &bytes));
    if (!p) return {};
    const WCHAR* end = p + bytes / sizeof(WCHAR);
    for (int index = 0; index < id % 16; ++index) {
        if (p >= end) return {};
        p += 1 + *p;
    }
    if (p >= end) return {};
    std::size_t length = *p;
    if (p + 1 + length > end) length = static_cast<std::size_t>(end - (p + 1));
    length = std::min(length, kTextCapacity);
    return std::u16string(reinterpret_cast<const char16_t*>(p + 1), length);
}
}  // namespace

std::u16string LoadTextW(int id) {
    if (id < 0 || id > 0xFFFF) return {};
    const WORD chosen = uiResourceSet();
    std::u16string text = findInBlock(id, chosen);
    // A text missing from the chosen set is taken from the other one.
    if (text.empty()) text = findInBlock(id, otherResourceSet(chosen));
    return text;
}

std::string LoadTextA(int id) {
    std::u16string wide = LoadTextW(id);
    if (wide.empty()) return {};
    const auto* w = reinterpret_cast<const wchar_t*>(wide.c_str());
    int needed = WideCharToMultiByte(CP_ACP, 0, w, static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(CP_ACP, 0, w, static_cast<int>(wide.size()), narrow.data(), needed, nullptr, nullptr);
    if (narrow.size() > kTextCapacity) narrow.resize(kTextCapacity);
    return narrow;
}

std::u16string Utf8ToWide(std::string_view utf8) {
    std::string_view text = utf8.substr(0, utf8.find('\0'));
    if (text.empty()) return {};
    int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (needed <= 0) return {};
    std::u16string wide(static_cast<std::size_t>(needed), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                        reinterpret_cast<wchar_t*>(wide.data()), needed);
    return wide;
}

}  // namespace tidemark
