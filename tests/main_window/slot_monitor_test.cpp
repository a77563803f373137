// The slot status monitor: the timer tick, the twin handler of
// WM_SLOT_CHANGED, the first display and the layout of both models.
#include "AppFixture.h"
#include "AppMain.h"
#include "CardInfo.h"
#include "Forms.h"
#include "MessagePort.h"
#include "ModalForm.h"
#include "Shape.h"
#include "UnitState.h"
#include "WindowMessage.h"

#include <QProcess>
#include <QtTest/QTest>
#include <QtWidgets>

using namespace tvqtest;

namespace {
constexpr uint64_t kCard = 4ull << 20;

uint32_t Lamp(int n) { return SlotLamps[n]->brushColor(); }

// Records the slot events posted to the card access dialog.
class EventSpy : public QObject {
public:
    struct Ev {
        int msg;
        uintptr_t slot;
        intptr_t target;
    };
    std::vector<Ev> got;
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == WindowMessageEvent::Type()) {
            auto *m = static_cast<WindowMessageEvent *>(e);
            got.push_back({m->msg, m->wParam, m->lParam});
            return true;  // the dialog itself does not see them here
        }
        return false;
    }
};

using SlotMonitorTest = AppFixture;

TEST_F(SlotMonitorTest, TickFollowsCardsAndLeavesTheVdWhileItsTargetStays)
{
    Bus().AddUnit("u", Model::Tvq210);
    Bus().InsertBlank("u", 1, kCard);
    Bus().InsertBlank("u", 2, kCard);
    ASSERT_TRUE(CreateForms());
    TAppMainForm *w = AppMainForm;
    ASSERT_EQ(VdTargetSlot, 0);
    EXPECT_EQ(Lamp(0), uint32_t(clLime));

    // A card arrives in slot 5: read twice, enabled, lime.
    Bus().InsertBlank("u", 5, 8ull << 20);
    w->Timer1Timer();
    EXPECT_EQ(SlotPresenceMask, 0b10011u);
    EXPECT_EQ(Lamp(5), uint32_t(clLime));
    EXPECT_TRUE(SlotButtons[5]->isEnabled());
    EXPECT_TRUE(OpenMenuItems[5]->isEnabled());
    EXPECT_TRUE(EjectMenuItems[5]->isEnabled());
    EXPECT_EQ(SlotTable[5].TotalSectors, 16384u);
    EXPECT_EQ(SlotTable[5].CardPresent != 0, true);

    // Cards 2 and 5 go; the VD target (slot 1) stays: the VD is left alone.
    const uint8_t letter = SlotTable[2].DriveLetter;
    Bus().Pull("u", 2);
    Bus().Pull("u", 5);
    w->Timer1Timer();
    EXPECT_EQ(SlotPresenceMask, 0b1u);
    EXPECT_EQ(Lamp(2), uint32_t(clGray));
    EXPECT_FALSE(SlotButtons[2]->isEnabled());
    EXPECT_FALSE(OpenMenuItems[2]->isEnabled());
    EXPECT_EQ(SlotTable[2].TotalSectors, 0u);
    EXPECT_EQ(SlotTable[2].DriveLetter, letter) << "the drive letter stays";

    // The last card goes; the unit reports mask 0 and still VD target 0, so
    // the VD and the menus stay as they were.
    Bus().Pull("u", 1);
    w->Timer1Timer();
    EXPECT_EQ(SlotStatusBlock.VdTarget, 0u);
    EXPECT_EQ(SlotPresenceMask, 0u);
    EXPECT_EQ(Lamp(1), uint32_t(clGray));
    EXPECT_EQ(Lamp(0), uint32_t(clLime));
    EXPECT_TRUE(SlotButtons[0]->isEnabled());
    EXPECT_TRUE(w->mniOpen->isEnabled());
    EXPECT_TRUE(w->mniView->isEnabled());
    EXPECT_TRUE(w->mniEject->isEnabled());

    // WM_SLOT_CHANGED with lParam 0 clears the VD whatever wParam says.
    PostWindowMessage(AppMainWidget, WM_SLOT_CHANGED, 0, 0);
    ProcessEvents();
    EXPECT_EQ(Lamp(0), uint32_t(clGray));
    EXPECT_FALSE(SlotButtons[0]->isEnabled());
    EXPECT_FALSE(w->mniOpen->isEnabled());
    EXPECT_FALSE(w->mniView->isEnabled());
    EXPECT_FALSE(w->mniEject->isEnabled());
    EXPECT_EQ(SlotTable[VdIndex].CardPresent, 0u);

    // A new card with a new VD target lights the VD again.
    Bus().InsertBlank("u", 3, kCard);
    w->Timer1Timer();
    EXPECT_EQ(SlotPresenceMask, 0b100u);
    EXPECT_EQ(VdTargetSlot, 2);
    EXPECT_EQ(Lamp(0), uint32_t(clLime));
    EXPECT_TRUE(w->mniOpen->isEnabled());
    EXPECT_NE(SlotTable[VdIndex].CardPresent, 0u);
}

