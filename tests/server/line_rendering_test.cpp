#include "base/line_rendering.h"

#include <gtest/gtest.h>

namespace tidemark {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(RenderLine, SenderAndMessage_AreJoinedWithAColon) {
  EXPECT_EQ(renderLine("Alice Bell\x1F" "Hello there."), "Alice Bell: Hello there.");
}

TEST(RenderLine, EmptyFields_LeaveNoTrace) {
  EXPECT_EQ(renderLine("\x1F\x1FWelcome to Eorzea!"), "Welcome to Eorzea!");
  EXPECT_EQ(renderLine("\x1F\x1F\x1F"), "");
  EXPECT_EQ(renderLine(""), "");
}

TEST(RenderLine, JapaneseText_PassesUnchanged) {
  EXPECT_EQ(renderLine("\x1F\xE3\x82\xA8\xE3\x83\xAA\xE3\x82\xB9\x1F\xE3\x81\x93\xE3\x82\x93"),
            "\xE3\x82\xA8\xE3\x83\xAA\xE3\x82\xB9: \xE3\x81\x93\xE3\x82\x93");
}

TEST(RenderLine, ControlSequences_AreDroppedWholePayloadIncluded) {
  // A colour start (payload F0 08 11 of length byte 4), text, a colour end.
  const std::string line = std::string("You obtain ") + "\x02\x48\x04\xF0\x08\x11\x03" + "a potion" +
                           "\x02\x48\x02\x01\x03" + ".";
  EXPECT_EQ(renderLine(line), "You obtain a potion.");
}

TEST(RenderLine, SeparatorInsideASequencePayload_DoesNotSplitTheLine) {
  const std::string line = std::string("Bob\x1F") + "hi \x02\x27\x03\x1F\x01\x03" + "there";
  EXPECT_EQ(renderLine(line), "Bob: hi there");
}

TEST(RenderLine, SequenceWithWrongLength_EndsAtTheNextEndByte) {
  EXPECT_EQ(renderLine(std::string("a\x02\x13\x09xy\x03" "b")), "ab");
}

TEST(RenderLine, UnterminatedSequenceStart_IsShownAsReplacement) {
  EXPECT_EQ(renderLine(std::string("a\x02" "b")), "a" + kReplacement + "b");
}

TEST(RenderLine, NulAndOtherControls_AreReplacedAndLineBreaksBecomeSpaces) {
  EXPECT_EQ(renderLine(std::string("a\0b\x07" "c\nd\te\x7F", 10)),
            "a" + kReplacement + "b" + kReplacement + "c d e" + kReplacement);
}

TEST(RenderLine, InvalidUtf8_IsReplacedBytewise) {
  EXPECT_EQ(renderLine("\xFF"), kReplacement);
  EXPECT_EQ(renderLine("\xC0\xAF"), kReplacement + kReplacement);          // overlong slash
  EXPECT_EQ(renderLine("\xED\xA0\x80"), kReplacement + kReplacement + kReplacement);  // surrogate
  EXPECT_EQ(renderLine("\xE3\x81"), kReplacement + kReplacement);          // cut short
  EXPECT_EQ(renderLine("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");           // an emoji is fine
}

TEST(RenderLine, LongLine_IsCutAtACharacterWithAnEllipsis) {
  std::string line;
  for (int i = 0; i < 2000; ++i) line += "\xE3\x81\x82";  // 6000 bytes of Japanese
  const std::string rendered = renderLine(line);
  EXPECT_LE(rendered.size(), kRenderedLineLimit + 3);
  ASSERT_GE(rendered.size(), 3u);
  EXPECT_EQ(rendered.substr(rendered.size() - 3), "\xE2\x80\xA6");
  // Whole characters only before the ellipsis.
  EXPECT_EQ((rendered.size() - 3) % 3, 0u);
}

}  // namespace
}  // namespace tidemark
