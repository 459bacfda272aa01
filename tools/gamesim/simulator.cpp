#include "simulator.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

namespace gamesim {

namespace {

constexpr std::int32_t kGeneratedCode = 10;

bool parseHex(const std::string& text, std::vector<std::uint8_t>& bytes) {
    if (text == "-") return true;  // an empty line
    if (text.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        if (std::sscanf(text.c_str() + i, "%2x", &value) != 1) return false;
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return true;
}

std::uint32_t now() { return static_cast<std::uint32_t>(std::time(nullptr)); }

}  // namespace

Simulator::Simulator(const Options& options, ChatLog& log, ControlFolder& control,
                     std::function<void()> publishLog)
    : options_(options), log_(log), control_(control), publishLog_(std::move(publishLog)) {
    linesPerSecond_ = options.linesPerSecond;
    rateSince_ = GetTickCount64();
}

int Simulator::run() {
    if (!options_.withholdLog) publish();
    publishState();
    if (!options_.scriptFile.empty()) runScript(options_.scriptFile);
    const std::uint64_t started = GetTickCount64();
    while (!exitRequested_) {
        for (const std::string& command : control_.takeNewCommands()) {
            if (!execute(command)) ++errors_;
            ++commandsDone_;
            stateDirty_ = true;
            if (exitRequested_) break;
        }
        if (exitRequested_) break;
        if (options_.publishAfterMs != 0 && GetTickCount64() - started >= options_.publishAfterMs) publish();
        writeLinesDue();
        if (options_.exitAfterMs != 0 && GetTickCount64() - started >= options_.exitAfterMs) break;
        if (stateDirty_) publishState();
        Sleep(10);
    }
    return exitCode_;
}

void Simulator::runScript(const std::string& file) {
    std::ifstream script(file);
    if (!script) {
        ++errors_;
        return;
    }
    for (std::string line; !exitRequested_ && std::getline(script, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (!execute(line)) ++errors_;
        publishState();
    }
}

void Simulator::publish() {
    if (published_) return;
    publishLog_();
    published_ = true;
    // Lines due at the set rate count from now.
    rateSince_ = GetTickCount64();
    writtenAtRate_ = 0;
    stateDirty_ = true;
}

bool Simulator::execute(const std::string& command) {
    std::istringstream in(command);
    std::string verb;
    in >> verb;
    if (verb == "publish") {
        publish();
        return true;
    }
    // Until the log is published there is nothing to write to.
    if (!published_ && (verb == "add" || verb == "burst")) return false;
    if (verb == "add") {
        std::int32_t code = 0;
        std::string hex;
        if (!(in >> code >> hex)) return false;
        std::vector<std::uint8_t> bytes;
        if (!parseHex(hex, bytes)) return false;
        std::uint32_t time = now();
        if (std::string given; in >> given) {
            char* end = nullptr;
            time = static_cast<std::uint32_t>(std::strtoul(given.c_str(), &end, 10));
            if (*end != '\0') return false;
        }
        stateDirty_ = true;
        return log_.append(time, code, bytes.data(), bytes.size());
    }
    if (verb == "burst") {
        std::uint32_t lines = 0;
        std::int32_t code = kGeneratedCode;
        if (!(in >> lines)) return false;
        in >> code;
        for (std::uint32_t i = 0; i < lines; ++i) appendGenerated(code);
        return true;
    }
    if (verb == "block-buffers") {
        std::string mode;
        if (!(in >> mode) || (mode != "new" && mode != "reuse")) return false;
        log_.reuseBlockSlot(mode == "reuse");
        return true;
    }
    if (verb == "rate") {
        if (!(in >> linesPerSecond_)) return false;
        rateSince_ = GetTickCount64();
        writtenAtRate_ = 0;
        return true;
    }
    if (verb == "sleep") {
        std::uint32_t ms = 0;
        if (!(in >> ms)) return false;
        Sleep(ms);
        return true;
    }
    if (verb == "exit") {
        in >> exitCode_;
        exitRequested_ = true;
        return true;
    }
    return false;
}

void Simulator::appendGenerated(std::int32_t code) {
    char line[64];
    int length = std::snprintf(line, sizeof line, "gamesim\x1Fline\x1F%u", ++generated_);
    log_.append(now(), code, line, static_cast<std::size_t>(length));
    stateDirty_ = true;
}

void Simulator::writeLinesDue() {
    if (linesPerSecond_ == 0 || !published_) return;
    std::uint64_t due = (GetTickCount64() - rateSince_) * linesPerSecond_ / 1000;
    for (; writtenAtRate_ < due; ++writtenAtRate_) appendGenerated(kGeneratedCode);
}

void Simulator::publishState() {
    char cwd[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof cwd, cwd);
    const unsigned long long t = log_.textBufferSlot();
    char text[1024];
    std::snprintf(text, sizeof text,
                  "pid %lu\ncommands %u\nerrors %u\npublished %d\nentries %u\nblock_base %u\n"
                  "text_buffer_slot 0x%llx\noffset_table_slot 0x%llx\nentry_count_address 0x%llx\n"
                  "cwd %s\n",
                  GetCurrentProcessId(), commandsDone_, errors_, published_ ? 1 : 0, log_.count(), log_.blockBase(),
                  t, t - 0x18, t - 0x4C, cwd);
    stateDirty_ = !control_.writeState(text);
}

}  // namespace gamesim
