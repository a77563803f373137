#include "AppMain.h"

#include "ui_AppMain.h"

#include "AboutBox.h"
#include "AppIcon.h"
#include "CardAcc.h"
#include "CardInfo.h"
#include "Fonts.h"
#include "Forms.h"
#include "HourGlass.h"
#include "InputLba.h"
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
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <QToolButton>
#include <cmath>
#include <cstring>

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

constexpr int kSlots = 11;

const QString kNoUnit = QStringLiteral("ユニットが見つかりません");
const QString kNoVersion = QStringLiteral("?.??");
const QString kNoMode = QStringLiteral("?????");

// Slot numbers the arrays can hold: never beyond the 11 controls, whatever DeviceCount says.
uint32_t SlotCount() { return DeviceCount < kSlots ? DeviceCount : kSlots; }

bool CardAccOnScreen() { return CardAccWidget && CardAccWidget->isVisible(); }
bool CardInfoOnScreen() { return CardInfoDlg && CardInfoWidget && CardInfoWidget->isVisible(); }

void EnableItem(QAction *item, bool enabled)
{
    if (item)
        item->setEnabled(enabled);
}

QString DriveLetterText(uint8_t letter)
{
    // A letter the library did not give (0 or a control byte) shows as nothing.
    return letter > 0x20 && letter < 0x7F ? QString(QChar(letter)) : QString();
}

long double MaskOfTargets(uint32_t count)
{
    return count == 0 ? 0.0L : std::ldexp(1.0L, static_cast<int>(count) - 1) - 1.0L;
}
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
    OpenLampIndex = 0;
    SlotPresenceMask = 0;
    VdTargetSlot = 0;
    TransferActive = false;
    MenusBuilt = false;
    UnitConnected = false;
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

// ---- device information and arrival/removal ----

bool TAppMainForm::ScanDevice()
{
    std::memset(SlotTable, 0, sizeof SlotTable);
    DeviceCount = ScanUnit(SlotTable);
    if (DeviceCount == 0) {
        pnlSocketInfo->setVisible(false);
        lblNoInfo->setVisible(true);
        return false;
    }
    ModelKind = ScanModel();
    pnlSocketInfo->setVisible(true);
    lblNoInfo->setVisible(false);
    DeviceOps.Free = FreeDevices;
    DeviceOps.FreeEx = FreeDevicesEx;
    DeviceOps.Eject = EjectCard;
    DeviceOps.Format = FormatCard;
    DeviceOps.ReadFirmwareInfo = ReadFirmwareInfo;
    SetSlotLayout(ModelKind);
    return true;
}

int32_t TAppMainForm::DispDeviceInfo()
{
    if (!DeviceOps.ReadFirmwareInfo || !DeviceOps.ReadFirmwareInfo(UnitInfo))
        return UnitCheckFirmware;

    lblProductName->setText(FormatProductName(UnitInfo.ProductName));
    lblProductCode->setText(QString::asprintf("%8.8X", UnitInfo.ProductCode));
    const int32_t bios = UnitInfo.BiosVersion();
    const int32_t cardIf = UnitInfo.CardIfVersion();
    lblBiosVer->setText(bios == -1 ? kNoVersion : FormatVersion(static_cast<uint32_t>(bios)));
    lblAppVer->setText(cardIf == -1 ? kNoVersion : FormatVersion(static_cast<uint32_t>(cardIf)));

    // The check applies TrueIdeMode, VdAtEnd, VdIndex and MasterSlotIndex for a supported mode.
    const int32_t result = CheckUnit(true, UnitInfo);
    if ((UnitInfo.UnitFlags & 0xFF) == kSupportedMode)
        lblCardIfMode->setText((UnitInfo.UnitFlags & kFlagTrueIde) ? QStringLiteral("TrueIDE モード")
                                                                    : QStringLiteral("PC Card ATA モード"));
    else
        lblCardIfMode->setText(QStringLiteral("サポートしないモードです"));
    return result;
}

QString TAppMainForm::FormatProductName(const char (&name)[16])
{
    int len = 0;
    while (len < 16 && name[len] != '\0')
        ++len;
    while (len > 0 && name[len - 1] == ' ')
        --len;
    return QString::fromLatin1(name, len);
}

