#pragma once
// The settings store over the platform's private-profile functions.

#include <optional>
#include <string>

#include "platform/settings_store.h"

namespace tidemark {

class IniSettingsStore final : public SettingsStore {
public:
    // On the process-wide settingsPath, as it is at each call.
    IniSettingsStore() = default;
    // On a file of its own (tests, tools).
    explicit IniSettingsStore(std::string path) : path_(std::move(path)) {}

    std::string readText(const std::string& section, const std::string& key,
                         const std::string& fallback, std::size_t bufferSize = 512) override;
    int readInt(const std::string& section, const std::string& key, int fallback) override;
    bool writeText(const std::string& section, const std::string& key,
                   const std::string& value) override;

private:
    const std::string& path() const;

    std::optional<std::string> path_;
};

}  // namespace tidemark
