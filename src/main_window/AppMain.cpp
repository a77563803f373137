// The main window's creation, start-up and shutdown, the dispatch of posted
// messages, and the commands of its buttons and menus.
#include "AppMain.h"

#include "ui_AppMain.h"

#include "AboutBox.h"
#include "AppIcon.h"
#include "AppMainParts.h"
#include "CardInfo.h"
#include "Fonts.h"
#include "Forms.h"
#include "ModalForm.h"
#include "MsgBox.h"
#include "Shape.h"
#include "ShellOpen.h"
#include "SlotAccess.h"
#include "UnitState.h"
#include "WindowMessage.h"
#include "tvq2xx.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <QToolButton>
#include <cstring>

using namespace appmain;

QAction *OpenMenuItems[11] = {};
QAction *EjectMenuItems[11] = {};
QString StartupDir;

namespace {

// Page-aligned, so that a card bound to a block device takes its data
// straight from it (direct I/O), without a copy in the library.
struct alignas(4096) TransferBlock {
    uint8_t bytes[kTransferBufferSize];
};
TransferBlock *g_transferBlock = nullptr;

} // namespace

QString LimitNoticeText() { return QStringLiteral("※Limit Editionは最大2MBアクセスです。"); }

QString SlotCaptionName(uint32_t slot)
{
    if (slot == 0)
        return QStringLiteral("VD");
    switch (ModelKind) {
    case ModelTvq210: return QStringLiteral("SLOT#%1").arg(slot);
    case ModelTvq206:
        return slot == 1 ? QStringLiteral("MASTER SLOT") : QStringLiteral("SLOT#%1").arg(slot - 1);
    default: return QString();
    }
}

QString CardAccessCaption(uint32_t slot, uint32_t entry)
{
    const uint8_t letter = entry < kSlots ? SlotTable[entry].DriveLetter : 0;
    return SlotCaptionName(slot) + QStringLiteral(" （") + DriveLetterText(letter) +
           QStringLiteral(": ドライブ）");
}

void ResetMainWindowState()
{
    for (int i = 0; i < kSlots; ++i) {
        OpenMenuItems[i] = nullptr;
        EjectMenuItems[i] = nullptr;
    }
    StartupDir.clear();
}

TAppMainForm::TAppMainForm(QWidget *parent) : QMainWindow(parent), ui(new Ui::TAppMainForm)
{
    InstallSlotAccessibility();
    ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(AppIcon());
    RegisterForm(this);

    MainMenu1 = ui->MainMenu1;
    gbxUnitInfo = ui->gbxUnitInfo;
    Label1 = ui->Label1;
    Label2 = ui->Label2;
    Label3 = ui->Label3;
    Label4 = ui->Label4;
    Label5 = ui->Label5;
    lblProductName = ui->lblProductName;
    lblProductCode = ui->lblProductCode;
    lblBiosVer = ui->lblBiosVer;
    lblAppVer = ui->lblAppVer;
    lblCardIfMode = ui->lblCardIfMode;
    pnlSocketInfo = ui->pnlSocketInfo;
    lblMasterSlot = ui->lblMasterSlot;
    lblNoInfo = ui->lblNoInfo;
    btnAppClose = ui->btnAppClose;
    btnAppHelp = ui->btnAppHelp;
    mniCard = ui->mniCard;
    mniOpen = ui->mniOpen;
    mniEject = ui->mniEject;
    mniHelp = ui->mniHelp;
    mniView = ui->mniView;
    mniExit = ui->mniExit;
    mniContents = ui->mniContents;
    mniAbout = ui->mniAbout;
    mniPopEject = ui->mniPopEject;
    Action1 = ui->Action1;
    Action2 = ui->Action2;
    FileExit1 = ui->FileExit1;

    // Fonts by pixel height, as the form was drawn.
    setFont(PGothicFont(12));
    MainMenu1->setFont(PGothicFont(12));
    lblNoInfo->setFont(PGothicFont(24));
    centralWidget()->setFixedSize(438, 262);
    setFixedSize(438, 262 + MainMenu1->sizeHint().height());

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    PopupMenu1->addAction(mniPopEject);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &TAppMainForm::Timer1Timer);

    connect(FileExit1, &QAction::triggered, this, &QWidget::close);
    connect(mniExit, &QAction::triggered, FileExit1, &QAction::trigger);
    connect(btnAppClose, &QPushButton::clicked, FileExit1, &QAction::trigger);
    connect(mniView, &QAction::triggered, this, &TAppMainForm::mniViewClick);
    connect(mniAbout, &QAction::triggered, this, &TAppMainForm::mniAboutClick);
    connect(mniContents, &QAction::triggered, this, &TAppMainForm::btnAppHelpClick);
    connect(btnAppHelp, &QPushButton::clicked, this, &TAppMainForm::btnAppHelpClick);
    connect(mniPopEject, &QAction::triggered, this, [this] { Action2Execute(mniPopEject); });

    const QPixmap glyph = CardGlyph();
    for (int n = 0; n < kSlots; ++n) {
        auto *button = findChild<QToolButton *>(QStringLiteral("sbtSlot%1").arg(n));
        button->setIcon(QIcon(glyph));
        button->setIconSize(glyph.size());
        connect(button, &QToolButton::clicked, this, [this, n] { sbtSlotClick(n); });
        connect(button, &QWidget::customContextMenuRequested, this,
                [this, n](const QPoint &pos) { sbtSlotContextPopup(n, pos); });
        auto *lamp = findChild<TShape *>(QStringLiteral("shpSlot%1").arg(n));
        if (lamp)
            lamp->setSlotLabel(SlotAccessLabel(ModelTvq210, static_cast<uint32_t>(n)));
        BindSlotAccess(button, lamp);
    }
}

