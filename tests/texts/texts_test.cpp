// Texts by id and the conversion of server texts, on every platform.
#include "texts/texts.h"

#include <gtest/gtest.h>

#include "texts/text_table.h"

namespace tidemark {
namespace {

TEST(Utf8ToWide, KeepsJapaneseServerTextIntact) {
    EXPECT_EQ(Utf8ToWide("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"), u"日本語");
    EXPECT_EQ(Utf8ToWide("Japanese (\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E) / English"), u"Japanese (日本語) / English");
    EXPECT_EQ(Utf8ToWide("\xEF\xBD\xB1\xEF\xBD\xB2"), u"ｱｲ");  // half-width katakana
}

TEST(Utf8ToWide, CharactersBeyondTheBasicPlaneBecomeSurrogatePairs) {
    const std::u16string wide = Utf8ToWide("\xF0\x9F\x8C\x8A tide");
    ASSERT_EQ(wide.size(), 7u);
    EXPECT_EQ(wide[0], 0xD83C);
    EXPECT_EQ(wide[1], 0xDF0A);
    EXPECT_EQ(wide.substr(2), u" tide");
}

TEST(Utf8ToWide, EndsAtTheFirstTerminatorAndEmptyGivesEmpty) {
    EXPECT_EQ(Utf8ToWide(std::string_view("ab\0cd", 5)), u"ab");
    EXPECT_EQ(Utf8ToWide(""), u"");
    EXPECT_EQ(Utf8ToWide(std::string_view("\0x", 2)), u"");
}

TEST(Utf8ToWide, MalformedBytesBecomeReplacementCharactersNotLostText) {
    const std::u16string wide = Utf8ToWide("a\xFF" "b");
    EXPECT_EQ(wide.front(), u'a');
    EXPECT_EQ(wide.back(), u'b');
    EXPECT_NE(wide.find(u'\xFFFD'), std::u16string::npos);
}

// Whatever the user-interface language of the machine that runs the tests,
// every id gives its text from one and the same set.
TEST(LoadText, EveryIdGivesItsTextFromOneSet) {
    const auto table = textTable();
    ASSERT_EQ(table.size(), 35u);
    const bool japanese = LoadTextW(table[0].id) == table[0].japanese;
    for (const TextEntry& entry : table) {
        EXPECT_EQ(LoadTextW(entry.id), japanese ? entry.japanese : entry.english) << entry.id;
    }
}

TEST(LoadText, IdsWithoutTextGiveTheEmptyText) {
    for (int id : {0, 1, 110, 119, 122, 143, 144, 4096, 65535, -1, 70000}) {
        EXPECT_EQ(LoadTextW(id), u"") << id;
        EXPECT_EQ(LoadTextA(id), "") << id;
    }
}

TEST(LoadText, NarrowTextOfAnAsciiTextIsTheSameText) {
    // 116 is ASCII in English; in Japanese it keeps its ASCII "(%d/%d)" tail.
    const std::string narrow = LoadTextA(kTextLoadingLogs);
    ASSERT_GE(narrow.size(), 7u);
    EXPECT_EQ(narrow.substr(narrow.size() - 7), "(%d/%d)");
}

}  // namespace
}  // namespace tidemark
