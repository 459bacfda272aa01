#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tidemark {

// The client reads one answer of at most 4095 bytes.
inline constexpr size_t kMaxAnswerBytes = 4095;

// What the server offers: the language list and one pattern set per
// language, read from data files once at start and served as compact JSON.
class Catalog {
 public:
  struct Language {
    std::string code;
    std::string name;          // "name2": the name the client lists
    std::string patternAnswer; // the pattern set as served
    std::string marker;        // first keyword of pattern "1"
    std::map<int32_t, std::string> patternNames;
    // The entry code each pattern requires; 0 accepts every code.
    std::map<int32_t, int32_t> patternCodes;

    // Whether a line of this entry code can have matched this pattern.
    bool canMatch(int32_t patternId, int32_t entryCode) const;
  };

  // Reads <dir>/languages.json and <dir>/patterns/<code>.json for each code.
  // On any fault returns nothing and sets `error` to a text that names the
  // file and the fault.
  static std::optional<Catalog> load(const std::filesystem::path& dir, std::string& error);

  const std::string& languageAnswer() const { return languageAnswer_; }
  const std::vector<Language>& languages() const { return languages_; }

  // The client compares codes without regard to case, so a code that differs
  // only in case (an old settings file, say) finds its language too.
  const Language* find(std::string_view code) const;

  // The name of a pattern for the player's page, or "#<id>" when the set has
  // no such pattern (the data files may have changed since the report).
  std::string patternName(std::string_view code, int32_t patternId) const;

 private:
  std::string languageAnswer_;
  std::vector<Language> languages_;
};

}  // namespace tidemark
