#pragma once
// The simulator's command line (see README.md).

#include <cstddef>
#include <cstdint>
#include <string>

namespace gamesim {

inline constexpr std::size_t kMostSmallRegions = 20000;

struct Options {
    std::string controlFolder;  // empty: the folder of the executable
    std::string marker = "gamesim";
    std::string scriptFile;
    std::uint32_t firstBlock = 0;
    std::uint32_t history = 0;
    std::uint32_t linesPerSecond = 0;
    std::uint32_t exitAfterMs = 0;
    bool decoys = false;
    bool oddHeader = false;
    bool staleCopies = false;
    bool withholdLog = false;  // no log in memory until the `publish` command
    bool reuseBlockSlot = false;  // every block over the last one's buffers
    std::size_t ballastRegions = 0;
    std::size_t ballastRegionBytes = 512 * 1024;
    std::size_t smallRegions = 0;       // one page each, below the ballast
    std::uint32_t publishAfterMs = 0;   // with withholdLog: publish on its own this late; 0: only on command
};

// False with `error` set for an unknown option or a missing or bad value.
bool parseOptions(int argc, char** argv, Options& options, std::string& error);

}  // namespace gamesim
