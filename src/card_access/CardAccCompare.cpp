// Compare card with file: every differing byte is shown, and the user decides
// at each one whether to go on.
#include "CardAcc.h"
#include "CardAccFile.h"

#include "Forms.h"
#include "InputLba.h"
#include "MsgBox.h"
#include "RecordFile.h"
#include "UnitState.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {
const QString kReadFailed = QStringLiteral("ファイルの読み込み中にエラーが発生しました。");
const QString kCardReadFailed = QStringLiteral("カードの読み込みに失敗しました。");
const QString kEndOfFile = QStringLiteral("ファイルの末尾に達しました。");

// True when the user answers Yes (go on).
bool differenceBox(QWidget *parent, uint64_t address, uint32_t sector, uint8_t card, uint8_t file)
{
    const QString text = QString::asprintf("相違があります。\n\n<Address %8.8llX (Sector No# = %X)>\n"
                                           "  Card : %2.2X\n  File  : %2.2X\n\n続けますか？",
                                           static_cast<unsigned long long>(address), sector, card, file);
    return ShowMessageBox(MsgKind::Warning, text, MsgButtons::YesNo, parent) == mrYes;
}
} // namespace

void TCardAccDlg::btnCompareClick()
{
    bool ok = true;
    bool goOn = true;
    if (!AskAccessParams(AccessCompare, QStringLiteral("コンペア設定"), QStringLiteral("コンペア範囲設定"), QStringLiteral("コンペア先ファイル名"), false))
        return;
    const TCardAcc_ParamBlock &params = AccessParams[AccessCompare];

    const QString path = params.FilePath;
    const uint32_t sectCnt = params.SectCnt;
    RecordFile file;
    uint64_t size = 0;
    if (!OpenSourceFile(this, file, path, size, false, sectCnt))
        return;
    uint32_t fileSectors = FileSectorsOf(size);
    const uint32_t remainder = static_cast<uint32_t>(size % 512);

    uint32_t lba = params.StartSect;
    uint32_t remaining = sectCnt;
    AbortRequested = false;
    std::vector<uint8_t> compareBuffer(kTransferBufferSize);

    LockDialog();
    StartProgress(FileProgressMaximum(size, fileSectors, sectCnt), QStringLiteral("コンペア中"));
    LampsOnSingle();

    bool stopped = false;
    while (!stopped && remaining > 0 && fileSectors > 0) {
        const uint32_t block = std::min({remaining, kMaxBlockSectors, fileSectors});
        if (file.Read(compareBuffer.data(), block) != block) {
            ShowMessageBox(MsgKind::Error, kReadFailed, MsgButtons::Ok, this);
            ok = false;
            stopped = true;
            break;
        }
        if (!ReadWithRetry(lba, block, kCardReadFailed)) {
            ok = false;
            stopped = true;
            break;
        }
        for (uint32_t s = 0; s < block && !stopped; ++s) {
            const uint8_t *card = TransferBuffer + s * 512;
            const uint8_t *src = compareBuffer.data() + s * 512;
            if (std::memcmp(card, src, 512) == 0)
                continue;
            for (uint32_t p = 0; p < 512; ++p) {
                if (card[p] == src[p])
                    continue;
                ok = false;
                const uint32_t sector = lba + s;
                if (!differenceBox(this, static_cast<uint64_t>(sector) * 512 + p, sector, card[p], src[p])) {
                    goOn = false;
                    stopped = true;
                    break;
                }
            }
        }
        if (stopped)
            break;
        lba += block;
        remaining -= block;
        fileSectors -= block;
        if (PollAfterBlock(QStringLiteral("コンペアを中止しますか？"))) {
            ok = false;
            stopped = true;
            break;
        }
        StepProgress();
    }

    if (!stopped && remaining > 0) {
        if (remainder == 0) {
            // The file ended on a sector boundary inside the range.
            FillProgress();
            ShowMessageBox(MsgKind::Information, kEndOfFile, MsgButtons::Ok, this);
        } else if (!ReadWithRetry(lba, 1, kCardReadFailed)) {
            ok = false;
        } else {
            uint8_t tail[512];
            file.Close();
            if (!file.OpenExisting(path, 1) || !file.Seek(size - remainder) ||
                file.Read(tail, remainder) != remainder) {
                ShowMessageBox(MsgKind::Error, kReadFailed, MsgButtons::Ok, this);
                ok = false;
            } else {
                bool finished = true;
                for (uint32_t i = 0; i < remainder; ++i) {
                    if (tail[i] == TransferBuffer[i])
                        continue;
                    ok = false;
                    if (!differenceBox(this, static_cast<uint64_t>(lba) * 512 + i, lba, TransferBuffer[i], tail[i])) {
                        finished = false;
                        break;
                    }
                }
                if (finished) {
                    StepProgress();
                    FillProgress();
                    ShowMessageBox(MsgKind::Information, kEndOfFile, MsgButtons::Ok, this);
                }
            }
        }
    }

    if (file.IsOpen() && file.Close() != 0) {
        ShowMessageBox(MsgKind::Error, QStringLiteral("ファイルのクローズ時にエラーが発生しました。"), MsgButtons::Ok,
                       this);
        ok = false;
    }
    std::vector<uint8_t>().swap(compareBuffer);

    LampsIdle();
    TransferActive = false;

    // A slot event has already told the user why the run stopped: one box only.
    const bool eventStop = CardEventAbort;
    if (!eventStop && static_cast<uint64_t>(sectCnt) * 512 < size)
        ShowMessageBox(MsgKind::Information,
                       QStringLiteral("ファイルにはまだデータが存在しますが、\nカードの指定範囲をすべて終了しました。"),
                       MsgButtons::Ok, this);

    if (ok) {
        ShowMessageBox(MsgKind::Plain, QStringLiteral("相違はありませんでした．"), MsgButtons::Ok, this);
    } else {
        FillProgress();
        if (goOn && !eventStop)
            ShowMessageBox(MsgKind::Plain, QStringLiteral("カードの指定範囲をすべて終了しました．"), MsgButtons::Ok,
                           this);
    }

    UnlockDialog();
    TransferActive = false;
    RecheckMasterAfterRun();
    btnCompare->setFocus(Qt::OtherFocusReason);
}
