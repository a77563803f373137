// The unit pulled out and plugged in while the program runs, and the
// device notices that tell the window about it.
#include "AboutBox.h"
#include "AppFixture.h"
#include "AppMain.h"
#include "CardInfo.h"
#include "DeviceNotices.h"
#include "Forms.h"
#include "Shape.h"
#include "UnitState.h"
#include "WindowMessage.h"

#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QtTest/QTest>
#include <QtWidgets>

using namespace tvqtest;

namespace {
constexpr uint64_t kCard = 4ull << 20;

int CountCalls(VirtualBus &bus, const std::string &op)
{
    int n = 0;
    for (const vbus::CallRecord &c : bus.Bus().Calls())
        if (c.op == op)
            ++n;
    return n;
}

void ExpectNoUnitState(TAppMainForm *w)
{
    EXPECT_FALSE(w->Timer1->isActive());
    EXPECT_FALSE(w->lblNoInfo->isHidden());
    EXPECT_TRUE(w->pnlSocketInfo->isHidden());
    EXPECT_FALSE(w->mniOpen->isEnabled());
    EXPECT_FALSE(w->mniEject->isEnabled());
    EXPECT_FALSE(w->mniView->isEnabled());
    EXPECT_EQ(w->lblProductName->text(), QStringLiteral("ユニットが見つかりません"));
    EXPECT_EQ(w->lblProductCode->text(), QStringLiteral("ユニットが見つかりません"));
    EXPECT_EQ(w->lblBiosVer->text(), QStringLiteral("?.??"));
    EXPECT_EQ(w->lblAppVer->text(), QStringLiteral("?.??"));
    EXPECT_EQ(w->lblCardIfMode->text(), QStringLiteral("?????"));
    EXPECT_EQ(DeviceCount, 0u);
    EXPECT_EQ(ModelKind, 0u);
    EXPECT_EQ(SlotPresenceMask, 0u);
    EXPECT_EQ(OpenLampIndex, 0u);
    EXPECT_EQ(VdTargetSlot, 0);
    EXPECT_FALSE(UnitConnected);
    EXPECT_FALSE(TransferActive);
}

using DeviceChangeTest = AppFixture;

TEST_F(DeviceChangeTest, RemovalOfAnUnrelatedDeviceChangesNothing)
{
    Bus().AddForeign("a-disk", "OTHERVND", "USB DISK", "USB-BRIDGE", 2);
    Bus().AddUnit("u", Model::Tvq210);
    Bus().InsertBlank("u", 1, kCard);
    ASSERT_TRUE(CreateForms());
    ClearBoxes();
    TAppMainForm *w = AppMainForm;
    const QString name = w->lblProductName->text();

    Bus().Unplug("a-disk");
    w->WMDeviceChange(DBT_DEVICEREMOVECOMPLETE);
    // An arrival while the unit is connected is ignored too.
    w->WMDeviceChange(DBT_DEVICEARRIVAL);
    // Unknown event codes do nothing.
    w->WMDeviceChange(0x0007);

    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(w->Timer1->isActive());
    EXPECT_EQ(DeviceCount, 11u);
    EXPECT_TRUE(UnitConnected);
    EXPECT_EQ(w->lblProductName->text(), name);
    EXPECT_FALSE(w->pnlSocketInfo->isHidden());
    EXPECT_EQ(CountCalls(Bus(), "freeex"), 0);
    EXPECT_EQ(SlotPresenceMask, 1u);
}

TEST_F(DeviceChangeTest, PullingTheUnitStopsTheTimerClosesDialogsAndRestoresTheDesign)
{
    Bus().AddUnit("u", Model::Tvq210);
    Bus().InsertBlank("u", 1, kCard);
    Bus().InsertBlank("u", 2, kCard);
    ASSERT_TRUE(CreateForms());
    ClearBoxes();
    TAppMainForm *w = AppMainForm;
    w->btnAppHelp->setFocus();
    ASSERT_EQ(w->focusWidget(), w->btnAppHelp);

    bool timerDuringBox = true;
    bool listOpenDuringBox = false;
    int countDuringBox = -1;
    AnswerNextBox([&](const MsgBoxCall &) {
        timerDuringBox = w->Timer1->isActive();
        listOpenDuringBox = CardInfoWidget->isVisible();
        countDuringBox = static_cast<int>(DeviceCount);  // reset only after the box
        return int(mrOk);
    });
    // The drive list is open when the unit goes; the notice arrives in its modal loop.
    QTimer::singleShot(0, [&] {
        Bus().Unplug("u");
        PostWindowMessage(AppMainWidget, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0);
    });
    bool closedByItself = false;
    // A timer of this test only: one left running would fire in a later test,
    // on its locals and its windows.
    QTimer rescue;
    rescue.setSingleShot(true);
    QObject::connect(&rescue, &QTimer::timeout, [&] {
        if (CardInfoWidget && CardInfoWidget->isVisible())
            CardInfoDlg->SetModalResult(mrOk);
        else
            closedByItself = true;
    });
    rescue.start(3000);
    const int result = CardInfoDlg->ShowModal();
    EXPECT_EQ(result, mrCancel);

    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].kind, MsgKind::Error);
    EXPECT_EQ(Boxes()[0].text, QStringLiteral("ユニットの接続が切断されました。"));
    EXPECT_FALSE(timerDuringBox);
    EXPECT_TRUE(listOpenDuringBox);
    EXPECT_EQ(countDuringBox, 11);
    EXPECT_FALSE(CardInfoWidget->isVisible());
    ExpectNoUnitState(w);
    EXPECT_EQ(w->focusWidget(), w->btnAppClose) << "the exit button takes the focus";
    EXPECT_EQ(CountCalls(Bus(), "freeex"), 1);
    // What a removal keeps.
    EXPECT_TRUE(MenusBuilt);
    EXPECT_EQ(AllSlotsMask, 1023.0L);
    EXPECT_NE(DeviceOps.Free, nullptr);

    // A second removal notice for the same unit does nothing now.
    w->WMDeviceChange(DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(Boxes().size(), 1u);
}

