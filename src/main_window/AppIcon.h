#pragma once

#include <QIcon>
#include <QPixmap>

// The program's icon and the card glyph of the slot buttons, drawn rather
// than shipped so the program needs no image files.
QIcon AppIcon();
QPixmap CardGlyph();
