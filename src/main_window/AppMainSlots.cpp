// The slots on the main window: the status monitor (its timer and the posted
// slot message), the lamps and slot buttons, their layout for each model, and
// the per-slot Open and Eject menu items.
#include "AppMain.h"

#include "AppMainParts.h"
#include "CardInfo.h"
#include "Forms.h"
#include "InputLba.h"
#include "Shape.h"
#include "SlotAccess.h"
#include "UnitState.h"
#include "WindowMessage.h"
#include "tvq2xx.h"

#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QTimer>
#include <QToolButton>

using namespace appmain;

void TAppMainForm::SetLamp(uint32_t n, uint32_t color)
{
    if (n >= kSlots || !SlotLamps[n])
        return;
    if (n < SlotCount()) {
        const SlotRecord &rec = SlotTable[SlotEntryOf(n)];
        RefreshSlotLamp(SlotLamps[n], rec.CardPresent != 0, rec.SectorSize, rec.Heads);
    } else {
        RefreshSlotLamp(SlotLamps[n], false, 0, 0);
    }
    SlotLamps[n]->setBrushColor(color);  // repaints at once
}

void TAppMainForm::SetButtonEnabled(uint32_t n, bool enabled)
{
    if (n >= kSlots || !SlotButtons[n])
        return;
    SlotButtons[n]->setEnabled(enabled);
    SlotButtons[n]->repaint();
}

void TAppMainForm::Timer1Timer()
{
    // A tick never overlaps another; it switches the timer back to where it was.
    const bool wasRunning = Timer1->isActive();
    Timer1->stop();

    if (ReadSlotStatus(SlotStatusBlock)) {
        uint32_t mask = SlotStatusBlock.CardMask;
        uint32_t target = SlotStatusBlock.VdTarget;
        if (static_cast<long double>(mask) <= AllSlotsMask && mask != SlotPresenceMask)
            UpdateSlotStatus(mask, target);
    }

    if (CardAccOnScreen()) {
        const uint32_t last = DeviceCount == 7 ? 6 : 10;
        bool anyEnabled = false;
        for (uint32_t i = 1; i <= last; ++i)
            if (SlotButtons[i] && SlotButtons[i]->isEnabled())
                anyEnabled = true;
        if (!anyEnabled)
            VdTargetSlot = static_cast<int32_t>(SlotStatusBlock.VdTarget + 1);
    }

    if (wasRunning)
        Timer1->start();
}

void TAppMainForm::BuildSlotMenusOnce()
{
    if (MenusBuilt)
        return;
    MenusBuilt = CreateOpenMenuItems(ModelKind);
    if (TrueIdeMode == 0)
        CreateEjectMenuItems(ModelKind);
}

// The VD lost its card: its parameters cleared, its controls off.
void TAppMainForm::ShowVdGone()
{
    ClearDriveParams(SlotTable[VdIndex]);
    mniOpen->setEnabled(false);
    mniView->setEnabled(false);
    if (TrueIdeMode == 0)
        mniEject->setEnabled(false);
    SetButtonEnabled(0, false);
    SetLamp(0, clGray);
}

// The VD (re-read by the caller) has a card: its controls on, its lamp in lampColour.
void TAppMainForm::ShowVdPresent(uint32_t lampColour)
{
    mniOpen->setEnabled(true);
    mniView->setEnabled(true);
    EnableItem(OpenMenuItems[0], true);
    SetButtonEnabled(0, true);
    SetLamp(0, lampColour);
    if (TrueIdeMode == 0) {
        mniEject->setEnabled(true);
        EnableItem(EjectMenuItems[0], true);
    }
}

// A card came into slot n (on) or left it: its menu items and its button follow.
void TAppMainForm::SetSlotControls(uint32_t n, bool on)
{
    EnableItem(OpenMenuItems[n], on);
    if (TrueIdeMode == 0)
        EnableItem(EjectMenuItems[n], on);
    SetButtonEnabled(n, on);
}

// The drive list's line of slot n drawn anew and the card access dialog told,
// each when it is on screen; false when there was no dialog to tell.
bool TAppMainForm::TellSlotChange(uint32_t n, bool present, intptr_t vdTarget)
{
    if (CardInfoOnScreen())
        CardInfoDlg->ReplaceLine(n, GetCardInfoLine(present, n));
    if (!CardAccOnScreen())
        return false;
    PostWindowMessage(CardAccWidget, present ? WM_CARD_INSERTED : WM_CARD_REMOVED, n, vdTarget);
    return true;
}

