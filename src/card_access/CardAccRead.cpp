// Read card to file: the range, in blocks of up to 128 sectors, appended to
// a raw image file.
#include "CardAcc.h"

#include "Forms.h"
#include "InputLba.h"
#include "MsgBox.h"
#include "RecordFile.h"
#include "UnitState.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

void TCardAccDlg::btnReadClick()
{
    if (!AskAccessParams(AccessRead, QStringLiteral("読み出し設定"), QStringLiteral("読み出し範囲設定"), QStringLiteral("保存ファイル名"), true))
        return;
    const TCardAcc_ParamBlock &params = AccessParams[AccessRead];

    const QString path = params.FilePath;
    const uint32_t sectCnt = params.SectCnt;
    if (!SaveAsAccepted && FileExistsPlain(path)) {
        if (ShowMessageBox(MsgKind::Confirmation, QStringLiteral("上書きしますか？"), MsgButtons::YesNo, this) != mrYes)
            return;
    }

    RecordFile file;
    if (!file.Create(path, 512)) {
        ShowMessageBox(MsgKind::Error, QStringLiteral("ファイルのオープンに失敗しました。"), MsgButtons::Ok, this);
        return;
    }

    uint32_t lba = params.StartSect;
    uint32_t remaining = sectCnt;
    bool ok = true;
    AbortRequested = false;

    LockDialog();
    StartProgress(static_cast<int>((sectCnt >> 7) + 1), QStringLiteral("読み出し中"));
    LampsOnSingle();

    while (remaining > 0) {
        const uint32_t block = remaining < kMaxBlockSectors ? remaining : kMaxBlockSectors;
        if (!ReadWithRetry(lba, block, QStringLiteral("カードの読み込みに失敗しました。"))) {
            ok = false;
            break;
        }
        if (file.Write(TransferBuffer, block) != block) {
            ShowMessageBox(MsgKind::Error, QStringLiteral("ファイルへの書き込み中にエラーが発生しました。"),
                           MsgButtons::Ok, this);
            ok = false;
            break;
        }
        lba += block;
        remaining -= block;
        if (PollAfterBlock(QStringLiteral("読み出しを中止しますか？"))) {
            ok = false;
            break;
        }
        StepProgress();
    }

    if (file.Close() != 0) {
        ShowMessageBox(MsgKind::Error, QStringLiteral("ファイルのクローズ時にエラーが発生しました。"), MsgButtons::Ok,
                       this);
        ok = false;
    }

    LampsIdle();
    TransferActive = false;
    if (ok) {
        FillProgress();
        ShowMessageBox(MsgKind::Plain, QStringLiteral("読み出しを完了しました。"), MsgButtons::Ok, this);
    }
    UnlockDialog();
    RecheckMasterAfterRun();
    btnRead->setFocus(Qt::OtherFocusReason);
}
