#pragma once
// The pattern document compiled once per load into the form the matcher uses
// without JSON look-ups. Document order is kept: the first match wins.

#include <cstdint>
#include <string>
#include <vector>

#include <rapidjson/document.h>

namespace tidemark {

struct CompiledPattern {
    std::int32_t id = 0;     // the member name, read like atoi
    std::int32_t code = 0;   // 0 accepts every code
    bool trace = false;      // only the literal true
    std::vector<std::string> keywords;  // raw UTF-8 bytes
};

struct CompiledPatterns {
    std::vector<CompiledPattern> patterns;
};

// Patterns whose value is not an object, whose "code" is not a string, or
// whose "keyword" is not an array of strings are skipped.
CompiledPatterns compilePatterns(const rapidjson::Value& root);

}  // namespace tidemark
