#pragma once
// The simulated game's life after start-up: it runs the start script, then
// follows the control folder's commands and writes lines at the set rate,
// publishing its state after every change, until told to exit.

#include <cstdint>
#include <functional>
#include <string>

#include "chat_log.h"
#include "control_folder.h"
#include "options.h"

namespace gamesim {

class Simulator {
public:
    // `publishLog` puts the log into memory: at once, or on the `publish`
    // command when the options withhold it.
    Simulator(const Options& options, ChatLog& log, ControlFolder& control, std::function<void()> publishLog);
    // The process's exit code.
    int run();

private:
    // False for a command that is unknown or malformed.
    bool execute(const std::string& command);
    void publish();
    void runScript(const std::string& file);
    void appendGenerated(std::int32_t code);
    void writeLinesDue();
    void publishState();

    const Options& options_;
    ChatLog& log_;
    ControlFolder& control_;
    std::function<void()> publishLog_;
    bool published_ = false;
    std::uint32_t commandsDone_ = 0;
    std::uint32_t errors_ = 0;
    std::uint32_t generated_ = 0;
    std::uint32_t linesPerSecond_ = 0;
    std::uint64_t rateSince_ = 0;      // GetTickCount64 when the rate was set
    std::uint64_t writtenAtRate_ = 0;  // lines written since then
    bool exitRequested_ = false;
    int exitCode_ = 0;
    bool stateDirty_ = true;
};

}  // namespace gamesim