TEST_F(DeviceChangeTest, NestedRemovalFreesOnce)
{
    Bus().AddUnit("u", Model::Tvq206);
    Bus().InsertBlank("u", 1, kCard);
    ASSERT_TRUE(CreateForms());
    ClearBoxes();
    TAppMainForm *w = AppMainForm;
    Bus().Unplug("u");

    // While the first box is open a second notice is handled.
    AnswerNextBox([&](const MsgBoxCall &) {
        w->WMDeviceChange(DBT_DEVICEREMOVECOMPLETE);
        return int(mrOk);
    });
    w->WMDeviceChange(DBT_DEVICEREMOVECOMPLETE);

    EXPECT_EQ(Boxes().size(), 2u);
    EXPECT_EQ(CountCalls(Bus(), "freeex"), 1);
    ExpectNoUnitState(w);
}

TEST_F(DeviceChangeTest, PluggingInEitherModelFillsPanelLabelsAndMenus)
{
    struct Case {
        Model model;
        uint32_t targets;
        long double all;
        const char *product;
    } cases[] = {{Model::Tvq206, 7, 63.0L, "TVQ-206"}, {Model::Tvq210, 11, 1023.0L, "TVQ-210CF"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.product);
        Bus().AddUnit("u", c.model, 0x0401, 0xABCD);
        Bus().InsertBlank("u", 2, kCard);
        Bus().Unplug("u");
        ASSERT_TRUE(CreateForms());
        TAppMainForm *w = AppMainForm;
        EXPECT_FALSE(UnitConnected);
        ClearBoxes();

        Bus().Plug("u");
        w->WMDeviceChange(DBT_DEVICEARRIVAL);

        EXPECT_TRUE(Boxes().empty()) << "no information box on arrival";
        EXPECT_TRUE(UnitConnected);
        EXPECT_EQ(DeviceCount, c.targets);
        EXPECT_EQ(StartupResult, 0);
        EXPECT_EQ(AllSlotsMask, c.all);
        EXPECT_EQ(SlotPresenceMask, 0u) << "the first tick applies every card again";
        EXPECT_TRUE(w->Timer1->isActive());
        EXPECT_FALSE(w->pnlSocketInfo->isHidden());
        EXPECT_TRUE(w->lblNoInfo->isHidden());
        EXPECT_EQ(w->lblProductName->text(), QString::fromLatin1(c.product));
        EXPECT_EQ(w->lblProductCode->text(), QStringLiteral("0000ABCD"));
        EXPECT_EQ(w->lblCardIfMode->text(), QStringLiteral("TrueIDE モード"));
        EXPECT_EQ(w->mniOpen->actions().size(), int(c.targets));
        EXPECT_TRUE(w->mniOpen->isEnabled());
        EXPECT_TRUE(OpenMenuItems[2]->isEnabled());
        EXPECT_FALSE(OpenMenuItems[1]->isEnabled());
        EXPECT_FALSE(w->mniEject->menuAction()->isVisible()) << "TrueIDE hides eject";

        // The first tick applies the card again with fresh drive information.
        SlotTable[SlotEntryOf(2)].Cylinders = 0;
        w->Timer1Timer();
        EXPECT_EQ(SlotPresenceMask, 0b10u);
        EXPECT_NE(SlotTable[SlotEntryOf(2)].Cylinders, 0u);
        EXPECT_EQ(SlotLamps[2]->brushColor(), uint32_t(clLime));

        TearDown();
        SetUp();
    }
}

