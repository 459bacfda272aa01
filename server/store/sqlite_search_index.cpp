#include "store/sqlite_search_index.h"

#include <algorithm>
#include <memory>

#include "base/utf8_search_text.h"
#include "store/report_store.h"

namespace tidemark {
namespace {

// Bytes in the UTF-8 character that starts with `lead`; a stray
// continuation byte counts as one, so that a bad text cannot stall the walk.
size_t characterBytes(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

using TokenCallback = int (*)(void*, int, const char*, int, int, int);

// FTS5 asks for a tokenizer object per table; it holds nothing.
struct PlayerTrigrams {};

int createTokenizer(void*, const char**, int, Fts5Tokenizer** out) {
  *out = reinterpret_cast<Fts5Tokenizer*>(new PlayerTrigrams);
  return SQLITE_OK;
}

void deleteTokenizer(Fts5Tokenizer* tokenizer) { delete reinterpret_cast<PlayerTrigrams*>(tokenizer); }

int tokenize(Fts5Tokenizer*, void* context, int, const char* input, int size, TokenCallback token) {
  const std::string_view text(input, static_cast<size_t>(std::max(size, 0)));
  const size_t colon = text.find(':');
  // A text that names no player has no terms: it can match nothing.
  if (colon == std::string_view::npos || colon == 0 ||
      !std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(colon),
                   [](char c) { return c >= '0' && c <= '9'; }))
    return SQLITE_OK;
  std::string term(text.substr(0, colon + 1));
  const size_t prefix = term.size();
  const auto next = [&text](size_t at) {
    return at >= text.size() ? text.size() : std::min(text.size(), at + characterBytes(text[at]));
  };
  // Where each of three characters starts, and where the third ends.
  size_t starts[4] = {colon + 1, 0, 0, 0};
  for (int i = 1; i < 4; ++i) starts[i] = next(starts[i - 1]);
  while (starts[2] < text.size()) {
    term.resize(prefix);
    term.append(text.substr(starts[0], starts[3] - starts[0]));
    const int rc = token(context, 0, term.data(), static_cast<int>(term.size()), static_cast<int>(starts[0]),
                         static_cast<int>(starts[3]));
    if (rc != SQLITE_OK) return rc;
    for (int i = 0; i < 3; ++i) starts[i] = starts[i + 1];
    starts[3] = next(starts[2]);
  }
  return SQLITE_OK;
}

}  // namespace

std::string playerSearchText(int64_t player, std::string_view line) {
  return std::to_string(player) + ":" + searchableText(line.substr(0, std::min(line.size(), kListedLineBytes)));
}

std::string playerSearchPhrase(int64_t player, std::string_view text) {
  // FTS5 takes everything between the quotes literally but a doubled quote.
  std::string phrase = "\"" + std::to_string(player) + ":";
  for (const char c : text) phrase += c == '"' ? std::string("\"\"") : std::string(1, c);
  return phrase + "\"";
}

bool registerPlayerTrigramTokenizer(sqlite3* db, std::string& error) {
  fts5_api* api = nullptr;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT fts5(?1)", -1, &statement, nullptr) == SQLITE_OK) {
    sqlite3_bind_pointer(statement, 1, &api, "fts5_api_ptr", nullptr);
    sqlite3_step(statement);
  }
  sqlite3_finalize(statement);
  fts5_tokenizer tokenizer{createTokenizer, deleteTokenizer, tokenize};
  if (!api || api->xCreateTokenizer(api, "tidemark_player_trigram", nullptr, &tokenizer, nullptr) != SQLITE_OK) {
    error = "SQLite has no FTS5: " + std::string(sqlite3_errmsg(db));
    return false;
  }
  return true;
}

}  // namespace tidemark
