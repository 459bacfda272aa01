#pragma once
// The server's language list as the Config page uses it: a JSON array of
// objects with "code" (what the settings and the requests carry) and "name2"
// (what the user sees).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <rapidjson/document.h>

namespace tidemark {

using LanguageList = rapidjson::Document;

// Parses the answer into `list`; true only when it is JSON with an array root.
bool parseLanguageList(std::string_view answer, LanguageList& list);

// The combo box's items, one per element in array order so that item i is
// element i, and the item to preselect.
struct LanguageChoices {
    std::vector<std::u16string> names;  // empty for an element without a string "name2"
    int selected = -1;                  // -1: no element has the current code
};

// The element whose "code" equals `currentCode` without regard to ASCII
// letter case is preselected; when several do, the last one.
LanguageChoices languageChoices(const LanguageList& list, std::string_view currentCode);

// The "code" of element `index`; nullopt when there is none, it is no string,
// or it could not be kept in the settings file as sent.
std::optional<std::string> languageCodeAt(const LanguageList& list, int index);

}  // namespace tidemark
