#pragma once

#include <QIcon>
#include <QPixmap>

// The program's icon, the very pictures of the menu entry's icon (built into
// the program from the same SVG), and the card glyph of the slot buttons.
QIcon AppIcon();
// The icon's name in the desktop's icon theme, the menu entry's Icon.
QString AppIconName();
QPixmap CardGlyph();