TEST_F(SlotMonitorTest, MasksAboveAllSlotsAndFailedReadsAreIgnored)
{
    Bus().AddUnit("u", Model::Tvq206);
    Bus().InsertBlank("u", 1, kCard);
    ASSERT_TRUE(CreateForms());
    TAppMainForm *w = AppMainForm;
    ASSERT_EQ(AllSlotsMask, 63.0L);

    // The unit reports a mask with bits above its six slots (byte 9 of the block inverted).
    vbus::FaultRule corrupt;
    corrupt.ops = vbus::OpSlotStatus;
    corrupt.effect = vbus::Effect::Corrupt;
    corrupt.arg = 9;
    const uint32_t id = Bus().SetFault("u", corrupt);
    Bus().InsertBlank("u", 2, kCard);
    w->Timer1Timer();
    EXPECT_GT(Bus().FireCount("u", id), 0u);
    EXPECT_GT(SlotStatusBlock.CardMask, 63u);
    EXPECT_EQ(SlotPresenceMask, 1u);
    EXPECT_EQ(Lamp(2), uint32_t(clGray));
    EXPECT_TRUE(w->Timer1->isActive());

    // A failing status read changes nothing either.
    Bus().ClearFaults("u");
    Bus().SetFault("u", "op=slotstatus count=always effect=sense:04/44/00");
    w->Timer1Timer();
    EXPECT_EQ(SlotPresenceMask, 1u);

    // A failed VD read keeps the old mask, so the next tick tries again.
    Bus().ClearFaults("u");
    Bus().Pull("u", 1);
    const uint32_t vdFault = Bus().SetFault("u", "slot=vd op=driveinfo count=next:1 effect=sense:04/44/00");
    w->Timer1Timer();
    EXPECT_EQ(Bus().FireCount("u", vdFault), 1u);
    EXPECT_EQ(SlotPresenceMask, 1u);
    EXPECT_EQ(Lamp(1), uint32_t(clLime));
    w->Timer1Timer();
    EXPECT_EQ(SlotPresenceMask, 0b10u);
    EXPECT_EQ(VdTargetSlot, 1);
    EXPECT_EQ(Lamp(1), uint32_t(clGray));
    EXPECT_EQ(Lamp(2), uint32_t(clLime));
}

