// Texts for the native build: the portable string table, English unless a
// test asks for the Japanese set (there is no UI language off Windows).
#include <atomic>

#include "texts/text_table.h"
#include "texts/texts.h"

namespace tidemark {

namespace {
std::atomic<bool> japaneseTexts{false};
constexpr std::size_t kTextCapacity = 1023;

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}
}  // namespace

void useJapaneseTexts(bool on) { japaneseTexts = on; }

std::u16string LoadTextW(int id) {
    for (const TextEntry& entry : textTable()) {
        if (entry.id == id) {
            std::u16string_view text = japaneseTexts ? entry.japanese : entry.english;
            return std::u16string(text.substr(0, kTextCapacity));
        }
    }
    return {};
}

std::string LoadTextA(int id) {
    std::u16string wide = LoadTextW(id);
    std::string out;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        char32_t c = wide[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < wide.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
        }
        appendUtf8(out, c);
    }
    return out;
}

}  // namespace tidemark
