// The drive list dialog: the drive parameters of every physical slot, one
// fixed-width line per slot under a header. A line can be opened in the card
// access dialog; the slot monitor rewrites lines as cards come and go.
#pragma once

#include "ModalForm.h"

#include <QSize>
#include <QString>
#include <cstdint>

namespace Ui {
class TCardInfoDlg;
}
class QListWidget;
class QPushButton;

// Header line of the current card interface mode (62 characters).
QString GetCardInfoHeader();
// Line of slot number `slot` (1 = master slot); 62 characters for the usual
// widths, longer when a field outgrows its column.
QString GetCardInfoLine(bool cardPresent, uint32_t slot);

class TCardInfoDlg : public ModalForm {
    Q_OBJECT
public:
    explicit TCardInfoDlg(QWidget *parent = nullptr);
    ~TCardInfoDlg() override;

    QListWidget *lbxCardInfo;
    QPushButton *OKBtn;

    void FormActivate();
    void lbxCardInfoDblClick();
    void lbxCardInfoKeyPress(char &key);
    void OKBtnClick();

    // Puts `line` into line `slot` of the list; lines that do not exist are left alone.
    void ReplaceLine(uint32_t slot, const QString &line);

    static QString GetCardInfoLine(bool cardPresent, uint32_t slot)
    {
        return ::GetCardInfoLine(cardPresent, slot);
    }

protected:
    bool event(QEvent *e) override;
    bool eventFilter(QObject *watched, QEvent *e) override;
    void keyPressEvent(QKeyEvent *e) override;
    void showEvent(QShowEvent *e) override;

private:
    void AddLine(const QString &text);
    int LineHeight() const;
    QSize LineSize(const QString &text) const;

    Ui::TCardInfoDlg *ui;
};
