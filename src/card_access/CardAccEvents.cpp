// Cards pulled or pushed while the card access dialog is on screen. The slot
// monitor posts the two messages, so they run wherever messages are pumped:
// in the dialog's idle loop, between two blocks of a transfer, or inside a
// message box that an operation is showing.
#include "CardAcc.h"

#include "Forms.h"
#include "InputLba.h"
#include "ModalForm.h"
#include "MsgBox.h"
#include "UnitState.h"


#include <algorithm>

bool CardEventAbort = false;

namespace {

// The unit's VD mirrors the lowest-numbered slot that holds a card, target =
// slot number - 1. Walking slot numbers rather than table entries keeps that
// rule in both table layouts; with no card anywhere the value stays.
void RederiveVdTargetSlot()
{
    const int last = static_cast<int>(std::min<uint32_t>(DeviceCount, kSlotTableEntries)) - 1;
    for (int slot = last; slot >= 1; --slot) {
        const uint32_t entry = SlotEntryOf(static_cast<uint32_t>(slot));
        if (entry < kSlotTableEntries && SlotTable[entry].CardPresent != 0)
            VdTargetSlot = slot - 1;
    }
}

// The six-slot unit calls slot 1 "MASTER SLOT" and slot s "SLOT# s-1", so
// target t is "SLOT# t"; the ten-slot unit's target t is "SLOT# t+1".
QString VdSlotName(intptr_t t)
{
    if (DeviceCount == 7)
        return t == 0 ? QStringLiteral("MASTER SLOT") : QStringLiteral("SLOT# %1").arg(t);
    return QStringLiteral("SLOT# %1").arg(t + 1);
}

} // namespace

void TCardAccDlg::WMCardRemoved(uintptr_t wParam, intptr_t lParam)
{
    const uintptr_t n = wParam;
    const intptr_t t = lParam;
    const bool onVd = OpenSlotIndex == VdIndex;
    bool stop = false;

    if (n == OpenLampIndex || (onVd && VdTargetSlot != t)) {
        ShowMessageBox(MsgKind::Warning, QStringLiteral("カードが抜かれました。"), MsgButtons::Ok, this);
        CardEventAbort = true;
        stop = true;
    }
    // Any card leaving spoils a write through the VD; the user hears of it
    // only when the VD itself moved (above).
    if (TransferActive && onVd && AccessOp == AccessWrite) {
        CardEventAbort = true;
        stop = true;
    }

    if (stop)
        CloseModalWindows({CardInfoWidget});  // a list we were opened from stays
    else if (n == 1)
        ResetSpecMarks();  // nothing left to compare with

    RederiveVdTargetSlot();
}

void TCardAccDlg::WMCardInserted(uintptr_t wParam, intptr_t lParam)
{
    const uintptr_t n = wParam;
    const intptr_t t = lParam;

    if (OpenSlotIndex != VdIndex) {
        if (n == 1)
            CheckMasterSpec(OpenSlotIndex);
        VdTargetSlot = static_cast<int32_t>(t);
        return;
    }

    const bool retargeted = VdTargetSlot != t;
    if (retargeted) {
        // The monitor has re-read the VD's record before posting.
        DispDriveParam(VdIndex);
        if (!TransferActive) {
            VdTargetSlot = static_cast<int32_t>(t);
            ShowMessageBox(MsgKind::Warning,
                           QStringLiteral("VD の対象スロットが %1 に変更されました。").arg(VdSlotName(t)),
                           MsgButtons::Ok, this);
            return;
        }
    }

    if (TransferActive) {
        if ((AccessOp == AccessRead || AccessOp == AccessCompare) && retargeted) {
            ShowMessageBox(MsgKind::Error,
                           QStringLiteral("VD の読み出し先が %1 に変更されました。\n読み出したデータは保証されません。")
                               .arg(VdSlotName(t)),
                           MsgButtons::Ok, this);
            VdTargetSlot = static_cast<int32_t>(t);
            CardEventAbort = true;
        } else if (AccessOp == AccessWrite && !ProgressFull()) {
            // The new card missed the blocks written so far.
            ShowMessageBox(MsgKind::Error,
                           QStringLiteral("VD の書き込み中に新しいカードが挿入されました。\n書き込んだデータは保証されません。"),
                           MsgButtons::Ok, this);
            CardEventAbort = true;
        }
    }

    if (CardEventAbort)
        CloseModalWindows();  // the drive list goes too
    VdTargetSlot = static_cast<int32_t>(t);
}
