#pragma once
// Every text of a module's string tables, by language tag and id, read
// straight from the resource blocks (16 counted strings each).

#include <windows.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "texts/text_table.h"

namespace tidemark {

inline constexpr WORD kNeutralSet = 0x0400;
inline constexpr WORD kJapaneseSet = 0x0411;

using StringResources = std::map<std::pair<WORD, int>, std::u16string>;

inline StringResources stringResourcesOf(HMODULE module) {
    std::vector<UINT> blocks;
    EnumResourceNamesW(
        module, RT_STRING,
        [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR found) -> BOOL {
            if (IS_INTRESOURCE(name))
                reinterpret_cast<std::vector<UINT>*>(found)->push_back(static_cast<UINT>(reinterpret_cast<ULONG_PTR>(name)));
            return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&blocks));
    StringResources texts;
    for (UINT block : blocks) {
        std::vector<WORD> languages;
        EnumResourceLanguagesW(
            module, RT_STRING, MAKEINTRESOURCEW(block),
            [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found) -> BOOL {
                reinterpret_cast<std::vector<WORD>*>(found)->push_back(language);
                return TRUE;
            },
            reinterpret_cast<LONG_PTR>(&languages));
        for (WORD language : languages) {
            HRSRC found = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(block), language);
            const auto* p = static_cast<const char16_t*>(LockResource(LoadResource(module, found)));
            const char16_t* end = p + SizeofResource(module, found) / sizeof(char16_t);
            for (int index = 0; index < 16 && p < end; ++index) {
                std::size_t length = *p++;
                if (length > 0) texts[{language, static_cast<int>((block - 1) * 16 + index)}] = std::u16string(p, length);
                p += length;
            }
        }
    }
    return texts;
}

// What the string tables must hold: the portable text table in both sets.
inline StringResources expectedStringResources() {
    StringResources texts;
    for (const TextEntry& entry : textTable()) {
        texts[{kNeutralSet, entry.id}] = std::u16string(entry.english);
        texts[{kJapaneseSet, entry.id}] = std::u16string(entry.japanese);
    }
    return texts;
}

}  // namespace tidemark
