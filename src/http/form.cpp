#include "http/form.h"

#include <cstring>

namespace tidemark {

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";

void appendEncoded(std::string& out, std::string_view bytes) {
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);
        out += '%';
        out += kHexDigits[byte >> 4];
        out += kHexDigits[byte & 0x0F];
    }
}

void appendPairs(std::string& out, std::span<const FormField> fields, char firstSeparator) {
    bool first = true;
    for (const FormField& field : fields) {
        if (first) {
            if (firstSeparator != '\0') out += firstSeparator;
            first = false;
        } else {
            out += '&';
        }
        appendEncoded(out, field.name);
        out += '=';
        appendEncoded(out, field.value);
    }
}

std::size_t encodedPairsLength(std::span<const FormField> fields) {
    std::size_t length = 0;
    for (const FormField& field : fields) length += 1 + 3 * field.name.size() + 1 + 3 * field.value.size();
    return length;
}
}  // namespace

std::string percentEncode(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    appendEncoded(out, bytes);
    return out;
}

FormField::FormField(const char* fieldName, const char* text)
    : name(fieldName ? fieldName : ""), value(text ? text : "") {}

FormField::FormField(std::string_view fieldName, const void* bytes, std::uint32_t length)
    : name(fieldName),
      value(length == 0 || bytes == nullptr ? std::string_view()
                                            : std::string_view(static_cast<const char*>(bytes), length)) {}

std::string buildUrlencodedBody(std::span<const FormField> fields) {
    std::string body;
    body.reserve(encodedPairsLength(fields));
    appendPairs(body, fields, '\0');
    return body;
}

std::optional<std::string> buildRequestTarget(std::string_view path, std::span<const FormField> fields) {
    // Measured before building, so an oversized value costs no allocation.
    if (path.size() + encodedPairsLength(fields) > kMaxRequestTargetLength) return std::nullopt;
    std::string target(path);
    appendPairs(target, fields, '?');
    return target;
}

}  // namespace tidemark
