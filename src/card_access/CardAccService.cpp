#include "CardAcc.h"

#include <QPushButton>

// placeholder: the slot-event / service handlers replace this
void TCardAccDlg::btnFormatClick()
{
    if (!btnFormat->isVisible())
        return;
}

// placeholder: the slot-event / service handlers replace this
void TCardAccDlg::btnTestClick()
{
    if (!btnTest->isVisible())
        return;
}
