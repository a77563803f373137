// The card access dialog: the drive parameters of one slot's card and the
// operations on it (read, write, compare; format and write test kept hidden).
// The operations run inside their click handlers, one block of at most 128
// sectors at a time, with the message pump once per block. Enter presses the
// focused button (中止 has the focus while an operation runs).
#pragma once

#include "ModalForm.h"

#include <QString>
#include <cstdint>
#include <memory>

class QEvent;
class QFrame;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace Ui {
class TCardAccDlg;
}

// Set by the abort button; cleared when a transfer starts and when the user
// declines to stop.
extern bool AbortRequested;
// Set by a slot event that ends the work in progress; cleared when the dialog is shown.
extern bool CardEventAbort;

class TCardAccDlg : public ModalForm {
    Q_OBJECT
public:
    explicit TCardAccDlg(QWidget *parent = nullptr);
    ~TCardAccDlg() override;

    // Handlers.
    void FormCreate();
    void FormShow();
    void FormDestroy();
    void btnAbortClick();
    void btnReadClick();
    void btnWriteClick();
    void btnCompareClick();
    void btnFormatClick();
    void btnTestClick();
    void WMCardRemoved(uintptr_t wParam, intptr_t lParam);
    void WMCardInserted(uintptr_t wParam, intptr_t lParam);

    // Routines shared by the operations and the slot events.
    void DispDriveParam(uint32_t slotIndex);
    void CheckMasterSpec(uint32_t slotIndex);
    void ResetSpecMarks();
    bool IsAllSameSpec() const;
    void LoadReg(int32_t op);
    void SaveReg();
    // Size of a named file (never a pattern); both halves all-ones when there is none.
    static void GetFileSize64(const QString &name, uint32_t &low, uint32_t &high);

    // Asks for the range and file of operation op (0 read, 1 write, 2 compare), loading the
    // remembered name first when the record has none; false when the dialog was cancelled.
    bool AskAccessParams(int32_t op, const QString &caption, const QString &rangeCaption,
                         const QString &fileCaption, bool saveAs);

    // The busy / idle frame of an operation.
    void LockDialog();                                         // buttons, bottom line, TransferActive
    void StartProgress(int maximum, const QString &word);     // bar from 0, status word, focus to abort
    void StepProgress();                                       // one step, never past the maximum
    void FillProgress();                                       // the position to the run's maximum
    bool ProgressFull() const;                                 // the position has reached the run's maximum
    void UnlockDialog();                                       // buttons back, bar 0, status empty, red lamps lime
    void RecheckMasterAfterRun();                              // marks again when the master slot holds a card

    // Lamps: the open slot red (and, on the VD, the slot it mirrors).
    void LampsOnSingle();
    // Every occupied slot red while the VD is written; only the open one otherwise.
    void LampsOnWrite();
    void LampsOffWrite();
    // After a read or compare: lime where a slot button is enabled, else the lamp disabled.
    void LampsIdle();

    // Card calls offering Retry as often as the user asks; false when given up.
    bool ReadWithRetry(uint32_t lba, uint32_t count, const QString &failText);
    bool WriteWithRetry(uint32_t lba, uint32_t count);
    // The pump after a block and the two flags; true when the run is to stop.
    bool PollAfterBlock(const QString &stopQuestion);

    // Controls, as the form names them.
    QFrame *pnlDrvInfo = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *lblIfMode = nullptr;
    QLabel *Label7 = nullptr;
    QLabel *lblCardSize1 = nullptr;
    QLabel *lblCardSize2 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *lblNumCylinders = nullptr;
    QLabel *Label3 = nullptr;
    QLabel *lblNumHeads = nullptr;
    QLabel *Label4 = nullptr;
    QLabel *lblNumSectors = nullptr;
    QLabel *Label5 = nullptr;
    QLabel *lblSectOfTrack = nullptr;
    QLabel *Label6 = nullptr;
    QLabel *lblSizeOfSect = nullptr;
    QLabel *lblCatItem1 = nullptr;
    QLabel *lblCatParam1 = nullptr;
    QLabel *lblCatItem2 = nullptr;
    QLabel *lblCatParam2 = nullptr;
    QPushButton *btnRead = nullptr;
    QPushButton *btnWrite = nullptr;
    QPushButton *btnCompare = nullptr;
    QPushButton *btnFormat = nullptr;
    QPushButton *btnTest = nullptr;
    QPushButton *btnCancel = nullptr;
    QPushButton *btnAbort = nullptr;
    QLineEdit *edtStatus = nullptr;
    QProgressBar *ProgressBar1 = nullptr;
    QLabel *lblWarning = nullptr;

    // Font colour of a value label as a Windows colour value (255 = marked).
    static uint32_t LabelColor(const QLabel *label);

protected:
    void customEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    std::unique_ptr<Ui::TCardAccDlg> ui;
    int progressMaximum_ = 0;  // the run's own maximum; the bar's range never shrinks to 0..0
};

// True when the name is an existing file (a directory is none).
bool FileExistsPlain(const QString &name);
