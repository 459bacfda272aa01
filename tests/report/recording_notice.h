#pragma once
// A recording stand-in for the session's message boxes.

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

}  // namespace tidemark::testing
