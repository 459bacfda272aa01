#include "shell/log_text.h"

namespace tidemark {

std::u16string renderLogText(const std::vector<std::u16string>& messages) {
    std::size_t length = 0;
    for (const std::u16string& message : messages) length += message.size() + 2;
    std::u16string text;
    text.reserve(length);
    for (const std::u16string& message : messages) {
        text += message;
        text += u"\r\n";
    }
    return text;
}

}  // namespace tidemark
