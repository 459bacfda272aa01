#pragma once
// Starting, driving and stopping the game simulator (tools/gamesim) from a
// Wine test. Link the test to the CMake target `gamesim_control`, which
// builds the simulator first and tells this header where its copies are.
//
//   GameSimulator game(GameSimulatorOptions().add("--decoys"));
//   ASSERT_TRUE(game.start());
//   game.addLine(57, "Hello\x1Fworld");         // handled when it returns
//   GameSimulatorState state = game.state();    // entries, T, block base...
//   game.exit();                                // the process has ended
//
// Windows only. The simulator runs in the test's Wine prefix, so the test
// can find and read it. Every instance has a control folder of its own.
// Tests that run copies under the game's names should carry the ctest
// property RESOURCE_LOCK gamesim, so that no two suites running at once see
// each other's "game" (see tests/capture_wine/CMakeLists.txt).

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace tidemark {

struct GameSimulatorState {
    DWORD processId = 0;
    std::uint32_t commands = 0;  // control commands handled so far
    std::uint32_t errors = 0;    // of which unknown, malformed or not fitting
    bool published = false;      // the log is in memory (see --withhold-log)
    std::int32_t entries = 0;    // the log's entry count
    std::uint32_t blockBase = 0;
    std::uint64_t textBufferSlot = 0;  // T
    std::uint64_t offsetTableSlot = 0;
    std::uint64_t entryCountAddress = 0;
    std::string cwd;  // the simulator's working directory
};

// One control folder: commands go in, the state comes out.
class GameSimulatorControl {
public:
    explicit GameSimulatorControl(std::string folder) : folder_(std::move(folder)) {}
    const std::string& folder() const { return folder_; }

    // Appends one command line; false when the file cannot be written.
    bool append(const std::string& command) const {
        HANDLE file = CreateFileA(path("commands.txt").c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        const std::string line = command + "\n";
        DWORD written = 0;
        BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        CloseHandle(file);
        return ok && written == line.size();
    }

    // The last state the simulator published; nullopt before its first.
    std::optional<GameSimulatorState> readState() const {
        HANDLE file = CreateFileA(path("state.txt").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return std::nullopt;
        std::string text;
        char buffer[1024];
        DWORD got = 0;
        while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
        CloseHandle(file);
        return parse(text);
    }

    // Polls until `done` holds for the published state; nullopt on timeout.
    template <typename Predicate>
    std::optional<GameSimulatorState> waitForState(Predicate done, DWORD timeoutMs = 10000) const {
        const ULONGLONG until = GetTickCount64() + timeoutMs;
        do {
            if (auto state = readState(); state && done(*state)) return state;
            Sleep(5);
        } while (GetTickCount64() < until);
        return std::nullopt;
    }

    // Removes the files the simulator and this class leave in the folder,
    // and the folder when it is then empty.
    void removeFiles() const {
        for (const char* name : {"commands.txt", "state.txt", "state.tmp"}) DeleteFileA(path(name).c_str());
        RemoveDirectoryA(folder_.c_str());
    }

    static std::optional<GameSimulatorState> parse(const std::string& text) {
        GameSimulatorState state;
        bool sawPid = false;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            const std::size_t space = line.find(' ');
            if (space == std::string::npos) continue;
            const std::string key = line.substr(0, space);
            const std::string value = line.substr(space + 1);
            const unsigned long long number = std::strtoull(value.c_str(), nullptr, 0);
            if (key == "pid") { state.processId = static_cast<DWORD>(number); sawPid = true; }
            else if (key == "commands") state.commands = static_cast<std::uint32_t>(number);
            else if (key == "errors") state.errors = static_cast<std::uint32_t>(number);
            else if (key == "published") state.published = number != 0;
            else if (key == "entries") state.entries = static_cast<std::int32_t>(number);
            else if (key == "block_base") state.blockBase = static_cast<std::uint32_t>(number);
            else if (key == "text_buffer_slot") state.textBufferSlot = number;
            else if (key == "offset_table_slot") state.offsetTableSlot = number;
            else if (key == "entry_count_address") state.entryCountAddress = number;
            else if (key == "cwd") state.cwd = value;
        }
        if (!sawPid) return std::nullopt;
        return state;
    }

private:
    std::string path(const char* name) const { return folder_ + "\\" + name; }
    std::string folder_;
};

// How to run the simulator: GameSimulatorOptions().exe("ffxiv.exe").add("--decoys").
struct GameSimulatorOptions {
    std::string exeName = "ffxiv_dx11.exe";  // which copy runs
    std::string marker = "gamesim";
    std::vector<std::string> arguments;      // further options (see tools/gamesim/README.md)

    GameSimulatorOptions& exe(std::string name) { exeName = std::move(name); return *this; }
    GameSimulatorOptions& keyword(std::string text) { marker = std::move(text); return *this; }
    GameSimulatorOptions& add(std::string argument) { arguments.push_back(std::move(argument)); return *this; }
    GameSimulatorOptions& add(std::string option, std::string value) {
        return add(std::move(option)).add(std::move(value));
    }
};

class GameSimulator {
public:
    using Options = GameSimulatorOptions;

    // The Windows path of the folder holding the simulator and its copies.
    static std::string simulatorFolder() {
        std::string folder = TIDEMARK_GAMESIM_DIR;
        if (folder.size() > 1 && folder[1] == ':') return folder;
        for (char& c : folder)
            if (c == '/') c = '\\';
        return "Z:" + folder;  // Wine's drive for the Unix root
    }

    explicit GameSimulator(Options options = {}) : options_(std::move(options)), control_(newControlFolder()) {}
    ~GameSimulator() {
        if (process_ != nullptr) {
            if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
                control_.append("exit");
                if (WaitForSingleObject(process_, 5000) != WAIT_OBJECT_0) TerminateProcess(process_, 1);
                WaitForSingleObject(process_, 5000);
            }
            CloseHandle(process_);
        }
        control_.removeFiles();
    }
    GameSimulator(const GameSimulator&) = delete;
    GameSimulator& operator=(const GameSimulator&) = delete;

    // Starts the copy and waits until it has published its first state.
    bool start(DWORD timeoutMs = 10000) {
        std::string commandLine = quote(simulatorFolder() + "\\" + options_.exeName) + " --control " +
                                  quote(control_.folder()) + " --marker " + quote(options_.marker);
        for (const std::string& argument : options_.arguments) commandLine += " " + quote(argument);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started{};
        if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &started))
            return false;
        CloseHandle(started.hThread);
        process_ = started.hProcess;
        processId_ = started.dwProcessId;
        return control_.waitForState([](const GameSimulatorState&) { return true; }, timeoutMs).has_value();
    }

    // Sends a command and waits until the simulator has handled it; the
    // state that followed, or nullopt on timeout.
    std::optional<GameSimulatorState> send(const std::string& command) {
        if (!control_.append(command)) return std::nullopt;
        const std::uint32_t sent = ++commandsSent_;
        return control_.waitForState([&](const GameSimulatorState& s) { return s.commands >= sent; });
    }

    // Appends an entry with `code` and the raw line bytes (time: now, or
    // `time`); the state after it.
    std::optional<GameSimulatorState> addLine(std::int32_t code, const std::string& bytes,
                                              std::optional<std::uint32_t> time = std::nullopt) {
        std::string hex = bytes.empty() ? "-" : "";
        for (unsigned char byte : bytes) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02x", byte);
            hex += pair;
        }
        std::string command = "add " + std::to_string(code) + " " + hex;
        if (time) command += " " + std::to_string(*time);
        return send(command);
    }

    // Tells the simulator to exit and waits until the process has ended.
    bool exit(int code = 0, DWORD timeoutMs = 10000) {
        if (process_ == nullptr || !control_.append("exit " + std::to_string(code))) return false;
        return WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0;
    }

    GameSimulatorState state() const { return control_.readState().value_or(GameSimulatorState{}); }
    HANDLE process() const { return process_; }
    DWORD processId() const { return processId_; }
    const GameSimulatorControl& control() const { return control_; }

private:
    static std::string quote(const std::string& text) { return "\"" + text + "\""; }

    static std::string newControlFolder() {
        static LONG instances = 0;
        char temp[MAX_PATH] = "";
        GetTempPathA(sizeof temp, temp);
        std::string folder = std::string(temp) + "gamesim-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(InterlockedIncrement(&instances)) + "-" +
                             std::to_string(GetTickCount64());
        CreateDirectoryA(folder.c_str(), nullptr);
        return folder;
    }

    Options options_;
    GameSimulatorControl control_;
    HANDLE process_ = nullptr;
    DWORD processId_ = 0;
    std::uint32_t commandsSent_ = 0;
};

}  // namespace tidemark
