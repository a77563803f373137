#include "CardAccFixture.h"

#include "Forms.h"
#include "ModalForm.h"
#include "Shape.h"
#include "UnitState.h"
#include "scsiio.h"
#include "tvq2xx.h"

#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tvqtest {

std::vector<uint8_t> Pattern(size_t bytes, uint32_t seed)
{
    std::vector<uint8_t> v(bytes);
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < bytes; ++i) {
        x = x * 1103515245u + 12345u;
        v[i] = static_cast<uint8_t>(x >> 16);
    }
    return v;
}

::testing::AssertionResult SameBytes(const std::vector<uint8_t> &actual, const std::vector<uint8_t> &expected)
{
    const size_t n = std::min(actual.size(), expected.size());
    for (size_t i = 0; i < n; ++i) {
        if (actual[i] != expected[i])
            return ::testing::AssertionFailure()
                   << "first difference at byte " << i << " (sector " << i / 512 << " + " << i % 512
                   << "): " << int(actual[i]) << " instead of " << int(expected[i]);
    }
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure() << actual.size() << " bytes instead of " << expected.size();
    return ::testing::AssertionSuccess();
}

void ClickRadio(QWidget *radio)
{
    QTest::mouseClick(radio, Qt::LeftButton, Qt::NoModifier, QPoint(6, radio->height() / 2));
}

void CardAccTest::SetUp()
{
    guard.Arm();
    static bool loaded = false;
    if (!loaded) {
        std::string why;
        ASSERT_TRUE(LoadScsiLibraryFrom(TVQ_LIBRARY_PATH, &why)) << why;
        loaded = true;
    }
    bus = std::make_unique<VirtualBus>();
    settingsDir = std::make_unique<QTemporaryDir>();
    ASSERT_TRUE(settingsDir->isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir->path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir->path());

    ClearMsgBoxLog();
    ClearFileDialogLog();
    SetMsgResponder([this](const MsgBoxCall &call) {
        if (answer)
            return answer(call);
        switch (call.buttons) {
        case MsgButtons::YesNo: return int(mrYes);
        case MsgButtons::AbortRetry: return int(mrAbort);
        case MsgButtons::Ok: break;
        }
        return int(mrOk);
    });
    SetFileDialogResponder([this](const FileDialogCall &) {
        if (filePicks.empty())
            return QString();
        QString name = filePicks.front();
        filePicks.pop_front();
        return name;
    });

    transferBuffer.reset(new uint8_t[kTransferBufferSize]);
    TransferBuffer = transferBuffer.get();

    slotHost = new QWidget;
    for (int i = 0; i < 11; ++i) {
        buttons[i] = new QToolButton(slotHost);
        buttons[i]->setObjectName(QStringLiteral("sbtSlot%1").arg(i));
        lamps[i] = new TShape(slotHost);
        lamps[i]->setObjectName(QStringLiteral("shpSlot%1").arg(i));
        SlotButtons[i] = buttons[i];
        SlotLamps[i] = lamps[i];
    }
    AccessOp = AccessRead;
    SaveAsAccepted = false;
    AbortRequested = false;
    TransferActive = false;
    InputLbaDlg = new TInputLbaDlg;
    CardAccDlg = new TCardAccDlg;
    CardAccWidget = CardAccDlg;
    QObject::connect(CardAccDlg->ProgressBar1, &QProgressBar::valueChanged,
                     [this](int v) { progressSeen.push_back(v); });
}

void CardAccTest::TearDown()
{
    guard.Release();
    delete CardAccDlg;
    CardAccDlg = nullptr;
    CardAccWidget = nullptr;
    delete InputLbaDlg;
    InputLbaDlg = nullptr;
    delete slotHost;
    slotHost = nullptr;
    for (int i = 0; i < 11; ++i) {
        SlotButtons[i] = nullptr;
        SlotLamps[i] = nullptr;
    }
    TransferBuffer = nullptr;
    SetMsgResponder({});
    SetFileDialogResponder({});
    std::memset(SlotTable, 0, sizeof SlotTable);
    DeviceCount = 0;
    bus.reset();
    settingsDir.reset();
}

void CardAccTest::MakeUnit(const std::vector<uint64_t> &cardBytes, vbus::Model model, uint32_t flags)
{
    bus->AddUnit("u", model, flags);
    for (size_t i = 0; i < cardBytes.size(); ++i) {
        if (cardBytes[i] != 0)
            bus->InsertBlank("u", static_cast<int>(i + 1), cardBytes[i]);
    }
    Scan();
}