QString TAppMainForm::FormatVersion(uint32_t version)
{
    const uint32_t u = (version >> 16) & 0xF;
    const uint32_t t = (version >> 8) & 0xF;
    const uint32_t h = version & 0xF;
    return QString::asprintf("%1.2f", (u * 100 + t * 10 + h) / 100.0);
}

void TAppMainForm::ResetDesignTexts()
{
    lblProductName->setText(kNoUnit);
    lblProductCode->setText(kNoUnit);
    lblBiosVer->setText(kNoVersion);
    lblAppVer->setText(kNoVersion);
    lblCardIfMode->setText(kNoMode);
}

void TAppMainForm::WMDeviceChange(uintptr_t event)
{
    HourGlass wait;
    if (event == DBT_DEVICEREMOVECOMPLETE) {
        if (!UnitConnected)
            return;
        uint32_t target = 0;
        uint32_t model = ModelKind;
        if (CheckTargetIdentity(target, model))
            return;  // something else went; the unit still answers
        if (Timer1->isActive())
            Timer1->stop();
        ShowMessageBox(MsgKind::Error, QStringLiteral("ユニットの接続が切断されました。"));
        // A removal handled while the box was open has freed the unit already.
        if (DeviceCount > 0) {
            uint32_t all = 0xFF;
            if (DeviceOps.FreeEx)
                DeviceOps.FreeEx(all);
            DeviceCount = 0;
        }
        ModelKind = 0;
        SlotPresenceMask = 0;
        OpenLampIndex = 0;
        VdTargetSlot = 0;
        UnitConnected = false;
        TransferActive = false;
        // A running transfer must stop after its block: its target is gone, and
        // a Retry after a re-plug would go on with whatever card is there now.
        CardEventAbort = true;
        CloseModalWindows();
        mniOpen->setEnabled(false);
        mniEject->setEnabled(false);
        mniView->setEnabled(false);
        pnlSocketInfo->setVisible(false);
        lblNoInfo->setVisible(true);
        ResetDesignTexts();
        btnAppClose->setFocus();
    } else if (event == DBT_DEVICEARRIVAL) {
        if (UnitConnected)
            return;
        for (int attempt = 0; attempt < 10; ++attempt) {
            UnitConnected = ScanDevice();
            if (DeviceCount < 7)
                continue;
            StartupResult = InitMainFormConfig();
            if (StartupResult == UnitCheckFirmware) {
                ShowMessageBox(MsgKind::Error,
                               QStringLiteral("検出されたユニットのファームウェアは、このプログラムに対応していません。\n"
                                              "プログラムを実行する場合は、ファームウェアをバージョン「2.10」以降に更新して下さい。"));
                close();
            } else if (StartupResult == UnitCheckMode) {
                ShowMessageBox(MsgKind::Error,
                               QStringLiteral("検出されたユニットの動作モードは、このプログラムに対応していません。\n"
                                              "ユニット本体のディップスイッチの設定を確認して下さい。"));
                close();
            } else if (StartupResult == 0) {
                AllSlotsMask = MaskOfTargets(DeviceCount);
                SlotPresenceMask = 0;
                Timer1->start();
            }
            break;
        }
    }
}

// ---- slot status monitor ----

void TAppMainForm::SetLamp(uint32_t n, uint32_t color)
{
    if (n >= kSlots || !SlotLamps[n])
        return;
    if (n < SlotCount()) {
        const SlotRecord &rec = SlotTable[SlotEntryOf(n)];
        RefreshSlotLamp(SlotLamps[n], rec.CardPresent != 0, rec.SectorSize, rec.Heads);
    } else {
        RefreshSlotLamp(SlotLamps[n], false, 0, 0);
    }
    SlotLamps[n]->setBrushColor(color);  // repaints at once
}

void TAppMainForm::SetButtonEnabled(uint32_t n, bool enabled)
{
    if (n >= kSlots || !SlotButtons[n])
        return;
    SlotButtons[n]->setEnabled(enabled);
    SlotButtons[n]->repaint();
}

