#pragma once
#include <string>
#include <vector>

namespace tidemark {

// The Log page's whole text: every message, oldest first, each ended by
// CR LF, and nothing else.
std::u16string renderLogText(const std::vector<std::u16string>& messages);

}  // namespace tidemark
