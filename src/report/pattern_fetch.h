#pragma once
// The pattern set of a language, or the list of languages the server offers.

#include <optional>
#include <string>
#include <string_view>

#include "report/server_connection.h"

namespace tidemark {

// The answer text of the language list (no language) or of the pattern set
// of `language`; the empty text when the connect failed, the text of string
// 112 when the request failed or the answer was empty.
std::string fetchPatterns(ServerConnection& connection, std::optional<std::string_view> language);

}  // namespace tidemark
