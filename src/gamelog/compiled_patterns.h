#pragma once
// The pattern document compiled once per load into the form the matcher uses
// without JSON look-ups. Document order is kept: the first match wins.

#include <cstdint>
#include <string>
#include <vector>

#include <rapidjson/document.h>

namespace tidemark {

// A keyword's bytes inside CompiledPatterns::keywordBytes.
struct KeywordSpan {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
};

struct CompiledPattern {
    std::int32_t id = 0;     // the member name, read like atoi
    std::int32_t code = 0;   // 0 accepts every code
    bool trace = false;      // only the literal true lets history lines match
    std::uint32_t firstKeyword = 0;  // index into CompiledPatterns::keywords
    std::uint32_t keywordCount = 0;
};

struct CompiledPatterns {
    std::vector<CompiledPattern> patterns;
    std::vector<KeywordSpan> keywords;
    // Every keyword's raw UTF-8 bytes, back to back, so that a pass touches
    // one contiguous block instead of one allocation per keyword.
    std::string keywordBytes;
    bool anyTrace = false;  // false: history lines cannot match at all
    // How the chat log's marker line begins: 0x1F 0x1F and the first keyword
    // of pattern "1"; empty when the document has none.
    std::string marker;

    const std::uint8_t* keywordData(const KeywordSpan& span) const {
        return reinterpret_cast<const std::uint8_t*>(keywordBytes.data()) + span.offset;
    }
};

// Patterns whose value is not an object, whose "code" is not a string, or
// whose "keyword" is present but not an array of strings are skipped; a root
// that is not an object compiles to no patterns.
CompiledPatterns compilePatterns(const rapidjson::Value& root);

// The leading decimal number of `text` the way atoi reads it: optional white
// space and sign, then digits up to the first other character; 0 without
// digits. Values beyond 32 bits saturate.
std::int32_t readDecimalLikeAtoi(const char* text, std::size_t length);

}  // namespace tidemark
