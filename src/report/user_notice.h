#pragma once
#include <string>

namespace tidemark {

// Information message boxes owned by the main window, captioned with string
// 125; faked in tests. Called with no session lock held.
class UserNotice {
public:
    virtual ~UserNotice() = default;
    virtual void showInformation(const std::u16string& text) = 0;
};

}  // namespace tidemark
