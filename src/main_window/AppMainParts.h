// What the main window's own files share, and nothing outside them uses:
// AppMain.cpp (creation, start-up, shutdown, messages, commands),
// AppMainUnit.cpp (the unit's scan, information panel, arrival and removal)
// and AppMainSlots.cpp (slot status, lamps, slot buttons, per-slot menus).
// Everything here runs on the GUI thread and reads the shared unit records.
#pragma once

#include "Forms.h"
#include "UnitState.h"

#include <QAction>
#include <QChar>
#include <QString>
#include <QWidget>
#include <cmath>
#include <cstdint>

namespace appmain {

// Slot controls on the form: the VD and slots 1 to 10.
constexpr int kSlots = 11;

// Slot numbers the arrays can hold: never beyond the 11 controls, whatever DeviceCount says.
inline uint32_t SlotCount() { return DeviceCount < kSlots ? DeviceCount : kSlots; }

inline bool CardAccOnScreen() { return CardAccWidget && CardAccWidget->isVisible(); }
inline bool CardInfoOnScreen() { return CardInfoDlg && CardInfoWidget && CardInfoWidget->isVisible(); }

// Menu items exist only once the unit's menus are built.
inline void EnableItem(QAction *item, bool enabled)
{
    if (item)
        item->setEnabled(enabled);
}

inline QString DriveLetterText(uint8_t letter)
{
    // A letter the library did not give (0 or a control byte) shows as nothing.
    return letter > 0x20 && letter < 0x7F ? QString(QChar(letter)) : QString();
}

// No unit, or none any more: no card seen in its slots, none open, no transfer running.
inline void ForgetUnitActivity()
{
    SlotPresenceMask = 0;
    OpenLampIndex = 0;
    VdTargetSlot = 0;
    UnitConnected = false;
    TransferActive = false;
}

// The status mask with every slot of a unit of count targets (the VD not counted).
inline long double MaskOfTargets(uint32_t count)
{
    return count == 0 ? 0.0L : std::ldexp(1.0L, static_cast<int>(count) - 1) - 1.0L;
}

} // namespace appmain
