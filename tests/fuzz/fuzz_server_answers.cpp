// Every answer of the report server that the client parses, from the bytes
// on the wire to what the client makes of them. The first byte picks the
// exchange; the rest is the answer (and, for the report answer, a script of
// several answers and the effects they have).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <limits>
#include <string>

#include "fakes/fake_http_client.h"
#include "gamelog/compiled_patterns.h"
#include "gamelog/pattern_matcher.h"
#include "report/page_token.h"
#include "report/pattern_answer.h"
#include "report/server_connection.h"
#include "shell/language_list.h"
#include "texts/texts.h"

namespace tidemark {
namespace {

using testing::FakeAnswer;
using testing::FakeHttpServer;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

bool isWellFormedUtf16(const std::u16string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xDC00 && c < 0xE000) return false;
        if (c >= 0xD800 && c < 0xDC00) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] >= 0xE000) return false;
            ++i;
        }
    }
    return true;
}

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalIgnoringAsciiCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    return true;
}

void languageList(FuzzedDataProvider& input) {
    const std::string current = input.ConsumeRandomLengthString(8);
    const std::string answer = input.ConsumeRemainingBytesAsString();
    LanguageList list;
    if (!parseLanguageList(answer, list)) {
        if (!languageChoices(list, current).names.empty() && !list.IsArray()) fail("choices from a refused list");
        return;
    }
    const LanguageChoices choices = languageChoices(list, current);
    if (choices.names.size() != list.Size()) fail("one item per element");
    if (choices.selected < -1 || choices.selected >= static_cast<int>(list.Size())) fail("selection out of range");
    for (const std::u16string& name : choices.names)
        if (!isWellFormedUtf16(name)) fail("name is not well-formed UTF-16");
    for (int i = -1; i <= static_cast<int>(list.Size()); ++i) {
        const std::optional<std::string> code = languageCodeAt(list, i);
        if ((i < 0 || i >= static_cast<int>(list.Size())) && code) fail("code outside the list");
        if (i >= 0 && i == choices.selected && (!code || !equalIgnoringAsciiCase(*code, current)))
            fail("selected element does not carry the current code");
    }
}

// What atoi does, saturated to 32 bits, from the C library.
std::int32_t referenceAtoi(const char* text, std::size_t length) {
    const std::string terminated(text, length);
    const long long value = std::strtoll(terminated.c_str(), nullptr, 10);
    if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

void patternSet(FuzzedDataProvider& input) {
    const std::string line = input.ConsumeRandomLengthString(64);
    const std::int32_t code = input.ConsumeIntegral<std::int32_t>();
    const bool present = input.ConsumeBool();
    const std::string answer = input.ConsumeRemainingBytesAsString();
    PatternDocument document;
    const bool accepted = parsePatternAnswer(answer, document);
    if (!document.IsObject()) fail("pattern document is not an object");
    const CompiledPatterns compiled = compilePatterns(document);
    if (accepted != (compiled.marker.size() > 2)) {
        // An accepted set always has a marker; a refused one compiles to
        // nothing at all.
        if (accepted || !compiled.patterns.empty()) fail("marker and acceptance disagree");
    }
    if (!accepted && !compiled.patterns.empty()) fail("a refused answer left patterns");
    if (!compiled.marker.empty() && compiled.marker.compare(0, 2, "\x1f\x1f") != 0) fail("marker head");
    std::size_t keywords = 0;
    for (const CompiledPattern& pattern : compiled.patterns) {
        if (pattern.firstKeyword != keywords) fail("keywords not in order");
        keywords += pattern.keywordCount;
        if (pattern.trace && !compiled.anyTrace) fail("trace not noted");
    }
    if (keywords != compiled.keywords.size()) fail("keyword count");
    std::size_t bytes = 0;
    for (const KeywordSpan& span : compiled.keywords) {
        if (span.offset != bytes) fail("keyword bytes not back to back");
        bytes += span.length;
    }
    if (bytes != compiled.keywordBytes.size()) fail("keyword bytes size");
    // Ids are read as atoi reads them.
    for (const auto& member : document.GetObject()) {
        const char* name = member.name.GetString();
        if (readDecimalLikeAtoi(name, member.name.GetStringLength()) != referenceAtoi(name, member.name.GetStringLength()))
            fail("id is not read like atoi");
    }
    const CompiledPattern* match = findMatchingPattern(compiled, present, code,
                                                       reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
    if (match != nullptr) {
        if (!present && !match->trace) fail("history line matched a pattern without trace");
        if (match->code != 0 && match->code != code) fail("matched another code");
        for (std::uint32_t k = 0; k < match->keywordCount; ++k) {
            const KeywordSpan& span = compiled.keywords[match->firstKeyword + k];
            if (span.length > 0 && line.find(compiled.keywordBytes.data() + span.offset, 0, span.length) == std::string::npos)
                fail("matched a line without its keyword");
        }
    }
}

// The answer as the fake server sends it: whole, in small pieces, cut by a
// failed read, or not at all.
void scriptAnswer(FuzzedDataProvider& input, FakeHttpServer& server, std::string body) {
    switch (input.ConsumeIntegralInRange(0, 3)) {
        case 0: server.answer(std::move(body)); break;
        case 1: server.answer(std::move(body), input.ConsumeIntegralInRange<std::size_t>(1, 7)); break;
        case 2: server.push(FakeAnswer::readFailure(std::move(body))); break;
        default: server.push(FakeAnswer::requestFailure());
    }
}

void pageToken(FuzzedDataProvider& input) {
    FakeHttpServer server;
    server.setConnectSucceeds(input.ConsumeIntegralInRange(0, 7) != 0);
    const std::string playerId = input.ConsumeBool() ? "0123456789abcdef0123456789abcdef"
                                                     : input.ConsumeRandomLengthString(40);
    scriptAnswer(input, server, input.ConsumeRemainingBytesAsString());
    ServerConnection connection(server.factory(), "127.0.0.1", 80);
    const PageTokenAnswer answer = fetchPageToken(connection, playerId);
    if (playerId.empty() && server.requestCount() != 0) fail("token asked without a player id");
    if (answer.notice && !isWellFormedUtf16(*answer.notice)) fail("notice is not well-formed UTF-16");
    if (!answer.token.empty() && answer.notice) fail("both a token and a notice");
    if (server.requestCount() > 1) fail("more than one request");
    // The id is a text: it is sent up to its first NUL.
    if (server.requestCount() == 1 && server.requests()[0].field("wader") != playerId.substr(0, playerId.find('\0')))
        fail("wader is not the id");
}

}  // namespace
}  // namespace tidemark

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tidemark;
    FuzzedDataProvider input(data, size);
    switch (input.ConsumeIntegralInRange(0, 2)) {
        case 0: languageList(input); break;
        case 1: patternSet(input); break;
        default: pageToken(input); break;
    }
    return 0;
}
