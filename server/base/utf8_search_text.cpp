#include "base/utf8_search_text.h"

#include <cstdint>

namespace tidemark {
namespace {

// Length of the well-formed character at `at` (no overlong forms, no
// surrogates, nothing past U+10FFFF, no NUL), or 0.
size_t characterLength(std::string_view bytes, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
  const uint8_t lead = byte(at);
  if (lead >= 0x01 && lead < 0x80) return 1;
  size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  else if (lead == 0xE0) length = 3, low = 0xA0;
  else if (lead == 0xED) length = 3, high = 0x9F;
  else if (lead >= 0xE1 && lead <= 0xEF) length = 3;
  else if (lead == 0xF0) length = 4, low = 0x90;
  else if (lead >= 0xF1 && lead <= 0xF3) length = 4;
  else if (lead == 0xF4) length = 4, high = 0x8F;
  else return 0;
  if (at + length > bytes.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  return length;
}

}  // namespace

std::string searchableText(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (size_t at = 0; at < bytes.size();) {
    const size_t length = characterLength(bytes, at);
    if (length == 0) {
      text += "\xEF\xBF\xBD";
      ++at;
    } else {
      text.append(bytes.substr(at, length));
      at += length;
    }
  }
  return text;
}

bool indexableSearch(std::string_view text) {
  size_t characters = 0;
  for (size_t at = 0; at < text.size(); ++characters) {
    const size_t length = characterLength(text, at);
    if (length == 0) return false;
    at += length;
  }
  return characters >= 3;
}

}  // namespace tidemark
