#include "page/unreadable_page.h"

#include "page/player_page.h"

namespace tidemark {

Reply unreadablePage(std::string reason) {
  Reply reply{503, "text/html; charset=utf-8",
              "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><meta name=\"viewport\" "
              "content=\"width=device-width\"><title>Tidemark</title><style>body { font-family: \"Segoe UI\", "
              "\"Helvetica Neue\", Arial, \"IPAPGothic\", \"Noto Sans CJK JP\", sans-serif; margin: 2em; "
              "color: #1d2530; background: #f6f7f9; max-width: 40em; }</style></head><body>\n"
              "<h1>Your lines cannot be shown just now; try again in a minute.</h1>\n"
              "<p>Nothing has been deleted: the server cannot read its database at the moment.</p>\n"
              "<h1 lang=\"ja\">いまはログを表示できません。1 分ほどしてからもう一度お試しください。</h1>\n"
              "<p lang=\"ja\">削除されたわけではありません。サーバーがいまデータベースを読めない状態です。</p>\n"
              "</body></html>\n",
              pageHeaders()};
  reply.headers.emplace_back("Retry-After", "60");
  reply.storeProblem = std::move(reason);
  return reply;
}

Reply missingOrUnreadable(ReportStore& store, std::string_view token) {
  PageLookup lookup = store.lookUpPage(token);
  if (!lookup.problem.empty()) return unreadablePage(std::move(lookup.problem));
  // The player is there but the read failed (cut at its deadline, say).
  if (lookup.found) return unreadablePage("the page's read failed while the database answers");
  return Reply::text(404, "No such page.");
}

}  // namespace tidemark
