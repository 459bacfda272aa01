#pragma once
// The form model and the percent-encoding of every name and value that goes
// into a query string or an urlencoded body. Every byte is escaped, letters
// and digits included, so the server sees exactly the bytes it was given.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tidemark {

// The longest request target WinInet takes (INTERNET_MAX_URL_LENGTH less the
// terminator). A longer one is refused rather than cut.
inline constexpr std::size_t kMaxRequestTargetLength = 2083;

// "%XX" with upper-case hexadecimal digits for every byte; three times as long
// as the input.
std::string percentEncode(std::string_view bytes);

// One name-value pair. It does not own its texts: the caller keeps them alive
// until the request has been sent.
struct FormField {
    std::string_view name;
    std::string_view value;  // raw bytes, NUL bytes included

    // A text value, measured up to its terminator.
    FormField(const char* name, const char* text);
    // A value of exactly `length` bytes, which may hold NUL bytes; a length of
    // 0 is the empty value.
    FormField(std::string_view name, const void* bytes, std::uint32_t length);
    FormField(std::string_view name, std::string_view value) : name(name), value(value) {}
};

// The fields that postForm sends, in array order.
class FormData {
public:
    FormData() = default;
    explicit FormData(std::span<const FormField> fields) : fields_(fields) {}
    std::span<const FormField> fields() const { return fields_; }

private:
    std::span<const FormField> fields_;
};

// "name=value" pairs, encoded, joined with "&"; no separator before the first.
std::string buildUrlencodedBody(std::span<const FormField> fields);

// The path followed by "?" and the encoded pairs (the bare path without
// fields); nullopt when the target would pass kMaxRequestTargetLength.
std::optional<std::string> buildRequestTarget(std::string_view path,
                                              std::span<const FormField> fields);

}  // namespace tidemark
