#pragma once
// Recording stand-ins for the session's message boxes and settings file.

#include <map>
#include <string>
#include <vector>

#include "capture/capture_session.h"

namespace tidemark::testing {

class RecordingNotice : public UserNotice {
public:
    void showInformation(const std::u16string& text) override {
        shown.push_back(text);
        if (session != nullptr) {
            exchangeFreeWhileShown = session->exchangeMutex.try_lock();
            if (exchangeFreeWhileShown) session->exchangeMutex.unlock();
        }
    }
    std::vector<std::u16string> shown;
    CaptureSession* session = nullptr;  // set to check the exchange lock is free
    bool exchangeFreeWhileShown = false;
};

class RecordingSettings : public SettingsStore {
public:
    std::string readText(const std::string& section, const std::string& key, const std::string& fallback,
                         std::size_t) override {
        auto it = values.find(section + "/" + key);
        return it == values.end() ? fallback : it->second;
    }
    int readInt(const std::string&, const std::string&, int fallback) override { return fallback; }
    bool writeText(const std::string& section, const std::string& key, const std::string& value) override {
        values[section + "/" + key] = value;
        ++writes;
        return true;
    }
    std::map<std::string, std::string> values;  // "section/key" -> value
    int writes = 0;
};

}  // namespace tidemark::testing
