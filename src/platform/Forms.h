// The program's one instance of each window and the slot controls of the
// main window, created by the program entry (or a test) and shared so that
// a lower layer can reach a higher window without including it.
#pragma once

class QWidget;
class QToolButton;
class QLabel;
class TShape;
class TAppMainForm;
class TCardAccDlg;
class TAboutBoxDlg;
class TInputLbaDlg;
class TCardInfoDlg;

extern TAppMainForm *AppMainForm;
extern TCardAccDlg *CardAccDlg;
extern TAboutBoxDlg *AboutBoxDlg;
extern TInputLbaDlg *InputLbaDlg;
extern TCardInfoDlg *CardInfoDlg;

// Same objects, as plain widgets, for layers that must not include the window headers.
extern QWidget *AppMainWidget;
extern QWidget *CardAccWidget;
extern QWidget *CardInfoWidget;

// Index = slot number, 0 = VD.
extern QToolButton *SlotButtons[11];
extern TShape *SlotLamps[11];
extern QLabel *SlotCaptions[11];
