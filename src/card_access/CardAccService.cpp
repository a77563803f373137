// The two service operations whose buttons the form keeps hidden: a FAT
// format through the library and a pattern write over the whole card.
#include "CardAcc.h"
#include "CardAccService.h"

#include "Forms.h"
#include "HourGlass.h"
#include "InputLba.h"
#include "MsgBox.h"
#include "Shape.h"
#include "UnitState.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>

#include <algorithm>
#include <vector>

void FillTestPattern(uint8_t *buffer, size_t size)
{
    // 0x01..0xFE repeated: neither 0x00 nor 0xFF, so an unwritten or erased
    // sector never passes for a written one.
    for (size_t i = 0; i < size; ++i)
        buffer[i] = static_cast<uint8_t>(i % 254 + 1);
}

void TCardAccDlg::btnFormatClick()
{
    if (btnFormat->isHidden())
        return;
    const int answer = ShowMessageBox(MsgKind::Confirmation,
                                      QStringLiteral("FAT形式でフォーマットを実行します。\n"
                                                     "フォーマットを実行すると、カードのすべてのデータは失われます。\n"
                                                     "よろしいですか？"),
                                      MsgButtons::YesNo, this);
    // A card pulled while the question was open has closed it already; never
    // format what took its place.
    if (answer != mrYes || CardEventAbort)
        return;

    uint32_t target = OpenSlotIndex;
    bool ok = false;
    if (DeviceOps.Format && target < kSlotTableEntries) {
        HourGlass wait;
        ok = DeviceOps.Format(target, SlotTable[target]);
    }
    if (ok)
        ShowMessageBox(MsgKind::Plain, QStringLiteral("フォーマットが完了しました。"), MsgButtons::Ok, this);
    else
        ShowMessageBox(MsgKind::Error, QStringLiteral("フォーマットに失敗しました。"), MsgButtons::Ok, this);
}

void TCardAccDlg::btnTestClick()
{
    if (btnTest->isHidden())
        return;
    if (!TransferBuffer || OpenSlotIndex >= kSlotTableEntries)
        return;

    // The slot events must see this run as the write it is (a card pushed in
    // during a VD test would miss the blocks before it), whatever the last
    // read, write or compare left in AccessOp.
    const int32_t lastOp = AccessOp;
    AccessOp = AccessWrite;

    uint32_t remaining = SlotTable[OpenSlotIndex].TotalSectors;
    uint32_t lba = 0;
    bool ok = true;

    LockDialog();
    FillTestPattern(TransferBuffer, kTransferBufferSize);
    AbortRequested = false;
    StartProgress(static_cast<int>((remaining >> 7) + 1), QStringLiteral("書き込み中"));

    // The lamps this run turns red; only those still red go back to lime, so
    // a slot emptied meanwhile keeps the grey the monitor gave it.
    std::vector<uint32_t> lit;
    auto light = [&lit](uint32_t i) {
        if (i < 11 && SlotLamps[i]) {
            SlotLamps[i]->setBrushColor(clRed);
            lit.push_back(i);
        }
    };
    if (OpenSlotIndex == VdIndex) {
        for (uint32_t i = 0; i < std::min<uint32_t>(DeviceCount, 11); ++i) {
            if (SlotButtons[i] && SlotButtons[i]->isEnabled())
                light(i);
        }
    } else {
        light(OpenLampIndex);
    }

    for (;;) {
        const uint32_t block = std::min(remaining, kMaxBlockSectors);
        if (block > 0 && !WriteWithRetry(lba, block)) {
            ok = false;
            break;
        }
        if (PollAfterBlock(QStringLiteral("書き込みを中止しますか？"))) {
            ok = false;
            break;
        }
        StepProgress();
        ProgressBar1->repaint();
        remaining -= block;
        lba += block;
        if (remaining < 1)
            break;
    }

    for (uint32_t i : lit) {
        if (SlotLamps[i] && SlotLamps[i]->brushColor() == clRed)
            SlotLamps[i]->setBrushColor(clLime);
    }

    if (ok) {
        FillProgress();
        ShowMessageBox(MsgKind::Plain, QStringLiteral("書き込みを完了しました。"), MsgButtons::Ok, this);
    }

    btnAbort->hide();
    btnCancel->show();
    for (QPushButton *b : {btnRead, btnWrite, btnCompare, btnTest})
        b->setEnabled(true);
    ProgressBar1->setValue(0);
    edtStatus->clear();
    edtStatus->repaint();
    TransferActive = false;
    AccessOp = lastOp;

    RecheckMasterAfterRun();
    btnTest->setFocus(Qt::OtherFocusReason);
}