TEST_F(SlotMonitorTest, LayoutOfBothModels)
{
    Bus().AddUnit("u", Model::Tvq206);
    Bus().InsertBlank("u", 1, kCard);
    ASSERT_TRUE(CreateForms());
    TAppMainForm *w = AppMainForm;

    EXPECT_EQ(SlotButtons[0]->geometry(), QRect(53, 62, 27, 27));
    EXPECT_EQ(SlotLamps[0]->geometry(), QRect(61, 51, 9, 9));
    EXPECT_EQ(SlotCaptions[0]->text(), QStringLiteral("VD"));
    for (int n = 1; n <= 6; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(SlotButtons[n]->geometry(), QRect(27 * n + 71, 62, 27, 27));
        EXPECT_EQ(SlotLamps[n]->pos(), QPoint(27 * n + 79, 51));
        EXPECT_EQ(SlotCaptions[n]->x(), 27 * n + 71);
        EXPECT_EQ(SlotCaptions[n]->width(), 27);
        EXPECT_EQ(SlotCaptions[n]->y(), 36);
        EXPECT_EQ(SlotCaptions[n]->text(), n == 1 ? QStringLiteral("M") : QString::number(n - 1));
        EXPECT_FALSE(SlotButtons[n]->isHidden());
    }
    for (int n = 7; n <= 10; ++n) {
        SCOPED_TRACE(n);
        EXPECT_TRUE(SlotButtons[n]->isHidden());
        EXPECT_TRUE(SlotLamps[n]->isHidden());
        EXPECT_TRUE(SlotCaptions[n]->isHidden());
        EXPECT_FALSE(SlotButtons[n]->isEnabled());
        EXPECT_EQ(Lamp(n), uint32_t(clGray));
    }
    EXPECT_EQ(w->lblMasterSlot->x(), SlotLamps[1]->x());
    EXPECT_EQ(w->lblMasterSlot->text(), QStringLiteral("▲Master"));
    // The polling never reaches slots 7 to 10 of this model.
    Bus().InsertBlank("u", 6, kCard);
    w->Timer1Timer();
    EXPECT_EQ(Lamp(6), uint32_t(clLime));
    for (int n = 7; n <= 10; ++n)
        EXPECT_FALSE(SlotButtons[n]->isEnabled());

    // Unknown models change nothing.
    const QRect before = SlotButtons[3]->geometry();
    EXPECT_FALSE(w->SetSlotLayout(0));
    EXPECT_FALSE(w->SetSlotLayout(3));
    EXPECT_EQ(SlotButtons[3]->geometry(), before);

    // The other model after it: every slot is back, numbered 1 to 10.
    EXPECT_TRUE(w->SetSlotLayout(ModelTvq210));
    EXPECT_EQ(SlotButtons[0]->geometry(), QRect(12, 62, 25, 25));
    for (int n = 1; n <= 10; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(SlotButtons[n]->geometry(), QRect(25 * n + 26, 62, 25, 25));
        EXPECT_EQ(SlotLamps[n]->x(), 25 * n + 34);
        EXPECT_EQ(SlotCaptions[n]->text(), QString::number(n));
        EXPECT_FALSE(SlotButtons[n]->isHidden());
    }
    EXPECT_EQ(w->lblMasterSlot->x(), 59);
    // Everything stays inside the panel.
    EXPECT_LE(SlotButtons[10]->geometry().right(), w->pnlSocketInfo->width());
}

TEST_F(SlotMonitorTest, FirstDisplayShowsDriveLettersAndGreysUnusableCards)
{
    Bus().AddUnit("u", Model::Tvq210);
    Bus().InsertBlank("u", 1, kCard);
    vbus::DriveParams odd = vbus::DefaultDriveParams(kCard);
    odd.sectorSize = 1024;
    Bus().InsertBlank("u", 2, kCard, odd);
    vbus::DriveParams headless = vbus::DefaultDriveParams(kCard);
    headless.heads = 0;
    Bus().InsertBlank("u", 3, kCard, headless);
    ASSERT_TRUE(CreateForms());

    EXPECT_EQ(SlotPresenceMask, 0b111u);
    EXPECT_EQ(Lamp(1), uint32_t(clLime));
    EXPECT_EQ(Lamp(2), uint32_t(clGray));
    EXPECT_FALSE(SlotButtons[2]->isEnabled());
    EXPECT_EQ(Lamp(3), uint32_t(clGray));
    EXPECT_FALSE(SlotButtons[3]->isEnabled());
    for (int n = 0; n < 11; ++n) {
        const uint8_t letter = SlotTable[SlotEntryOf(n)].DriveLetter;
        if (letter > 0x20 && letter < 0x7F)
            EXPECT_EQ(SlotButtons[n]->text(), QString(QChar(letter)) + ":");
        else
            EXPECT_EQ(SlotButtons[n]->text(), QStringLiteral(":"));
    }
}

