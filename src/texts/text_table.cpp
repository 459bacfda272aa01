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
    {130, u"Waiting for the server. %d reports waiting to be sent.",
     u"サーバーの応答を待っています. 送信待ちのレポートが%d件あります."},
    {131, u"%d reports from the last run were sent",
     u"前回の起動から残っていたレポート%d件を送信しました"},
    {132, u"The end of the file of waiting reports was damaged and has been dropped.",
     u"送信待ちレポートのファイルの末尾が壊れていたため破棄しました."},
    {133, u"The file of waiting reports belongs to another version of Tidemark; it is left as it is, and reports wait in memory only.",
     u"送信待ちレポートのファイルは別のバージョンのTidemarkのものです. ファイルはそのまま残し, レポートはメモリ上でのみ保持します."},
    {134, u"The file of waiting reports cannot be written; reports wait in memory only and are lost at exit.",
     u"送信待ちレポートのファイルに書き込めません. レポートはメモリ上でのみ保持し, 終了時に失われます."},
    {135, u"The server's certificate was refused: it is not issued by an authority this computer trusts.",
     u"サーバーの証明書を拒否しました: このコンピューターが信頼する認証局が発行したものではありません."},
    {136, u"The server's certificate was refused: it was issued for another name than the server's.",
     u"サーバーの証明書を拒否しました: サーバーとは別の名前に発行されたものです."},
    {137, u"The server's certificate was refused: it has expired or is not valid yet.",
     u"サーバーの証明書を拒否しました: 有効期限が切れているか, まだ有効ではありません."},
    {138, u"The server's certificate was refused: it has been revoked.",
     u"サーバーの証明書を拒否しました: 失効しています."},
    {139, u"The server's certificate was refused: it is not issued by an authority this computer trusts, or whether it was revoked could not be checked.",
     u"サーバーの証明書を拒否しました: このコンピューターが信頼する認証局が発行したものではないか, 失効しているかどうかを確認できませんでした."},
    {140, u"The server's certificate was refused: the server asks for a certificate of this computer.",
     u"サーバーの証明書を拒否しました: サーバーがこのコンピューターの証明書を求めています."},
    {141, u"The server's certificate was refused: it is not valid, or the secure connection could not be set up.",
     u"サーバーの証明書を拒否しました: 証明書が正しくないか, 安全な接続を確立できませんでした."},
    {142, u"The connection to the server failed, and Tidemark cannot start without it. Please tell the server's operator:",
     u"サーバーとの通信に失敗したため, Tidemark を起動できません. サーバーの運営者に次のことを伝えてください:"},
};
}  // namespace

std::span<const TextEntry> textTable() { return kTexts; }

}  // namespace tidemark
