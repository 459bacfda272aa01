#pragma once
// The id a report carries on every attempt to send it, so that the server can
// tell a retry from a new line and store each line once. Made once, when the
// line matched, and kept with the report in the journal across restarts.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tidemark {

struct ReportId {
    std::array<std::uint8_t, 16> bytes{};

    friend bool operator==(const ReportId&, const ReportId&) = default;

    std::string toHex() const;  // 32 lowercase hex digits
    // Exactly 32 hex digits (either case); anything else is no id.
    static std::optional<ReportId> fromHex(std::string_view text);
};

// 128 random bits from the platform's cryptographic source: ids of different
// players and runs must never meet on the server.
ReportId newReportId();

// The platform half of newReportId: fills `out` from the system's
// cryptographic source, false when that source failed.
bool fillFromSystemRandom(std::uint8_t* out, std::size_t size);

}  // namespace tidemark

template <>
struct std::hash<tidemark::ReportId> {
    std::size_t operator()(const tidemark::ReportId& id) const noexcept {
        // The bytes are random already: any eight of them spread well.
        std::size_t value = 0;
        for (std::size_t i = 0; i < sizeof value; ++i) value = (value << 8) | id.bytes[i];
        return value;
    }
};