// Slot n lost its card: its parameters cleared, its controls off, its lamp
// grey, the open windows told; false when there was no dialog to tell.
bool TAppMainForm::ShowSlotEmptied(uint32_t n, intptr_t vdTarget)
{
    ClearDriveParams(SlotTable[SlotEntryOf(n)]);
    SetSlotControls(n, false);
    SetLamp(n, clGray);
    return TellSlotChange(n, false, vdTarget);
}

bool TAppMainForm::UpdateSlotStatus(uint32_t &mask, uint32_t &target)
{
    BuildSlotMenusOnce();

    if (static_cast<int32_t>(target) != VdTargetSlot) {
        if (mask == 0) {
            ShowVdGone();
        } else {
            if (!ReadDriveInfo(VdIndex, SlotTable[VdIndex]))
                return false;
            ShowVdPresent(TransferActive && OpenSlotIndex == VdIndex ? clRed : clLime);
        }
    }

    const uint32_t changed = mask ^ SlotPresenceMask;
    for (uint32_t n = 1; n < SlotCount(); ++n) {
        const uint32_t bit = 1u << (n - 1);
        if (!(changed & bit))
            continue;
        bool told;
        if (mask & bit) {
            const uint32_t entry = SlotEntryOf(n);
            ReadDriveInfo(entry, SlotTable[entry]);
            ReadDriveInfo(entry, SlotTable[entry]);
            SetSlotControls(n, true);
            if (TransferActive && AccessOp != AccessWrite && n == target + 1 && OpenSlotIndex == VdIndex) {
                const int32_t previous = VdTargetSlot + 1;
                if (previous >= 0 && previous < kSlots)
                    SetLamp(static_cast<uint32_t>(previous), clLime);
                SetLamp(n, clRed);
            } else {
                SetLamp(n, clLime);
            }
            told = TellSlotChange(n, true, static_cast<intptr_t>(target));
        } else {
            told = ShowSlotEmptied(n, static_cast<intptr_t>(target));
        }
        if (!told)
            VdTargetSlot = static_cast<int32_t>(target);
    }

    SlotPresenceMask = mask;
    return true;
}

void TAppMainForm::WMSlotChanged(uintptr_t wParam, intptr_t lParam)
{
    // From any sender: only the low 32 bits of each parameter mean anything.
    const uint32_t target = static_cast<uint32_t>(wParam);
    const uint32_t mask = static_cast<uint32_t>(lParam);

    BuildSlotMenusOnce();

    if (mask == 0) {
        ShowVdGone();
    } else if (static_cast<int32_t>(target) != VdTargetSlot) {
        if (!ReadDriveInfo(VdIndex, SlotTable[VdIndex]))
            return;
        ShowVdPresent(TransferActive ? clRed : clLime);
    }

    const uint32_t changed = mask ^ SlotPresenceMask;
    for (uint32_t n = 1; n < SlotCount(); ++n) {
        const uint32_t bit = 1u << (n - 1);
        if (!(changed & bit))
            continue;
        if (mask & bit) {
            const uint32_t entry = SlotEntryOf(n);
            if (!ReadDriveInfo(entry, SlotTable[entry]))
                return;
            SetSlotControls(n, true);
            SetLamp(n, clLime);
            TellSlotChange(n, true, VdTargetSlot);
        } else {
            ShowSlotEmptied(n, VdTargetSlot);
        }
    }

    VdTargetSlot = static_cast<int32_t>(target);
    SlotPresenceMask = mask;
}

bool TAppMainForm::DispSlotStatus()
{
    if (!ReadSlotStatus(SlotStatusBlock))
        return false;
    SlotPresenceMask = SlotStatusBlock.CardMask;
    VdTargetSlot = static_cast<int32_t>(SlotStatusBlock.VdTarget);

    for (uint32_t n = 0; n < SlotCount(); ++n) {
        const SlotRecord &rec = SlotTable[SlotEntryOf(n)];
        if (SlotButtons[n])
            SlotButtons[n]->setText(DriveLetterText(rec.DriveLetter) + QStringLiteral(":"));
        const bool present = rec.CardPresent != 0;
        SetLamp(n, present ? clLime : clGray);
        SetButtonEnabled(n, present);
    }
    // A card with another sector size or without heads cannot be used.
    for (uint32_t n = 0; n < kSlots; ++n) {
        const bool exists = n < SlotCount();
        const SlotRecord *rec = exists ? &SlotTable[SlotEntryOf(n)] : nullptr;
        if (!rec || rec->SectorSize != 512 || rec->Heads == 0) {
            SetLamp(n, clGray);
            SetButtonEnabled(n, false);
        }
    }
    return true;
}

