#pragma once
// The worker's progress texts for the status line.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace tidemark {

// The longest progress text, in UTF-16 units, that the status line gets.
inline constexpr std::size_t kStatusTextCapacity = 255;

// `format` with each "%d" replaced by the next value in signed decimal, the
// way wsprintfW fills it ("%%" gives "%"), cut to kStatusTextCapacity units.
std::u16string formatStatusText(std::u16string_view format,
                                std::initializer_list<std::int32_t> values);

}  // namespace tidemark
