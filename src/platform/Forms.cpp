#include "Forms.h"

TAppMainForm *AppMainForm = nullptr;
TCardAccDlg *CardAccDlg = nullptr;
TAboutBoxDlg *AboutBoxDlg = nullptr;
TInputLbaDlg *InputLbaDlg = nullptr;
TCardInfoDlg *CardInfoDlg = nullptr;

QWidget *AppMainWidget = nullptr;
QWidget *CardAccWidget = nullptr;
QWidget *CardInfoWidget = nullptr;

QToolButton *SlotButtons[11] = {};
TShape *SlotLamps[11] = {};
QLabel *SlotCaptions[11] = {};
