#pragma once
// The token of the player's own page on the report server's web site.

#include <optional>
#include <string>

#include "report/server_connection.h"

namespace tidemark {

struct PageTokenAnswer {
    std::string token;                    // empty: no page to open
    std::optional<std::u16string> notice; // what to tell the player, if anything
};

// Asks for the page token of `playerId`. Nothing is sent without a player
// id; the notice then asks for an emote.
PageTokenAnswer fetchPageToken(ServerConnection& connection, const std::string& playerId);

}  // namespace tidemark
