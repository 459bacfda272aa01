#pragma once
#include <string>

namespace tidemark {

// Where the worker's progress text goes: the main window's status line, or a
// fake in tests. Each call replaces the whole text. Implementations must not
// block the caller on the UI thread.
class StatusSink {
public:
    virtual ~StatusSink() = default;
    virtual void setStatus(const std::u16string& text) = 0;
};

}  // namespace tidemark