TEST_F(DeviceChangeTest, ArrivalOfAnOldFirmwareShowsTheArrivalWordingAndEndsTheProgram)
{
    struct Case {
        const char *label;
        vbus::Firmware fw;
        QString text;
    };
    vbus::Firmware old;
    old.bios = 0x20009;
    vbus::Firmware mode;
    mode.flags = 0x0003;
    const Case cases[] = {
        {"2.09", old,
         QStringLiteral("検出されたユニットのファームウェアは、このプログラムに対応していません。\n"
                        "プログラムを実行する場合は、ファームウェアをバージョン「2.10」以降に更新して下さい。")},
        {"mode", mode,
         QStringLiteral("検出されたユニットの動作モードは、このプログラムに対応していません。\n"
                        "ユニット本体のディップスイッチの設定を確認して下さい。")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Bus().AddUnit("u", Model::Tvq210);
        Bus().SetFirmware("u", c.fw);
        Bus().Unplug("u");
        ASSERT_TRUE(CreateForms());
        TAppMainForm *w = AppMainForm;
        w->show();
        ClearBoxes();

        Bus().Plug("u");
        w->WMDeviceChange(DBT_DEVICEARRIVAL);

        ASSERT_EQ(Boxes().size(), 1u);
        EXPECT_EQ(Boxes()[0].kind, MsgKind::Error);
        EXPECT_EQ(Boxes()[0].text, c.text);
        EXPECT_FALSE(w->isVisible()) << "the main window closes, which ends the program";
        EXPECT_FALSE(w->Timer1->isActive());
        EXPECT_EQ(TransferBuffer, nullptr);
        EXPECT_TRUE(Bus().Bus().LockedTargets("u").empty());

        TearDown();
        SetUp();
    }
}

TEST_F(DeviceChangeTest, FailedFirmwareReadGivesMinus7AndLeavesEveryLabel)
{
    Bus().AddUnit("u", Model::Tvq210, 0x0401, 0x00ABCDEF);
    Bus().InsertBlank("u", 1, kCard);
    ASSERT_TRUE(CreateForms());
    TAppMainForm *w = AppMainForm;
    QLabel *labels[] = {w->lblProductName, w->lblProductCode, w->lblBiosVer, w->lblAppVer, w->lblCardIfMode};
    QStringList before;
    for (QLabel *l : labels)
        before << l->text();
    ASSERT_EQ(before[1], QStringLiteral("00ABCDEF"));
    const uint32_t trueIde = TrueIdeMode;

    const uint32_t id = Bus().SetFault("u", "op=readbuffer count=always effect=sense:04/44/00");
    EXPECT_EQ(w->DispDeviceInfo(), -7);
    EXPECT_GT(Bus().FireCount("u", id), 0u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(labels[i]->text(), before[i]) << labels[i]->objectName().toStdString();
    EXPECT_EQ(TrueIdeMode, trueIde);
}

TEST_F(DeviceChangeTest, IncompleteUnitOnArrivalIsTakenWithoutConfiguring)
{
    vbus::UnitDesc unitDesc;
    unitDesc.model = Model::Tvq210;
    unitDesc.targets = 5;  // fewer than any model
    unitDesc.connected = false;
    Bus().AddUnit("u", unitDesc);
    ASSERT_TRUE(CreateForms());
    TAppMainForm *w = AppMainForm;
    ClearBoxes();
    const QString label = w->lblProductName->text();

    Bus().Plug("u");
    w->WMDeviceChange(DBT_DEVICEARRIVAL);

    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(UnitConnected);
    EXPECT_EQ(DeviceCount, 5u);
    EXPECT_FALSE(w->pnlSocketInfo->isHidden());
    EXPECT_EQ(w->lblProductName->text(), label) << "the unit was not configured";
    // Further arrivals are ignored until the unit is gone.
    w->WMDeviceChange(DBT_DEVICEARRIVAL);
    EXPECT_EQ(DeviceCount, 5u);
}

TEST_F(DeviceChangeTest, BusNoticesReachTheWindow)
{
    FormOptions.deviceNotices = true;
    Bus().AddForeign("a-disk", "OTHERVND", "USB DISK", "USB-BRIDGE", 2);
    ASSERT_TRUE(CreateForms());
    TAppMainForm *w = AppMainForm;
    ClearBoxes();

    // A unit appears on the bus: the window configures it by itself.
    Bus().AddUnit("u", Model::Tvq206);
    Bus().InsertBlank("u", 1, kCard);
    ASSERT_TRUE(QTest::qWaitFor([&] { return UnitConnected; }, 5000));
    EXPECT_EQ(DeviceCount, 7u);
    EXPECT_TRUE(Boxes().empty());

    // Another device goes: the unit still answers, nothing happens.
    Bus().Unplug("a-disk");
    QTest::qWait(300);
    EXPECT_TRUE(UnitConnected);
    EXPECT_TRUE(Boxes().empty());

    // The unit is unplugged: the removal box, then the no-unit state.
    Bus().Unplug("u");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !UnitConnected; }, 5000));
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text, QStringLiteral("ユニットの接続が切断されました。"));
    ExpectNoUnitState(w);

    // And plugged in again.
    Bus().Plug("u");
    ASSERT_TRUE(QTest::qWaitFor([&] { return UnitConnected; }, 5000));
    EXPECT_TRUE(w->Timer1->isActive());
}

