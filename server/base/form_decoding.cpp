#include "base/form_decoding.h"

namespace tidemark {
namespace {

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::optional<std::string> percentDecode(std::string_view encoded) {
  std::string out;
  out.reserve(encoded.size() / 3 + 1);
  for (size_t i = 0; i < encoded.size(); ++i) {
    const char c = encoded[i];
    if (c != '%') {
      out.push_back(c);
      continue;
    }
    if (encoded.size() - i < 3) return std::nullopt;
    const int high = hexDigitValue(encoded[i + 1]);
    const int low = hexDigitValue(encoded[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return out;
}

FieldList decodeFieldList(std::string_view text) {
  FieldList list;
  if (text.empty()) return list;
  size_t start = 0;
  while (true) {
    const size_t end = text.find('&', start);
    const std::string_view pair =
        text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    const size_t equals = pair.find('=');
    if (pair.empty() || equals == std::string_view::npos) {
      list.error = "malformed field list";
      list.fields.clear();
      return list;
    }
    auto name = percentDecode(pair.substr(0, equals));
    auto value = percentDecode(pair.substr(equals + 1));
    if (!name || !value) {
      list.error = "malformed percent-encoding";
      list.fields.clear();
      return list;
    }
    list.fields.push_back({std::move(*name), std::move(*value)});
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return list;
}

std::string_view queryOfTarget(std::string_view target) {
  const size_t mark = target.find('?');
  if (mark == std::string_view::npos) return {};
  return target.substr(mark + 1);
}

bool FieldLookup::has(std::string_view name) const {
  for (const auto& field : fields_)
    if (field.name == name) return true;
  return false;
}

bool FieldLookup::single(std::string_view name, std::string& value, std::string& error) const {
  const DecodedField* found = nullptr;
  for (const auto& field : fields_) {
    if (field.name != name) continue;
    if (found) {
      error = "repeated field " + std::string(name);
      return false;
    }
    found = &field;
  }
  if (!found) {
    error = "missing field " + std::string(name);
    return false;
  }
  value = found->value;
  return true;
}

}  // namespace tidemark
