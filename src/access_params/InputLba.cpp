#include "InputLba.h"

#include "Beep.h"
#include "Fonts.h"
#include "MsgBox.h"
#include "UnitState.h"
#include "ui_InputLba.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QShowEvent>
#include <QTimer>
#include <QValidator>

TCardAcc_ParamBlock AccessParams[3];
int32_t AccessOp = AccessRead;
bool SaveAsAccepted = false;

namespace {
const QString kHexMessage = QStringLiteral("16進数（0～F）で有効な値を入力して下さい。");
const QString kRangeMessage = QStringLiteral("有効なセクタ範囲を超えています。");
const QString kZeroText = QStringLiteral("00000000");
const QString kFileFilter = QStringLiteral("All files (*.*)|*.*|Binary files (*.bin)|*.bin");

// The fields convert what is typed or pasted to upper case.
class UpperCaseValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString &input, int &) const override
    {
        input = input.toUpper();
        return Acceptable;
    }
};

TCardAcc_ParamBlock &currentParams()
{
    return AccessParams[AccessOp >= 0 && AccessOp <= 2 ? AccessOp : 0];
}

bool isHexChar(uint32_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// The character code a key types, the one the key filter judges: Ctrl with a
// letter types its control code (Ctrl+L is 12), whatever text the platform
// puts in the event. -1 for a key that types nothing: editing keys, other
// shortcuts.
int typedCode(const QKeyEvent *ke)
{
    const Qt::KeyboardModifiers mods = ke->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (mods == Qt::ControlModifier)
        return ke->key() >= Qt::Key_A && ke->key() <= Qt::Key_Z ? ke->key() - Qt::Key_A + 1 : -1;
    if (mods || ke->text().isEmpty() || ke->key() == Qt::Key_Delete)
        return -1;
    return ke->text().at(0).unicode();
}
} // namespace

