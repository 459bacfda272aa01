#include "options.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <cstring>
#include <string>

namespace gamesim {

namespace {

bool parseNumber(const char* text, std::uint64_t& value) {
    char* end = nullptr;
    value = std::strtoull(text, &end, 0);
    return end != text && *end == '\0';
}

}  // namespace

bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--decoys") {
            options.decoys = true;
            continue;
        }
        if (name == "--odd-header") {
            options.oddHeader = true;
            continue;
        }
        if (name == "--stale-copies") {
            options.staleCopies = true;
            continue;
        }
        if (name == "--withhold-log") {
            options.withholdLog = true;
            continue;
        }
        if (name == "--reuse-block-buffers") {
            options.reuseBlockSlot = true;
            continue;
        }
        static const char* const kValued[] = {"--control", "--marker", "--script", "--first-block", "--history",
                                              "--rate", "--exit-after", "--ballast-regions",
                                              "--ballast-region-bytes", "--small-regions", "--publish-after"};
        if (std::find(std::begin(kValued), std::end(kValued), name) == std::end(kValued)) {
            error = "unknown option " + name;
            return false;
        }
        if (i + 1 >= argc) {
            error = "missing value for " + name;
            return false;
        }
        const char* value = argv[++i];
        if (name == "--control") { options.controlFolder = value; continue; }
        if (name == "--marker") { options.marker = value; continue; }
        if (name == "--script") { options.scriptFile = value; continue; }
        std::uint64_t number = 0;
        if (!parseNumber(value, number)) {
            error = "bad number for " + name + ": " + value;
            return false;
        }
        if (name == "--first-block") options.firstBlock = static_cast<std::uint32_t>(number);
        else if (name == "--history") options.history = static_cast<std::uint32_t>(number);
        else if (name == "--rate") options.linesPerSecond = static_cast<std::uint32_t>(number);
        else if (name == "--exit-after") options.exitAfterMs = static_cast<std::uint32_t>(number);
        else if (name == "--ballast-regions") options.ballastRegions = number;
        else if (name == "--small-regions") options.smallRegions = number;
        else if (name == "--publish-after") {
            options.publishAfterMs = static_cast<std::uint32_t>(number);
            options.withholdLog = true;
        }
        else options.ballastRegionBytes = number;
    }
    if (options.smallRegions > kMostSmallRegions) {
        error = "at most " + std::to_string(kMostSmallRegions) + " small regions";
        return false;
    }
    if (options.marker.empty()) {
        error = "the marker keyword must not be empty";
        return false;
    }
    return true;
}

}  // namespace gamesim
