#include "texts/text_table.h"

namespace tidemark {

namespace {
constexpr TextEntry kTexts[] = {
    {111, u"Please specify the language.", u"言語を指定して下さい."},
    {112, u"The connection to the server failed.", u"サーバーとの通信に失敗しました."},
    {113, u"Waiting for the game to launch.", u"ゲームの起動を待っています."},
    {114, u"Launching the game.", u"ゲームを起動します."},
    {115, u"Failed to launch the game.", u"ゲームの起動に失敗しました."},
    {116, u"Loading your logs (%d/%d)", u"ログを読み込んでいます(%d/%d)"},
    {117, u"Log", u"ログ"},
    {118, u"Config", u"設定"},
    {120, u"Monitoring your logs (%d)", u"ログを監視しています(%d)"},
    {121, u"Searching your logs.", u"ログ情報を探しています."},
    {123, u"Authentication of the player is required. Please run any emote which display log.",
     u"プレイヤー認証が必要です。何かログが表示されるエモートを実行して下さい。"},
    {124, u"DirectX9 version is not supported.", u"DirectX9版には対応していません。"},
    {125, u"Information", u"インフォメーション"},
    {126, u"The server sent a player id that cannot be kept; the player id stays as it was.",
     u"サーバーから保存できないプレイヤーIDが届いたため、プレイヤーIDは変更していません。"},
    {127, u"%d reports waiting to be sent.", u"送信待ちのレポートが%d件あります."},
    {128, u"%d reports could not be sent.", u"%d件のレポートを送信できませんでした."},
    {129, u"The oldest reports waiting to be sent were dropped.", u"送信待ちの古いレポートを破棄しました."},
};
}  // namespace

std::span<const TextEntry> textTable() { return kTexts; }

}  // namespace tidemark
