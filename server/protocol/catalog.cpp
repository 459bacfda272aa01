#include "protocol/catalog.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "base/field_values.h"

namespace tidemark {
namespace {

bool equalIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

bool isLanguageCode(std::string_view code) {
  if (code.empty() || code.size() > 16) return false;
  for (char c : code)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
  return true;
}

bool isDecimal(std::string_view text) { return parseInt32(text).has_value(); }

// Reads and parses one data file; on failure sets `error` naming the file.
bool readJsonFile(const std::filesystem::path& path, rapidjson::Document& doc, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path.string() + ": cannot be read";
    return false;
  }
  std::ostringstream content;
  content << in.rdbuf();
  const std::string text = content.str();
  doc.Parse<rapidjson::kParseValidateEncodingFlag>(text.c_str(), text.size());
  if (doc.HasParseError()) {
    error = path.string() + ": not valid JSON (" +
            rapidjson::GetParseError_En(doc.GetParseError()) + " at byte " +
            std::to_string(doc.GetErrorOffset()) + ")";
    return false;
  }
  return true;
}

std::string compact(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

// Checks one pattern set and fills the language's served answer, marker and
// pattern names. Returns the fault, or the empty text.
std::string checkPatternSet(const rapidjson::Document& doc, Catalog::Language& language) {
  if (!doc.IsObject()) return "the pattern set is not a JSON object";
  for (auto member = doc.MemberBegin(); member != doc.MemberEnd(); ++member) {
    const std::string id(member->name.GetString(), member->name.GetStringLength());
    const auto number = parseInt32(id);
    if (!number || *number <= 0)
      return "pattern \"" + id + "\": the member name is not a positive decimal id";
    if (language.patternNames.count(*number))
      return "pattern \"" + id + "\": the id appears twice";
    const auto& pattern = member->value;
    if (!pattern.IsObject()) return "pattern \"" + id + "\" is not an object";
    if (!pattern.HasMember("code") || !pattern["code"].IsString() ||
        !isDecimal(pattern["code"].GetString()))
      return "pattern \"" + id + "\": \"code\" must be a string holding a decimal number";
    if (pattern.HasMember("keyword")) {
      const auto& keywords = pattern["keyword"];
      if (!keywords.IsArray()) return "pattern \"" + id + "\": \"keyword\" is not an array";
      for (const auto& keyword : keywords.GetArray())
        if (!keyword.IsString() || keyword.GetStringLength() == 0)
          return "pattern \"" + id + "\": every keyword must be a non-empty string";
    }
    if (pattern.HasMember("trace") && !pattern["trace"].IsBool())
      return "pattern \"" + id + "\": \"trace\" must be true or false";
    std::string name = "#" + id;
    if (pattern.HasMember("name")) {
      if (!pattern["name"].IsString()) return "pattern \"" + id + "\": \"name\" is not a string";
      name = pattern["name"].GetString();
    }
    language.patternNames[*number] = name;
    // The game compares codes as whole 32-bit values, so a larger decimal
    // wraps as it does there.
    language.patternCodes[*number] =
        static_cast<int32_t>(static_cast<uint32_t>(std::strtoull(pattern["code"].GetString(), nullptr, 10)));
  }
  // The client finds the game's chat log by the first keyword of pattern "1".
  if (!doc.HasMember("1")) return "member \"1\" (the marker pattern) is missing";
  const auto& first = doc["1"];
  if (!first.HasMember("keyword") || first["keyword"].Empty())
    return "pattern \"1\" has no keyword; its first keyword is the marker";
  language.marker = first["keyword"][0].GetString();
  language.patternAnswer = compact(doc);
  if (language.patternAnswer.size() > kMaxAnswerBytes)
    return "the pattern set takes " + std::to_string(language.patternAnswer.size()) +
           " bytes as JSON; the client reads at most " + std::to_string(kMaxAnswerBytes);
  return {};
}

}  // namespace

std::optional<Catalog> Catalog::load(const std::filesystem::path& dir, std::string& error) {
  Catalog catalog;
  const auto listPath = dir / "languages.json";
  rapidjson::Document list;
  if (!readJsonFile(listPath, list, error)) return std::nullopt;
  const auto fail = [&](const std::filesystem::path& path, const std::string& fault) {
    error = path.string() + ": " + fault;
    return std::nullopt;
  };
  if (!list.IsArray() || list.Empty())
    return fail(listPath, "the language list must be a non-empty JSON array");
  for (const auto& entry : list.GetArray()) {
    if (!entry.IsObject() || !entry.HasMember("code") || !entry["code"].IsString() ||
        !entry.HasMember("name2") || !entry["name2"].IsString())
      return fail(listPath, "every entry needs \"code\" and \"name2\" strings");
    Language language;
    language.code = entry["code"].GetString();
    language.name = entry["name2"].GetString();
    if (!isLanguageCode(language.code))
      return fail(listPath, "\"" + language.code + "\" is not a usable language code");
    if (language.name.empty()) return fail(listPath, "language \"" + language.code + "\" has no name");
    if (catalog.find(language.code))
      return fail(listPath, "language \"" + language.code + "\" is listed twice");
    const auto patternPath = dir / "patterns" / (language.code + ".json");
    rapidjson::Document patterns;
    if (!readJsonFile(patternPath, patterns, error)) return std::nullopt;
    if (const std::string fault = checkPatternSet(patterns, language); !fault.empty())
      return fail(patternPath, fault);
    catalog.languages_.push_back(std::move(language));
  }
  catalog.languageAnswer_ = compact(list);
  if (catalog.languageAnswer_.size() > kMaxAnswerBytes)
    return fail(listPath, "the language list is longer than the client reads (" +
                              std::to_string(kMaxAnswerBytes) + " bytes)");
  return catalog;
}

const Catalog::Language* Catalog::find(std::string_view code) const {
  for (const auto& language : languages_)
    if (equalIgnoringCase(language.code, code)) return &language;
  return nullptr;
}

bool Catalog::Language::canMatch(int32_t patternId, int32_t entryCode) const {
  const auto it = patternCodes.find(patternId);
  return it != patternCodes.end() && (it->second == 0 || it->second == entryCode);
}

std::string Catalog::patternName(std::string_view code, int32_t patternId) const {
  if (const Language* language = find(code)) {
    const auto it = language->patternNames.find(patternId);
    if (it != language->patternNames.end()) return it->second;
  }
  return "#" + std::to_string(patternId);
}

}  // namespace tidemark
