#pragma once

#include <QFont>

// The proportional Japanese UI font and the fixed-pitch one of the drive
// list, with the fallbacks Debian installs.
QFont PGothicFont(int pixelSize = 12);
QFont GothicFont(int pixelSize = 12);