bool IsHexText(const char *text, size_t length)
{
    if (!text)
        return length == 0;
    for (size_t i = 0; i < length; ++i) {
        if (!isHexChar(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

bool IsHexText(const QString &text)
{
    for (const QChar c : text) {
        if (!isHexChar(c.unicode()))
            return false;
    }
    return true;
}

bool ParseHex32(const QString &text, uint32_t &value)
{
    if (text.isEmpty() || text.size() > 8 || !IsHexText(text))
        return false;
    uint32_t v = 0;
    for (const QChar c : text) {
        const uint32_t u = c.unicode();
        const uint32_t d = u <= '9' ? u - '0' : (u | 0x20) - 'a' + 10;
        v = v << 4 | d;
    }
    value = v;
    return true;
}

bool RangeKeyAllowed(uint32_t code)
{
    return code <= 11 || (code >= 13 && code <= 31) || isHexChar(code);
}

TInputLbaDlg::TInputLbaDlg(QWidget *parent)
    : ModalForm(parent), FileOpen1(FileDialogKind::Open), FileSaveAs1(FileDialogKind::SaveAs),
      ui(new Ui::TInputLbaDlg)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    // The form's fixed geometry was drawn for this font; the desktop's may be larger.
    setFont(PGothicFont(12));
    setFixedSize(size());

    gbxLbParams = ui->gbxLbParams;
    rbtAccAll = ui->rbtAccAll;
    rbtAccSect = ui->rbtAccSect;
    gbxInputSect = ui->gbxInputSect;
    Label2 = ui->Label2;
    edtStartSect = ui->edtStartSect;
    lblSectCnt = ui->lblSectCnt;
    edtSectCnt = ui->edtSectCnt;
    lblFilePath = ui->lblFilePath;
    edtFilePath = ui->edtFilePath;
    btnRefFile = ui->btnRefFile;
    btnOk = ui->btnOk;
    btnCancel = ui->btnCancel;

    // Each field is named by the label beside it, for screen readers.
    Label2->setBuddy(edtStartSect);
    lblSectCnt->setBuddy(edtSectCnt);
    lblFilePath->setBuddy(edtFilePath);

    FileOpen1.Title = QStringLiteral("開く");
    FileOpen1.FileMustExist = true;
    FileSaveAs1.Title = QStringLiteral("名前を付けて保存");
    FileSaveAs1.OverwritePrompt = true;
    FileSaveAs1.NoReadOnlyReturn = true;

    for (QLineEdit *e : {edtStartSect, edtSectCnt}) {
        // Half-width fixed-pitch digits: eight of any kind fit the field.
        e->setFont(GothicFont(12));
        e->setValidator(new UpperCaseValidator(e));
        e->setAttribute(Qt::WA_InputMethodEnabled, false);
        e->installEventFilter(this);
    }

    for (QAbstractButton *b : std::initializer_list<QAbstractButton *>{rbtAccAll, rbtAccSect, btnRefFile, btnOk, btnCancel})
        b->installEventFilter(this);

    connect(rbtAccAll, &QRadioButton::clicked, this, &TInputLbaDlg::Action1Execute);
    connect(rbtAccSect, &QRadioButton::clicked, this, &TInputLbaDlg::Action1Execute);
    connect(btnOk, &QPushButton::clicked, this, &TInputLbaDlg::btnOkClick);
    connect(btnCancel, &QPushButton::clicked, this, [this] { SetModalResult(mrCancel); });
    connect(btnRefFile, &QPushButton::clicked, this, &TInputLbaDlg::btnRefFileClick);

    // The standard file actions of the form; Ctrl+O works whichever the button runs.
    auto *open = new QAction(QStringLiteral("開く(&O)..."), this);
    open->setObjectName(QStringLiteral("FileOpen1"));
    open->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    connect(open, &QAction::triggered, this, [this] {
        FileOpen1BeforeExecute();
        if (FileOpen1.Execute(this))
            FileOpen1Accept();
    });
    addAction(open);
    auto *saveAs = new QAction(QStringLiteral("名前を付けて保存"), this);
    saveAs->setObjectName(QStringLiteral("FileSaveAs1"));
    connect(saveAs, &QAction::triggered, this, [this] {
        FileSaveAs1BeforeExecute();
        if (FileSaveAs1.Execute(this))
            FileSaveAs1Accept();
    });
    addAction(saveAs);

    FormCreate();
}

TInputLbaDlg::~TInputLbaDlg() = default;

void TInputLbaDlg::FormCreate()
{
    rbtAccAll->setChecked(true);
    rbtAccSect->setChecked(false);
    edtStartSect->clear();
    edtSectCnt->clear();
    edtFilePath->clear();
    rbtAccAll->setText(QStringLiteral("先頭から2MB"));
    rbtAccSect->setText(QStringLiteral("セクタ指定(最大2MB)"));
    EnableRangeControls();
}

void TInputLbaDlg::Prepare(const QString &caption, const QString &rangeCaption, const QString &fileCaption,
                           FileAction action)
{
    setWindowTitle(caption);
    RefFileAction = action;
    // Taking on an action gives the button the action's caption; ours comes back.
    btnRefFile->setText(action == ActFileSaveAs ? QStringLiteral("名前を付けて保存")
                                                : QStringLiteral("開く(&O)..."));
    gbxLbParams->setTitle(rangeCaption);
    lblFilePath->setText(fileCaption);
    btnRefFile->setText(QStringLiteral("参照"));
}

void TInputLbaDlg::showEvent(QShowEvent *event)
{
    ModalForm::showEvent(event);
    if (!event->spontaneous())
        FormActivate();
}

void TInputLbaDlg::FormActivate()
{
    dropNextRelease_ = false;
    const TCardAcc_ParamBlock &p = currentParams();
    SaveAsAccepted = false;
    edtStartSect->setText(QStringLiteral("%1").arg(p.StartSect, 8, 16, QLatin1Char('0')).toUpper());
    edtSectCnt->setText(QStringLiteral("00001000"));
    rbtAccAll->setChecked(p.AccAll);
    rbtAccSect->setChecked(!p.AccAll);
    EnableRangeControls();
    // The operation's own file: the remembered one at its first use, the
    // last confirmed or picked one after that.
    edtFilePath->setText(p.FilePath);
}

void TInputLbaDlg::EnableRangeControls()
{
    const bool on = rbtAccSect->isChecked();
    for (QWidget *w : {static_cast<QWidget *>(Label2), static_cast<QWidget *>(edtStartSect),
                       static_cast<QWidget *>(lblSectCnt), static_cast<QWidget *>(edtSectCnt)})
        w->setEnabled(on);
}

void TInputLbaDlg::Action1Execute()
{
    EnableRangeControls();
    if (!edtStartSect->isEnabled())
        return;
    edtStartSect->setFocus(Qt::OtherFocusReason);
    // An arrow key checks the button first and focuses it afterwards: take the focus back then.
    QTimer::singleShot(0, this, [this] {
        if (rbtAccSect->isChecked() && edtStartSect->isEnabled() && rbtAccSect->hasFocus())
            edtStartSect->setFocus(Qt::OtherFocusReason);
    });
}

uint32_t TInputLbaDlg::OpenTotalSectors() const
{
    return OpenSlotIndex < static_cast<uint32_t>(kSlotTableEntries) ? SlotTable[OpenSlotIndex].TotalSectors : 0;
}

void TInputLbaDlg::Warn(const QString &text)
{
    if (checking_)
        dropNextRelease_ = true;
    ShowMessageBox(MsgKind::Warning, text, MsgButtons::Ok, this);
}

bool TInputLbaDlg::edtStartSectKeyPress(uint32_t key)
{
    if (RangeKeyAllowed(key))
        return true;
    DefaultBeep();
    return false;
}

bool TInputLbaDlg::edtSectCntKeyPress(uint32_t key)
{
    if (RangeKeyAllowed(key))
        return true;
    DefaultBeep();
    return false;
}

void TInputLbaDlg::edtStartSectExit()
{
    dropNextRelease_ = false;
    if (edtStartSect->text().isEmpty())
        edtStartSect->setText(kZeroText);
    uint32_t value = 0;
    if (!IsHexText(edtStartSect->text()) || !ParseHex32(edtStartSect->text(), value)) {
        Warn(kHexMessage);
        edtStartSect->clear();
        edtStartSect->setFocus(Qt::OtherFocusReason);
        return;
    }
    currentParams().StartSect = value;
    // Signed 64-bit, so that a card of 0 sectors refuses every start.
    if (static_cast<int64_t>(value) > static_cast<int64_t>(OpenTotalSectors()) - 1) {
        Warn(kRangeMessage);
        edtStartSect->setText(kZeroText);
        edtStartSect->setFocus(Qt::OtherFocusReason);
    }
}

void TInputLbaDlg::edtSectCntExit()
{
    dropNextRelease_ = false;
    if (edtSectCnt->text().isEmpty())
        edtSectCnt->setText(kZeroText);
    uint32_t value = 0;
    if (!IsHexText(edtSectCnt->text()) || !ParseHex32(edtSectCnt->text(), value)) {
        Warn(kHexMessage);
        edtSectCnt->clear();
        currentParams().SectCnt = 0;
        edtSectCnt->setFocus(Qt::OtherFocusReason);
        return;
    }
    currentParams().SectCnt = value;
    if (value > OpenTotalSectors()) {
        Warn(kRangeMessage);
        edtSectCnt->setFocus(Qt::OtherFocusReason);
    }
}

void TInputLbaDlg::btnOkClick()
{
    SetModalResult(mrNone);
    TCardAcc_ParamBlock &p = currentParams();

    if (rbtAccAll->isChecked()) {
        p.StartSect = 0;
        p.SectCnt = kMaxAccessSectors;
    } else {
        // Reached with a text the exit check has not seen (Enter in the field, a paste).
        for (QLineEdit *e : {edtStartSect, edtSectCnt}) {
            uint32_t value = 0;
            if (!ParseHex32(e->text(), value)) {
                ShowMessageBox(MsgKind::Error,
                               QStringLiteral("'%1' は有効な16進数の値ではありません。").arg(e->text()),
                               MsgButtons::Ok, this);
                e->setFocus(Qt::OtherFocusReason);
                return;
            }
            (e == edtStartSect ? p.StartSect : p.SectCnt) = value;
        }
    }

    if (p.SectCnt == 0) {
        Warn(QStringLiteral("セクタ数を指定して下さい。"));
        edtSectCnt->setFocus(Qt::OtherFocusReason);
        return;
    }
    if (static_cast<uint64_t>(p.StartSect) + p.SectCnt > OpenTotalSectors()) {
        Warn(kRangeMessage);
        edtStartSect->setText(kZeroText);
        if (edtStartSect->isEnabled())
            edtStartSect->setFocus(Qt::OtherFocusReason);
        return;
    }
    if (p.SectCnt > kMaxAccessSectors) {
        Warn(QStringLiteral("有効なセクタ数は「00001000」までです"));
        edtSectCnt->setFocus(Qt::OtherFocusReason);
        return;
    }
    if (edtFilePath->text().isEmpty()) {
        Warn(QStringLiteral("ファイルを指定して下さい。"));
        edtFilePath->setFocus(Qt::OtherFocusReason);
        return;
    }
    p.FilePath = edtFilePath->text();
    p.AccAll = rbtAccAll->isChecked();
    SetModalResult(mrOk);
}

void TInputLbaDlg::btnRefFileClick()
{
    // The dialog opens where the field's file is, else in the user's home.
    FileOpen1.StartName = edtFilePath->text();
    FileSaveAs1.StartName = edtFilePath->text();
    if (RefFileAction == ActFileSaveAs) {
        FileSaveAs1BeforeExecute();
        if (FileSaveAs1.Execute(this))
            FileSaveAs1Accept();
    } else {
        FileOpen1BeforeExecute();
        if (FileOpen1.Execute(this))
            FileOpen1Accept();
    }
}

void TInputLbaDlg::FileOpen1BeforeExecute()
{
    FileOpen1.DefaultExt = QStringLiteral("bin");
    FileOpen1.Filter = kFileFilter;
    FileOpen1.FilterIndex = 1;
}

void TInputLbaDlg::FileOpen1Accept()
{
    edtFilePath->setText(FileOpen1.FileName);
    currentParams().FilePath = FileOpen1.FileName;
}

void TInputLbaDlg::FileSaveAs1BeforeExecute()
{
    FileSaveAs1.DefaultExt = QStringLiteral("bin");
    FileSaveAs1.Filter = kFileFilter;
    FileSaveAs1.FilterIndex = 1;
}

void TInputLbaDlg::FileSaveAs1Accept()
{
    edtFilePath->setText(FileSaveAs1.FileName);
    currentParams().FilePath = FileSaveAs1.FileName;
    SaveAsAccepted = true;
}

bool TInputLbaDlg::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != edtStartSect && watched != edtSectCnt) {
        if (event->type() == QEvent::MouseButtonRelease && dropNextRelease_) {
            dropNextRelease_ = false;
            if (auto *b = qobject_cast<QAbstractButton *>(watched))
                b->setDown(false);
            return true;
        }
        return ModalForm::eventFilter(watched, event);
    }

    if (event->type() == QEvent::KeyPress) {
        dropNextRelease_ = false;
        const int code = typedCode(static_cast<QKeyEvent *>(event));
        if (code < 0)
            return false;
        const auto key = static_cast<uint32_t>(code);
        // A key let through keeps its meaning for the field: Ctrl+C copies, Tab moves on.
        const bool pass = watched == edtStartSect ? edtStartSectKeyPress(key) : edtSectCntKeyPress(key);
        return !pass;
    }
    if (event->type() == QEvent::FocusOut && !checking_ && isVisible()) {
        // Only a move to another control of this form is leaving the field;
        // a box or another window taking the focus is not.
        const Qt::FocusReason r = static_cast<QFocusEvent *>(event)->reason();
        if (r == Qt::ActiveWindowFocusReason || r == Qt::PopupFocusReason)
            return false;
        checking_ = true;
        if (watched == edtStartSect)
            edtStartSectExit();
        else
            edtSectCntExit();
        checking_ = false;
    }
    return false;
}
