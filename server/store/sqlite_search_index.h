#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace tidemark {

// The search index's text of one line: the player's row id, a colon, and the
// listed part of the line as valid UTF-8 (see searchableText).
std::string playerSearchText(int64_t player, std::string_view line);

// The MATCH expression for `text` (a search indexableSearch accepts) in
// that player's lines: one phrase, every character taken literally.
std::string playerSearchPhrase(int64_t player, std::string_view text);

// The tokenizer "tidemark_player_trigram": the trigrams of a text as FTS5's
// own (case kept), each prefixed with the player the text names, so that a
// player's lines and no one else's are under a term, and a search costs
// what the searching player's lines hold. Registered on every connection
// that writes lines or searches them.
bool registerPlayerTrigramTokenizer(sqlite3* db, std::string& error);

}  // namespace tidemark
