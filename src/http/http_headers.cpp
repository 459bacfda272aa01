#include <algorithm>
#include <limits>

#include "http/http_client.h"

namespace tidemark {

bool isSendableHeader(const HttpHeader& header) {
    if (header.name.empty()) return false;
    for (unsigned char c : header.name)
        if (c <= 0x20 || c >= 0x7F || c == ':') return false;
    for (unsigned char c : header.value)
        if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
    return true;
}

std::optional<std::uint32_t> parseRetryAfter(std::string_view value) {
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    if (value.empty()) return std::nullopt;
    std::uint64_t seconds = 0;
    for (char c : value) {
        if (c < '0' || c > '9') return std::nullopt;
        // A huge value means "much later": it saturates rather than wraps.
        seconds = std::min<std::uint64_t>(seconds * 10 + static_cast<std::uint64_t>(c - '0'),
                                          std::numeric_limits<std::uint32_t>::max());
    }
    return static_cast<std::uint32_t>(seconds);
}

}  // namespace tidemark
