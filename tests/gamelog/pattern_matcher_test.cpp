#include "gamelog/pattern_matcher.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <string_view>

#include <rapidjson/document.h>

#include "gamelog/compiled_patterns.h"

namespace tidemark {
namespace {

CompiledPatterns compile(const char* json) {
    rapidjson::Document document;
    document.Parse(json);
    EXPECT_FALSE(document.HasParseError()) << json;
    return compilePatterns(document);
}

// The id of the pattern that accepts the line, or -1.
int matchId(const CompiledPatterns& patterns, bool present, std::int32_t code, std::string_view line) {
    const CompiledPattern* pattern = findMatchingPattern(
        patterns, present, code, reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
    return pattern ? pattern->id : -1;
}

TEST(ReadDecimalLikeAtoi, ReadsLeadingDigitsAfterSpaceAndSign) {
    auto read = [](std::string_view s) { return readDecimalLikeAtoi(s.data(), s.size()); };
    EXPECT_EQ(read("57"), 57);
    EXPECT_EQ(read(" \t\n12abc"), 12);
    EXPECT_EQ(read("-3"), -3);
    EXPECT_EQ(read("+7x"), 7);
    EXPECT_EQ(read("abc"), 0);
    EXPECT_EQ(read(""), 0);
    EXPECT_EQ(read("- 5"), 0);
    EXPECT_EQ(read("0057"), 57);
    EXPECT_EQ(read("2147483647"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(read("-2147483648"), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(read("99999999999999999999"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(read("-99999999999999999999"), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(read(std::string_view("4\0" "2", 3)), 4);
}

TEST(CompilePatterns, KeepsDocumentOrderIdsCodesTraceAndKeywordBytes) {
    CompiledPatterns compiled = compile(R"({
        "12": {"keyword": ["a\u00e9", ""], "code": "57", "trace": true},
        " 3x": {"code": "letters"},
        "-4": {"keyword": [], "code": "-9", "trace": "true"}
    })");
    ASSERT_EQ(compiled.patterns.size(), 3u);
    const CompiledPattern& first = compiled.patterns[0];
    EXPECT_EQ(first.id, 12);
    EXPECT_EQ(first.code, 57);
    EXPECT_TRUE(first.trace);
    ASSERT_EQ(first.keywordCount, 2u);
    const KeywordSpan& accented = compiled.keywords[first.firstKeyword];
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(compiled.keywordData(accented)), accented.length),
              "a\xC3\xA9");
    EXPECT_EQ(compiled.keywords[first.firstKeyword + 1].length, 0u);

    EXPECT_EQ(compiled.patterns[1].id, 3);
    EXPECT_EQ(compiled.patterns[1].code, 0);
    EXPECT_FALSE(compiled.patterns[1].trace);
    EXPECT_EQ(compiled.patterns[1].keywordCount, 0u);

    EXPECT_EQ(compiled.patterns[2].id, -4);
    EXPECT_EQ(compiled.patterns[2].code, -9);
    EXPECT_FALSE(compiled.patterns[2].trace) << "only the literal true traces";
    EXPECT_TRUE(compiled.anyTrace);
}

TEST(CompilePatterns, SkipsPatternsOfTheWrongShapeAndKeepsTheRest) {
    CompiledPatterns compiled = compile(R"({
        "1": {"keyword": ["ok"], "code": "0"},
        "2": "not an object",
        "3": {"keyword": ["x"], "code": 57},
        "4": {"keyword": ["x"]},
        "5": {"keyword": "x", "code": "0"},
        "6": {"keyword": ["x", 1], "code": "0"},
        "7": {"keyword": null, "code": "0"},
        "8": {"code": "5", "trace": 1}
    })");
    ASSERT_EQ(compiled.patterns.size(), 2u);
    EXPECT_EQ(compiled.patterns[0].id, 1);
    EXPECT_EQ(compiled.patterns[1].id, 8);
    EXPECT_FALSE(compiled.anyTrace);
}

TEST(CompilePatterns, RootThatIsNotAnObjectGivesNoPatterns) {
    rapidjson::Document array;
    array.Parse(R"([{"code":"0"}])");
    EXPECT_TRUE(compilePatterns(array).patterns.empty());
}

TEST(PatternMatcher, CodeMustEqualUnlessThePatternSaysZero) {
    CompiledPatterns patterns = compile(R"({"7": {"code": "57"}})");
    EXPECT_EQ(matchId(patterns, true, 57, "line"), 7);
    EXPECT_EQ(matchId(patterns, true, 58, "line"), -1);

    CompiledPatterns anyCode = compile(R"({"8": {"code": "letters"}})");
    EXPECT_EQ(matchId(anyCode, true, 58, "line"), 8);
    EXPECT_EQ(matchId(anyCode, true, -1, ""), 8);
}

TEST(PatternMatcher, EveryKeywordMustOccurInAnyOrderAndMayOverlap) {
    CompiledPatterns patterns = compile(R"({"5": {"keyword": ["red", "blue"], "code": "0"}})");
    EXPECT_EQ(matchId(patterns, true, 1, "red then blue"), 5);
    EXPECT_EQ(matchId(patterns, true, 1, "blue then red"), 5);
    EXPECT_EQ(matchId(patterns, true, 1, "only red"), -1);
    EXPECT_EQ(matchId(patterns, true, 1, "only blue"), -1);

    CompiledPatterns overlapping = compile(R"({"6": {"keyword": ["abc", "bcd"], "code": "0"}})");
    EXPECT_EQ(matchId(overlapping, true, 1, "xabcdx"), 6);
}

TEST(PatternMatcher, ComparesRawBytesWithoutCaseFoldingOrTerminator) {
    CompiledPatterns patterns = compile(R"({"9": {"keyword": ["\u001fB"], "code": "0"}})");
    const std::string withNul("A\0\x1F" "B", 4);
    EXPECT_EQ(matchId(patterns, true, 1, withNul), 9) << "a NUL byte does not end the line";
    EXPECT_EQ(matchId(patterns, true, 1, "A\x1F" "b"), -1);
    EXPECT_EQ(matchId(patterns, true, 1, "\x1F"), -1) << "a keyword must not run past the line";
}

TEST(PatternMatcher, EmptyKeywordOccursInEveryLineEvenAnEmptyOne) {
    CompiledPatterns patterns = compile(R"({"3": {"keyword": [""], "code": "0"}})");
    EXPECT_EQ(matchId(patterns, true, 1, ""), 3);
    EXPECT_EQ(matchId(patterns, true, 1, "anything"), 3);
}

TEST(PatternMatcher, FirstMatchingPatternInDocumentOrderWins) {
    CompiledPatterns patterns = compile(R"({
        "30": {"keyword": ["zzz"], "code": "0"},
        "20": {"keyword": ["hit"], "code": "0"},
        "10": {"code": "0"}
    })");
    EXPECT_EQ(matchId(patterns, true, 1, "a hit"), 20);
    EXPECT_EQ(matchId(patterns, true, 1, "a miss"), 10);
}

TEST(PatternMatcher, HistoryLinesMatchOnlyTracePatterns) {
    CompiledPatterns patterns = compile(R"({
        "1": {"keyword": ["hit"], "code": "0"},
        "2": {"keyword": ["hit"], "code": "0", "trace": true}
    })");
    EXPECT_EQ(matchId(patterns, true, 1, "hit"), 1);
    EXPECT_EQ(matchId(patterns, false, 1, "hit"), 2);

    CompiledPatterns untraced = compile(R"({"1": {"code": "0"}})");
    EXPECT_EQ(matchId(untraced, false, 1, "hit"), -1);
}

}  // namespace
}  // namespace tidemark
