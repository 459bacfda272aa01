#pragma once

#include <string>
#include <string_view>

#include "base/reply.h"
#include "store/report_store.h"

namespace tidemark {

// A page, download or erase form whose read found nothing: 404 only when
// the database says no player has the token; a database that cannot be
// read gets a 503 page instead, so that a player never takes a failure for
// an erased page.
Reply missingOrUnreadable(ReportStore& store, std::string_view token);

// The 503 page (in English and Japanese: the player's language is in the
// database that failed), with `reason` kept for the log.
Reply unreadablePage(std::string reason);

}  // namespace tidemark
