#include "http/form.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tidemark {
namespace {

using namespace std::string_literals;

TEST(PercentEncode, EscapesEveryByteInUpperCaseHex) {
    EXPECT_EQ(percentEncode("abc"), "%61%62%63");
    EXPECT_EQ(percentEncode(" "), "%20");
    EXPECT_EQ(percentEncode("\xE3"), "%E3");
    EXPECT_EQ(percentEncode(""), "");
    EXPECT_EQ(percentEncode("\x00\x1F\x7F\xFF+/"s), "%00%1F%7F%FF%2B%2F");
}

TEST(PercentEncode, ResultIsThreeTimesTheInput) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    std::string encoded = percentEncode(all);
    ASSERT_EQ(encoded.size(), 3 * all.size());
    EXPECT_EQ(encoded.substr(3 * 0x41, 3), "%41");
    EXPECT_EQ(encoded.substr(3 * 0xAB, 3), "%AB");
}

TEST(FormField, TextValueIsMeasuredToItsTerminator) {
    FormField field("lang", "ja");
    EXPECT_EQ(field.name, "lang");
    EXPECT_EQ(field.value, "ja");
}

TEST(FormField, ExplicitLengthKeepsNulBytes) {
    const char bytes[] = {'a', '\0', 0x1F, 'b', 'c'};
    FormField field("log", bytes, 4);
    EXPECT_EQ(field.value, "a\0\x1F" "b"s);
    EXPECT_EQ(buildUrlencodedBody(std::vector{field}), "%6C%6F%67=%61%00%1F%62");
}

TEST(FormField, ZeroLengthIsTheEmptyValueNotAMeasuredOne) {
    const char bytes[] = "not sent";
    FormField field("log", bytes, 0);
    EXPECT_TRUE(field.value.empty());
    FormField nothing("log", nullptr, 5);
    EXPECT_TRUE(nothing.value.empty());
}

TEST(RequestTarget, TwoFieldsGiveTheEncodedQuery) {
    std::vector<FormField> fields{{"get", "token"}, {"wader", "12"}};
    EXPECT_EQ(buildRequestTarget("/rep/get.php", fields),
              "/rep/get.php?%67%65%74=%74%6F%6B%65%6E&%77%61%64%65%72=%31%32");
}

TEST(RequestTarget, EmptyValueEndsInEquals) {
    std::vector<FormField> fields{{"get", "lang"}, {"lang", ""}};
    EXPECT_EQ(buildRequestTarget("/rep/get.php", fields),
              "/rep/get.php?%67%65%74=%6C%61%6E%67&%6C%61%6E%67=");
}

TEST(RequestTarget, NoFieldsIsTheBarePath) {
    EXPECT_EQ(buildRequestTarget("/rep/get.php", {}), "/rep/get.php");
}

TEST(RequestTarget, LongestAllowedTargetPassesAndOneMoreIsRefused) {
    // "/p?" + "%61=" + 3*n: choose n so that the target is exactly 2083.
    const std::size_t fixed = std::string("/p?%61=").size();
    const std::size_t n = (kMaxRequestTargetLength - fixed) / 3;
    std::string value(n, 'x');
    std::string path = "/p" + std::string(kMaxRequestTargetLength - fixed - 3 * n, 'q');
    std::vector<FormField> fields{{"a", std::string_view(value)}};
    auto target = buildRequestTarget(path, fields);
    ASSERT_TRUE(target.has_value());
    EXPECT_EQ(target->size(), kMaxRequestTargetLength);

    std::string longer = path + "q";
    EXPECT_FALSE(buildRequestTarget(longer, fields).has_value());
    EXPECT_FALSE(buildRequestTarget(std::string(kMaxRequestTargetLength + 1, '/'), {}).has_value());
}

TEST(UrlencodedBody, PairsJoinedWithoutLeadingSeparator) {
    std::vector<FormField> fields{{"get", "token"}, {"wader", "12"}};
    EXPECT_EQ(buildUrlencodedBody(fields), "%67%65%74=%74%6F%6B%65%6E&%77%61%64%65%72=%31%32");
}

TEST(UrlencodedBody, NoFieldsIsEmpty) {
    EXPECT_EQ(buildUrlencodedBody({}), "");
}

TEST(UrlencodedBody, LongValueIsSentWhole) {
    std::string line(5000, '\x1F');
    std::vector<FormField> fields{{"log", std::string_view(line)}, {"line", "0"}};
    std::string body = buildUrlencodedBody(fields);
    ASSERT_EQ(body.size(), 10 + 3 * line.size() + 17);
    EXPECT_EQ(body.substr(0, 16), "%6C%6F%67=%1F%1F");
    EXPECT_EQ(body.substr(body.size() - 17), "&%6C%69%6E%65=%30");
}

TEST(FormData, KeepsArrayOrder) {
    std::vector<FormField> fields{{"b", "1"}, {"a", "2"}};
    FormData form(fields);
    ASSERT_EQ(form.fields().size(), 2u);
    EXPECT_EQ(form.fields()[0].name, "b");
    EXPECT_EQ(form.fields()[1].name, "a");
}

}  // namespace
}  // namespace tidemark
