#pragma once
// The simulator's side of its control folder: commands come in as lines
// appended to "commands.txt"; the state goes out as "state.txt", replaced
// whole so a reader never sees half of it.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace gamesim {

class ControlFolder {
public:
    explicit ControlFolder(std::string folder);

    // Complete lines appended since the last call (without line ends).
    std::vector<std::string> takeNewCommands();
    // False when the file could not be replaced just now (a reader holds it
    // without sharing); the caller tries again later.
    bool writeState(const std::string& text);

private:
    std::string path(const char* name) const { return folder_ + "\\" + name; }

    std::string folder_;
    std::uint64_t consumed_ = 0;
    std::string partial_;
};

}  // namespace gamesim