TEST_F(DeviceChangeTest, UnitComingOrGoingDuringTheStartupBoxIsNoticedOnceItCloses)
{
    FormOptions.deviceNotices = true;

    // Pulled out while the box is open: nothing happens behind the box, and
    // once it closes the window no longer shows a unit that is gone.
    Bus().AddUnit("u", Model::Tvq210);
    Bus().InsertBlank("u", 1, kCard);
    bool connectedAfterWait = false;
    size_t boxesDuringBox = 99;
    AnswerNextBox([&](const MsgBoxCall &) {
        Bus().Unplug("u");
        QTest::qWait(400);  // the watcher fires and settles while the box is open
        connectedAfterWait = UnitConnected;
        boxesDuringBox = Boxes().size();
        return int(mrOk);
    });
    ASSERT_TRUE(CreateForms());
    EXPECT_TRUE(connectedAfterWait) << "the removal must wait for the box";
    EXPECT_EQ(boxesDuringBox, 0u);
    ASSERT_TRUE(QTest::qWaitFor([] { return !UnitConnected; }, 5000)) << "the removal was lost";
    ASSERT_EQ(Boxes().size(), 2u);
    EXPECT_EQ(Boxes()[0].text, LimitNoticeText());
    EXPECT_EQ(Boxes()[1].text, QStringLiteral("ユニットの接続が切断されました。"));
    ExpectNoUnitState(AppMainForm);
    TearDown();
    SetUp();

    // Plugged in while the box is open: configured once it closes, with no
    // second information box.
    FormOptions.deviceNotices = true;
    bool connectedDuringBox = true;
    AnswerNextBox([&](const MsgBoxCall &) {
        Bus().AddUnit("u", Model::Tvq206);
        Bus().InsertBlank("u", 2, kCard);
        QTest::qWait(400);
        connectedDuringBox = UnitConnected;
        return int(mrOk);
    });
    ASSERT_TRUE(CreateForms());
    EXPECT_FALSE(connectedDuringBox);
    ASSERT_TRUE(QTest::qWaitFor([] { return UnitConnected; }, 5000)) << "the arrival was lost";
    TAppMainForm *w = AppMainForm;
    EXPECT_EQ(DeviceCount, 7u);
    EXPECT_EQ(w->lblProductName->text(), QStringLiteral("TVQ-206"));
    EXPECT_TRUE(w->lblNoInfo->isHidden());
    EXPECT_TRUE(w->Timer1->isActive());
    EXPECT_EQ(Boxes().size(), 1u) << "only the start-up box";
    w->Timer1Timer();
    EXPECT_EQ(SlotPresenceMask, 0b10u);
    EXPECT_EQ(SlotLamps[2]->brushColor(), uint32_t(clLime));
}

}  // namespace
