#pragma once
// An in-memory settings file with the private-profile semantics that the
// code relies on: section and key names match without regard to case, a
// text read keeps at most bufferSize - 1 characters, an integer read takes
// the leading signed decimal number (an empty or missing value gives the
// fallback), and only a write brings the file into existence.

#include <cctype>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/settings_store.h"

namespace tidemark {

class FakeSettingsStore : public SettingsStore {
public:
    struct Write {
        std::string section, key, value;
        bool operator==(const Write&) const = default;
    };

    std::string readText(const std::string& section, const std::string& key,
                         const std::string& fallback, std::size_t bufferSize = 512) override {
        std::lock_guard guard(mutex_);
        ++reads_;
        auto found = values_.find(keyOf(section, key));
        const std::string& value = found != values_.end() ? found->second : fallback;
        return bufferSize == 0 ? std::string() : value.substr(0, bufferSize - 1);
    }

    int readInt(const std::string& section, const std::string& key, int fallback) override {
        std::lock_guard guard(mutex_);
        ++reads_;
        auto found = values_.find(keyOf(section, key));
        if (found == values_.end() || found->second.empty()) return fallback;
        return leadingNumber(found->second);
    }

    bool writeText(const std::string& section, const std::string& key,
                   const std::string& value) override {
        std::lock_guard guard(mutex_);
        writes_.push_back({section, key, value});
        if (failWrites_) return false;
        values_[keyOf(section, key)] = value;
        exists_ = true;
        return true;
    }

    // Test set-up: a file that already holds this value (not logged as a write).
    void preset(const std::string& section, const std::string& key, const std::string& value) {
        std::lock_guard guard(mutex_);
        values_[keyOf(section, key)] = value;
        exists_ = true;
    }
    void failWrites(bool on) {
        std::lock_guard guard(mutex_);
        failWrites_ = on;
    }

    std::optional<std::string> value(const std::string& section, const std::string& key) const {
        std::lock_guard guard(mutex_);
        auto found = values_.find(keyOf(section, key));
        if (found == values_.end()) return std::nullopt;
        return found->second;
    }
    std::vector<Write> writes() const {
        std::lock_guard guard(mutex_);
        return writes_;
    }
    bool fileExists() const {
        std::lock_guard guard(mutex_);
        return exists_;
    }
    int reads() const {
        std::lock_guard guard(mutex_);
        return reads_;
    }

private:
    static std::string lower(std::string text) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    }
    static std::pair<std::string, std::string> keyOf(const std::string& section, const std::string& key) {
        return {lower(section), lower(key)};
    }
    static int leadingNumber(const std::string& text) {
        std::size_t i = 0;
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        bool negative = false;
        if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
        long long number = 0;
        for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
            number = number * 10 + (text[i] - '0');
            if (number > 0xFFFFFFFFLL) number = 0xFFFFFFFFLL;
        }
        // The platform returns an unsigned 32-bit value that callers read as int.
        auto bits = static_cast<unsigned int>(negative ? -number : number);
        return static_cast<int>(bits);
    }

    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, std::string> values_;
    std::vector<Write> writes_;
    bool exists_ = false;
    bool failWrites_ = false;
    int reads_ = 0;
};

}  // namespace tidemark
