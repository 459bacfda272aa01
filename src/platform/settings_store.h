#pragma once
// The settings file's three operations, with the semantics of the platform's
// private-profile functions (section and key names match without case).

#include <string>
#include <string_view>

namespace tidemark {

class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // At most bufferSize - 1 characters of the value; `fallback` when missing.
    virtual std::string readText(const std::string& section, const std::string& key,
                                 const std::string& fallback, std::size_t bufferSize = 512) = 0;
    // The leading signed decimal number of the value; `fallback` when missing.
    virtual int readInt(const std::string& section, const std::string& key, int fallback) = 0;
    virtual bool writeText(const std::string& section, const std::string& key,
                           const std::string& value) = 0;
};

// Whether a value that came from elsewhere (the report server) reads back
// exactly as written: 1 to 511 bytes of printable ASCII without blanks, and
// no quote at either end (the profile functions strip those). Anything else
// could cut the value, or write new lines, keys and sections into the file.
bool isStorableSettingsValue(std::string_view value);

}  // namespace tidemark
