// The file that keeps where a game's chat log was last found: what it
// gives back, and that no damage to it is ever taken for a place.

#include "capture/known_chat_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "capture/report_journal_format.h"
#include "support/temp_folder.h"

namespace tidemark {
namespace {

using testing::TempFolder;

const KnownChatLog kKnown{{4242, 0x01DB2C3D4E5F6071}, 0x000001F4A2C3E5F7};

void writeBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

TEST(KnownChatLogFile, GivesBackWhatWasWrittenLastAndNothingWithoutAFileOrPath) {
    TempFolder folder;
    const auto path = folder.file("Tidemark.log-address");
    EXPECT_FALSE(readKnownChatLog(path)) << "missing";
    EXPECT_FALSE(readKnownChatLog({}));
    EXPECT_FALSE(writeKnownChatLog({}, kKnown));

    ASSERT_TRUE(writeKnownChatLog(path, {{1, 2}, 3}));
    ASSERT_TRUE(writeKnownChatLog(path, kKnown));
    EXPECT_EQ(readKnownChatLog(path), kKnown);
    EXPECT_EQ(std::filesystem::file_size(path), 36u);
    EXPECT_FALSE(writeKnownChatLog(folder.file("no such folder") / "Tidemark.log-address", kKnown));
}

// Every flipped bit, every cut, a byte too many: a damaged file is no place.
TEST(KnownChatLogFile, NoDamagedCopyReadsAsAPlace) {
    const std::string good = encodeKnownChatLog(kKnown);
    ASSERT_EQ(decodeKnownChatLog(good), kKnown);
    for (std::size_t i = 0; i < good.size(); ++i)
        for (int bit = 0; bit < 8; ++bit) {
            std::string flipped = good;
            flipped[i] = static_cast<char>(flipped[i] ^ (1 << bit));
            EXPECT_FALSE(decodeKnownChatLog(flipped)) << "byte " << i << " bit " << bit;
        }
    for (std::size_t n = 0; n < good.size(); ++n) EXPECT_FALSE(decodeKnownChatLog(good.substr(0, n))) << n;
    EXPECT_FALSE(decodeKnownChatLog(good + '\0'));
}

// Files that are whole but not this version's place, read from the disk.
TEST(KnownChatLogFile, AnotherVersionOrAnotherFileReadsAsNothing) {
    TempFolder folder;
    const auto path = folder.file("Tidemark.log-address");
    std::string otherVersion = encodeKnownChatLog(kKnown);
    otherVersion[8] = 2;
    otherVersion.resize(otherVersion.size() - 4);
    const std::uint32_t check = journal_format::crc32(otherVersion);
    for (int i = 0; i < 4; ++i) otherVersion.push_back(static_cast<char>(check >> (8 * i)));
    std::string longer = encodeKnownChatLog(kKnown);
    longer.append(4096, 'x');

    for (const std::string& bytes : {otherVersion, journal_format::header() + std::string(24, '\0'), longer,
                                     std::string()}) {
        writeBytes(path, bytes);
        EXPECT_FALSE(readKnownChatLog(path)) << bytes.size() << " bytes";
    }
    std::filesystem::create_directory(folder.file("a folder"));
    EXPECT_FALSE(readKnownChatLog(folder.file("a folder")));
}

}  // namespace
}  // namespace tidemark
