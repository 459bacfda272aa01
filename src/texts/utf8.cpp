// UTF-8 to UTF-16 for the native build, with the platform converter's
// behaviour: invalid or truncated sequences become U+FFFD.
#include "texts/texts.h"

namespace tidemark {

std::u16string Utf8ToWide(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
    const std::size_t n = utf8.size();
    std::size_t i = 0;
    while (i < n && s[i] != 0) {
        unsigned char b = s[i];
        char32_t c;
        std::size_t len;
        if (b < 0x80) { c = b; len = 1; }
        else if (b >= 0xC2 && b < 0xE0) { c = b & 0x1F; len = 2; }
        else if (b >= 0xE0 && b < 0xF0) { c = b & 0x0F; len = 3; }
        else if (b >= 0xF0 && b < 0xF5) { c = b & 0x07; len = 4; }
        else { out += u'\uFFFD'; ++i; continue; }
        std::size_t k = 1;
        for (; k < len && i + k < n; ++k) {
            unsigned char t = s[i + k];
            if ((t & 0xC0) != 0x80) break;
            c = (c << 6) | (t & 0x3F);
        }
        bool overlong = (len == 3 && c < 0x800) || (len == 4 && c < 0x10000);
        if (k < len || overlong || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) {
            out += u'\uFFFD';
            i += (k < len) ? (k ? k : 1) : len;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += len;
    }
    return out;
}

}  // namespace tidemark
