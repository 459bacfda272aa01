#pragma once

#include <string>
#include <string_view>

namespace tidemark {

// A line's bytes as the text a trigram index can hold: every well-formed
// UTF-8 character kept as it is, every other byte (and NUL) replaced by
// U+FFFD. A search text that is well-formed UTF-8 and occurs in the bytes
// occurs in this text too: the replacement never joins or splits the
// characters around it. The reverse need not hold (U+FFFD stands for any
// bad byte), so matches are checked against the bytes.
std::string searchableText(std::string_view bytes);

// Whether a trigram index can answer a search for `text`: well-formed UTF-8
// without NUL, at least three characters (shorter ones have no trigram).
bool indexableSearch(std::string_view text);

}  // namespace tidemark
