#pragma once

#include <string>
#include <string_view>

#include "base/reply.h"
#include "front/http_front.h"
#include "store/report_store.h"

namespace tidemark {

// What the erase form's token is bound to, besides the page.
inline constexpr std::string_view kErasePurpose = "erase";

// Whether a browser says the request comes from a page of this server: an
// Origin or Referer naming another host (or "null"), or a Sec-Fetch-Site
// other than same-origin or none, is another site's. Clients that send none
// of them are let through; the page-bound token still stands in their way.
bool fromThisSite(const SiteHeaders& site);

// GET "/" + token + "/erase": asks before anything is deleted, with a form
// that posts the page-bound token back.
Reply serveEraseConfirmation(ReportStore& store, std::string_view token);

// POST "/" + token + "/erase", checked: nothing when it may go ahead (with
// `japanese` and the player's `lines` set for the answer), else the refusal.
std::optional<Reply> checkEraseRequest(ReportStore& store, std::string_view token, const HttpRequest& request,
                                       bool& japanese, int64_t& lines);

// The answer once the player is forgotten (the lines then go).
Reply erasedPage(const EraseOutcome& outcome, bool japanese, int64_t lines);

}  // namespace tidemark
