#include "gamelog/process_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string_view>
#include <vector>

#include "fakes/fake_process_image.h"

namespace tidemark {
namespace {

constexpr std::uint64_t kBase = 0x140000;

std::size_t find(std::string_view pattern, std::string_view data) {
    return findBytes(reinterpret_cast<const std::uint8_t*>(pattern.data()), pattern.size(),
                     reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
}

TEST(ProcessMemoryReads, ValuesAreLittleEndian) {
    FakeProcessImage image;
    image.addRegion(kBase, 0x1000);
    image.writeBytes(kBase + 3, "\x78\x56\x34\x12\xF0\xDE\xBC\x9A", 8);
    EXPECT_EQ(image.readU32(kBase + 3), 0x12345678);
    EXPECT_EQ(image.readPointer(kBase + 3), 0x9ABCDEF012345678u);
    image.writeU32(kBase + 0x20, 0xFFFFFFFE);
    EXPECT_EQ(image.readU32(kBase + 0x20), -2);
}

TEST(ProcessMemoryReads, ShortReadsGiveTheFailureValues) {
    FakeProcessImage image;
    image.addRegion(kBase, 0x1000);
    image.markUnreadable(kBase + 0x102, 0x100);
    image.writeU32(kBase + 0x100, 0x01020304);
    EXPECT_EQ(image.readU32(kBase + 0x100), -1);  // only 2 of 4 bytes readable
    EXPECT_EQ(image.readPointer(kBase + 0xFE), ~std::uint64_t{0});
    EXPECT_EQ(image.readPointer(kBase + 0x2000), ~std::uint64_t{0});  // free space
    std::uint8_t byte = 0;
    EXPECT_EQ(image.readMemory(~std::uint64_t{0}, &byte, 1), 0u);
}

TEST(ProcessMemoryReads, PartialReadKeepsTheReadableFirstHalf) {
    FakeProcessImage image;
    image.addRegion(kBase, 0x1000);
    image.markUnreadable(kBase + 0x800, 0x800);
    image.writeBytes(kBase + 0x7FC, "abcd", 4);
    std::vector<std::uint8_t> buffer(0x1000, 0xEE);
    EXPECT_EQ(image.readMemory(kBase, buffer.data(), buffer.size()), 0x800u);
    EXPECT_EQ(std::memcmp(buffer.data() + 0x7FC, "abcd", 4), 0);
}

TEST(FindBytes, EdgeCasesOfTheScan) {
    EXPECT_EQ(find("abc", "ab"), kNotFound);
    EXPECT_EQ(find("abc", "abc"), 0u);
    EXPECT_EQ(find("AB", "AAB"), 1u);  // ends on the last byte, after a failed candidate
    EXPECT_EQ(find("xy", "..xy..xy"), 2u);
    EXPECT_EQ(find("q", "abcdefghq"), 8u);
    EXPECT_EQ(find("zz", ""), kNotFound);
    EXPECT_EQ(find("", "abc"), 0u);
    EXPECT_EQ(find(std::string_view("\0\x1F", 2), std::string_view("\x1F\0\0\x1F", 4)), 2u);
}

TEST(FindBytes, FindsUnalignedOccurrencesAcrossEveryBlockPosition) {
    // Long enough for the vector blocks and the byte-wise tail; the
    // separator is frequent, as in the game's log text.
    const std::string pattern = "\x1F\x1Fmarker";
    for (std::size_t size : {std::size_t{8}, std::size_t{63}, std::size_t{64}, std::size_t{200}}) {
        for (std::size_t at = 0; at + pattern.size() <= size; ++at) {
            std::string data(size, 'x');
            for (std::size_t i = 0; i < size; i += 7) data[i] = '\x1F';
            data.replace(at, pattern.size(), pattern);
            ASSERT_EQ(find(pattern, data), at) << "size " << size;
        }
    }
}

TEST(FindBytes, AgreesWithANaiveSearchOnRandomData) {
    std::mt19937 random(20131);
    std::uniform_int_distribution<int> letter(0, 2);
    std::uniform_int_distribution<std::size_t> dataSize(0, 300);
    std::uniform_int_distribution<std::size_t> patternSize(1, 20);
    for (int round = 0; round < 20000; ++round) {
        std::vector<std::uint8_t> data(dataSize(random));
        std::vector<std::uint8_t> pattern(patternSize(random));
        for (auto& b : data) b = static_cast<std::uint8_t>(letter(random));
        for (auto& b : pattern) b = static_cast<std::uint8_t>(letter(random));
        auto naive = std::search(data.begin(), data.end(), pattern.begin(), pattern.end());
        std::size_t expected = naive == data.end() ? kNotFound : static_cast<std::size_t>(naive - data.begin());
        ASSERT_EQ(findBytes(pattern.data(), pattern.size(), data.data(), data.size()), expected)
            << "round " << round;
    }
}

}  // namespace
}  // namespace tidemark
