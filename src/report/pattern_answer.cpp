#include "report/pattern_answer.h"

#include <string>

namespace tidemark {

namespace {
bool hasChatLogMarker(const PatternDocument& patterns) {
    auto first = patterns.FindMember("1");
    if (first == patterns.MemberEnd() || !first->value.IsObject()) return false;
    auto keyword = first->value.FindMember("keyword");
    if (keyword == first->value.MemberEnd() || !keyword->value.IsArray()) return false;
    return !keyword->value.Empty() && keyword->value[0].IsString();
}
}  // namespace

bool parsePatternAnswer(std::string_view text, PatternDocument& patterns) {
    // The answer is a C string: the parser stops at its end.
    std::string terminated(text);
    patterns.Parse(terminated.c_str());
    if (!patterns.HasParseError() && patterns.IsObject() && hasChatLogMarker(patterns)) return true;
    patterns.SetObject();
    return false;
}

}  // namespace tidemark
