// The durable-file layer's own promises on a disk that forgets what was not
// synced: a replaced file holds, after a power cut at any call, either the old
// contents or the new, and the new once replaceFile said so; what an append
// file flushed survives, the file's name with it.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "fakes/simulated_disk.h"
#include "platform/durable_file.h"

namespace tidemark {
namespace {

const std::filesystem::path kPath = "/disk/file";

std::optional<std::string> afterRestart(SimulatedDisk& disk) {
    disk.cutPower();
    disk.powerOn();
    const FileContents contents = readFile(disk, kPath, 1 << 20);
    if (contents.status == FileContents::Status::Missing) return std::nullopt;
    EXPECT_EQ(contents.status, FileContents::Status::Read);
    return contents.bytes;
}

class ReplaceFile : public ::testing::TestWithParam<std::optional<std::string>> {};

TEST_P(ReplaceFile, HoldsTheOldOrTheNewContentsWhereverThePowerGoesOff) {
    const std::optional<std::string> old = GetParam();
    const std::string fresh = "the new contents";
    std::size_t calls = 0;
    {
        SimulatedDisk disk;
        if (old) disk.place(kPath, *old);
        ASSERT_TRUE(replaceFile(disk, kPath, fresh));
        calls = disk.callCount();
    }
    for (std::size_t at = 1; at <= calls + 1; ++at) {
        SCOPED_TRACE(at);
        SimulatedDisk disk;
        if (old) disk.place(kPath, *old);
        disk.cutPowerAtCall(at);
        const bool replaced = replaceFile(disk, kPath, fresh);
        const std::optional<std::string> found = afterRestart(disk);
        if (replaced) EXPECT_EQ(found, fresh);
        else EXPECT_TRUE(found == old || found == fresh) << found.value_or("(missing)");
    }
}

INSTANTIATE_TEST_SUITE_P(Before, ReplaceFile, ::testing::Values(std::nullopt, std::string("old contents")),
                         [](const auto& info) { return info.param ? "Existing" : "Missing"; });

TEST(AppendFile, WhatWasFlushedSurvivesAPowerCutButNotWhatCameAfter) {
    SimulatedDisk disk;
    auto file = AppendFile::open(disk, kPath);
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->write("kept"));
    ASSERT_TRUE(file->flush());
    ASSERT_TRUE(file->write(" lost"));
    EXPECT_EQ(afterRestart(disk), "kept");
}

}  // namespace
}  // namespace tidemark
