// The native build's text sets: English by default, Japanese on request.
#include <gtest/gtest.h>

#include "texts/text_table.h"
#include "texts/texts.h"

namespace tidemark {
namespace {

class NativeTexts : public ::testing::Test {
protected:
    void TearDown() override { useJapaneseTexts(false); }
};

TEST_F(NativeTexts, EnglishUnlessJapaneseIsAskedFor) {
    EXPECT_EQ(LoadTextW(kTextSpecifyLanguage), u"Please specify the language.");
    useJapaneseTexts(true);
    EXPECT_EQ(LoadTextW(kTextSpecifyLanguage), u"言語を指定して下さい.");
    EXPECT_EQ(LoadTextW(kTextInformation), u"インフォメーション");
}

TEST_F(NativeTexts, NarrowTextsAreUtf8) {
    useJapaneseTexts(true);
    EXPECT_EQ(LoadTextA(kTextConfigTab), "\xE8\xA8\xAD\xE5\xAE\x9A");  // 設定
    useJapaneseTexts(false);
    EXPECT_EQ(LoadTextA(kTextConfigTab), "Config");
}

}  // namespace
}  // namespace tidemark
