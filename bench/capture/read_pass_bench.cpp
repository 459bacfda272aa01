// A full read pass over a block of 1000 new entries against 50 patterns of
// three keywords each, none of which matches: every entry is tried against
// every pattern (all accept the entries' code), the worst case of the
// matcher. Also times the pass with one
// match in a hundred entries, posted to a server that answers at once.
//
// usage: read_pass_bench [passes]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "fakes/fake_http_client.h"
#include "fakes/fake_process_image.h"
#include "gamelog/compiled_patterns.h"
#include "gamelog/log_reader.h"
#include "report/line_report.h"
#include "report/server_connection.h"
#include "support/fake_chat_log.h"

using namespace tidemark;
using SteadyClock = std::chrono::steady_clock;

namespace {

// 50 patterns of three keywords. Keywords start with bytes that chat lines
// hold often (a letter, the separator) so the search does real work.
std::string patternDocument() {
    std::string json = "{";
    for (int i = 1; i <= 50; ++i) {
        if (i > 1) json += ",";
        json += "\"" + std::to_string(i) + "\": {\"keyword\": [\"e" + std::to_string(i) +
                "x\", \"\\u001fitem" + std::to_string(i) + "\", \"sold for " + std::to_string(i) +
                " gil\"], \"code\": \"" + std::to_string(i % 2 == 0 ? 0 : 10) + "\"}";
    }
    return json + ",\"51\": {\"keyword\": [\"MATCHME\"], \"code\": \"0\"}}";
}

std::string chatLine(int i, bool match) {
    std::string line = "\x02\x27\x12player name\x03: the quick brown fox jumps over the lazy dog, entry " +
                       std::to_string(i) + "\x1F" "extra text with some letters";
    if (match) line += " MATCHME";
    return line;
}

// Every match posted at once, as the worker posts it.
class PostingSink : public MatchSink {
public:
    explicit PostingSink(ServerConnection& connection) : connection_(connection) {}
    bool onMatch(LogRecord& record) override {
        postLine(connection_, identity_, record);
        return true;
    }
    bool onLinesPassedOver(std::uint32_t) override { return true; }

private:
    ServerConnection& connection_;
    const ReportIdentity identity_{"en", "", "", ""};
};

struct Result {
    double medianUs = 0;
    double bestUs = 0;
};

Result timePasses(int passes, bool withMatches) {
    testing::FakeHttpServer server;
    ServerConnection connection(server.factory(), "127.0.0.1", 80);
    PostingSink sink(connection);
    rapidjson::Document document;
    document.Parse(patternDocument().c_str());
    const CompiledPatterns patterns = compilePatterns(document);

    auto image = std::make_shared<FakeProcessImage>();
    testing::FakeChatLog log(image);
    for (int i = 0; i < 999; ++i) log.append(1700000000 + i, 10, chatLine(i, withMatches && i % 100 == 50), false);
    log.publishCount();
    if (withMatches)
        for (int i = 0; i < passes * 10 + 10; ++i) server.answer("{}");

    std::vector<double> us;
    for (int pass = 0; pass < passes; ++pass) {
        ReadPosition position;
        const auto start = SteadyClock::now();
        const std::int32_t result = readNewEntries(*image, testing::FakeChatLog::addresses(), position, patterns, sink);
        const auto end = SteadyClock::now();
        if (result != 999) {
            std::fprintf(stderr, "unexpected pass result %d\n", result);
            std::exit(1);
        }
        us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us.front()};
}

}  // namespace

int main(int argc, char** argv) {
    const int passes = argc > 1 ? std::atoi(argv[1]) : 300;
    const Result plain = timePasses(passes, false);
    std::printf("read pass, 999 entries x 51 patterns (50 x 3 keywords), no match: median %.1f us, best %.1f us"
                " -> %.2f M entries/s (target < 1000 us)\n",
                plain.medianUs, plain.bestUs, 999.0 / plain.medianUs);
    const Result matching = timePasses(passes, true);
    std::printf("read pass, same, 10 matches posted to an in-memory server: median %.1f us\n", matching.medianUs);
    return plain.medianUs < 1000.0 ? 0 : 1;
}
