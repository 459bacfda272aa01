#include "platform/settings_store.h"

namespace tidemark {

namespace {
constexpr std::size_t kLongestValue = 511;

bool isQuote(char c) { return c == '"' || c == '\''; }
}  // namespace

bool isStorableSettingsValue(std::string_view value) {
    if (value.empty() || value.size() > kLongestValue) return false;
    for (char c : value)
        if (c < 0x21 || c > 0x7E) return false;
    return !isQuote(value.front()) && !isQuote(value.back());
}

}  // namespace tidemark
