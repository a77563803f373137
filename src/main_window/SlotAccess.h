// What the slot panel tells a screen reader: each slot button is a push
// button named with its slot and state, as its lamp is, and pressing it
// through the accessibility interface opens the slot as a click does.
#pragma once

#include <QString>
#include <cstdint>

class QToolButton;
class TShape;

// The slot as the unit labels it: "VD", "スロット 3", "Master" (slot 1 of a
// TVQ-206), "スロット 1（Master）" (slot 1 of a TVQ-210CF).
QString SlotAccessLabel(uint32_t modelKind, uint32_t slot);

// Before the slot controls are made: an interface asked for once is kept.
void InstallSlotAccessibility();

// Ties button n to its lamp: the button's name and tooltip follow the lamp's
// text, and its accessible role and press action become a push button's.
void BindSlotAccess(QToolButton *button, TShape *lamp);

// The lamp's text again after the record of its card changed (a card that
// cannot be used is named so).
void RefreshSlotLamp(TShape *lamp, bool cardPresent, uint32_t sectorSize, uint32_t heads);
