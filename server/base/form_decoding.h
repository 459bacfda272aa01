#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tidemark {

// The client percent-encodes every byte of every name and value, so decoding
// is byte for byte: any byte may come out (NUL included) and '+' stays '+'.
// Returns nothing when an escape is malformed.
std::optional<std::string> percentDecode(std::string_view encoded);

struct DecodedField {
  std::string name;
  std::string value;
};

// Fields of a query string or urlencoded body, in the order sent.
struct FieldList {
  std::vector<DecodedField> fields;
  std::string error;  // empty when the text was well formed

  bool ok() const { return error.empty(); }
};

// Splits "name=value&name=value" and decodes both sides of each pair. An
// empty text is an empty list; an empty pair or a pair without '=' is an
// error, as is any malformed escape.
FieldList decodeFieldList(std::string_view text);

// The query part of a raw request target ("/path?query"), without the '?'.
std::string_view queryOfTarget(std::string_view target);

// Looks fields up by name, insisting that each protocol field was sent once.
class FieldLookup {
 public:
  explicit FieldLookup(const std::vector<DecodedField>& fields) : fields_(fields) {}

  // Fills `value` and returns true when the field was sent exactly once;
  // otherwise sets `error` ("missing field ..." or "repeated field ...").
  bool single(std::string_view name, std::string& value, std::string& error) const;
  bool has(std::string_view name) const;

 private:
  const std::vector<DecodedField>& fields_;
};

}  // namespace tidemark
