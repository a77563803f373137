// The unit behind the main window: the scan that finds it, the information
// panel of its firmware, and its arrival and removal while the program runs.
#include "AppMain.h"

#include "AppMainParts.h"
#include "CardAcc.h"
#include "HourGlass.h"
#include "ModalForm.h"
#include "MsgBox.h"
#include "UnitState.h"
#include "WindowMessage.h"
#include "tvq2xx.h"

#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <cstring>

using namespace appmain;

namespace {

const QString kNoUnit = QStringLiteral("ユニットが見つかりません");
const QString kNoVersion = QStringLiteral("?.??");
const QString kNoMode = QStringLiteral("?????");

} // namespace

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
        ForgetUnitActivity();
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
