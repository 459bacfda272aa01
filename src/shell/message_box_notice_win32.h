#pragma once
#include "report/user_notice.h"

namespace tidemark {

// Information boxes owned by the main window (no owner before it exists),
// captioned with string 125, in the user-interface language.
class MessageBoxNotice final : public UserNotice {
public:
    void showInformation(const std::u16string& text) override;
};

}  // namespace tidemark