void TAppMainForm::Timer1Timer()
{
    // A tick never overlaps another; it switches the timer back to where it was.
    const bool wasRunning = Timer1->isActive();
    Timer1->stop();

    if (ReadSlotStatus(SlotStatusBlock)) {
        uint32_t mask = SlotStatusBlock.CardMask;
        uint32_t target = SlotStatusBlock.VdTarget;
        if (static_cast<long double>(mask) <= AllSlotsMask && mask != SlotPresenceMask)
            UpdateSlotStatus(mask, target);
    }

    if (CardAccOnScreen()) {
        const uint32_t last = DeviceCount == 7 ? 6 : 10;
        bool anyEnabled = false;
        for (uint32_t i = 1; i <= last; ++i)
            if (SlotButtons[i] && SlotButtons[i]->isEnabled())
                anyEnabled = true;
        if (!anyEnabled)
            VdTargetSlot = static_cast<int32_t>(SlotStatusBlock.VdTarget + 1);
    }

    if (wasRunning)
        Timer1->start();
}

void TAppMainForm::BuildSlotMenusOnce()
{
    if (MenusBuilt)
        return;
    MenusBuilt = CreateOpenMenuItems(ModelKind);
    if (TrueIdeMode == 0)
        CreateEjectMenuItems(ModelKind);
}

// The VD lost its card: its parameters cleared, its controls off.
void TAppMainForm::ShowVdGone()
{
    ClearDriveParams(SlotTable[VdIndex]);
    mniOpen->setEnabled(false);
    mniView->setEnabled(false);
    if (TrueIdeMode == 0)
        mniEject->setEnabled(false);
    SetButtonEnabled(0, false);
    SetLamp(0, clGray);
}

// The VD (re-read by the caller) has a card: its controls on, its lamp in lampColour.
void TAppMainForm::ShowVdPresent(uint32_t lampColour)
{
    mniOpen->setEnabled(true);
    mniView->setEnabled(true);
    EnableItem(OpenMenuItems[0], true);
    SetButtonEnabled(0, true);
    SetLamp(0, lampColour);
    if (TrueIdeMode == 0) {
        mniEject->setEnabled(true);
        EnableItem(EjectMenuItems[0], true);
    }
}

bool TAppMainForm::UpdateSlotStatus(uint32_t &mask, uint32_t &target)
{
    BuildSlotMenusOnce();

    if (static_cast<int32_t>(target) != VdTargetSlot) {
        if (mask == 0) {
            ShowVdGone();
        } else {
            if (!ReadDriveInfo(VdIndex, SlotTable[VdIndex]))
                return false;
            ShowVdPresent(TransferActive && OpenSlotIndex == VdIndex ? clRed : clLime);
        }
    }

    const uint32_t changed = mask ^ SlotPresenceMask;
    for (uint32_t n = 1; n < SlotCount(); ++n) {
        const uint32_t bit = 1u << (n - 1);
        if (!(changed & bit))
            continue;
        const uint32_t entry = SlotEntryOf(n);
        if (mask & bit) {
            ReadDriveInfo(entry, SlotTable[entry]);
            ReadDriveInfo(entry, SlotTable[entry]);
            EnableItem(OpenMenuItems[n], true);
            if (TrueIdeMode == 0)
                EnableItem(EjectMenuItems[n], true);
            SetButtonEnabled(n, true);
            if (TransferActive && AccessOp != AccessWrite && n == target + 1 && OpenSlotIndex == VdIndex) {
                const int32_t previous = VdTargetSlot + 1;
                if (previous >= 0 && previous < kSlots)
                    SetLamp(static_cast<uint32_t>(previous), clLime);
                SetLamp(n, clRed);
            } else {
                SetLamp(n, clLime);
            }
            if (CardInfoOnScreen())
                CardInfoDlg->ReplaceLine(n, GetCardInfoLine(true, n));
            if (CardAccOnScreen())
                PostWindowMessage(CardAccWidget, WM_CARD_INSERTED, n, static_cast<intptr_t>(target));
            else
                VdTargetSlot = static_cast<int32_t>(target);
        } else {
            ClearDriveParams(SlotTable[entry]);
            EnableItem(OpenMenuItems[n], false);
            if (TrueIdeMode == 0)
                EnableItem(EjectMenuItems[n], false);
            SetButtonEnabled(n, false);
            SetLamp(n, clGray);
            if (CardInfoOnScreen())
                CardInfoDlg->ReplaceLine(n, GetCardInfoLine(false, n));
            if (CardAccOnScreen())
                PostWindowMessage(CardAccWidget, WM_CARD_REMOVED, n, static_cast<intptr_t>(target));
            else
                VdTargetSlot = static_cast<int32_t>(target);
        }
    }

    SlotPresenceMask = mask;
    return true;
}

