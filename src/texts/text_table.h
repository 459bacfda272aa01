#pragma once
// The string table as portable data: the native build loads texts from it,
// and a Windows test proves the compiled resources hold the same texts.

#include <span>
#include <string_view>

namespace tidemark {

struct TextEntry {
    int id;
    std::u16string_view english;
    std::u16string_view japanese;
};

std::span<const TextEntry> textTable();

// Native build only: load the Japanese set instead of the English one.
void useJapaneseTexts(bool on);

}  // namespace tidemark