TEST_F(SlotMonitorTest, SlotChangedFromAnotherProcess)
{
    FormOptions.messagePort = true;
    Bus().AddUnit("u", Model::Tvq210);
    Bus().InsertBlank("u", 1, kCard);
    ASSERT_TRUE(CreateForms());
    TAppMainForm *w = AppMainForm;
    w->Timer1->stop();  // only the message may change anything here

    Bus().InsertBlank("u", 4, kCard);
    QProcess sender;
    sender.start(SEND_MESSAGE_PATH, {QString::number(WM_SLOT_CHANGED), "0", "9", MessagePort::DefaultPath()});
    ASSERT_TRUE(sender.waitForFinished(5000));
    EXPECT_EQ(sender.exitCode(), 0);
    ASSERT_TRUE(QTest::qWaitFor([] { return SlotPresenceMask == 9u; }, 5000));
    EXPECT_EQ(Lamp(4), uint32_t(clLime));
    EXPECT_TRUE(OpenMenuItems[4]->isEnabled());
    EXPECT_NE(SlotTable[4].CardPresent, 0u);

    // Other messages from outside are not taken: a removal notice does nothing.
    QProcess other;
    other.start(SEND_MESSAGE_PATH, {QString::number(WM_DEVICECHANGE), QString::number(DBT_DEVICEREMOVECOMPLETE),
                                    "0", MessagePort::DefaultPath()});
    ASSERT_TRUE(other.waitForFinished(5000));
    Bus().Unplug("u");
    QTest::qWait(200);
    EXPECT_TRUE(UnitConnected);
    EXPECT_TRUE(Boxes().size() == 1u) << "only the start-up box";
}

TEST_F(SlotMonitorTest, SlotChangedHandlerPostsWithTheOldTargetAndSkipsAFailedRead)
{
    Bus().AddUnit("u", Model::Tvq210);
    Bus().InsertBlank("u", 2, kCard);
    ASSERT_TRUE(CreateForms());
    TAppMainForm *w = AppMainForm;
    ASSERT_EQ(VdTargetSlot, 1);

    // With the card access dialog on screen the handler posts to it.
    EventSpy spy;
    CardAccWidget->installEventFilter(&spy);
    Bus().InsertBlank("u", 1, kCard);
    Bus().Pull("u", 2);
    QTimer::singleShot(0, [&] {
        w->WMSlotChanged(0, 0b1);
        ProcessEvents();
        qobject_cast<ModalForm *>(CardAccWidget)->SetModalResult(mrCancel);
    });
    qobject_cast<ModalForm *>(CardAccWidget)->ShowModal();
    CardAccWidget->removeEventFilter(&spy);
    ASSERT_EQ(spy.got.size(), 2u);
    EXPECT_EQ(spy.got[0].msg, WM_CARD_INSERTED);
    EXPECT_EQ(spy.got[0].slot, 1u);
    EXPECT_EQ(spy.got[0].target, 1) << "the VD target held before the message";
    EXPECT_EQ(spy.got[1].msg, WM_CARD_REMOVED);
    EXPECT_EQ(spy.got[1].slot, 2u);
    EXPECT_EQ(spy.got[1].target, 1);
    EXPECT_EQ(VdTargetSlot, 0);
    EXPECT_EQ(SlotPresenceMask, 1u);

    // A failed drive read of an arriving card stops the handler: mask and target stay.
    Bus().InsertBlank("u", 3, kCard);
    Bus().SetFault("u", "slot=3 op=driveinfo count=always effect=sense:04/44/00");
    w->WMSlotChanged(5, 0b101);
    EXPECT_EQ(SlotPresenceMask, 1u);
    EXPECT_EQ(VdTargetSlot, 0);
    // Outside values never index past the controls.
    Bus().ClearFaults("u");
    w->WMSlotChanged(0xFFFFFFFFu, 0xFFFFFFFFu);
    EXPECT_EQ(SlotPresenceMask, 0xFFFFFFFFu);
    w->Timer1Timer();  // the real status puts it right
    EXPECT_EQ(SlotPresenceMask, 0b101u);
}

