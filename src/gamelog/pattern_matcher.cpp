#include "gamelog/pattern_matcher.h"

#include "gamelog/process_memory.h"

namespace tidemark {

namespace {

bool lineHoldsEveryKeyword(const CompiledPatterns& patterns, const CompiledPattern& pattern,
                           const std::uint8_t* line, std::size_t lineLength) {
    for (std::uint32_t k = 0; k < pattern.keywordCount; ++k) {
        const KeywordSpan& span = patterns.keywords[pattern.firstKeyword + k];
        // An empty keyword asks for nothing, so it is found in every line.
        if (span.length == 0) continue;
        if (findBytes(patterns.keywordData(span), span.length, line, lineLength) == kNotFound)
            return false;
    }
    return true;
}

}  // namespace

const CompiledPattern* findMatchingPattern(const CompiledPatterns& patterns, bool present,
                                           std::int32_t code, const std::uint8_t* line,
                                           std::size_t lineLength) {
    if (!present && !patterns.anyTrace) return nullptr;
    for (const CompiledPattern& pattern : patterns.patterns) {
        if (!present && !pattern.trace) continue;
        if (pattern.code != 0 && pattern.code != code) continue;
        if (lineHoldsEveryKeyword(patterns, pattern, line, lineLength)) return &pattern;
    }
    return nullptr;
}

}  // namespace tidemark
