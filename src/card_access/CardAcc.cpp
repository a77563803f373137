#include "CardAcc.h"

#include "Fonts.h"
#include "Forms.h"
#include "InputLba.h"
#include "MsgBox.h"
#include "Shape.h"
#include "UnitState.h"
#include "WindowMessage.h"
#include "tvq2xx.h"
#include "ui_CardAcc.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLocale>
#include <QProgressBar>
#include <QScreen>
#include <QSettings>
#include <QShowEvent>
#include <QStyle>
#include <QStyleFactory>
#include <QToolButton>

#include <algorithm>
#include <cstring>

bool AbortRequested = false;

namespace {
const char *const kRegSubKeys[3] = {"ReadFile", "WriteFile", "CompFile"};

QSettings registryRoot()
{
    return QSettings(QStringLiteral("QEVRA LABS"), QStringLiteral("TVQCRDUT"));
}

void setLabelColor(QLabel *label, const QColor &color)
{
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, color);
    label->setPalette(pal);
}

bool validIndex(uint32_t index) { return index < static_cast<uint32_t>(kSlotTableEntries); }

TShape *lamp(uint32_t i) { return i < 11 ? SlotLamps[i] : nullptr; }

bool slotButtonEnabled(uint32_t i) { return i < 11 && SlotButtons[i] && SlotButtons[i]->isEnabled(); }

void paintLamp(uint32_t i, uint32_t color)
{
    if (TShape *l = lamp(i)) {
        l->setBrushColor(color);
        l->repaint();
    }
}
} // namespace

bool FileExistsPlain(const QString &name)
{
    if (name.isEmpty())
        return false;
    const QFileInfo fi(name);
    return fi.exists() && !fi.isDir();
}

TCardAccDlg::TCardAccDlg(QWidget *parent) : ModalForm(parent), ui(new Ui::TCardAccDlg)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    // The form's fixed geometry was drawn for this font; the desktop's may be larger.
    setFont(PGothicFont(12));
    setFixedSize(size());

    pnlDrvInfo = ui->pnlDrvInfo;
    Label1 = ui->Label1;
    lblIfMode = ui->lblIfMode;
    Label7 = ui->Label7;
    lblCardSize1 = ui->lblCardSize1;
    lblCardSize2 = ui->lblCardSize2;
    Label2 = ui->Label2;
    lblNumCylinders = ui->lblNumCylinders;
    Label3 = ui->Label3;
    lblNumHeads = ui->lblNumHeads;
    Label4 = ui->Label4;
    lblNumSectors = ui->lblNumSectors;
    Label5 = ui->Label5;
    lblSectOfTrack = ui->lblSectOfTrack;
    Label6 = ui->Label6;
    lblSizeOfSect = ui->lblSizeOfSect;
    lblCatItem1 = ui->lblCatItem1;
    lblCatParam1 = ui->lblCatParam1;
    lblCatItem2 = ui->lblCatItem2;
    lblCatParam2 = ui->lblCatParam2;
    btnRead = ui->btnRead;
    btnWrite = ui->btnWrite;
    btnCompare = ui->btnCompare;
    btnFormat = ui->btnFormat;
    btnTest = ui->btnTest;
    btnCancel = ui->btnCancel;
    btnAbort = ui->btnAbort;
    edtStatus = ui->edtStatus;
    ProgressBar1 = ui->ProgressBar1;
    lblWarning = ui->lblWarning;
    // No label stands beside these two; screen readers need their names.
    edtStatus->setAccessibleName(QStringLiteral("状態"));
    ProgressBar1->setAccessibleName(QStringLiteral("進行状況"));

    // Palettes rather than style sheets: the status line is repainted once per
    // operation step and must stay cheap. The bar is drawn in blocks, as the
    // system's own bar is, which also costs a fifth of a smooth one per step.
    QPalette status = edtStatus->palette();
    status.setColor(QPalette::Text, TShape::ToQColor(clLime));
    status.setColor(QPalette::Base, Qt::black);
    edtStatus->setPalette(status);
    setLabelColor(lblWarning, TShape::ToQColor(clRed));
    if (QStyle *blocks = QStyleFactory::create(QStringLiteral("Windows"))) {
        blocks->setParent(this);
        ProgressBar1->setStyle(blocks);
    }

    connect(btnRead, &QPushButton::clicked, this, &TCardAccDlg::btnReadClick);
    connect(btnWrite, &QPushButton::clicked, this, &TCardAccDlg::btnWriteClick);
    connect(btnCompare, &QPushButton::clicked, this, &TCardAccDlg::btnCompareClick);
    connect(btnFormat, &QPushButton::clicked, this, &TCardAccDlg::btnFormatClick);
    connect(btnTest, &QPushButton::clicked, this, &TCardAccDlg::btnTestClick);
    connect(btnAbort, &QPushButton::clicked, this, &TCardAccDlg::btnAbortClick);
    connect(btnCancel, &QPushButton::clicked, this, [this] { SetModalResult(mrCancel); });

    FormCreate();
}