TEST_F(SlotMonitorTest, DriveListFollowsCardsLineByLine)
{
    Bus().AddUnit("u", Model::Tvq210);
    Bus().InsertBlank("u", 1, kCard);
    ASSERT_TRUE(CreateForms());
    TAppMainForm *w = AppMainForm;

    QStringList before, after;
    QTimer::singleShot(0, [&] {
        ProcessEvents();
        for (int i = 0; i < CardInfoDlg->lbxCardInfo->count(); ++i)
            before << CardInfoDlg->lbxCardInfo->item(i)->text();
        Bus().InsertBlank("u", 3, kCard);
        w->Timer1Timer();
        for (int i = 0; i < CardInfoDlg->lbxCardInfo->count(); ++i)
            after << CardInfoDlg->lbxCardInfo->item(i)->text();
        CardInfoDlg->SetModalResult(mrOk);
    });
    w->mniViewClick();
    ASSERT_EQ(before.size(), 11);
    ASSERT_EQ(after.size(), 11);
    for (int i = 0; i < 11; ++i) {
        if (i != 3) {
            EXPECT_EQ(before[i], after[i]) << "line " << i;
        }
    }
    EXPECT_NE(before[3], after[3]);
    EXPECT_EQ(after[3], GetCardInfoLine(true, 3));

    // A removal writes the empty-slot line into exactly its own line.
    QStringList reopened, removed;
    QTimer::singleShot(0, [&] {
        ProcessEvents();
        for (int i = 0; i < CardInfoDlg->lbxCardInfo->count(); ++i)
            reopened << CardInfoDlg->lbxCardInfo->item(i)->text();
        Bus().Pull("u", 3);
        w->Timer1Timer();
        for (int i = 0; i < CardInfoDlg->lbxCardInfo->count(); ++i)
            removed << CardInfoDlg->lbxCardInfo->item(i)->text();
        CardInfoDlg->SetModalResult(mrOk);
    });
    w->mniViewClick();
    ASSERT_EQ(reopened.size(), 11);
    ASSERT_EQ(removed.size(), 11);
    for (int i = 0; i < 11; ++i) {
        if (i != 3) {
            EXPECT_EQ(reopened[i], removed[i]) << "line " << i;
        }
    }
    EXPECT_NE(removed[3], reopened[3]);
    EXPECT_EQ(removed[3], GetCardInfoLine(false, 3));
}

TEST_F(SlotMonitorTest, EjectAppliesTheNewStatusAtOnce)
{
    Bus().AddUnit("u", Model::Tvq210);
    Bus().InsertBlank("u", 1, kCard);
    Bus().InsertBlank("u", 3, kCard);
    ASSERT_TRUE(CreateForms());
    TAppMainForm *w = AppMainForm;
    w->Timer1->stop();
    ClearBoxes();

    EjectMenuItems[3]->trigger();
    EXPECT_FALSE(Bus().Bus().HasCard("u", 3));
    EXPECT_EQ(Lamp(3), uint32_t(clGray));
    EXPECT_FALSE(SlotButtons[3]->isEnabled());
    EXPECT_EQ(SlotPresenceMask, 1u);
    EXPECT_TRUE(Boxes().empty()) << "no question, no message";

    // A failed eject: the plain box, nothing else changes.
    Bus().SetFault("u", "op=eject count=always effect=sense:02/3A/00");
    EjectMenuItems[1]->trigger();
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].kind, MsgKind::Plain);
    EXPECT_EQ(Boxes()[0].title, QStringLiteral("TVQ-206/210CF Card Utility "));
    EXPECT_EQ(Boxes()[0].text, QStringLiteral("カードの取り出しに失敗しました。"));
    EXPECT_EQ(Lamp(1), uint32_t(clLime));
    EXPECT_EQ(SlotPresenceMask, 1u);
}

