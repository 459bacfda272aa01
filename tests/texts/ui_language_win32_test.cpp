// The text set follows the user-interface language, which Wine takes from
// the locale: CTest runs this program once under ja_JP.UTF-8 and once under
// en_US.UTF-8, naming the set it must see in TIDEMARK_EXPECTED_TEXTS.
#include <windows.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "texts/text_table.h"
#include "texts/texts.h"

namespace tidemark {
namespace {

bool expectJapanese() {
    const char* expected = std::getenv("TIDEMARK_EXPECTED_TEXTS");
    if (expected == nullptr) ADD_FAILURE() << "TIDEMARK_EXPECTED_TEXTS is not set";
    return expected != nullptr && std::string(expected) == "japanese";
}

std::u16string fromSystemCodePage(const std::string& narrow) {
    int length = MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), nullptr, 0);
    std::u16string wide(static_cast<std::size_t>(length), u'\0');
    MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()),
                        reinterpret_cast<wchar_t*>(wide.data()), length);
    return wide;
}

TEST(UiLanguage, ChoosesTheTextSet) {
    const bool japanese = expectJapanese();
    EXPECT_EQ(PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE, japanese);
    EXPECT_EQ(LoadTextW(kTextSpecifyLanguage), japanese ? u"言語を指定して下さい." : u"Please specify the language.");
    for (const TextEntry& entry : textTable()) {
        EXPECT_EQ(LoadTextW(entry.id), japanese ? entry.japanese : entry.english) << entry.id;
    }
}

TEST(UiLanguage, NarrowTextsAreTheSameTextsInTheSystemCodePage) {
    const bool japanese = expectJapanese();
    if (japanese) {
        EXPECT_EQ(GetACP(), 932u);
    } else {
        EXPECT_EQ(LoadTextA(kTextSpecifyLanguage), "Please specify the language.");
    }
    for (const TextEntry& entry : textTable()) {
        EXPECT_EQ(fromSystemCodePage(LoadTextA(entry.id)), LoadTextW(entry.id)) << entry.id;
    }
}

}  // namespace
}  // namespace tidemark
