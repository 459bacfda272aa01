#include "capture/report_id.h"

#include <chrono>
#include <random>

namespace tidemark {

std::string ReportId::toHex() const {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * bytes.size());
    for (std::uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

namespace {
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::optional<ReportId> ReportId::fromHex(std::string_view text) {
    ReportId id;
    if (text.size() != 2 * id.bytes.size()) return std::nullopt;
    for (std::size_t i = 0; i < id.bytes.size(); ++i) {
        const int high = hexValue(text[2 * i]);
        const int low = hexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        id.bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return id;
}

ReportId newReportId() {
    ReportId id;
    if (fillFromSystemRandom(id.bytes.data(), id.bytes.size())) return id;
    // The system source has not been seen to fail; should it, an id from the
    // library's source mixed with the clock still beats losing the report.
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(),
                       static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()),
                       static_cast<unsigned>(std::chrono::system_clock::now().time_since_epoch().count())};
    std::mt19937_64 mix(seed);
    for (std::size_t i = 0; i < id.bytes.size(); i += 8) {
        const std::uint64_t value = mix();
        for (std::size_t k = 0; k < 8; ++k) id.bytes[i + k] = static_cast<std::uint8_t>(value >> (8 * k));
    }
    return id;
}

}  // namespace tidemark