void CardAccTest::Scan()
{
    std::memset(SlotTable, 0, sizeof SlotTable);
    DeviceCount = ScanUnit(SlotTable);
    ASSERT_GT(DeviceCount, 0u);
    ModelKind = ScanModel();
    ASSERT_TRUE(ReadFirmwareInfo(UnitInfo));
    CheckUnit(true, UnitInfo);
    for (uint32_t i = 0; i < DeviceCount; ++i)
        ReadDriveInfo(i, SlotTable[i]);
    ASSERT_TRUE(ReadSlotStatus(SlotStatusBlock));
    SlotPresenceMask = SlotStatusBlock.CardMask;
    VdTargetSlot = static_cast<int32_t>(SlotStatusBlock.VdTarget);
    for (uint32_t n = 0; n < 11; ++n) {
        const bool present = n < DeviceCount && SlotTable[SlotEntryOf(n)].CardPresent != 0;
        buttons[n]->setEnabled(present);
        lamps[n]->setEnabled(true);
        lamps[n]->setBrushColor(present ? clLime : clGray);
    }
}

std::string CardAccTest::CardPath(int slot) const
{
    return bus->CardImage("u", slot);
}

std::vector<uint8_t> CardAccTest::CardBytes(int slot) const
{
    return VirtualBus::ReadFile(CardPath(slot));
}

std::vector<uint8_t> CardAccTest::FillCard(int slot, uint32_t seed)
{
    const std::string path = CardPath(slot);
    const size_t size = VirtualBus::ReadFile(path).size();
    std::vector<uint8_t> bytes = Pattern(size, seed);
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    f.close();
    EXPECT_TRUE(f.good());
    return bytes;
}

QString CardAccTest::ScratchPath(const std::string &name) const
{
    return QString::fromStdString(bus->ScratchDir() + "/" + name);
}

QString CardAccTest::WriteScratch(const std::string &name, const std::vector<uint8_t> &bytes) const
{
    return QString::fromStdString(bus->WriteFile(name, bytes));
}

QMetaObject::Connection CardAccTest::TakeAwayAtFirstStep(const QString &path, bool pipe)
{
    return QObject::connect(CardAccDlg->ProgressBar1, &QProgressBar::valueChanged, [path, pipe](int v) {
        if (v == 1)
            QTimer::singleShot(0, [path, pipe] {
                ASSERT_EQ(::unlink(QFile::encodeName(path).constData()), 0);
                if (pipe) {
                    ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
                }
            });
    });
}

int CardAccTest::RunDialog(uint32_t slot, const std::function<void()> &steps)
{
    OpenLampIndex = slot;
    OpenSlotIndex = SlotEntryOf(slot);
    CardAccDlg->setWindowTitle(QStringLiteral("slot %1").arg(slot));
    QTimer::singleShot(0, CardAccDlg, [&steps] {
        steps();
        if (CardAccDlg->ModalResult() == mrNone)
            CardAccDlg->SetModalResult(mrCancel);
    });
    return CardAccDlg->ShowModal();
}

void CardAccTest::InParamDialog(const std::function<void(TInputLbaDlg *)> &steps)
{
    QTimer::singleShot(0, InputLbaDlg, [steps] {
        steps(InputLbaDlg);
        // A refused OK leaves the dialog open; a test must not hang on it.
        if (InputLbaDlg->InModalLoop() && InputLbaDlg->ModalResult() == mrNone)
            InputLbaDlg->SetModalResult(mrCancel);
    });
}

void CardAccTest::NextParams(uint32_t start, uint32_t count, const QString &file)
{
    InParamDialog([=](TInputLbaDlg *d) {
        if (count == 0) {
            ClickRadio(d->rbtAccAll);
        } else {
            ClickRadio(d->rbtAccSect);
            d->edtStartSect->setText(QString::asprintf("%08X", start));
            d->edtSectCnt->setText(QString::asprintf("%08X", count));
        }
        d->edtFilePath->setText(file);
        QTest::mouseClick(d->btnOk, Qt::LeftButton);
    });
}

void CardAccTest::Read(uint32_t start, uint32_t count, const QString &file)
{
    NextParams(start, count, file);
    QTest::mouseClick(CardAccDlg->btnRead, Qt::LeftButton);
}

void CardAccTest::Write(uint32_t start, uint32_t count, const QString &file)
{
    NextParams(start, count, file);
    QTest::mouseClick(CardAccDlg->btnWrite, Qt::LeftButton);
}

void CardAccTest::Compare(uint32_t start, uint32_t count, const QString &file)
{
    NextParams(start, count, file);
    QTest::mouseClick(CardAccDlg->btnCompare, Qt::LeftButton);
}

std::vector<QString> CardAccTest::BoxTexts() const
{
    std::vector<QString> v;
    for (const MsgBoxCall &c : MsgBoxLog())
        v.push_back(c.text);
    return v;
}

int CardAccTest::CountBoxes(const QString &text) const
{
    int n = 0;
    for (const MsgBoxCall &c : MsgBoxLog())
        n += c.text == text ? 1 : 0;
    return n;
}

}  // namespace tvqtest
