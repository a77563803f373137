// The drive list dialog on its own, with a stand-in for the card access dialog.
#include "CardInfo.h"
#include "Forms.h"
#include "ModalForm.h"
#include "MsgBox.h"
#include "QStringPrint.h"
#include "UnitState.h"

#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>

namespace {

// Records how it was shown and closes itself at once.
class FakeCardAcc : public ModalForm {
public:
    int shown = 0;
    QString title;
    bool listVisibleMeanwhile = false;
    uint32_t slotIndexMeanwhile = 99;

protected:
    void showEvent(QShowEvent *e) override
    {
        ++shown;
        title = windowTitle();
        listVisibleMeanwhile = CardInfoWidget && CardInfoWidget->isVisible();
        slotIndexMeanwhile = OpenSlotIndex;
        QTimer::singleShot(0, this, [this] { SetModalResult(mrCancel); });
        ModalForm::showEvent(e);
    }
};

SlotRecord Card(uint32_t sectors, char letter)
{
    SlotRecord r{};
    r.CardPresent = 1;
    r.Cylinders = sectors / 32 / 4;
    r.Heads = 4;
    r.SectorsPerTrack = 32;
    r.TotalSectors = sectors;
    r.SectorSize = 512;
    r.AccessTiming = 250;
    r.WaitCheck = 1;
    r.DriveLetter = static_cast<uint8_t>(letter);
    return r;
}

class CardInfoDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::memset(SlotTable, 0, sizeof SlotTable);
        for (int i = 0; i < kSlotTableEntries; ++i)
            SlotTable[i].DriveLetter = static_cast<uint8_t>('D' + i);
        OpenLampIndex = 0;
        OpenSlotIndex = 0;
        ClearMsgBoxLog();
        SetMsgResponder([](const MsgBoxCall &) { return int(mrOk); });
        dlg = new TCardInfoDlg;
        CardInfoDlg = dlg;
        CardInfoWidget = dlg;
        CardAccWidget = &fake;
    }
    void TearDown() override
    {
        SetMsgResponder({});
        CardAccWidget = nullptr;
        CardInfoWidget = nullptr;
        CardInfoDlg = nullptr;
        delete dlg;
    }

    void Unit(uint32_t model, uint32_t count, uint32_t vdAtEnd)
    {
        ModelKind = model;
        DeviceCount = count;
        VdAtEnd = vdAtEnd;
        VdIndex = vdAtEnd ? count - 1 : 0;
        MasterSlotIndex = vdAtEnd ? 0 : 1;
        TrueIdeMode = 0;
    }

    // Shows the list modally, runs body inside it, then closes it with the OK button.
    int RunInside(std::function<void()> body)
    {
        bool ran = false;
        QTimer::singleShot(0, dlg, [&] {
            body();
            ran = true;
            if (dlg->InModalLoop())
                dlg->OKBtn->click();
        });
        const int r = dlg->ShowModal();
        EXPECT_TRUE(ran);
        return r;
    }

    void PressKey(Qt::Key key)
    {
        QTest::keyClick(dlg->lbxCardInfo, key);
        QCoreApplication::processEvents();
    }

    void DoubleClickRow(int row)
    {
        QListWidget *l = dlg->lbxCardInfo;
        const QRect rect = l->visualItemRect(l->item(row));
        // A real double click: a click that selects the line, then the double click.
        QTest::mouseClick(l->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
        QTest::mouseDClick(l->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
        QCoreApplication::processEvents();
    }

    TCardInfoDlg *dlg = nullptr;
    FakeCardAcc fake;
};

TEST_F(CardInfoDialog, FillsOneLinePerSlotAndReplacesSingleLines)
{
    Unit(ModelTvq210, 11, 1);
    SlotTable[0] = Card(4096, 'D');   // slot 1, VD at the end
    SlotTable[2] = Card(8192, 'F');   // slot 3
    const int result = RunInside([&] {
        QListWidget *l = dlg->lbxCardInfo;
        ASSERT_EQ(l->count(), 11);
        EXPECT_EQ(l->currentRow(), 0);
        EXPECT_EQ(l->item(0)->text(), GetCardInfoHeader());
        EXPECT_EQ(l->item(3)->text(), GetCardInfoLine(true, 3));
        EXPECT_TRUE(l->item(3)->text().contains(QStringLiteral("8192")));
        EXPECT_EQ(l->item(2)->text(), GetCardInfoLine(false, 2));
        EXPECT_EQ(l->item(10)->text(), GetCardInfoLine(false, 10));
        EXPECT_EQ(l->font().pixelSize(), 12);
        EXPECT_TRUE(l->font().underline());
        EXPECT_EQ(l->visualItemRect(l->item(1)).height(), 12);

        std::vector<QString> before;
        for (int i = 0; i < l->count(); ++i)
            before.push_back(l->item(i)->text());
        dlg->ReplaceLine(3, GetCardInfoLine(false, 3));
        dlg->ReplaceLine(11, QStringLiteral("past the end"));
        dlg->ReplaceLine(0xFFFFFFFFu, QStringLiteral("far past the end"));
        ASSERT_EQ(l->count(), 11);
        for (int i = 0; i < l->count(); ++i)
            EXPECT_EQ(l->item(i)->text(), i == 3 ? GetCardInfoLine(false, 3) : before[size_t(i)]) << i;
    });
    EXPECT_EQ(result, mrOk);
    EXPECT_EQ(dlg->windowTitle(), QStringLiteral("ドライブ諸元情報一覧"));
    EXPECT_EQ(dlg->OKBtn->text(), QStringLiteral("閉じる(&C)"));

    // A six-slot unit has six slot lines; the list is refilled on every showing.
    Unit(ModelTvq206, 7, 0);
    RunInside([&] {
        EXPECT_EQ(dlg->lbxCardInfo->count(), 7);
        EXPECT_TRUE(dlg->lbxCardInfo->item(1)->text().startsWith(QStringLiteral("Slot M : ")));
    });
}

TEST_F(CardInfoDialog, HeaderAndEmptyLinesOpenNothing)
{
    Unit(ModelTvq210, 11, 0);
    SlotTable[1] = Card(4096, 'E');
    RunInside([&] {
        OpenLampIndex = 7;
        DoubleClickRow(0);
        EXPECT_EQ(OpenLampIndex, 0u);
        EXPECT_EQ(fake.shown, 0);
        EXPECT_TRUE(MsgBoxLog().empty());

        // Enter on the header neither opens anything nor closes the list.
        PressKey(Qt::Key_Return);
        EXPECT_TRUE(dlg->InModalLoop());
        EXPECT_EQ(fake.shown, 0);

        dlg->lbxCardInfo->setCurrentRow(4);
        PressKey(Qt::Key_Return);
        ASSERT_EQ(MsgBoxLog().size(), 1u);
        EXPECT_EQ(MsgBoxLog()[0].kind, MsgKind::Plain);
        EXPECT_EQ(MsgBoxLog()[0].text, QStringLiteral("カードがセットされていません。"));
        EXPECT_EQ(MsgBoxLog()[0].buttons, MsgButtons::Ok);
        EXPECT_EQ(OpenLampIndex, 4u);
        EXPECT_EQ(fake.shown, 0);
        EXPECT_TRUE(dlg->InModalLoop());

        // No line selected: nothing at all.
        dlg->lbxCardInfo->setCurrentRow(-1);
        OpenLampIndex = 9;
        dlg->lbxCardInfoDblClick();
        EXPECT_EQ(OpenLampIndex, 9u);
        EXPECT_EQ(MsgBoxLog().size(), 1u);
    });
}

TEST_F(CardInfoDialog, OpensTheSlotAboveTheList)
{
    Unit(ModelTvq210, 11, 1);
    SlotTable[2] = Card(4096, 'G');   // slot 3
    RunInside([&] {
        DoubleClickRow(3);
        EXPECT_EQ(fake.shown, 1);
        EXPECT_EQ(OpenLampIndex, 3u);
        EXPECT_EQ(fake.slotIndexMeanwhile, 2u);
        EXPECT_EQ(fake.title, QStringLiteral("SLOT#3 （G: ドライブ）"));
        EXPECT_TRUE(fake.listVisibleMeanwhile);
        // Back in the list after the card access dialog closed.
        EXPECT_TRUE(dlg->InModalLoop());
        EXPECT_TRUE(MsgBoxLog().empty());
    });

    Unit(ModelTvq206, 7, 0);
    SlotTable[1] = Card(4096, 'E');   // master slot
    SlotTable[3] = Card(4096, 'G');   // slot number 3 = "SLOT#2"
    RunInside([&] {
        dlg->lbxCardInfo->setCurrentRow(1);
        PressKey(Qt::Key_Enter);
        EXPECT_EQ(fake.title, QStringLiteral("MASTER SLOT （E: ドライブ）"));
        EXPECT_EQ(OpenSlotIndex, 1u);
        dlg->lbxCardInfo->setCurrentRow(3);
        PressKey(Qt::Key_Return);
        EXPECT_EQ(fake.title, QStringLiteral("SLOT#2 （G: ドライブ）"));
        EXPECT_EQ(OpenSlotIndex, 3u);
        EXPECT_EQ(fake.shown, 3);
    });
}

TEST_F(CardInfoDialog, EscapeClosesWithOk)
{
    Unit(ModelTvq210, 11, 0);
    QTimer::singleShot(0, dlg, [&] { QTest::keyClick(dlg->lbxCardInfo, Qt::Key_Escape); });
    EXPECT_EQ(dlg->ShowModal(), mrOk);

    // Closing the modal windows gives Cancel, as for any form.
    QTimer::singleShot(0, dlg, [&] { CloseModalWindows(); });
    EXPECT_EQ(dlg->ShowModal(), mrCancel);
    EXPECT_FALSE(dlg->isVisible());
}

} // namespace
