// Write file to card: whole sectors in blocks, then a final partial sector
// merged into the card's own contents of that sector.
#include "CardAcc.h"
#include "CardAccFile.h"

#include "Forms.h"
#include "InputLba.h"
#include "MsgBox.h"
#include "RecordFile.h"
#include "UnitState.h"

#include <QFileInfo>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>
#include <cstring>

namespace {
const QString kOpenFailed = QStringLiteral("ファイルのオープンに失敗しました。");
const QString kReadFailed = QStringLiteral("ファイルの読み込み中にエラーが発生しました。");
} // namespace

bool OpenSourceFile(TCardAccDlg *dlg, RecordFile &file, const QString &path, uint64_t &size, bool askSize,
                    uint32_t sectCnt)
{
    if (!FileExistsPlain(path)) {
        MissingFileBox(dlg, path);
        return false;
    }
    // Only a regular file tells its size; a device in its place would be
    // written as an empty file and the run reported complete.
    if (!QFileInfo(path).isFile() || !file.OpenExisting(path, 1)) {
        ShowMessageBox(MsgKind::Error, kOpenFailed, MsgButtons::Ok, dlg);
        return false;
    }
    uint32_t low = 0, high = 0;
    TCardAccDlg::GetFileSize64(path, low, high);
    if (low == 0xFFFFFFFFu && high == 0xFFFFFFFFu) {
        // Gone since it was opened: there is no size to go by.
        file.Close();
        ShowMessageBox(MsgKind::Error, kOpenFailed, MsgButtons::Ok, dlg);
        return false;
    }
    size = static_cast<uint64_t>(high) << 32 | low;
    if (askSize && static_cast<uint64_t>(sectCnt) * 512 < size) {
        const int r = ShowMessageBox(MsgKind::Warning,
                                     QStringLiteral("ファイルサイズがカード側の設定容量を超えています。\n"
                                                    "ファイルのすべてのデータを書き込むことはできません。\n\n実行しますか？"),
                                     MsgButtons::YesNo, dlg);
        if (r != mrYes) {
            file.Close();
            return false;
        }
    }
    if (size >= 512) {
        file.Close();
        if (!file.OpenExisting(path, 512)) {
            ShowMessageBox(MsgKind::Error, kOpenFailed, MsgButtons::Ok, dlg);
            return false;
        }
    }
    return true;
}

uint32_t FileSectorsOf(uint64_t size)
{
    return static_cast<uint32_t>(std::min<uint64_t>(size / 512, 0xFFFFFFFFu));
}

int FileProgressMaximum(uint64_t size, uint32_t fileSectors, uint32_t sectCnt)
{
    if (fileSectors == 0)
        return static_cast<int>(static_cast<uint32_t>(size));
    if (fileSectors < sectCnt)
        return static_cast<int>((fileSectors >> 7) + 1);
    return static_cast<int>((sectCnt >> 7) + 1);
}

void MissingFileBox(TCardAccDlg *dlg, const QString &path)
{
    ShowMessageBox(MsgKind::Warning,
                   path + QStringLiteral("\nファイルが見つかりません。\n指定したファイル名が正しいかどうか確認して下さい。"),
                   MsgButtons::Ok, dlg);
}

void TCardAccDlg::btnWriteClick()
{
    if (OpenSlotIndex == VdIndex && !IsAllSameSpec()) {
        ShowMessageBox(MsgKind::Error, QStringLiteral("諸元の異なるカードがあるため、同時書き込みはできません。"),
                       MsgButtons::Ok, this);
        return;
    }

    if (!AskAccessParams(AccessWrite, QStringLiteral("書き込み設定"), QStringLiteral("書き込み範囲設定"), QStringLiteral("ソースファイル名"), false))
        return;
    const TCardAcc_ParamBlock &params = AccessParams[AccessWrite];

    const QString path = params.FilePath;
    const uint32_t sectCnt = params.SectCnt;
    RecordFile file;
    uint64_t size = 0;
    if (!OpenSourceFile(this, file, path, size, true, sectCnt))
        return;
    uint32_t fileSectors = FileSectorsOf(size);
    const uint32_t remainder = static_cast<uint32_t>(size % 512);

    uint32_t lba = params.StartSect;
    uint32_t remaining = sectCnt;
    bool ok = true;
    AbortRequested = false;

    LockDialog();
    StartProgress(FileProgressMaximum(size, fileSectors, sectCnt), QStringLiteral("書き込み中"));
    LampsOnWrite();

    while (remaining > 0 && fileSectors > 0) {
        const uint32_t block = std::min({remaining, kMaxBlockSectors, fileSectors});
        if (file.Read(TransferBuffer, block) != block) {
            ShowMessageBox(MsgKind::Error, kReadFailed, MsgButtons::Ok, this);
            ok = false;
            break;
        }
        if (!WriteWithRetry(lba, block)) {
            ok = false;
            break;
        }
        lba += block;
        remaining -= block;
        fileSectors -= block;
        if (PollAfterBlock(QStringLiteral("書き込みを中止しますか？"))) {
            ok = false;
            break;
        }
        StepProgress();
    }

    // The file ended inside the range: merge its last bytes into the sector.
    // No pumping here, so no slot event can come between the read and the write.
    if (ok && remaining > 0 && remainder > 0) {
        if (!ReadWithRetry(lba, 1, QStringLiteral("カードへの書き込みに失敗しました。"))) {
            ok = false;
        } else {
            uint8_t tail[512];
            file.Close();
            if (!file.OpenExisting(path, 1) || !file.Seek(size - remainder) ||
                file.Read(tail, remainder) != remainder) {
                ShowMessageBox(MsgKind::Error, kReadFailed, MsgButtons::Ok, this);
                ok = false;
            } else {
                std::memcpy(TransferBuffer, tail, remainder);
                if (WriteWithRetry(lba, 1))
                    StepProgress();
                else
                    ok = false;
            }
        }
    }

    // A file that failed to reopen is closed already: only an open one can fail to close.
    if (file.IsOpen() && file.Close() != 0) {
        ShowMessageBox(MsgKind::Error, QStringLiteral("ファイルのクローズ時にエラーが発生しました。"), MsgButtons::Ok,
                       this);
        ok = false;
    }

    LampsOffWrite();
    TransferActive = false;
    if (ok) {
        FillProgress();
        ShowMessageBox(MsgKind::Plain, QStringLiteral("書き込みを完了しました。"), MsgButtons::Ok, this);
    }
    UnlockDialog();
    RecheckMasterAfterRun();
    btnWrite->setFocus(Qt::OtherFocusReason);
}
