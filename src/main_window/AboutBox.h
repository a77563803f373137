// The about box: product name, version and release date, the maker's
// notice, where the product runs, and the edition's access limit.
#pragma once

#include "ModalForm.h"

namespace Ui {
class TAboutBoxDlg;
}
class QFrame;
class QLabel;
class QPushButton;

class TAboutBoxDlg : public ModalForm {
    Q_OBJECT
public:
    explicit TAboutBoxDlg(QWidget *parent = nullptr);
    ~TAboutBoxDlg() override;

    QFrame *Panel1;
    QLabel *ProgramIcon, *ProductName, *Version, *Copyright, *Comments;
    QLabel *Label1, *Label2, *Label3;
    QPushButton *OKButton;

    void FormCreate();
    void OKButtonClick();

protected:
    void showEvent(QShowEvent *e) override;

private:
    Ui::TAboutBoxDlg *ui;
};

// "1.00 (2026/12/08)": the program's version and release date.
QString ProgramVersionText();