bool TAppMainForm::SetSlotLayout(uint32_t modelKind)
{
    if (modelKind != ModelTvq210 && modelKind != ModelTvq206)
        return false;
    const bool big = modelKind == ModelTvq210;
    const int size = big ? 25 : 27;
    for (int n = 0; n < kSlots; ++n) {
        QToolButton *button = SlotButtons[n] ? SlotButtons[n] : findChild<QToolButton *>(QStringLiteral("sbtSlot%1").arg(n));
        TShape *lamp = SlotLamps[n] ? SlotLamps[n] : findChild<TShape *>(QStringLiteral("shpSlot%1").arg(n));
        QLabel *caption = SlotCaptions[n] ? SlotCaptions[n] : findChild<QLabel *>(QStringLiteral("stxSlot%1").arg(n));
        const int left = n == 0 ? (big ? 12 : 53) : (big ? 25 * n + 26 : 27 * n + 71);
        button->setGeometry(left, button->y(), size, size);
        lamp->move(left + 8, lamp->y());
        lamp->setSlotLabel(SlotAccessLabel(modelKind, static_cast<uint32_t>(n)));
        caption->setGeometry(left, caption->y(), size, caption->height());
        if (n > 0)
            caption->setText(big ? QString::number(n)
                                 : (n == 1 ? QStringLiteral("M") : QString::number(n - 1)));
        else if (big)
            caption->setText(QStringLiteral("VD"));
        // A TVQ-206 has no slots 7 to 10; a TVQ-210CF after it needs them back.
        const bool shown = big || n <= 6;
        button->setVisible(shown);
        lamp->setVisible(shown);
        caption->setVisible(shown);
    }
    TShape *lamp1 = SlotLamps[1] ? SlotLamps[1] : findChild<TShape *>(QStringLiteral("shpSlot1"));
    lblMasterSlot->move(lamp1->x(), lblMasterSlot->y());
    return true;
}

// ---- per-slot menu items ----

bool TAppMainForm::CreateSlotMenuItems(uint32_t modelKind, bool eject)
{
    QMenu *menu = eject ? mniEject : mniOpen;
    QAction **items = eject ? EjectMenuItems : OpenMenuItems;
    const QString prefix = eject ? QStringLiteral("mniEject") : QStringLiteral("mniOpen");
    const Qt::KeyboardModifiers mod = eject ? Qt::AltModifier : Qt::ControlModifier;
    for (uint32_t n = 0; n < SlotCount(); ++n) {
        auto *item = new QAction(this);
        items[n] = item;
        menu->addAction(item);
        // Group index 1 and the link to the action: the item runs the command with itself as sender.
        item->setData(1);
        if (eject)
            connect(item, &QAction::triggered, this, [this, item] { Action2Execute(item); });
        else
            connect(item, &QAction::triggered, this, [this, item] { Action1Execute(item); });
        QString name, caption;
        QKeySequence key;
        if (n == 0) {
            name = prefix + QStringLiteral("VD");
            caption = QStringLiteral("VD");
            key = QKeySequence(QKeyCombination(mod, Qt::Key_V));
        } else if (modelKind == ModelTvq210) {
            name = prefix + QStringLiteral("Slot%1").arg(n);
            caption = QStringLiteral("Slot %1").arg(n);
            key = QKeySequence(QKeyCombination(mod, Qt::Key(Qt::Key_F1 + int(n) - 1)));
        } else if (modelKind == ModelTvq206) {
            if (n == 1) {
                name = prefix + QStringLiteral("SlotM");
                caption = QStringLiteral("Master");
                key = QKeySequence(QKeyCombination(mod, Qt::Key_M));
            } else {
                name = prefix + QStringLiteral("Slot%1").arg(n - 1);
                caption = QStringLiteral("Slot %1").arg(n - 1);
                key = QKeySequence(QKeyCombination(mod, Qt::Key(Qt::Key_F1 + int(n) - 2)));
            }
        }
        item->setObjectName(name);
        item->setText(caption);
        item->setShortcut(key);
        item->setEnabled(false);
    }
    return true;
}

bool TAppMainForm::CreateOpenMenuItems(uint32_t modelKind) { return CreateSlotMenuItems(modelKind, false); }
bool TAppMainForm::CreateEjectMenuItems(uint32_t modelKind) { return CreateSlotMenuItems(modelKind, true); }
