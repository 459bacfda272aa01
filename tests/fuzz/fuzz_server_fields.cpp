// The bundled server's handling of what a client sends: the field list of a
// query or body, the protocol fields looked up in it, the numbers and ids
// checked in them, and the game line rendered for the player's page. Links
// only those three units of server/.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>

#include "base/field_values.h"
#include "base/form_decoding.h"
#include "base/line_rendering.h"
#include "base/random_ids.h"

namespace tidemark {
namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// Strict UTF-8 as the page needs it: no overlong forms, no surrogates,
// nothing above U+10FFFF.
bool isValidUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t length = b < 0x80 ? 1 : b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        std::uint32_t c = length == 1 ? b : b & (0xFF >> (length + 1));
        for (std::size_t k = 1; k < length; ++k) {
            const auto t = static_cast<unsigned char>(text[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            c = c << 6 | (t & 0x3F);
        }
        if ((length == 3 && c < 0x800) || (length == 4 && c < 0x10000) || (c >= 0xD800 && c < 0xE000) || c > 0x10FFFF)
            return false;
        i += length;
    }
    return true;
}

void checkRendering(const std::string& raw) {
    const std::string line = renderLine(raw);
    if (!isValidUtf8(line)) fail("rendered line is not valid UTF-8");
    if (line.size() > kRenderedLineLimit + 3) fail("rendered line over its limit");
    for (const char c : line) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) fail("control byte in a rendered line");
    }
}

void checkNumber(const std::string& text) {
    const std::optional<std::int64_t> wide = parseInt64(text);
    const std::optional<std::int32_t> narrow = parseInt32(text);
    if (wide || narrow) {
        std::size_t i = text.size() > 0 && text[0] == '-' ? 1 : 0;
        if (i == text.size()) fail("a sign alone read as a number");
        for (; i < text.size(); ++i)
            if (text[i] < '0' || text[i] > '9') fail("a number with other characters");
    }
    if (narrow && (!wide || *wide != *narrow)) fail("32-bit and 64-bit readings differ");
    if (wide && !narrow && *wide >= INT32_MIN && *wide <= INT32_MAX) fail("32-bit value refused");
}

void checkIssuedId(const std::string& text) {
    if (!isIssuedId(text)) return;
    if (text.size() != kIssuedIdLength) fail("issued id of another length");
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) fail("issued id with a non-hex character");
}

}  // namespace
}  // namespace tidemark

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tidemark;
    FuzzedDataProvider input(data, size);
    const int part = input.ConsumeIntegralInRange(0, 3);
    const std::string text = input.ConsumeRemainingBytesAsString();
    if (part == 0) {
        checkRendering(text);
        return 0;
    }
    if (part == 1) {
        checkNumber(text);
        checkIssuedId(text);
        return 0;
    }
    const FieldList list = decodeFieldList(part == 2 ? queryOfTarget(text) : text);
    if (!list.ok() && !list.fields.empty()) fail("fields kept from a malformed list");
    const FieldLookup lookup(list.fields);
    static const char* const names[] = {"lang", "sid", "fid", "aid", "pid", "code", "log", "line", "ltime", "present"};
    for (const char* name : names) {
        std::string value, error;
        const bool single = lookup.single(name, value, error);
        if (single != error.empty()) fail("lookup result and error disagree");
        if (single && !lookup.has(name)) fail("single field not present");
        if (single) {
            checkNumber(value);
            checkIssuedId(value);
            checkRendering(value);
        }
    }
    return 0;
}
