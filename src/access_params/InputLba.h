// The access parameters dialog: asks for the sector range and the file of a
// read, write or compare. One instance, reused by all three operations.
// Enter presses the push button that has the focus; anywhere else it presses
// the default button 開始, whose checks then run as for a click.
#pragma once

#include "FileDialogs.h"
#include "ModalForm.h"

#include <QString>
#include <cstddef>
#include <cstdint>
#include <memory>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace Ui {
class TInputLbaDlg;
}

// Access parameters of one operation.
struct TCardAcc_ParamBlock {
    QString FilePath;        // empty = no file chosen
    uint32_t StartSect = 0;
    uint32_t SectCnt = 0;
    bool AccAll = true;      // whole-card mode
};

enum : int32_t { AccessRead = 0, AccessWrite = 1, AccessCompare = 2 };
constexpr uint32_t kMaxAccessSectors = 0x1000;

// One record per operation, indexed by AccessOp.
extern TCardAcc_ParamBlock AccessParams[3];
// 0 read, 1 write, 2 compare; the service operations leave it alone.
extern int32_t AccessOp;
// Set when a name was accepted in Save As, which has asked about overwriting.
extern bool SaveAsAccepted;

// True when every character is a hexadecimal digit; the empty text is too.
bool IsHexText(const char *text, size_t length);
bool IsHexText(const QString &text);
// A field's text as an unsigned 32-bit number: 1 to 8 hexadecimal digits.
bool ParseHex32(const QString &text, uint32_t &value);
// The key filter of the range fields: true when the character may be typed.
bool RangeKeyAllowed(uint32_t code);

class TInputLbaDlg : public ModalForm {
    Q_OBJECT
public:
    explicit TInputLbaDlg(QWidget *parent = nullptr);
    ~TInputLbaDlg() override;

    enum FileAction { ActFileOpen, ActFileSaveAs };
    // Relabels the dialog for an operation and chooses its file dialog.
    void Prepare(const QString &caption, const QString &rangeCaption, const QString &fileCaption,
                 FileAction action);

    // Handlers.
    void FormCreate();
    void FormActivate();
    void Action1Execute();
    void btnOkClick();
    void btnRefFileClick();
    void FileOpen1BeforeExecute();
    void FileOpen1Accept();
    void FileSaveAs1BeforeExecute();
    void FileSaveAs1Accept();
    // False when the key is discarded (after the beep).
    bool edtStartSectKeyPress(uint32_t key);
    bool edtSectCntKeyPress(uint32_t key);
    void edtStartSectExit();
    void edtSectCntExit();

    // The two file dialogs; each keeps the name last accepted in it.
    TFileDialog FileOpen1;
    TFileDialog FileSaveAs1;
    FileAction RefFileAction = ActFileOpen;

    QGroupBox *gbxLbParams = nullptr;
    QRadioButton *rbtAccAll = nullptr;
    QRadioButton *rbtAccSect = nullptr;
    QGroupBox *gbxInputSect = nullptr;
    QLabel *Label2 = nullptr;
    QLineEdit *edtStartSect = nullptr;
    QLabel *lblSectCnt = nullptr;
    QLineEdit *edtSectCnt = nullptr;
    QLabel *lblFilePath = nullptr;
    QLineEdit *edtFilePath = nullptr;
    QPushButton *btnRefFile = nullptr;
    QPushButton *btnOk = nullptr;
    QPushButton *btnCancel = nullptr;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void EnableRangeControls();
    uint32_t OpenTotalSectors() const;
    void Warn(const QString &text);

    std::unique_ptr<Ui::TInputLbaDlg> ui;
    bool checking_ = false;  // an exit check is showing its box
    // An exit check refused the field that the click of a button was leaving:
    // that click is dropped, as the box has taken the mouse from the button.
    bool dropNextRelease_ = false;
};
