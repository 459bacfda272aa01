#include "page/erase_confirmation.h"

#include "base/field_values.h"
#include "base/form_decoding.h"
#include "base/page_binding.h"
#include "page/player_page.h"
#include "page/unreadable_page.h"

namespace tidemark {
namespace {

struct EraseTexts {
  const char* htmlLanguage;
  const char* title;
  const char* question;  // "%s lines…"
  const char* warning;
  const char* confirm;
  const char* cancel;
  const char* done;      // "… %lld lines are being deleted…"
  const char* failed;
  const char* again;     // a running Tidemark registers anew, and how to stop it
};

constexpr EraseTexts kEnglish = {
    "en", "Tidemark - delete all my lines", "Delete all %s of your lines?",
    "This cannot be undone. Your page will stop working, and Tidemark will register you as a new player with "
    "your next report. Download your lines first if you want to keep them.",
    "Delete all my lines", "Keep them and go back",
    "Your page and your player id are gone. Your %lld lines are being deleted now: a few seconds, longer for "
    "many lines.",
    "The lines could not be deleted just now. Please try again in a minute.",
    "A Tidemark that is still running registers you again with its next report, and you get a new page. To "
    "stop it, choose \"exit\" in the menu of Tidemark's icon in the notification area (the tray)."};

constexpr EraseTexts kJapanese = {
    "ja", "Tidemark - 自分のログをすべて削除", "あなたのログ %s 件をすべて削除しますか？",
    "この操作は取り消せません。あなたのページは使えなくなり、次の報告で Tidemark は新しいプレイヤーとして登録します。"
    "残したいログは先にダウンロードしてください。",
    "自分のログをすべて削除", "削除せずに戻る",
    "あなたのページとプレイヤー ID は削除されました。ログ %lld 件をいま削除しています（件数が多いと時間がかかります）。",
    "いまはログを削除できませんでした。少し待ってからもう一度お試しください。",
    "起動中の Tidemark は次の報告であなたを新しいプレイヤーとして登録し直し、新しいページができます。"
    "止めるには、通知領域（タスクトレイ）にある Tidemark のアイコンのメニューで「終了する」を選んでください。"};

template <typename... Args>
std::string format(const char* pattern, Args... args) {
  char text[1024];
  std::snprintf(text, sizeof text, pattern, args...);
  return text;
}

std::string page(const EraseTexts& texts, const std::string& body) {
  return "<!DOCTYPE html>\n<html lang=\"" + std::string(texts.htmlLanguage) +
         "\"><head><meta charset=\"utf-8\"><meta name=\"viewport\" content=\"width=device-width\"><title>" +
         texts.title +
         "</title><style>body { font-family: \"Segoe UI\", \"Helvetica Neue\", Arial, \"IPAPGothic\", "
         "\"Noto Sans CJK JP\", sans-serif; margin: 2em; color: #1d2530; background: #f6f7f9; max-width: 40em; } "
         "button.erase { background: #b3261e; color: #fff; border: 0; padding: 0.6em 1.2em; font-size: 1em; } "
         "a { margin-left: 1.5em; }</style></head><body>\n" +
         body + "</body></html>\n";
}

// "host:port" of an absolute address ("https://host:port/path").
std::string_view authorityOf(std::string_view address) {
  const size_t scheme = address.find("://");
  if (scheme == std::string_view::npos) return {};
  address.remove_prefix(scheme + 3);
  return address.substr(0, address.find_first_of("/?#"));
}

}  // namespace

bool fromThisSite(const SiteHeaders& site) {
  if (site.fetchSite && *site.fetchSite != "same-origin" && *site.fetchSite != "none") return false;
  if (site.origin && (site.host.empty() || authorityOf(*site.origin) != site.host)) return false;
  if (site.referer && (site.host.empty() || authorityOf(*site.referer) != site.host)) return false;
  return true;
}

Reply serveEraseConfirmation(ReportStore& store, std::string_view token) {
  if (!isIssuedId(token)) return Reply::text(404, "No such page.");
  const auto reports = store.reportsOf(token, 0, 0);
  if (!reports) return missingOrUnreadable(store, token);
  const auto secret = store.pageSecret();
  if (!secret) return unreadablePage("the page secret cannot be read");
  const EraseTexts& texts = prefersJapanese(*reports) ? kJapanese : kEnglish;
  const std::string address = "/" + escapeHtml(token);
  std::string body = "<h1>" + escapeHtml(format(texts.question, std::to_string(reports->total).c_str())) +
                     "</h1>\n<p>" + texts.warning + "</p>\n<form method=\"post\" action=\"" + address +
                     "/erase\"><input type=\"hidden\" name=\"confirm\" value=\"" +
                     pageBoundToken(*secret, kErasePurpose, token) + "\"><button class=\"erase\">" + texts.confirm +
                     "</button><a href=\"" + address + "\">" + texts.cancel + "</a></form>\n";
  Reply reply{200, "text/html; charset=utf-8", page(texts, body), {}};
  // Same-origin, not no-referrer: a browser sends "Origin: null" for a form
  // posted from a page without a referrer, which could not be told from
  // another site's.
  reply.headers = pageHeaders("same-origin");
  return reply;
}

std::optional<Reply> checkEraseRequest(ReportStore& store, std::string_view token, const HttpRequest& request,
                                       bool& japanese, int64_t& lines) {
  if (!fromThisSite(request.site)) return Reply::text(403, "This form can only be sent from its own page.");
  const FieldList body = decodeFieldList(request.body);
  std::string offered, error;
  if (!body.ok() || !FieldLookup(body.fields).single("confirm", offered, error))
    return Reply::text(400, body.ok() ? error : body.error);
  if (!isIssuedId(token)) return Reply::text(404, "No such page.");
  const auto secret = store.pageSecret();
  if (!secret) return unreadablePage("the page secret cannot be read");
  if (!isPageBoundToken(*secret, kErasePurpose, token, offered))
    return Reply::text(403, "This form can only be sent from its own page.");
  const auto reports = store.reportsOf(token, 0, 0);
  if (!reports) return missingOrUnreadable(store, token);
  japanese = prefersJapanese(*reports);
  lines = reports->total;
  return std::nullopt;
}

Reply erasedPage(const EraseOutcome& outcome, bool japanese, int64_t lines) {
  const EraseTexts& texts = japanese ? kJapanese : kEnglish;
  if (!outcome.found && !outcome.failed) return Reply::text(404, "No such page.");
  const bool failed = outcome.failed;
  Reply reply{failed ? 503 : 200, "text/html; charset=utf-8",
              page(texts, failed ? "<h1>" + std::string(texts.failed) + "</h1>\n"
                                 : "<h1>" + format(texts.done, static_cast<long long>(lines)) + "</h1>\n<p>" +
                                       texts.again + "</p>\n"),
              {}};
  reply.headers = pageHeaders();
  if (failed) reply.headers.emplace_back("Retry-After", "60");
  return reply;
}

}  // namespace tidemark
