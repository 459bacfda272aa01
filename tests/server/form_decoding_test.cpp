#include "base/form_decoding.h"

#include <gtest/gtest.h>

#include "base/field_values.h"
#include "server_fixture.h"

namespace tidemark {
namespace {


TEST(PercentDecode, EveryByteValue_RoundTripsThroughTheClientsEncoding) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const auto decoded = percentDecode(percentEncode(all));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, all);
}

TEST(PercentDecode, NulEscape_KeepsTheNulAndWhatFollows) {
  EXPECT_EQ(percentDecode("%41%00%42"), std::string("A\0B", 3));
}

TEST(PercentDecode, PlusSign_StaysAPlusSign) {
  EXPECT_EQ(percentDecode("a+b%2B"), "a+b+");
}

TEST(PercentDecode, LowerCaseHexAndPlainBytes_AreAccepted) {
  EXPECT_EQ(percentDecode("%e3%81%82x"), "\xE3\x81\x82x");
}

TEST(PercentDecode, MalformedEscapes_AreRefused) {
  for (const char* bad : {"%", "%4", "abc%", "%G1", "%1G", "%%41", "a%2"})
    EXPECT_FALSE(percentDecode(bad)) << bad;
}

TEST(DecodeFieldList, ClientQuery_GivesFieldsInOrderWithEmptyValues) {
  const FieldList list = decodeFieldList("%67%65%74=%6C%61%6E%67&%6C%61%6E%67=");
  ASSERT_TRUE(list.ok());
  ASSERT_EQ(list.fields.size(), 2u);
  EXPECT_EQ(list.fields[0].name, "get");
  EXPECT_EQ(list.fields[0].value, "lang");
  EXPECT_EQ(list.fields[1].name, "lang");
  EXPECT_EQ(list.fields[1].value, "");
}

TEST(DecodeFieldList, EncodedSeparatorsInsideValues_StayInTheValue) {
  const FieldList list = decodeFieldList("a=" + percentEncode("x&y=z"));
  ASSERT_TRUE(list.ok());
  ASSERT_EQ(list.fields.size(), 1u);
  EXPECT_EQ(list.fields[0].value, "x&y=z");
}

TEST(DecodeFieldList, BrokenStructure_IsAnErrorWithNoFields) {
  for (const char* bad : {"a=1&&b=2", "a=1&", "&a=1", "novalue", "a=1&b", "a=%4"}) {
    const FieldList list = decodeFieldList(bad);
    EXPECT_FALSE(list.ok()) << bad;
    EXPECT_TRUE(list.fields.empty()) << bad;
  }
  EXPECT_TRUE(decodeFieldList("").ok());
}

TEST(QueryOfTarget, TakesWhatFollowsTheFirstQuestionMark) {
  EXPECT_EQ(queryOfTarget("/rep/get.php?a=1?b"), "a=1?b");
  EXPECT_EQ(queryOfTarget("/rep/get.php"), "");
}

TEST(FieldLookup, MissingAndRepeatedFields_AreNamedInTheError) {
  const FieldList list = decodeFieldList("a=1&b=2&a=3");
  const FieldLookup fields(list.fields);
  std::string value, error;
  EXPECT_TRUE(fields.single("b", value, error));
  EXPECT_EQ(value, "2");
  EXPECT_FALSE(fields.single("a", value, error));
  EXPECT_EQ(error, "repeated field a");
  EXPECT_FALSE(fields.single("c", value, error));
  EXPECT_EQ(error, "missing field c");
}

TEST(ParseNumbers, AcceptOnlyWhatTheClientWrites) {
  EXPECT_EQ(parseInt32("-2147483648"), INT32_MIN);
  EXPECT_EQ(parseInt32("2147483647"), INT32_MAX);
  EXPECT_FALSE(parseInt32("2147483648"));
  EXPECT_EQ(parseInt64("9223372036854775807"), INT64_MAX);
  EXPECT_FALSE(parseInt64("9223372036854775808"));
  for (const char* bad : {"", "-", "+1", " 1", "1 ", "1e3", "0x10", "12a"})
    EXPECT_FALSE(parseInt64(bad)) << bad;
}

}  // namespace
}  // namespace tidemark
