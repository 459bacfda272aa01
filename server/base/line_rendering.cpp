#include "base/line_rendering.h"

#include <cstdint>

namespace tidemark {
namespace {

constexpr char kSeparator = 0x1F;
constexpr uint8_t kSequenceStart = 0x02;
constexpr uint8_t kSequenceEnd = 0x03;
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
constexpr std::string_view kEllipsis = "\xE2\x80\xA6";

// Length of the control sequence that starts at `at` (which holds 0x02), or 0
// when the bytes there do not form one. The game writes a one-byte length of
// payload size + 1 for short payloads; longer ones, or a length that does not
// land on 0x03, fall back to the next 0x03.
size_t controlSequenceLength(std::string_view bytes, size_t at) {
  if (at + 2 < bytes.size()) {
    const uint8_t lengthByte = static_cast<uint8_t>(bytes[at + 2]);
    if (lengthByte >= 1 && lengthByte < 0xF0) {
      const size_t end = at + 3 + (lengthByte - 1);
      if (end < bytes.size() && static_cast<uint8_t>(bytes[end]) == kSequenceEnd)
        return end - at + 1;
    }
  }
  const size_t end = bytes.find(static_cast<char>(kSequenceEnd), at + 1);
  return end == std::string_view::npos ? 0 : end - at + 1;
}

// Length of the well-formed UTF-8 sequence at `at`, or 0.
size_t utf8SequenceLength(std::string_view bytes, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
  const uint8_t lead = byte(at);
  size_t length;
  uint8_t low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;         // overlong
    if (lead == 0xED) high = 0x9F;        // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;         // overlong
    if (lead == 0xF4) high = 0x8F;        // above U+10FFFF
  } else {
    return 0;
  }
  if (at + length > bytes.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  return length;
}

// Cuts valid UTF-8 at a character boundary no later than `limit` bytes.
void cutAtCharacter(std::string& text, size_t limit) {
  if (text.size() <= limit) return;
  size_t cut = limit;
  while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
  text.append(kEllipsis);
}

}  // namespace

std::string renderLine(std::string_view raw) {
  std::string out;
  std::string field;
  const auto endField = [&] {
    if (field.empty()) return;
    if (!out.empty()) out.append(": ");
    out.append(field);
    field.clear();
  };
  // A control sequence may hold any byte, 0x1F included, so sequences are
  // recognised before separators, over the whole line.
  for (size_t i = 0; i < raw.size() && out.size() + field.size() <= kRenderedLineLimit;) {
    const uint8_t c = static_cast<uint8_t>(raw[i]);
    if (c == kSequenceStart) {
      if (const size_t skip = controlSequenceLength(raw, i)) {
        i += skip;
        continue;
      }
    }
    if (c == static_cast<uint8_t>(kSeparator)) {
      endField();
      ++i;
      continue;
    }
    if (c < 0x80) {
      if (c == '\t' || c == '\n' || c == '\r')
        field.push_back(' ');
      else if (c < 0x20 || c == 0x7F)
        field.append(kReplacement);
      else
        field.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    if (const size_t length = utf8SequenceLength(raw, i)) {
      field.append(raw.substr(i, length));
      i += length;
    } else {
      field.append(kReplacement);
      ++i;
    }
  }
  endField();
  cutAtCharacter(out, kRenderedLineLimit);
  return out;
}

}  // namespace tidemark
