// Every answer of the report server that the client parses, from the bytes
// on the wire to what the client makes of them. The last byte picks the
// exchange; the rest is the answer (and, for the report answer, a script of
// several reports, their answers and the effects they have).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <limits>
#include <string>

#include "capture/report_effects.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_http_client.h"
#include "fakes/fake_settings_store.h"
#include "gamelog/compiled_patterns.h"
#include "gamelog/pattern_matcher.h"
#include "platform/settings_store.h"
#include "report/line_report.h"
#include "report/page_token.h"
#include "report/pattern_answer.h"
#include "report/server_connection.h"
#include "shell/language_list.h"
#include "session/capture_session.h"
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
        // The code chosen is written to the settings file as "language".
        if (code && !isStorableSettingsValue(*code)) fail("a code the settings file cannot keep");
        // The current code came from that file, so it is storable there.
        if (i >= 0 && i == choices.selected && isStorableSettingsValue(current) &&
            (!code || !equalIgnoringAsciiCase(*code, current)))
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
    // An accepted set always has a marker; a refused one compiles to nothing.
    if (accepted && compiled.marker.empty()) fail("accepted without a marker");
    if (!accepted && (!compiled.patterns.empty() || !compiled.marker.empty())) fail("a refused answer left patterns");
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

// Several reports in a row, each answered as the script says, with resets
// of the session in between: what the answers do to the message log, the
// run's identifiers, the player id and the settings file.
void reportAnswers(FuzzedDataProvider& input) {
    FakeHttpServer server;
    server.setConnectSucceeds(input.ConsumeIntegralInRange(0, 15) != 0);
    ServerConnection connection(server.factory(), "127.0.0.1", 80);
    FakeClock clock;
    CaptureSession session(&clock);
    FakeSettingsStore settings;
    const std::string firstId = input.ConsumeBool() ? "" : "0123456789abcdef0123456789abcdef";
    if (!firstId.empty()) settings.preset("general", "wader", firstId);
    session.setPlayerId(firstId);
    ServerIdentifiers identifiers;
    std::uint64_t generation = session.resetGeneration();

    for (int n = 0; n < 12 && input.remaining_bytes() > 0; ++n) {
        if (input.ConsumeIntegralInRange(0, 7) == 0) {
            // A reset while the report was on its way: its answer belongs to
            // the old generation, or the worker already follows the new one.
            const std::uint64_t fresh = session.reset();
            if (input.ConsumeBool()) generation = fresh;
        }
        const std::string line = input.ConsumeRandomLengthString(24);
        LogRecord record;
        record.patternId = input.ConsumeIntegral<std::int32_t>();
        record.code = input.ConsumeIntegral<std::int32_t>();
        record.time = input.ConsumeIntegral<std::uint32_t>();
        record.ordinal = n;
        record.present = input.ConsumeBool() ? 1 : 0;
        record.raw = reinterpret_cast<const std::uint8_t*>(line.data());
        record.rawLength = static_cast<std::uint32_t>(line.size());
        const std::size_t requestsBefore = server.requestCount();
        scriptAnswer(input, server, input.ConsumeRandomLengthString(input.ConsumeBool() ? 200 : 4200));

        const ReportIdentity identity{"ja", identifiers.sid, identifiers.fid, session.playerId()};
        const ReportAnswer answer = postLine(connection, identity, record);
        const std::string idBefore = session.playerId();
        const ServerIdentifiers identifiersBefore = identifiers;
        applyReportAnswer(answer, record, generation, session, identifiers, &settings);

        if (server.requestCount() > requestsBefore) {
            const testing::FakeRequest sent = server.requests().back();
            if (sent.field("log") != line) fail("the line was not sent byte for byte");
            if (sent.field("aid") != idBefore) fail("aid is not the player id");
        }
        if (answer.outcome != ReportAnswer::Outcome::Object) {
            if (identifiers.sid != identifiersBefore.sid || identifiers.fid != identifiersBefore.fid ||
                session.playerId() != idBefore)
                fail("an answer that is no object changed identifiers");
        } else {
            if (identifiers.sid != answer.sid.value_or(identifiersBefore.sid)) fail("sid not taken");
            if (identifiers.fid != answer.fid.value_or(identifiersBefore.fid)) fail("fid not taken");
            if (answer.aid && isStorableSettingsValue(*answer.aid) && session.playerId() != *answer.aid)
                fail("a good aid was not taken");
        }
        if (answer.text.size() > kAnswerCapacity) fail("answer longer than the client keeps");

        // The settings file only ever gets a player id that reads back as
        // written, and the session holds what the file holds.
        for (const FakeSettingsStore::Write& write : settings.writes())
            if (write.section != "general" || write.key != "wader" || !isStorableSettingsValue(write.value))
                fail("the settings file got a value it cannot keep");
        if (session.playerId() != settings.value("general", "wader").value_or(""))
            fail("player id and settings file disagree");
        const std::vector<LogRecord> messages = session.messages();
        if (messages.size() > 100) fail("message log over 100");
        for (const LogRecord& message : messages)
            if (!isWellFormedUtf16(message.text)) fail("message is not well-formed UTF-16");
    }
}

}  // namespace
}  // namespace tidemark

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tidemark;
    FuzzedDataProvider input(data, size);
    switch (input.ConsumeIntegralInRange(0, 3)) {
        case 0: languageList(input); break;
        case 1: patternSet(input); break;
        case 2: pageToken(input); break;
        default: reportAnswers(input); break;
    }
    return 0;
}