void TAppMainForm::WMSlotChanged(uintptr_t wParam, intptr_t lParam)
{
    // From any sender: only the low 32 bits of each parameter mean anything.
    const uint32_t target = static_cast<uint32_t>(wParam);
    const uint32_t mask = static_cast<uint32_t>(lParam);

    BuildSlotMenusOnce();

    if (mask == 0) {
        ShowVdGone();
    } else if (static_cast<int32_t>(target) != VdTargetSlot) {
        if (!ReadDriveInfo(VdIndex, SlotTable[VdIndex]))
            return;
        ShowVdPresent(TransferActive ? clRed : clLime);
    }

    const uint32_t changed = mask ^ SlotPresenceMask;
    for (uint32_t n = 1; n < SlotCount(); ++n) {
        const uint32_t bit = 1u << (n - 1);
        if (!(changed & bit))
            continue;
        const uint32_t entry = SlotEntryOf(n);
        if (mask & bit) {
            if (!ReadDriveInfo(entry, SlotTable[entry]))
                return;
            EnableItem(OpenMenuItems[n], true);
            if (TrueIdeMode == 0)
                EnableItem(EjectMenuItems[n], true);
            SetButtonEnabled(n, true);
            SetLamp(n, clLime);
            if (CardInfoOnScreen())
                CardInfoDlg->ReplaceLine(n, GetCardInfoLine(true, n));
            if (CardAccOnScreen())
                PostWindowMessage(CardAccWidget, WM_CARD_INSERTED, n, VdTargetSlot);
        } else {
            ClearDriveParams(SlotTable[entry]);
            EnableItem(OpenMenuItems[n], false);
            if (TrueIdeMode == 0)
                EnableItem(EjectMenuItems[n], false);
            SetButtonEnabled(n, false);
            SetLamp(n, clGray);
            if (CardInfoOnScreen())
                CardInfoDlg->ReplaceLine(n, GetCardInfoLine(false, n));
            if (CardAccOnScreen())
                PostWindowMessage(CardAccWidget, WM_CARD_REMOVED, n, VdTargetSlot);
        }
    }

    VdTargetSlot = static_cast<int32_t>(target);
    SlotPresenceMask = mask;
}

bool TAppMainForm::DispSlotStatus()
{
    if (!ReadSlotStatus(SlotStatusBlock))
        return false;
    SlotPresenceMask = SlotStatusBlock.CardMask;
    VdTargetSlot = static_cast<int32_t>(SlotStatusBlock.VdTarget);

    for (uint32_t n = 0; n < SlotCount(); ++n) {
        const SlotRecord &rec = SlotTable[SlotEntryOf(n)];
        if (SlotButtons[n])
            SlotButtons[n]->setText(DriveLetterText(rec.DriveLetter) + QStringLiteral(":"));
        const bool present = rec.CardPresent != 0;
        SetLamp(n, present ? clLime : clGray);
        SetButtonEnabled(n, present);
    }
    // A card with another sector size or without heads cannot be used.
    for (uint32_t n = 0; n < kSlots; ++n) {
        const bool exists = n < SlotCount();
        const SlotRecord *rec = exists ? &SlotTable[SlotEntryOf(n)] : nullptr;
        if (!rec || rec->SectorSize != 512 || rec->Heads == 0) {
            SetLamp(n, clGray);
            SetButtonEnabled(n, false);
        }
    }
    return true;
}