TAppMainForm::~TAppMainForm()
{
    UnregisterForm(this);
    for (int i = 0; i < kSlots; ++i) {
        SlotButtons[i] = nullptr;
        SlotLamps[i] = nullptr;
        SlotCaptions[i] = nullptr;
        OpenMenuItems[i] = nullptr;
        EjectMenuItems[i] = nullptr;
    }
    delete ui;
}

// ---- start-up and shutdown ----

void TAppMainForm::FormCreate()
{
    setWindowTitle(QString::fromUtf8(kMainCaption));

    StartupResult = 0;
    DeviceCount = 0;
    MenusBuilt = false;
    ForgetUnitActivity();
    std::memset(&SlotStatusBlock, 0, sizeof SlotStatusBlock);
    std::memset(&DeviceOps, 0, sizeof DeviceOps);

    delete g_transferBlock;
    g_transferBlock = new TransferBlock();
    TransferBuffer = g_transferBlock->bytes;

    for (int i = 0; i < kSlots; ++i) {
        SlotButtons[i] = findChild<QToolButton *>(QStringLiteral("sbtSlot%1").arg(i));
        SlotLamps[i] = findChild<TShape *>(QStringLiteral("shpSlot%1").arg(i));
        SlotCaptions[i] = findChild<QLabel *>(QStringLiteral("stxSlot%1").arg(i));
    }

    StartupDir = QDir::currentPath();

    UnitConnected = ScanDevice();

    if (DeviceCount > 0) {
        StartupResult = InitMainFormConfig();
        if (StartupResult != 0)
            return;
        MenusBuilt = true;
        AllSlotsMask = MaskOfTargets(DeviceCount);
        SlotPresenceMask = 0;
        InitMainFormConfig();
    } else {
        mniOpen->setEnabled(false);
        mniEject->setEnabled(false);
        mniView->setEnabled(false);
    }

    ShowMessageBox(MsgKind::Information, LimitNoticeText());
    Timer1->start();

    // A unit plugged in or pulled out while the box was open: handled now,
    // from the message loop, as if it had just happened.
    startupDone_ = true;
    for (uintptr_t notice : heldNotices_)
        PostWindowMessage(this, WM_DEVICECHANGE, notice, 0);
    heldNotices_.clear();
}

int32_t TAppMainForm::InitMainFormConfig()
{
    const int32_t r = DispDeviceInfo();
    if (r != 0)
        return r;

    if (!MenusBuilt) {
        MenusBuilt = CreateOpenMenuItems(ModelKind);
        CreateEjectMenuItems(ModelKind);
    }

    mniEject->menuAction()->setVisible(TrueIdeMode == 0);
    mniPopEject->setVisible(TrueIdeMode == 0);

    if (!DispSlotStatus())
        return 0;

    if (SlotPresenceMask == 0) {
        mniOpen->setEnabled(false);
        mniView->setEnabled(false);
        if (TrueIdeMode == 0)
            mniEject->setEnabled(false);
        return 0;
    }

    mniOpen->setEnabled(true);
    mniView->setEnabled(true);
    EnableItem(OpenMenuItems[0], true);
    if (TrueIdeMode == 0) {
        mniEject->setEnabled(true);
        EnableItem(EjectMenuItems[0], true);
        mniPopEject->setEnabled(true);
    }
    for (uint32_t i = 1; i < SlotCount(); ++i) {
        const bool present = (SlotPresenceMask >> (i - 1)) & 1u;
        EnableItem(OpenMenuItems[i], present);
        if (TrueIdeMode == 0)
            EnableItem(EjectMenuItems[i], present);
    }
    return 0;
}

