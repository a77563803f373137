#include "CardAcc.h"

// placeholder: the slot-event / service handlers replace this
bool CardEventAbort = false;

// placeholder: the slot-event / service handlers replace this
void TCardAccDlg::WMCardRemoved(uintptr_t wParam, intptr_t lParam)
{
    (void)wParam;
    (void)lParam;
}

// placeholder: the slot-event / service handlers replace this
void TCardAccDlg::WMCardInserted(uintptr_t wParam, intptr_t lParam)
{
    (void)wParam;
    (void)lParam;
}
