#include "gamelog/compiled_patterns.h"

#include <cstdint>
#include <limits>

namespace tidemark {

namespace {

bool isAtoiSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isArrayOfStrings(const rapidjson::Value& value) {
    if (!value.IsArray()) return false;
    for (const auto& element : value.GetArray())
        if (!element.IsString()) return false;
    return true;
}

// 0x1F 0x1F and the first keyword of pattern "1": how the chat log's marker
// line begins. Empty when the document holds no such keyword.
std::string markerOf(const rapidjson::Value& root) {
    auto pattern = root.FindMember("1");
    if (pattern == root.MemberEnd() || !pattern->value.IsObject()) return {};
    auto keywords = pattern->value.FindMember("keyword");
    if (keywords == pattern->value.MemberEnd() || !keywords->value.IsArray() || keywords->value.Empty() ||
        !keywords->value[0].IsString())
        return {};
    const auto& keyword = keywords->value[0];
    return std::string("\x1F\x1F") + std::string(keyword.GetString(), keyword.GetStringLength());
}

}  // namespace

std::int32_t readDecimalLikeAtoi(const char* text, std::size_t length) {
    std::size_t i = 0;
    while (i < length && isAtoiSpace(text[i])) ++i;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulate in 64 bits and stop growing once past the 32-bit range, so
    // that a long digit string neither overflows nor wraps.
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (magnitude <= kLimit) magnitude = magnitude * 10 + (text[i] - '0');
    }
    if (negative) {
        return magnitude >= kLimit ? std::numeric_limits<std::int32_t>::min()
                                   : static_cast<std::int32_t>(-magnitude);
    }
    return magnitude >= kLimit ? std::numeric_limits<std::int32_t>::max()
                               : static_cast<std::int32_t>(magnitude);
}

CompiledPatterns compilePatterns(const rapidjson::Value& root) {
    CompiledPatterns compiled;
    if (!root.IsObject()) return compiled;
    compiled.marker = markerOf(root);

    for (const auto& member : root.GetObject()) {
        const rapidjson::Value& body = member.value;
        if (!body.IsObject()) continue;

        const auto code = body.FindMember("code");
        if (code == body.MemberEnd() || !code->value.IsString()) continue;

        const auto keywords = body.FindMember("keyword");
        const bool hasKeywords = keywords != body.MemberEnd();
        if (hasKeywords && !isArrayOfStrings(keywords->value)) continue;

        CompiledPattern pattern;
        pattern.id = readDecimalLikeAtoi(member.name.GetString(), member.name.GetStringLength());
        pattern.code = readDecimalLikeAtoi(code->value.GetString(), code->value.GetStringLength());
        const auto trace = body.FindMember("trace");
        pattern.trace = trace != body.MemberEnd() && trace->value.IsTrue();
        pattern.firstKeyword = static_cast<std::uint32_t>(compiled.keywords.size());
        if (hasKeywords) {
            for (const auto& keyword : keywords->value.GetArray()) {
                KeywordSpan span;
                span.offset = static_cast<std::uint32_t>(compiled.keywordBytes.size());
                span.length = keyword.GetStringLength();
                compiled.keywordBytes.append(keyword.GetString(), keyword.GetStringLength());
                compiled.keywords.push_back(span);
            }
        }
        pattern.keywordCount =
            static_cast<std::uint32_t>(compiled.keywords.size()) - pattern.firstKeyword;
        compiled.anyTrace = compiled.anyTrace || pattern.trace;
        compiled.patterns.push_back(pattern);
    }
    return compiled;
}

}  // namespace tidemark
