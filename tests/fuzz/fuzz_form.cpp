// Percent-encoding and the two form builders, checked against the bundled
// server's decoding: whatever bytes the client sends, the server must read
// back exactly those fields, in order.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <vector>

#include "base/form_decoding.h"
#include "http/form.h"

namespace tidemark {
namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void checkEncoding(const std::string& bytes) {
    const std::string encoded = percentEncode(bytes);
    if (encoded.size() != 3 * bytes.size()) fail("encoding is not three bytes per byte");
    static const char digits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (encoded[3 * i] != '%' || encoded[3 * i + 1] != digits[byte >> 4] || encoded[3 * i + 2] != digits[byte & 15])
            fail("byte not escaped as %XX");
    }
    if (percentDecode(encoded) != bytes) fail("server does not decode what the client encoded");
}

void checkFields(const FieldList& decoded, const std::vector<std::string>& names,
                 const std::vector<std::string>& values) {
    if (!decoded.ok()) fail("server refused the client's encoding");
    if (decoded.fields.size() != names.size()) fail("field count changed on the way");
    for (std::size_t i = 0; i < names.size(); ++i)
        if (decoded.fields[i].name != names[i] || decoded.fields[i].value != values[i]) fail("field changed on the way");
}

}  // namespace
}  // namespace tidemark

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tidemark;
    FuzzedDataProvider input(data, size);
    const std::string path = input.ConsumeBool() ? "/rep/get.php" : input.ConsumeRandomLengthString(40);
    std::vector<std::string> names, values;
    for (int n = input.ConsumeIntegralInRange(0, 12); n > 0; --n) {
        names.push_back(input.ConsumeRandomLengthString(16));
        values.push_back(input.ConsumeRandomLengthString(input.ConsumeBool() ? 32 : 1200));
    }
    std::vector<FormField> fields;
    for (std::size_t i = 0; i < names.size(); ++i) {
        checkEncoding(names[i]);
        checkEncoding(values[i]);
        // Both ways of making a field: measured bytes (NUL included) or a
        // C text, which ends at its first NUL.
        if (input.ConsumeBool()) {
            fields.emplace_back(names[i], values[i].data(), static_cast<std::uint32_t>(values[i].size()));
        } else {
            values[i].resize(values[i].find('\0') == std::string::npos ? values[i].size() : values[i].find('\0'));
            fields.emplace_back(names[i].c_str(), values[i].c_str());
            names[i].resize(names[i].find('\0') == std::string::npos ? names[i].size() : names[i].find('\0'));
        }
    }

    const std::string body = buildUrlencodedBody(fields);
    // An empty first field name still makes a pair; only a list of none is
    // the empty body.
    checkFields(decodeFieldList(body), names, values);

    std::size_t encodedLength = path.size();
    for (std::size_t i = 0; i < names.size(); ++i) encodedLength += 2 + 3 * (names[i].size() + values[i].size());
    const std::optional<std::string> target = buildRequestTarget(path, fields);
    if (target.has_value() != (encodedLength <= kMaxRequestTargetLength)) fail("target limit misjudged");
    if (!target) return 0;
    if (target->size() > kMaxRequestTargetLength) fail("target over the limit");
    if (target->compare(0, path.size(), path) != 0) fail("target does not start with the path");
    if (fields.empty()) {
        if (*target != path) fail("bare path expected");
    } else if (path.find('?') == std::string::npos) {
        checkFields(decodeFieldList(queryOfTarget(*target)), names, values);
    }
    return 0;
}
