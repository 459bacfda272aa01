#include "shell/status_line_win32.h"

namespace tidemark {

void StatusLine::attach(HWND window, HWND control, UINT message) {
    std::lock_guard guard(mutex_);
    window_ = window;
    control_ = control;
    message_ = message;
    announced_ = false;
}

void StatusLine::detach() {
    std::lock_guard guard(mutex_);
    window_ = nullptr;
    control_ = nullptr;
}

void StatusLine::setStatus(const std::u16string& text) {
    std::lock_guard guard(mutex_);
    latest_ = text;
    if (announced_ || !window_) return;
    announced_ = PostMessageW(window_, message_, 0, 0) != FALSE;
}

void StatusLine::showLatest() {
    std::u16string text;
    HWND control;
    {
        std::lock_guard guard(mutex_);
        announced_ = false;
        text = latest_;
        control = control_;
    }
    if (control) SetWindowTextW(control, reinterpret_cast<const wchar_t*>(text.c_str()));
}

std::u16string StatusLine::latest() const {
    std::lock_guard guard(mutex_);
    return latest_;
}

}  // namespace tidemark