// A unit that reports one slot more than its model has: the scan keeps the
// model's targets, the status carries the extra slot's bit.
void AddUnitWithExtraSlot(VirtualBus &bus, Model model, uint32_t modelTargets)
{
    vbus::UnitDesc d;
    d.model = model;
    d.targets = modelTargets + 1;
    bus.AddUnit("u", d);
}

TEST_F(SlotMonitorTest, MaskJustAboveAllSlotsIsIgnoredAndAllSlotsIsTaken)
{
    struct Case {
        Model model;
        uint32_t targets;
        long double all;
    } cases[] = {{Model::Tvq206, 7, 63.0L}, {Model::Tvq210, 11, 1023.0L}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.targets);
        AddUnitWithExtraSlot(Bus(), c.model, c.targets);
        ASSERT_TRUE(CreateForms());
        TAppMainForm *w = AppMainForm;
        ASSERT_EQ(DeviceCount, c.targets);
        ASSERT_EQ(AllSlotsMask, c.all);
        ASSERT_EQ(SlotPresenceMask, 0u);

        // Only the slot beyond the model: mask 64 or 1024, one above all slots.
        const int extra = static_cast<int>(c.targets);
        Bus().InsertBlank("u", extra, kCard);
        w->Timer1Timer();
        ASSERT_EQ(SlotStatusBlock.CardMask, 1u << (extra - 1));
        EXPECT_EQ(SlotPresenceMask, 0u);
        for (uint32_t n = 0; n < c.targets; ++n)
            EXPECT_EQ(Lamp(n), uint32_t(clGray)) << "slot " << n;
        EXPECT_FALSE(w->mniOpen->isEnabled());

        // Every slot of the model: exactly all slots, taken.
        Bus().Pull("u", extra);
        for (int n = 1; n < extra; ++n)
            Bus().InsertBlank("u", n, kCard);
        w->Timer1Timer();
        EXPECT_EQ(SlotPresenceMask, static_cast<uint32_t>(c.all));
        for (uint32_t n = 1; n < c.targets; ++n)
            EXPECT_EQ(Lamp(n), uint32_t(clLime)) << "slot " << n;

        TearDown();
        SetUp();
    }
}

TEST_F(SlotMonitorTest, EjectAppliesTheStatusWithoutTheTickChecks)
{
    // The extra slot's card is in the status from the start, so every mask
    // from now on is above all slots: the tick would take none of them.
    AddUnitWithExtraSlot(Bus(), Model::Tvq206, 7);
    Bus().InsertBlank("u", 1, kCard);
    Bus().InsertBlank("u", 7, kCard);
    ASSERT_TRUE(CreateForms());
    TAppMainForm *w = AppMainForm;
    w->Timer1->stop();
    ASSERT_EQ(SlotPresenceMask, 65u);
    ASSERT_EQ(Lamp(1), uint32_t(clLime));

    EjectMenuItems[1]->trigger();
    EXPECT_FALSE(Bus().Bus().HasCard("u", 1));
    EXPECT_EQ(SlotPresenceMask, 64u);
    EXPECT_EQ(Lamp(1), uint32_t(clGray));
    EXPECT_FALSE(SlotButtons[1]->isEnabled());
    EXPECT_FALSE(OpenMenuItems[1]->isEnabled());
}

}  // namespace
