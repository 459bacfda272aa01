#pragma once
// The main window's status line as the worker's status sink. The worker only
// stores the newest text and posts one private message; the window's own
// thread puts the text into the control. A status write therefore never
// waits for the user-interface thread, which may itself be waiting for the
// worker to stop.

#include <windows.h>

#include <mutex>
#include <string>

#include "session/status_sink.h"

namespace tidemark {

class StatusLine final : public StatusSink {
public:
    // User-interface thread: texts from now on are announced to `window`
    // with `message` and shown in `control`.
    void attach(HWND window, HWND control, UINT message);
    // User-interface thread: later texts are kept but announced to nobody.
    void detach();

    // Any thread; never blocks on a window.
    void setStatus(const std::u16string& text) override;

    // User-interface thread, on `message`: shows the newest text.
    void showLatest();

    std::u16string latest() const;

private:
    mutable std::mutex mutex_;
    std::u16string latest_;
    bool announced_ = false;  // a message is on its way; no need for another
    HWND window_ = nullptr;
    HWND control_ = nullptr;
    UINT message_ = 0;
};

}  // namespace tidemark