TCardAccDlg::~TCardAccDlg()
{
    FormDestroy();
}

void TCardAccDlg::FormCreate()
{
    for (TCardAcc_ParamBlock &p : AccessParams)
        p = TCardAcc_ParamBlock{};
    btnAbort->hide();
    btnCancel->show();
}

void TCardAccDlg::FormDestroy()
{
    SaveReg();
}

void TCardAccDlg::showEvent(QShowEvent *event)
{
    ModalForm::showEvent(event);
    if (event->spontaneous())
        return;
    if (QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    FormShow();
}

void TCardAccDlg::FormShow()
{
    CardEventAbort = false;
    edtStatus->clear();
    CheckMasterSpec(OpenSlotIndex);
    DispDriveParam(OpenSlotIndex);
}

void TCardAccDlg::keyPressEvent(QKeyEvent *event)
{
    // The cancel button is what Escape presses; while it is hidden, nothing is.
    if (event->key() == Qt::Key_Escape && btnCancel->isHidden()) {
        event->accept();
        return;
    }
    ModalForm::keyPressEvent(event);
}

void TCardAccDlg::customEvent(QEvent *event)
{
    if (event->type() == WindowMessageEvent::Type()) {
        const auto *m = static_cast<WindowMessageEvent *>(event);
        if (m->msg == WM_CARD_REMOVED)
            WMCardRemoved(m->wParam, m->lParam);
        else if (m->msg == WM_CARD_INSERTED)
            WMCardInserted(m->wParam, m->lParam);
        return;
    }
    ModalForm::customEvent(event);
}

void TCardAccDlg::DispDriveParam(uint32_t slotIndex)
{
    if (!validIndex(slotIndex))
        return;
    const SlotRecord &r = SlotTable[slotIndex];
    const uint64_t bytes = static_cast<uint64_t>(r.TotalSectors) * r.SectorSize;
    const double capacity = static_cast<double>(bytes);
    if (capacity >= 1073741824.0)
        lblCardSize1->setText(QString::asprintf("%.1f GB", capacity / 1073741824.0));
    else if (capacity >= 1048576.0)
        lblCardSize1->setText(QString::asprintf("%.1f MB", capacity / 1048576.0));
    else if (capacity >= 1024.0)
        lblCardSize1->setText(QString::asprintf("%.1f KB", capacity / 1024.0));

    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    lblCardSize2->setText(QStringLiteral("(%1 byte)").arg(locale.toString(static_cast<qulonglong>(bytes))));

    lblNumCylinders->setText(QString::number(r.Cylinders));
    lblNumHeads->setText(QString::number(r.Heads));
    lblNumSectors->setText(QString::asprintf("%u (%02XH)", r.TotalSectors, r.TotalSectors));
    lblSectOfTrack->setText(QString::number(r.SectorsPerTrack));
    lblSizeOfSect->setText(QString::number(r.SectorSize) + QStringLiteral(" byte"));

    if (TrueIdeMode == 0) {
        lblIfMode->setText(QStringLiteral("（動作モード：　PC Card ATA）"));
        lblCatItem1->setText(QStringLiteral("デバイスアクセス速度"));
        lblCatParam1->setText(QString::number(r.AccessTiming) + QStringLiteral(" ns"));
        lblCatItem2->setText(QStringLiteral("-WAIT信号のチェック"));
    } else {
        lblIfMode->setText(QStringLiteral("（動作モード：　TrueIDE）"));
        lblCatItem1->setText(QStringLiteral("転送モード"));
        lblCatParam1->setText(QStringLiteral("PIO mode# ") + QString::number(r.AccessTiming & 7));
        lblCatItem2->setText(QStringLiteral("IORDY信号のチェック"));
    }
    lblCatParam2->setText(r.WaitCheck != 0 ? QStringLiteral("あり") : QStringLiteral("なし"));
}

void TCardAccDlg::ResetSpecMarks()
{
    const QColor normal = QApplication::palette().color(QPalette::WindowText);
    for (QObject *child : pnlDrvInfo->children()) {
        if (child->metaObject() == &QLabel::staticMetaObject)
            setLabelColor(static_cast<QLabel *>(child), normal);
    }
    lblWarning->hide();
    edtStatus->show();
    ProgressBar1->show();
}

void TCardAccDlg::CheckMasterSpec(uint32_t slotIndex)
{
    ResetSpecMarks();
    if (!validIndex(slotIndex) || !validIndex(MasterSlotIndex))
        return;
    if (slotIndex == VdIndex || slotIndex == MasterSlotIndex || SlotTable[MasterSlotIndex].CardPresent == 0)
        return;
    const SlotRecord &c = SlotTable[slotIndex];
    const SlotRecord &m = SlotTable[MasterSlotIndex];
    if (std::memcmp(&c, &m, kDriveParamBytes) == 0)
        return;
    if (!TransferActive) {
        edtStatus->hide();
        ProgressBar1->hide();
        lblWarning->show();
    }
    const QColor red = TShape::ToQColor(clRed);
    auto mark = [&](bool differs, QLabel *label) {
        if (differs)
            setLabelColor(label, red);
    };
    mark(c.Cylinders != m.Cylinders, lblNumCylinders);
    mark(c.Heads != m.Heads, lblNumHeads);
    mark(c.TotalSectors != m.TotalSectors, lblNumSectors);
    mark(c.SectorsPerTrack != m.SectorsPerTrack, lblSectOfTrack);
    mark(c.SectorSize != m.SectorSize, lblSizeOfSect);
    mark(c.AccessTiming != m.AccessTiming, lblCatParam1);
    mark(c.WaitCheck != m.WaitCheck, lblCatParam2);
    const bool size = c.TotalSectors != m.TotalSectors || c.SectorSize != m.SectorSize;
    mark(size, lblCardSize1);
    mark(size, lblCardSize2);
}

bool TCardAccDlg::IsAllSameSpec() const
{
    if (!validIndex(VdIndex) || SlotTable[VdIndex].CardPresent == 0)
        return false;
    const uint32_t n = std::min<uint32_t>(DeviceCount, kSlotTableEntries);
    for (uint32_t i = 0; i < n; ++i) {
        if (SlotTable[i].CardPresent != 0 && std::memcmp(&SlotTable[i], &SlotTable[VdIndex], kDriveParamBytes) != 0)
            return false;
    }
    return true;
}

uint32_t TCardAccDlg::LabelColor(const QLabel *label)
{
    const QColor c = label->palette().color(QPalette::WindowText);
    return static_cast<uint32_t>(c.red()) | static_cast<uint32_t>(c.green()) << 8 |
           static_cast<uint32_t>(c.blue()) << 16;
}

void TCardAccDlg::GetFileSize64(const QString &name, uint32_t &low, uint32_t &high)
{
    low = 0xFFFFFFFFu;
    high = 0xFFFFFFFFu;
    if (name.isEmpty())
        return;
    const QFileInfo fi(name);
    if (!fi.exists())
        return;
    const uint64_t size = static_cast<uint64_t>(fi.size());
    low = static_cast<uint32_t>(size);
    high = static_cast<uint32_t>(size >> 32);
}

void TCardAccDlg::LoadReg(int32_t op)
{
    if (op < 0 || op > 2)
        return;
    QSettings reg = registryRoot();
    const QString sub = QString::fromLatin1(kRegSubKeys[op]);
    if (!reg.childGroups().contains(sub))
        return;
    reg.beginGroup(sub);
    if (reg.contains(QStringLiteral("FileName")))
        AccessParams[op].FilePath = reg.value(QStringLiteral("FileName")).toString();
    reg.endGroup();
}

void TCardAccDlg::SaveReg()
{
    QSettings reg = registryRoot();
    for (int op = 0; op < 3; ++op) {
        reg.beginGroup(QString::fromLatin1(kRegSubKeys[op]));
        if (!AccessParams[op].FilePath.isEmpty())
            reg.setValue(QStringLiteral("FileName"), AccessParams[op].FilePath);
        reg.endGroup();
    }
    reg.sync();  // a store that cannot be written is skipped silently
}

void TCardAccDlg::btnAbortClick()
{
    AbortRequested = true;
}

void TCardAccDlg::LockDialog()
{
    for (QPushButton *b : {btnRead, btnWrite, btnCompare, btnTest})
        b->setEnabled(false);
    btnCancel->hide();
    btnAbort->show();
    if (!lblWarning->isHidden()) {
        lblWarning->hide();
        edtStatus->show();
        ProgressBar1->show();
    }
    TransferActive = true;
}

void TCardAccDlg::StartProgress(int maximum, const QString &word)
{
    // A bar of range 0..0 is a busy indicator that never stops moving: a run
    // with nothing to do (an empty file) shows an empty bar of one step instead.
    progressMaximum_ = std::max(maximum, 0);
    ProgressBar1->setRange(0, std::max(progressMaximum_, 1));
    ProgressBar1->setValue(0);
    edtStatus->setText(word);
    edtStatus->repaint();
    btnAbort->setFocus(Qt::OtherFocusReason);
}

void TCardAccDlg::StepProgress()
{
    if (!ProgressFull())
        ProgressBar1->setValue(std::max(ProgressBar1->value(), 0) + 1);
}

void TCardAccDlg::FillProgress()
{
    ProgressBar1->setValue(progressMaximum_);
}

bool TCardAccDlg::ProgressFull() const
{
    return ProgressBar1->value() >= progressMaximum_;
}

void TCardAccDlg::UnlockDialog()
{
    for (QPushButton *b : {btnRead, btnWrite, btnCompare, btnTest})
        b->setEnabled(true);
    btnAbort->hide();
    btnCancel->show();
    ProgressBar1->setValue(0);
    edtStatus->clear();
    edtStatus->repaint();
    for (uint32_t i = 0; i < 11; ++i) {
        if (TShape *l = lamp(i); l && l->brushColor() == clRed)
            paintLamp(i, clLime);
    }
}

void TCardAccDlg::RecheckMasterAfterRun()
{
    if ((SlotPresenceMask & 1) != 0 && OpenSlotIndex != MasterSlotIndex)
        CheckMasterSpec(OpenSlotIndex);
}

void TCardAccDlg::LampsOnSingle()
{
    paintLamp(OpenLampIndex, clRed);
    if (OpenSlotIndex == VdIndex && VdTargetSlot >= 0 && VdTargetSlot + 1 < 11)
        paintLamp(static_cast<uint32_t>(VdTargetSlot + 1), clRed);
}

void TCardAccDlg::LampsOnWrite()
{
    if (OpenSlotIndex == VdIndex) {
        const uint32_t n = std::min<uint32_t>(DeviceCount, 11);
        for (uint32_t i = 0; i < n; ++i) {
            if (slotButtonEnabled(i))
                paintLamp(i, clRed);
        }
    } else {
        paintLamp(OpenLampIndex, clRed);
    }
}

void TCardAccDlg::LampsOffWrite()
{
    if (OpenSlotIndex == VdIndex) {
        const uint32_t n = std::min<uint32_t>(DeviceCount, 11);
        for (uint32_t i = 0; i < n; ++i) {
            if (slotButtonEnabled(i))
                paintLamp(i, clLime);
        }
    } else {
        paintLamp(OpenLampIndex, clLime);
    }
}

void TCardAccDlg::LampsIdle()
{
    for (uint32_t i = 0; i < 11; ++i) {
        TShape *l = lamp(i);
        if (!l)
            continue;
        if (slotButtonEnabled(i)) {
            paintLamp(i, clLime);
        } else {
            l->setEnabled(false);
            l->repaint();
        }
    }
}

bool TCardAccDlg::ReadWithRetry(uint32_t lba, uint32_t count, const QString &failText)
{
    for (;;) {
        uint32_t target = OpenSlotIndex;
        if (TransferBuffer && ReadSectors(target, lba, count, TransferBuffer, 512))
            return true;
        if (ShowMessageBox(MsgKind::Error, failText, MsgButtons::AbortRetry, this) != mrRetry)
            return false;
    }
}

bool TCardAccDlg::WriteWithRetry(uint32_t lba, uint32_t count)
{
    for (;;) {
        uint32_t target = OpenSlotIndex;
        if (TransferBuffer && WriteSectors(target, lba, count, TransferBuffer, 512))
            return true;
        if (ShowMessageBox(MsgKind::Error, QStringLiteral("カードへの書き込みに失敗しました。"), MsgButtons::AbortRetry,
                           this) != mrRetry)
            return false;
    }
}

bool TCardAccDlg::PollAfterBlock(const QString &stopQuestion)
{
    QCoreApplication::processEvents();
    if (CardEventAbort)
        return true;
    if (AbortRequested) {
        // A box closed with the modal windows answers Cancel: the work is to end.
        if (ShowMessageBox(MsgKind::Confirmation, stopQuestion, MsgButtons::YesNo, this) != mrNo)
            return true;
        AbortRequested = false;
    }
    return false;
}

bool TCardAccDlg::AskAccessParams(int32_t op, const QString &caption, const QString &rangeCaption,
                                  const QString &fileCaption, bool saveAs)
{
    AccessOp = static_cast<uint32_t>(op);
    if (AccessParams[op].FilePath.isEmpty())
        LoadReg(op);
    if (!InputLbaDlg)
        return false;
    InputLbaDlg->Prepare(caption, rangeCaption, fileCaption,
                         saveAs ? TInputLbaDlg::ActFileSaveAs : TInputLbaDlg::ActFileOpen);
    return InputLbaDlg->ShowModal() == mrOk;
}
