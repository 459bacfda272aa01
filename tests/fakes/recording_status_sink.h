#pragma once
// A status line that keeps every text the worker wrote, safe to read from the
// test's thread while the worker runs.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "session/status_sink.h"

namespace tidemark {

class RecordingStatusSink : public StatusSink {
public:
    // Called on the writer's thread after each text is kept.
    std::function<void(const std::u16string&)> onStatus;

    void setStatus(const std::u16string& text) override {
        {
            std::lock_guard guard(mutex_);
            texts_.push_back(text);
        }
        if (onStatus) onStatus(text);
    }

    std::vector<std::u16string> texts() const {
        std::lock_guard guard(mutex_);
        return texts_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::u16string> texts_;
};

}  // namespace tidemark