void TAppMainForm::ReleaseUnitAndBuffer()
{
    if (Timer1->isActive())
        Timer1->stop();
    if (DeviceCount > 0 && DeviceOps.Free)
        DeviceOps.Free();
    delete g_transferBlock;
    g_transferBlock = nullptr;
    TransferBuffer = nullptr;
}

void TAppMainForm::FormClose()
{
    if (closed_)
        return;
    closed_ = true;
    ReleaseUnitAndBuffer();
}

void TAppMainForm::FormDestroy()
{
    // The refused-unit path never runs the message loop, so the window never
    // closed; the unit would stay locked for every other program.
    if (!closed_) {
        closed_ = true;
        ReleaseUnitAndBuffer();
    }
}

void TAppMainForm::closeEvent(QCloseEvent *e)
{
    FormClose();
    e->accept();
    // Closing the main window ends the program.
    QCoreApplication::quit();
}

bool TAppMainForm::event(QEvent *e)
{
    if (e->type() == WindowMessageEvent::Type()) {
        auto *m = static_cast<WindowMessageEvent *>(e);
        switch (m->msg) {
        case WM_DEVICECHANGE:
            if (startupDone_)
                WMDeviceChange(m->wParam);
            else if (heldNotices_.empty() || heldNotices_.back() != m->wParam)
                heldNotices_.push_back(m->wParam);
            break;
        case WM_SLOT_CHANGED: WMSlotChanged(m->wParam, m->lParam); break;
        default: break;
        }
        return true;
    }
    return QMainWindow::event(e);
}

// ---- commands ----

void TAppMainForm::sbtSlotClick(int n)
{
    // One group in which a pressed button stays down and all may be up.
    QToolButton *pressed = SlotButtons[n];
    if (pressed && pressed->isChecked())
        for (int i = 0; i < kSlots; ++i)
            if (SlotButtons[i] && i != n)
                SlotButtons[i]->setChecked(false);
    Action1Execute(pressed);
}

void TAppMainForm::sbtSlotContextPopup(int n, const QPoint &pos)
{
    QToolButton *button = SlotButtons[n];
    if (!button)
        return;
    PopupComponent = button;
    PopupMenu1->popup(button->mapToGlobal(pos));
}

void TAppMainForm::Action1Execute(QObject *sender)
{
    for (uint32_t n = 0; n < SlotCount(); ++n) {
        if (sender && (sender == SlotButtons[n] || sender == OpenMenuItems[n])) {
            OpenLampIndex = n;
            break;
        }
    }
    OpenSlotIndex = SlotEntryOf(OpenLampIndex);
    auto *dialog = qobject_cast<ModalForm *>(CardAccWidget);
    if (!dialog)
        return;
    dialog->setWindowTitle(CardAccessCaption(OpenLampIndex, OpenSlotIndex));
    dialog->ShowModal();
    // The open slot's button stayed down while the dialog was open. Released
    // even when a removal has reset OpenLampIndex meanwhile.
    for (int i = 0; i < kSlots; ++i)
        if (sender && sender == SlotButtons[i])
            SlotButtons[i]->setChecked(false);
}

void TAppMainForm::Action2Execute(QObject *sender)
{
    if (TrueIdeMode != 0)
        return;
    bool found = false;
    uint32_t n = 0;
    for (; n < SlotCount(); ++n) {
        if (sender == mniPopEject ? (PopupComponent && PopupComponent == SlotButtons[n])
                                  : (sender && sender == EjectMenuItems[n])) {
            found = true;
            break;
        }
    }
    if (!found || !DeviceOps.Eject)
        return;
    uint32_t entry = SlotEntryOf(n);
    if (DeviceOps.Eject(entry)) {
        if (ReadSlotStatus(SlotStatusBlock)) {
            uint32_t mask = SlotStatusBlock.CardMask;
            uint32_t target = SlotStatusBlock.VdTarget;
            UpdateSlotStatus(mask, target);
        }
    } else {
        ShowMessageBox(MsgKind::Plain, QStringLiteral("カードの取り出しに失敗しました。"));
    }
}

void TAppMainForm::mniViewClick()
{
    if (CardInfoDlg)
        CardInfoDlg->ShowModal();
}

void TAppMainForm::mniAboutClick()
{
    if (AboutBoxDlg)
        AboutBoxDlg->ShowModal();
}

void TAppMainForm::btnAppHelpClick()
{
    if (!QDir::setCurrent(StartupDir))
        return;
    // The start-up folder first, as ever; an installed program then finds
    // its own copy, wherever it was started from.
    if (!ShellOpenDocument(LocateDocument(QString::fromLatin1(kHelpFileName))))
        ShowMessageBox(MsgKind::Information,
                       QStringLiteral("TVQCRDUT.chm が見つかりません。TVQCRDUT.exe と同じフォルダに存在するか確認してください。"));
}
