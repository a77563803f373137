#include "Beep.h"

#include <QApplication>

namespace {
int beeps = 0;
}

void DefaultBeep()
{
    ++beeps;
    QApplication::beep();
}

int BeepCount() { return beeps; }
