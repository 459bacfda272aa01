#include "shell/language_list.h"

#include <gtest/gtest.h>

namespace tidemark {
namespace {

LanguageList parsed(std::string_view answer) {
    LanguageList list;
    EXPECT_TRUE(parseLanguageList(answer, list)) << answer;
    return list;
}

TEST(LanguageListParse, AcceptsOnlyAnArrayRoot) {
    LanguageList list;
    EXPECT_TRUE(parseLanguageList(R"([{"code":"en","name2":"English"}])", list));
    EXPECT_TRUE(parseLanguageList("[]", list));
    EXPECT_FALSE(parseLanguageList(R"({"code":"en"})", list));
    EXPECT_FALSE(parseLanguageList(R"("en")", list));
    EXPECT_FALSE(parseLanguageList("", list));
    EXPECT_FALSE(parseLanguageList("The connection to the server failed.", list));
    EXPECT_FALSE(parseLanguageList("[{\"code\":\"en\"}", list));
}

TEST(LanguageChoices, ListsNamesInArrayOrderAsUtf16) {
    LanguageList list = parsed(R"([{"code":"ja","name2":"日本語"},{"code":"en","name2":"English"}])");
    LanguageChoices choices = languageChoices(list, "");
    ASSERT_EQ(choices.names.size(), 2u);
    EXPECT_EQ(choices.names[0], u"日本語");
    EXPECT_EQ(choices.names[1], u"English");
    EXPECT_EQ(choices.selected, -1);
}

TEST(LanguageChoices, PreselectsTheCodeIgnoringAsciiCase) {
    LanguageList list = parsed(R"([{"code":"ja","name2":"J"},{"code":"en","name2":"E"}])");
    EXPECT_EQ(languageChoices(list, "EN").selected, 1);
    EXPECT_EQ(languageChoices(list, "ja").selected, 0);
    EXPECT_EQ(languageChoices(list, "fr").selected, -1);
    EXPECT_EQ(languageChoices(list, "e").selected, -1);
}

TEST(LanguageChoices, LastOfSeveralMatchesStaysSelected) {
    LanguageList list = parsed(R"([{"code":"en","name2":"A"},{"code":"EN","name2":"B"},{"code":"ja","name2":"C"}])");
    EXPECT_EQ(languageChoices(list, "en").selected, 1);
}

TEST(LanguageChoices, MalformedElementsKeepTheirPlaceButCannotBeChosen) {
    LanguageList list = parsed(R"([{"code":"en"},7,{"code":3,"name2":"N"},{"code":"ja","name2":"J"}])");
    LanguageChoices choices = languageChoices(list, "ja");
    ASSERT_EQ(choices.names.size(), 4u);
    EXPECT_EQ(choices.names[0], u"");
    EXPECT_EQ(choices.names[2], u"N");
    EXPECT_EQ(choices.selected, 3);
    EXPECT_EQ(languageCodeAt(list, 0), "en");
    EXPECT_EQ(languageCodeAt(list, 1), std::nullopt);
    EXPECT_EQ(languageCodeAt(list, 2), std::nullopt);
    EXPECT_EQ(languageCodeAt(list, 3), "ja");
}

TEST(LanguageCodeAt, OutOfRangeIndexesHaveNoCode) {
    LanguageList list = parsed(R"([{"code":"en","name2":"E"}])");
    EXPECT_EQ(languageCodeAt(list, -1), std::nullopt);  // CB_ERR: nothing selected
    EXPECT_EQ(languageCodeAt(list, 1), std::nullopt);
    LanguageList empty;
    EXPECT_EQ(languageCodeAt(empty, 0), std::nullopt);
}

// A code goes into the settings file as "language": one that would write new
// lines there, or read back otherwise, cannot be chosen.
TEST(LanguageCodeAt, CodesThatCouldNotBeKeptInTheSettingsFileAreNoChoice) {
    LanguageList list = parsed(R"([{"code":"ja\r\n[window]\r\npos_x=1","name2":"a"},{"code":"\"ja\"","name2":"b"},)"
                               R"({"code":"","name2":"c"},{"code":"zh-TW","name2":"d"}])");
    EXPECT_EQ(languageCodeAt(list, 0), std::nullopt);
    EXPECT_EQ(languageCodeAt(list, 1), std::nullopt);
    EXPECT_EQ(languageCodeAt(list, 2), std::nullopt);
    EXPECT_EQ(languageCodeAt(list, 3), "zh-TW");
}

}  // namespace
}  // namespace tidemark
