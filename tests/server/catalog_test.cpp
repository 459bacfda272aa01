#include "protocol/catalog.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <fstream>

#include "server_fixture.h"

namespace tidemark {
namespace {

using testing::TempDir;

TEST(BundledCatalog, OffersEnglishAndJapaneseWithValidPatternAnswers) {
  const Catalog& catalog = testing::bundledCatalog();
  rapidjson::Document list;
  list.Parse(catalog.languageAnswer().c_str());
  ASSERT_TRUE(list.IsArray());
  ASSERT_NE(catalog.find("en"), nullptr);
  ASSERT_NE(catalog.find("ja"), nullptr);
  EXPECT_EQ(catalog.find("ja")->name, "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E");  // 日本語
  for (const auto& language : catalog.languages()) {
    SCOPED_TRACE(language.code);
    EXPECT_LE(language.patternAnswer.size(), kMaxAnswerBytes);
    rapidjson::Document patterns;
    patterns.Parse(language.patternAnswer.c_str());
    ASSERT_TRUE(patterns.IsObject());
    ASSERT_TRUE(patterns.HasMember("1"));
    EXPECT_EQ(std::string(patterns["1"]["keyword"][0].GetString()), language.marker);
  }
}

TEST(BundledCatalog, FindsLanguagesWithoutRegardToCase) {
  const Catalog& catalog = testing::bundledCatalog();
  ASSERT_NE(catalog.find("JA"), nullptr);
  EXPECT_EQ(catalog.find("JA")->code, "ja");
  EXPECT_EQ(catalog.find("xx"), nullptr);
  EXPECT_EQ(catalog.find(""), nullptr);
}

TEST(BundledCatalog, NamesPatternsAndFallsBackToTheId) {
  const Catalog& catalog = testing::bundledCatalog();
  EXPECT_EQ(catalog.patternName("en", 2), "Standard emote");
  EXPECT_EQ(catalog.patternName("en", 999), "#999");
  EXPECT_EQ(catalog.patternName("xx", 2), "#2");
}

class BadDataFiles : public ::testing::Test {
 protected:
  void write(const std::string& relative, const std::string& content) {
    std::filesystem::create_directories((dir.path() / relative).parent_path());
    std::ofstream(dir.path() / relative, std::ios::binary) << content;
  }
  // Loads the folder, expecting a refusal that names `file` and says `fault`.
  void expectRefused(const std::string& file, const std::string& fault) {
    std::string error;
    EXPECT_FALSE(Catalog::load(dir.path(), error));
    EXPECT_NE(error.find((dir.path() / file).string()), std::string::npos) << error;
    EXPECT_NE(error.find(fault), std::string::npos) << error;
  }
  static constexpr const char* kList = R"([{"code":"en","name2":"English"}])";
  static constexpr const char* kGoodPatterns =
      R"({"1":{"code":"57","keyword":["Marker"],"trace":true}})";

  TempDir dir;
};

TEST_F(BadDataFiles, GoodMinimalFolder_Loads) {
  write("languages.json", kList);
  write("patterns/en.json", kGoodPatterns);
  std::string error;
  const auto catalog = Catalog::load(dir.path(), error);
  ASSERT_TRUE(catalog) << error;
  EXPECT_EQ(catalog->find("en")->marker, "Marker");
}

TEST_F(BadDataFiles, MissingLanguageList_IsNamed) {
  expectRefused("languages.json", "cannot be read");
}

TEST_F(BadDataFiles, LanguageListThatIsNotAnArray_IsRefused) {
  write("languages.json", R"({"code":"en"})");
  expectRefused("languages.json", "non-empty JSON array");
}

TEST_F(BadDataFiles, LanguageWithoutName_IsRefused) {
  write("languages.json", R"([{"code":"en"}])");
  expectRefused("languages.json", "\"name2\"");
}

TEST_F(BadDataFiles, LanguageListedTwice_IsRefused) {
  write("languages.json", R"([{"code":"en","name2":"English"},{"code":"EN","name2":"E"}])");
  write("patterns/en.json", kGoodPatterns);
  expectRefused("languages.json", "listed twice");
}

TEST_F(BadDataFiles, CodeThatCannotBeAFileName_IsRefused) {
  write("languages.json", R"([{"code":"../en","name2":"English"}])");
  expectRefused("languages.json", "not a usable language code");
}

TEST_F(BadDataFiles, MissingPatternFile_IsNamed) {
  write("languages.json", kList);
  expectRefused("patterns/en.json", "cannot be read");
}

TEST_F(BadDataFiles, PatternFileThatDoesNotParse_SaysWhere) {
  write("languages.json", kList);
  write("patterns/en.json", R"({"1": {"code": "57", })");
  expectRefused("patterns/en.json", "not valid JSON");
}

TEST_F(BadDataFiles, PatternSetWithoutMarkerPattern_IsRefused) {
  write("languages.json", kList);
  write("patterns/en.json", R"({"2":{"code":"29","keyword":["x"]}})");
  expectRefused("patterns/en.json", "member \"1\"");
}

TEST_F(BadDataFiles, MarkerPatternWithEmptyKeywordArray_IsRefused) {
  write("languages.json", kList);
  write("patterns/en.json", R"({"1":{"code":"57","keyword":[]}})");
  expectRefused("patterns/en.json", "no keyword");
}

TEST_F(BadDataFiles, PatternValuesOfTheWrongKind_AreRefused) {
  write("languages.json", kList);
  const std::pair<const char*, const char*> cases[] = {
      {R"({"1":{"code":57,"keyword":["M"]}})", "\"code\""},
      {R"({"1":{"code":"x","keyword":["M"]}})", "\"code\""},
      {R"({"1":{"code":"57","keyword":"M"}})", "not an array"},
      {R"({"1":{"code":"57","keyword":["M", 3]}})", "non-empty string"},
      {R"({"1":{"code":"57","keyword":["M"],"trace":"yes"}})", "\"trace\""},
      {R"({"1":{"code":"57","keyword":["M"]},"x":{"code":"1"}})", "decimal id"},
      {R"({"1":{"code":"57","keyword":["M"]},"2":[]})", "not an object"},
      {R"(["M"])", "not a JSON object"},
  };
  for (const auto& [content, fault] : cases) {
    SCOPED_TRACE(content);
    write("patterns/en.json", content);
    expectRefused("patterns/en.json", fault);
  }
}

TEST_F(BadDataFiles, PatternSetLongerThanTheClientReads_IsRefused) {
  write("languages.json", kList);
  std::string patterns = R"({"1":{"code":"57","keyword":["M"]})";
  for (int id = 2; id < 200; ++id)
    patterns += ",\"" + std::to_string(id) + R"(":{"code":"29","keyword":["a keyword"]})";
  patterns += "}";
  write("patterns/en.json", patterns);
  expectRefused("patterns/en.json", "reads at most 4095");
}

}  // namespace
}  // namespace tidemark
