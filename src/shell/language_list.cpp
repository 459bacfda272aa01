#include "shell/language_list.h"

#include "platform/settings_store.h"

#include "texts/texts.h"

namespace tidemark {

namespace {

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    return true;
}

const rapidjson::Value* stringMember(const rapidjson::Value& element, const char* name) {
    if (!element.IsObject()) return nullptr;
    auto member = element.FindMember(name);
    if (member == element.MemberEnd() || !member->value.IsString()) return nullptr;
    return &member->value;
}

std::string_view view(const rapidjson::Value& text) {
    return {text.GetString(), text.GetStringLength()};
}

}  // namespace

bool parseLanguageList(std::string_view answer, LanguageList& list) {
    list.Parse(answer.data(), answer.size());
    return !list.HasParseError() && list.IsArray();
}

LanguageChoices languageChoices(const LanguageList& list, std::string_view currentCode) {
    LanguageChoices choices;
    if (!list.IsArray()) return choices;
    for (rapidjson::SizeType i = 0; i < list.Size(); ++i) {
        const rapidjson::Value& element = list[i];
        const rapidjson::Value* name = stringMember(element, "name2");
        choices.names.push_back(name ? Utf8ToWide(view(*name)) : std::u16string());
        const rapidjson::Value* code = stringMember(element, "code");
        if (code && equalIgnoringAsciiCase(view(*code), currentCode)) choices.selected = static_cast<int>(i);
    }
    return choices;
}

std::optional<std::string> languageCodeAt(const LanguageList& list, int index) {
    if (!list.IsArray() || index < 0 || static_cast<rapidjson::SizeType>(index) >= list.Size()) return std::nullopt;
    const rapidjson::Value* code = stringMember(list[static_cast<rapidjson::SizeType>(index)], "code");
    // A code is written to the settings file as "language"; one that would
    // not read back as written is no choice.
    if (!code || !isStorableSettingsValue(view(*code))) return std::nullopt;
    return std::string(view(*code));
}

}  // namespace tidemark
