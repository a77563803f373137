#include "Messages.h"

#include <cstdlib>
#include <vector>

namespace {

struct Text {
    Msg id;
    const char *en;
    const char *ja;
};

// Japanese texts follow the program's own where it has one.
const Text kTexts[] = {
    {Msg::LibraryMissing, "cannot load the pass-through library: {0}",
     "パススルーライブラリを読み込めません: {0}"},
    {Msg::LibraryUnusable, "the pass-through library reports that it cannot be used",
     "パススルーライブラリが使用できません。"},
    {Msg::NoUnit, "no TVQ-206 or TVQ-210CF unit found; connect the unit",
     "ユニットが見つかりません。ユニットを接続して下さい。"},
    {Msg::FirmwareRefused,
     "the unit's firmware is not supported (BIOS {0}, card I/F {1}); update it to version 2.10 or later",
     "検出されたユニットのファームウェアは、このプログラムに対応していません。(BIOS {0}、カードI/F {1})\n"
     "ファームウェアをバージョン「2.10」以降に更新して下さい。"},
    {Msg::ModeRefused, "the unit's operation mode is not supported; check the DIP switches on the unit",
     "検出されたユニットの動作モードは、このプログラムに対応していません。\n"
     "ユニット本体のディップスイッチの設定を確認して下さい。"},
    {Msg::UnknownSlot, "unknown slot '{0}': this {1} has the slots {2}, vd and all",
     "不明なスロットです: '{0}'（この {1} のスロットは {2}、vd、all です）"},
    {Msg::SlotListed, "slot {0} is named more than once", "スロット {0} が重複して指定されています。"},
    {Msg::NoCard, "no card in {0}", "{0} にカードがセットされていません。"},
    {Msg::NoCards, "no card in any slot", "どのスロットにもカードがセットされていません。"},
    {Msg::CardUnusable, "the card in {0} cannot be used (sector size {1}, {2} heads)",
     "{0} のカードは使用できません（セクタサイズ {1}、ヘッド数 {2}）。"},
    {Msg::BadNumber, "bad {0} '{1}': a decimal number, or hexadecimal with 0x, up to 0xFFFFFFFF",
     "{0} の値が正しくありません: '{1}'（10進数、または 0x で始まる16進数で 0xFFFFFFFF まで）"},
    {Msg::CountZero, "the sector count must not be 0", "セクタ数を指定して下さい。"},
    {Msg::StartBeyond, "start sector {0} is beyond the card in {1} ({2} sectors)",
     "有効なセクタ範囲を超えています。先頭セクタ {0}、{1} のカードは {2} セクタです。"},
    {Msg::RangeBeyond, "sectors {0} to {1} go beyond the card in {2} ({3} sectors)",
     "有効なセクタ範囲を超えています。セクタ {0}～{1}、{2} のカードは {3} セクタです。"},
    {Msg::FileBeyond, "{0} ({1} bytes) does not fit on the card in {2} from sector {3} ({4} sectors); nothing written",
     "ファイルサイズがカード側の容量を超えています: {0}（{1} バイト）、{2} のセクタ {3} から（{4} セクタ）。何も書き込んでいません。"},
    {Msg::ImageBeyond,
     "{0} holds more than the card in {1} takes from sector {2} ({3} sectors); stopped at its end, {4} bytes written",
     "イメージがカード側の容量を超えています: {0}、{1} のセクタ {2} から（{3} セクタ）。カードの終わりで停止しました（{4} バイト書き込み済み）。"},
    {Msg::FileMissing, "{0}: no such file", "{0}\nファイルが見つかりません。"},
    {Msg::FileNotRegular, "{0}: not a regular file", "{0}: 通常のファイルではありません。"},
    {Msg::FileOpen, "cannot open {0}: {1}", "ファイルのオープンに失敗しました: {0}: {1}"},
    {Msg::FileRead, "error reading {0}: {1}", "ファイルの読み込み中にエラーが発生しました: {0}: {1}"},
    {Msg::FileWrite, "error writing {0}: {1}", "ファイルへの書き込み中にエラーが発生しました: {0}: {1}"},
    {Msg::FileClose, "error closing {0}: {1}", "ファイルのクローズ時にエラーが発生しました: {0}: {1}"},
    {Msg::CardRead, "reading the card in {0} failed at sector {1} (after {2} tries): {3}",
     "カードの読み込みに失敗しました: {0}、セクタ {1}（{2} 回試行）: {3}"},
    {Msg::CardWrite, "writing the card in {0} failed at sector {1} (after {2} tries): {3}",
     "カードへの書き込みに失敗しました: {0}、セクタ {1}（{2} 回試行）: {3}"},
    {Msg::CardReadOnce, "reading the card in {0} failed at sector {1}: {2}",
     "カードの読み込みに失敗しました: {0}、セクタ {1}: {2}"},
    {Msg::CardWriteOnce, "writing the card in {0} failed at sector {1}: {2}",
     "カードへの書き込みに失敗しました: {0}、セクタ {1}: {2}"},
    {Msg::OnCard, "{0}, on the card in {1}", "{0}（{1} のカード）"},
    {Msg::StoppedRetrying, "stopped while sector {0} of {1} was being tried again ({2} tries made)",
     "{1} のセクタ {0} の再試行中に中断しました（{2} 回試行）。"},
    {Msg::CardProblem, "cannot use the card in {0}: {1}", "{0} のカードを使用できません: {1}"},
    {Msg::MediumIsCard,
     "{0} is where the card in slot {1} of unit '{2}' keeps its data: writing it would destroy that card; "
     "nothing written",
     "{0} はユニット '{2}' のスロット {1} のカードのデータそのものです。書き込むとカードが壊れるため、何も書き込んでいません。"},
    {Msg::SourceIsCard,
     "{0} is where the card in {1} keeps its data, and this write would overwrite it; copy it to a file of "
     "its own first",
     "{0} は {1} のカードのデータそのものであり、この書き込みで上書きされます。先に別のファイルへコピーして下さい。"},
    {Msg::OutputFailed, "error writing the output: {0}", "出力の書き込み中にエラーが発生しました: {0}"},
    {Msg::ReleaseFailed,
     "releasing the unit failed: the library could not flush the cards, so data written may not be on them",
     "ユニットの解放に失敗しました。カードへのフラッシュができなかったため、書き込んだデータがカードにない可能性があります。"},
    {Msg::VdMoved, "the VD shows the card in {0} now, not the one in {1} it showed at the start",
     "VD が表示するカードが変わりました（開始時 {1}、現在 {0}）。"},
    {Msg::CauseNoMedium, "the card was taken out (02/3A/00)", "カードが抜かれました (02/3A/00)"},
    {Msg::CauseChanged, "the card was changed (06/28/00)", "カードが交換されました (06/28/00)"},
    {Msg::CauseUnplugged, "the unit was unplugged (05/25/00)", "ユニットが取り外されました (05/25/00)"},
    {Msg::CauseReplugged, "the unit was unplugged and plugged in again (02/04/01)",
     "ユニットが取り外され、再接続されました (02/04/01)"},
    {Msg::CauseInUse, "the card is in use elsewhere: mounted, used as swap or by the system (02/04/80)",
     "カードは他で使用中です: マウント、スワップ、またはシステムが使用 (02/04/80)"},
    {Msg::CauseHeld, "another program holds the card's device exclusively (02/04/81)",
     "他のプログラムがカードのデバイスを排他的に使用しています (02/04/81)"},
    {Msg::CauseNoAccess,
     "permission denied; use it from a desktop session with udisks2 installed (polkit asks for a "
     "password once), or get read and write permission on the card's device node (a udev rule with "
     "TAG+=\"uaccess\" for the reader, or root) (02/04/82)",
     "アクセス権がありません。udisks2 を入れたデスクトップのセッションで使うか（最初にパスワードを尋ねられます）、"
     "カードのデバイスノードの読み書きの権限を得て下さい（リーダー用の TAG+=\"uaccess\" の udev ルール、または root）(02/04/82)"},
    {Msg::CauseNotReady, "the card is not ready ({0})", "カードの準備ができていません ({0})"},
    {Msg::CauseWriteProtect, "the card is write-protected (07/27/00)", "カードは書き込み禁止です (07/27/00)"},
    {Msg::CauseReadError, "medium error: unrecovered read error (03/11/00)",
     "メディアエラー: 読み込みエラー (03/11/00)"},
    {Msg::CauseWriteError, "medium error: write error (03/0C/00)", "メディアエラー: 書き込みエラー (03/0C/00)"},
    {Msg::CauseMedium, "medium error ({0})", "メディアエラー ({0})"},
    {Msg::CauseHardware, "the unit failed ({0})", "ユニットの障害です ({0})"},
    {Msg::CauseRange, "the sector is beyond the card (05/21/00)", "セクタがカードの範囲外です (05/21/00)"},
    {Msg::CauseLocked, "another program has locked the slot (05/2C/00)",
     "他のプログラムがスロットをロックしています (05/2C/00)"},
    {Msg::CauseNoCall, "the library could not be called", "ライブラリを呼び出せませんでした"},
    {Msg::CauseSense, "the unit reported {0}", "ユニットからのエラー: {0}"},
    {Msg::Retrying, "{0} at sector {1} failed; trying again ({2} of {3})",
     "{0} のセクタ {1} でエラーが発生しました。再試行します（{2}/{3}）"},
    {Msg::HeldBy, "{0} is in use by another program: {1} (process {2})",
     "{0} は他のプログラムが使用中です: {1}（プロセス {2}）"},
    {Msg::HeldByUnknown, "{0} is in use by another program", "{0} は他のプログラムが使用中です。"},
    {Msg::LockFailed, "cannot reserve {0} for this run", "{0} を確保できません。"},
    {Msg::VdDiffers, "cards with differing drive parameters ({0}): a VD write is not possible",
     "諸元の異なるカードがあるため、同時書き込みはできません。（{0}）"},
    {Msg::VdNoCard, "the VD shows no card: a VD write is not possible",
     "VD にカードがないため、同時書き込みはできません。"},
    {Msg::FormatNeedsYes, "formatting erases every file on the card in {0}; add --yes to go ahead",
     "フォーマットすると {0} のカードのデータはすべて消去されます。実行するには --yes を付けて下さい。"},
    {Msg::FormatFailed, "formatting the card in {0} failed", "{0} のカードのフォーマットに失敗しました。"},
    {Msg::EjectFailed, "ejecting the card in {0} failed", "{0} のカードの取り出しに失敗しました。"},
    {Msg::Ejected, "card in {0} ejected", "{0} のカードを取り出しました。"},
    {Msg::Formatted, "card in {0} formatted", "{0} のカードをフォーマットしました。"},
    {Msg::Interrupted, "interrupted: {0} of {1} sectors done ({2}, sectors {3} to {4}); the run did not finish",
     "中断しました: {1} セクタ中 {0} セクタ完了（{2}、セクタ {3}～{4}）。処理は完了していません。"},
    {Msg::ReadDone, "read {0} sectors ({1}) from {2} into {3} in {4}",
     "読み出しを完了しました: {2} から {3} へ {0} セクタ（{1}）、{4}"},
    {Msg::WriteDone, "wrote {0} bytes ({1} sectors) from {2} to {3} in {4}",
     "書き込みを完了しました: {2} から {3} へ {0} バイト（{1} セクタ）、{4}"},
    {Msg::VerifyDone, "verified {0}: every written byte reads back", "{0} のベリファイを完了しました。相違はありませんでした。"},
    {Msg::VerifyDiffers, "verify failed: {0} differs from {1} at sector {2} (byte {3})",
     "ベリファイに失敗しました: {0} が {1} と相違しています（セクタ {2}、バイト {3}）"},
    {Msg::VerifyDiffersIn, "verify failed: {0} differs from {1} in sectors {2} to {3}",
     "ベリファイに失敗しました: {0} が {1} と相違しています（セクタ {2}～{3}）"},
    {Msg::SourceFailed, "{0}: the image could not be read to its end: {1}", "{0}: イメージを最後まで読み込めませんでした: {1}"},
    {Msg::CardsTable, "SLOT RESULT BYTES SECONDS MB/s SHA-256", "スロット 結果 バイト 秒 MB/s SHA-256"},
    {Msg::CompareSame, "no differences between {0} and {1} ({2} bytes)", "相違はありませんでした．（{0} と {1}、{2} バイト）"},
    {Msg::CompareDiffers, "{0} and {1} differ", "{0} と {1} に相違があります。"},
    {Msg::CompareMore, "stopped after {0} differences (--max-diffs)", "相違が {0} 個見つかったため中止しました（--max-diffs）。"},
    {Msg::CompareCardEnds, "the card in {0} ends before {1}: {2} bytes of the file are past its last sector",
     "ファイルにはまだデータが存在しますが、{0} のカードの終わりに達しました（{1} の残り {2} バイト）。"},
    {Msg::HashMismatch, "{0}: FAILED", "{0}: 不一致"},
    {Msg::HashBadLine, "{0}, line {1}: not a 'HASH  SLOT' line", "{0} の {1} 行目: 'ハッシュ  スロット' の形式ではありません。"},
    {Msg::HashOk, "{0}: OK", "{0}: OK"},
    {Msg::HashFailed, "{0} of {1} computed checksums did NOT match", "{1} 個中 {0} 個のチェックサムが一致しませんでした。"},
    {Msg::OneSlotOnly, "{0} works on one slot at a time", "{0} は1つのスロットのみ指定できます。"},
    {Msg::Stopped, "stopped: {0} of {1} sectors done ({2})", "停止しました: {1} セクタ中 {0} セクタ完了（{2}）"},
};

int forced = -1;

bool LocaleIsJapanese()
{
    for (const char *var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char *v = std::getenv(var);
        if (v != nullptr && *v != '\0') return v[0] == 'j' && v[1] == 'a';
    }
    return false;
}

}  // namespace

bool Japanese()
{
    if (forced >= 0) return forced == 1;
    static const bool ja = LocaleIsJapanese();
    return ja;
}

void ForceLanguage(bool japanese)
{
    forced = japanese ? 1 : 0;
}

std::string Say(Msg id, std::initializer_list<std::string> args)
{
    const char *pattern = "?";
    for (const Text &t : kTexts) {
        if (t.id == id) {
            pattern = Japanese() ? t.ja : t.en;
            break;
        }
    }
    std::vector<std::string> a(args);
    std::string out;
    for (const char *p = pattern; *p != '\0'; ++p) {
        if (p[0] == '{' && p[1] >= '0' && p[1] <= '9' && p[2] == '}') {
            size_t i = static_cast<size_t>(p[1] - '0');
            if (i < a.size()) out += a[i];
            p += 2;
        } else {
            out += *p;
        }
    }
    return out;
}
