#pragma once
// Validation of the pattern answer, for the worker that loads it.

#include <string_view>

#include <rapidjson/document.h>

namespace tidemark {

using PatternDocument = rapidjson::Document;

// Parses a pattern fetch result into `patterns`. True only for a JSON object
// whose member "1" is an object with a "keyword" array that starts with a
// string: without that marker the chat log could never be found, so such an
// answer is refused like one that does not parse. On false `patterns` is left
// an empty object. Every failure text of fetchPatterns gives false.
bool parsePatternAnswer(std::string_view text, PatternDocument& patterns);

}  // namespace tidemark
