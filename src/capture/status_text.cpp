#include "capture/status_text.h"

#include <string>

namespace tidemark {

std::u16string formatStatusText(std::u16string_view format,
                                std::initializer_list<std::int32_t> values) {
    std::u16string text;
    const std::int32_t* next = values.begin();
    for (std::size_t i = 0; i < format.size() && text.size() < kStatusTextCapacity; ++i) {
        if (format[i] == u'%' && i + 1 < format.size()) {
            if (format[i + 1] == u'%') {
                text += u'%';
                ++i;
                continue;
            }
            if (format[i + 1] == u'd') {
                const std::int32_t value = next != values.end() ? *next++ : 0;
                for (char c : std::to_string(value)) text += static_cast<char16_t>(c);
                ++i;
                continue;
            }
        }
        text += format[i];
    }
    if (text.size() > kStatusTextCapacity) text.resize(kStatusTextCapacity);
    return text;
}

}  // namespace tidemark