bool TAppMainForm::SetSlotLayout(uint32_t modelKind)
{
    if (modelKind != ModelTvq210 && modelKind != ModelTvq206)
        return false;
    const bool big = modelKind == ModelTvq210;
    const int size = big ? 25 : 27;
    for (int n = 0; n < kSlots; ++n) {
        QToolButton *button = SlotButtons[n] ? SlotButtons[n] : findChild<QToolButton *>(QStringLiteral("sbtSlot%1").arg(n));
        TShape *lamp = SlotLamps[n] ? SlotLamps[n] : findChild<TShape *>(QStringLiteral("shpSlot%1").arg(n));
        QLabel *caption = SlotCaptions[n] ? SlotCaptions[n] : findChild<QLabel *>(QStringLiteral("stxSlot%1").arg(n));
        const int left = n == 0 ? (big ? 12 : 53) : (big ? 25 * n + 26 : 27 * n + 71);
        button->setGeometry(left, button->y(), size, size);
        lamp->move(left + 8, lamp->y());
        lamp->setSlotLabel(SlotAccessLabel(modelKind, static_cast<uint32_t>(n)));
        caption->setGeometry(left, caption->y(), size, caption->height());
        if (n > 0)
            caption->setText(big ? QString::number(n)
                                 : (n == 1 ? QStringLiteral("M") : QString::number(n - 1)));
        else if (big)
            caption->setText(QStringLiteral("VD"));
        // A TVQ-206 has no slots 7 to 10; a TVQ-210CF after it needs them back.
        const bool shown = big || n <= 6;
        button->setVisible(shown);
        lamp->setVisible(shown);
        caption->setVisible(shown);
    }
    TShape *lamp1 = SlotLamps[1] ? SlotLamps[1] : findChild<TShape *>(QStringLiteral("shpSlot1"));
    lblMasterSlot->move(lamp1->x(), lblMasterSlot->y());
    return true;
}

// ---- menus and commands ----

bool TAppMainForm::CreateSlotMenuItems(uint32_t modelKind, bool eject)
{
    QMenu *menu = eject ? mniEject : mniOpen;
    QAction **items = eject ? EjectMenuItems : OpenMenuItems;
    const QString prefix = eject ? QStringLiteral("mniEject") : QStringLiteral("mniOpen");
    const Qt::KeyboardModifiers mod = eject ? Qt::AltModifier : Qt::ControlModifier;
    for (uint32_t n = 0; n < SlotCount(); ++n) {
        auto *item = new QAction(this);
        items[n] = item;
        menu->addAction(item);
        // Group index 1 and the link to the action: the item runs the command with itself as sender.
        item->setData(1);
        if (eject)
            connect(item, &QAction::triggered, this, [this, item] { Action2Execute(item); });
        else
            connect(item, &QAction::triggered, this, [this, item] { Action1Execute(item); });
        QString name, caption;
        QKeySequence key;
        if (n == 0) {
            name = prefix + QStringLiteral("VD");
            caption = QStringLiteral("VD");
            key = QKeySequence(QKeyCombination(mod, Qt::Key_V));
        } else if (modelKind == ModelTvq210) {
            name = prefix + QStringLiteral("Slot%1").arg(n);
            caption = QStringLiteral("Slot %1").arg(n);
            key = QKeySequence(QKeyCombination(mod, Qt::Key(Qt::Key_F1 + int(n) - 1)));
        } else if (modelKind == ModelTvq206) {
            if (n == 1) {
                name = prefix + QStringLiteral("SlotM");
                caption = QStringLiteral("Master");
                key = QKeySequence(QKeyCombination(mod, Qt::Key_M));
            } else {
                name = prefix + QStringLiteral("Slot%1").arg(n - 1);
                caption = QStringLiteral("Slot %1").arg(n - 1);
                key = QKeySequence(QKeyCombination(mod, Qt::Key(Qt::Key_F1 + int(n) - 2)));
            }
        }
        item->setObjectName(name);
        item->setText(caption);
        item->setShortcut(key);
        item->setEnabled(false);
    }
    return true;
}

bool TAppMainForm::CreateOpenMenuItems(uint32_t modelKind) { return CreateSlotMenuItems(modelKind, false); }
bool TAppMainForm::CreateEjectMenuItems(uint32_t modelKind) { return CreateSlotMenuItems(modelKind, true); }

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
