#pragma once
#include <cstdint>
#include <string>

namespace tidemark {

// One record of the message log, and the carrier of a matched game log line
// from the read pass to the line poster.
struct LogRecord {
    std::int32_t kind = 0;
    std::int64_t time = 0;        // seconds since 1970-01-01 00:00 UTC
    std::int32_t ordinal = 0;     // matches reported earlier in the same read pass
    std::int32_t patternId = -1;  // -1 for a message
    std::int32_t code = 0;
    std::u16string text;          // what the Log tab shows
    const std::uint8_t* raw = nullptr;  // not owned; valid only while postLine runs
    std::uint32_t rawLength = 0;
    std::uint32_t present = 0;
};

}  // namespace tidemark
