// gamesim: stands in for the game client in tests and demonstrations. Run as
// ffxiv_dx11.exe it keeps a chat log in its own memory the way the game
// does; see README.md for its command line and control folder.

#include <windows.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "arena.h"
#include "ballast.h"
#include "chat_log.h"
#include "control_folder.h"
#include "decoys.h"
#include "options.h"
#include "simulator.h"
#include "stale_copies.h"

namespace {

struct Program {
    gamesim::Options options;
    gamesim::Arena arena;
    gamesim::Decoys decoys;
    gamesim::Ballast ballast;
    gamesim::StaleCopies staleCopies;
    gamesim::ChatLog log;
};

std::string executableFolder() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string folder = path;
    return folder.substr(0, folder.find_last_of('\\'));
}

// The log's first block with its history, and whatever copies its address.
void publishLog(Program& program) {
    const gamesim::Options& options = program.options;
    program.log.start(options.firstBlock * gamesim::ChatLog::kBlockEntries);
    for (std::uint32_t i = 0; i < options.history; ++i) {
        char line[48];
        int length = std::snprintf(line, sizeof line, "history\x1Fline\x1F%u", i + 1);
        program.log.append(static_cast<std::uint32_t>(std::time(nullptr)), 10, line, static_cast<std::size_t>(length));
    }
    if (options.decoys) program.decoys.write(options.marker, program.log);
    if (options.staleCopies) program.staleCopies.write(program.log);
}

DWORD WINAPI runGame(void* context) {
    Program& program = *static_cast<Program*>(context);
    const gamesim::Options& options = program.options;
    program.ballast.fill();
    gamesim::ControlFolder control(options.controlFolder.empty() ? executableFolder() : options.controlFolder);
    gamesim::Simulator simulator(options, program.log, control, [&program] { publishLog(program); });
    return static_cast<DWORD>(simulator.run());
}

}  // namespace

int main(int argc, char** argv) {
    static Program program;
    std::string error;
    if (!gamesim::parseOptions(argc, argv, program.options, error)) {
        std::fprintf(stderr, "gamesim: %s\n", error.c_str());
        return 2;
    }
    const gamesim::Options& options = program.options;

    // The layout is fixed here, on the main thread, before anything else is
    // allocated: decoys lowest, then ballast, stale copies, the log, and the
    // game's own thread (with its stack) above all of them.
    if (options.decoys && !program.decoys.mapView()) return 3;
    const std::size_t ballastSpan = options.ballastRegions *
                                    (gamesim::Arena::roundUp(options.ballastRegionBytes) + gamesim::Arena::kGap);
    const std::size_t smallSpan =
        options.smallRegions * (gamesim::Arena::roundUp(gamesim::Ballast::kSmallRegionBytes) + gamesim::Arena::kGap);
    const std::size_t logSpan = 3 * gamesim::Arena::roundUp(gamesim::ChatLog::kTableBytes +
                                                            gamesim::ChatLog::kTextCapacity);
    if (!program.arena.reserve(16 * 0x20000 + smallSpan + ballastSpan + logSpan)) return 3;
    if (options.decoys && !program.decoys.carve(program.arena)) return 3;
    if (!program.ballast.carve(program.arena, options.smallRegions, options.ballastRegions, options.ballastRegionBytes)) return 3;
    if (options.staleCopies && !program.staleCopies.carve(program.arena)) return 3;
    if (!program.log.layOut(program.arena, options.marker, options.oddHeader)) return 3;
    program.log.reuseBlockSlot(options.reuseBlockSlot);

    HANDLE game = CreateThread(nullptr, 0, runGame, &program, 0, nullptr);
    if (game == nullptr) return 3;
    WaitForSingleObject(game, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeThread(game, &exitCode);
    CloseHandle(game);
    return static_cast<int>(exitCode);
}
