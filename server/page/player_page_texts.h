#pragma once
// The player's page's own texts, in English and in Japanese for players
// whose reports are mostly in Japanese. The numbers go in by printf's
// format.

namespace tidemark::page_texts {

struct PageTexts {
  const char* htmlLanguage;
  const char* title;
  const char* heading;
  const char* oneLine;
  const char* lines;         // "%lld lines"
  const char* comma;
  const char* newestFirst;
  const char* stop;
  const char* pageOf;        // "Page %lld of %lld"
  const char* newer;
  const char* older;
  const char* time;
  const char* pattern;
  const char* line;
  const char* legend;
  const char* allPatterns;
  const char* search;
  const char* show;
  const char* timeZone;
  const char* noLines;
  const char* code;          // tooltip: "code %d, pattern %d"
  const char* takeLines;     // before the download links
  const char* deleteAll;
  const char* yourLines;     // the heading above the downloads and the erasure
  const char* keptDays;      // "%d days"
  const char* keptForever;
  const char* operatedBy;    // before the operator's name and contact
  const char* atLeastLines;  // a search's count cut at its bound: "more than %lld lines"
  const char* pageAlone;     // "Page %lld", when the pages are not all counted
};

inline constexpr PageTexts kEnglish = {
    "en", "Tidemark - your reported lines", "Your reported lines", "1 line", "%lld lines", ", ",
    "newest first by the line's time in the game", ". ",
    "Page %lld of %lld", "&larr; Newer", "Older &rarr;", "Time", "Pattern", "Line",
    "Grey rows: lines that were already in the game's log when Tidemark started watching it.",
    "All patterns", "Search the lines", "Show", "Time zone", "No lines match.", "code %d, pattern %d",
    "Download all your lines:", "Delete all my lines", "Your lines on this server",
    "Lines are kept for %d days after they reach the server, then deleted.",
    "Lines are kept until you delete them.", "This server is run by",
    "at least %lld lines", "Page %lld"};

inline constexpr PageTexts kJapanese = {
    "ja", "Tidemark - \xE5\xA0\xB1\xE5\x91\x8A\xE3\x81\x97\xE3\x81\x9F\xE3\x83\xAD\xE3\x82\xB0",  // 報告したログ
    "\xE5\xA0\xB1\xE5\x91\x8A\xE3\x81\x97\xE3\x81\x9F\xE3\x83\xAD\xE3\x82\xB0",                  // 報告したログ
    "1 \xE4\xBB\xB6",                                                                           // 件
    "%lld \xE4\xBB\xB6",                                                                        // 件
    "\xE3\x80\x81",                                                                             // 、
    "ゲーム内の時刻が新しい順",
    "\xE3\x80\x82",                                                                             // 。
    "%lld / %lld \xE3\x83\x9A\xE3\x83\xBC\xE3\x82\xB8",                                          // ページ
    "&larr; \xE6\x96\xB0\xE3\x81\x97\xE3\x81\x84\xE3\x83\xAD\xE3\x82\xB0",                       // 新しいログ
    "\xE5\x8F\xA4\xE3\x81\x84\xE3\x83\xAD\xE3\x82\xB0 &rarr;",                                   // 古いログ
    "\xE6\x99\x82\xE5\x88\xBB",                                                                  // 時刻
    "\xE3\x83\x91\xE3\x82\xBF\xE3\x83\xBC\xE3\x83\xB3",                                          // パターン
    "\xE3\x83\xAD\xE3\x82\xB0",                                                                  // ログ
    // 灰色の行: Tidemark が監視を始めたとき、すでにゲームのログにあった行です。
    "\xE7\x81\xB0\xE8\x89\xB2\xE3\x81\xAE\xE8\xA1\x8C: Tidemark \xE3\x81\x8C\xE7\x9B\xA3\xE8\xA6\x96\xE3\x82\x92"
    "\xE5\xA7\x8B\xE3\x82\x81\xE3\x81\x9F\xE3\x81\xA8\xE3\x81\x8D\xE3\x80\x81\xE3\x81\x99\xE3\x81\xA7\xE3\x81\xAB"
    "\xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0\xE3\x81\xAE\xE3\x83\xAD\xE3\x82\xB0\xE3\x81\xAB\xE3\x81\x82\xE3\x81\xA3"
    "\xE3\x81\x9F\xE8\xA1\x8C\xE3\x81\xA7\xE3\x81\x99\xE3\x80\x82",
    "\xE3\x81\x99\xE3\x81\xB9\xE3\x81\xA6\xE3\x81\xAE\xE3\x83\x91\xE3\x82\xBF\xE3\x83\xBC\xE3\x83\xB3",  // すべてのパターン
    "\xE3\x83\xAD\xE3\x82\xB0\xE3\x82\x92\xE6\xA4\x9C\xE7\xB4\xA2",                              // ログを検索
    "\xE8\xA1\xA8\xE7\xA4\xBA",                                                                  // 表示
    "\xE3\x82\xBF\xE3\x82\xA4\xE3\x83\xA0\xE3\x82\xBE\xE3\x83\xBC\xE3\x83\xB3",                  // タイムゾーン
    "\xE8\xA9\xB2\xE5\xBD\x93\xE3\x81\x99\xE3\x82\x8B\xE3\x83\xAD\xE3\x82\xB0\xE3\x81\xAF\xE3\x81\x82\xE3\x82\x8A"
    "\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93\xE3\x80\x82",                                          // 該当するログはありません。
    "\xE3\x82\xB3\xE3\x83\xBC\xE3\x83\x89 %d\xE3\x80\x81\xE3\x83\x91\xE3\x82\xBF\xE3\x83\xBC\xE3\x83\xB3 %d",
    "すべてのログをダウンロード:", "自分のログをすべて削除", "このサーバーにあるあなたのログ",
    "ログはサーバーに届いてから %d 日間保存され、その後削除されます。", "ログはあなたが削除するまで保存されます。",
    "このサーバーの運営者:",
    "%lld 件以上", "%lld ページ"};

}  // namespace tidemark::page_texts
