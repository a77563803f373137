// The drive list over the whole application: shown from the View menu, its
// lines rewritten by the slot monitor, slots opened in the real card access dialog.
#include "AppFixture.h"

#include "AppMain.h"
#include "CardAcc.h"
#include "CardInfo.h"
#include "Forms.h"
#include "ModalForm.h"
#include "QStringPrint.h"
#include "UnitState.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using namespace tvqtest;

namespace {

const QString kNoCard = QStringLiteral("カードがセットされていません。");

class DriveListScenario : public AppFixture {
protected:
    void Start()
    {
        ASSERT_TRUE(CreateForms());
        AppMainForm->Timer1->stop();  // only Tick() looks at the unit
        ClearBoxes();
    }
    void Tick()
    {
        AppMainForm->Timer1Timer();
        ProcessEvents();
    }
    // Shows the list from the View menu and runs steps inside it.
    void InList(const std::function<void(QListWidget *)> &steps)
    {
        bool ran = false;
        QTimer::singleShot(0, CardInfoDlg, [&] {
            // Let the window's activation (which refills the list) pass first.
            ProcessEvents();
            steps(CardInfoDlg->lbxCardInfo);
            ran = true;
            if (CardInfoDlg->InModalLoop())
                CardInfoDlg->OKBtn->click();
        });
        AppMainForm->mniViewClick();
        EXPECT_TRUE(ran);
        EXPECT_FALSE(CardInfoDlg->isVisible());
    }
    static std::vector<QString> Lines(QListWidget *l)
    {
        std::vector<QString> v;
        for (int i = 0; i < l->count(); ++i)
            v.push_back(l->item(i)->text());
        return v;
    }
};

TEST_F(DriveListScenario, LinesOfARealUnitFollowTheCards)
{
    Bus().AddUnit("u", Model::Tvq210);
    vbus::DriveParams big;
    big.cylinders = 3970;
    big.heads = 16;
    big.sectorsPerTrack = 63;
    big.totalSectors = 4001760;
    big.sectorSize = 512;
    big.waitCheck = 0;
    big.accessTiming = 120;
    Bus().InsertBlank("u", 1, uint64_t(big.totalSectors) * 512, big);
    Bus().InsertBlank("u", 2, 4u << 20);
    Start();

    InList([&](QListWidget *l) {
        ASSERT_EQ(l->count(), 11);
        EXPECT_EQ(l->currentRow(), 0);
        EXPECT_EQ(l->item(0)->text(), QStringLiteral("        Capacity  Sector Cylinder Head  S/T  B/S  Speed  -WAIT"));
        EXPECT_EQ(l->item(1)->text(), QStringLiteral("Slot 1 :   1.9GB  4001760  3970    16    63  512  120ns    NO "));
        EXPECT_EQ(l->item(3)->text(), QStringLiteral("Slot 3 : ") + QString(53, QLatin1Char(' ')));

        // A card pushed into slot 3 rewrites line 3 and nothing else.
        std::vector<QString> before = Lines(l);
        Bus().InsertBlank("u", 3, 1u << 20);
        Tick();
        std::vector<QString> after = Lines(l);
        ASSERT_EQ(after.size(), before.size());
        EXPECT_TRUE(after[3].startsWith(QStringLiteral("Slot 3 :   1.0MB     2048")));
        EXPECT_EQ(after[3].size(), 62);
        for (size_t i = 0; i < after.size(); ++i) {
            if (i != 3) {
                EXPECT_EQ(after[i], before[i]) << i;
            }
        }

        // Pulled again: the empty-slot line.
        Bus().Pull("u", 3);
        Tick();
        EXPECT_EQ(Lines(l), before);

        // The header opens nothing; an empty slot's line gives the box and the list stays.
        l->setCurrentRow(0);
        QTest::keyClick(l, Qt::Key_Return);
        EXPECT_EQ(OpenLampIndex, 0u);
        l->setCurrentRow(3);
        QTest::keyClick(l, Qt::Key_Return);
        EXPECT_EQ(BoxTexts(), std::vector<QString>{kNoCard});
        EXPECT_EQ(Boxes()[0].kind, MsgKind::Plain);
        EXPECT_TRUE(CardInfoDlg->InModalLoop());

        // Slot 2 opens in the card access dialog, above the list.
        bool listShown = false;
        QString caption, sectors;
        QTimer::singleShot(0, CardAccDlg, [&] {
            listShown = CardInfoDlg->isVisible();
            caption = CardAccDlg->windowTitle();
            sectors = CardAccDlg->lblNumSectors->text();
            CardAccDlg->btnCancel->click();
        });
        l->setCurrentRow(2);
        const QRect r = l->visualItemRect(l->item(2));
        QTest::mouseClick(l->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
        QTest::mouseDClick(l->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
        EXPECT_TRUE(listShown);
        const QChar letter = QLatin1Char(static_cast<char>(SlotTable[2].DriveLetter));
        EXPECT_EQ(caption, QStringLiteral("SLOT#2 （") + letter + QStringLiteral(": ドライブ）"));
        EXPECT_EQ(sectors, QStringLiteral("8192 (2000H)"));
        EXPECT_EQ(OpenSlotIndex, 2u);
        EXPECT_TRUE(CardInfoDlg->InModalLoop());

        // Lines the list does not have are left alone; nothing is added.
        CardInfoDlg->ReplaceLine(11, QStringLiteral("past the end"));
        CardInfoDlg->ReplaceLine(0xFFFFFFFFu, QStringLiteral("far past the end"));
        EXPECT_EQ(Lines(l), before);
        // No line selected: nothing happens at all.
        l->setCurrentRow(-1);
        OpenLampIndex = 7;
        CardInfoDlg->lbxCardInfoDblClick();
        EXPECT_EQ(OpenLampIndex, 7u);
        EXPECT_EQ(BoxTexts().size(), 1u);

        EXPECT_EQ(l->font().pixelSize(), 12);
        EXPECT_TRUE(l->font().underline());
        EXPECT_EQ(l->visualItemRect(l->item(1)).height(), 12);
        EXPECT_EQ(CardInfoDlg->windowTitle(), QStringLiteral("ドライブ諸元情報一覧"));
        EXPECT_EQ(CardInfoDlg->OKBtn->text(), QStringLiteral("閉じる(&C)"));
    });

    // Esc answers the close button: OK. Closing the modal windows gives Cancel.
    QTimer::singleShot(0, CardInfoDlg, [] { QTest::keyClick(CardInfoDlg->lbxCardInfo, Qt::Key_Escape); });
    EXPECT_EQ(CardInfoDlg->ShowModal(), mrOk);
    QTimer::singleShot(0, CardInfoDlg, [] { CloseModalWindows(); });
    EXPECT_EQ(CardInfoDlg->ShowModal(), mrCancel);
}

TEST_F(DriveListScenario, SixSlotUnitInTrueIdeModeWithTheVdLast)
{
    Bus().AddUnit("u", Model::Tvq206, 0x0601);
    vbus::DriveParams p = vbus::DefaultDriveParams(4u << 20);
    p.accessTiming = 12;
    p.waitCheck = 1;
    Bus().InsertBlank("u", 2, 4u << 20, p);
    Start();
    ASSERT_EQ(TrueIdeMode, 1u);
    ASSERT_EQ(VdAtEnd, 1u);

    InList([&](QListWidget *l) {
        ASSERT_EQ(l->count(), 7);
        EXPECT_TRUE(l->item(0)->text().endsWith(QStringLiteral("Mode   IORDY")));
        EXPECT_EQ(l->item(1)->text(), QStringLiteral("Slot M : ") + QString(53, QLatin1Char(' ')));
        EXPECT_TRUE(l->item(2)->text().startsWith(QStringLiteral("Slot 1 :   4.0MB     8192")));
        EXPECT_TRUE(l->item(2)->text().endsWith(QStringLiteral(" PIO-4    YES")));
        EXPECT_EQ(l->item(6)->text().left(9), QStringLiteral("Slot 5 : "));

        QString caption;
        QTimer::singleShot(0, CardAccDlg, [&] {
            caption = CardAccDlg->windowTitle();
            CardAccDlg->btnCancel->click();
        });
        l->setCurrentRow(2);
        QTest::keyClick(l, Qt::Key_Enter);
        EXPECT_TRUE(caption.startsWith(QStringLiteral("SLOT#1 （"))) << caption.toStdString();
        EXPECT_EQ(OpenLampIndex, 2u);
        EXPECT_EQ(OpenSlotIndex, 1u);  // entry n - 1 with the VD last
        EXPECT_TRUE(BoxTexts().empty());

        // The empty master slot: the box, and the caption "MASTER SLOT" is never reached.
        l->setCurrentRow(1);
        QTest::keyClick(l, Qt::Key_Return);
        EXPECT_EQ(BoxTexts(), std::vector<QString>{kNoCard});
        EXPECT_EQ(OpenSlotIndex, 0u);

        // A master card arrives: its line is rewritten and it opens as "MASTER SLOT".
        Bus().InsertBlank("u", 1, 4u << 20);
        Tick();
        EXPECT_TRUE(l->item(1)->text().startsWith(QStringLiteral("Slot M :   4.0MB")));
        QTimer::singleShot(0, CardAccDlg, [&] {
            caption = CardAccDlg->windowTitle();
            CardAccDlg->btnCancel->click();
        });
        l->setCurrentRow(1);
        QTest::keyClick(l, Qt::Key_Return);
        const QChar letter = QLatin1Char(static_cast<char>(SlotTable[0].DriveLetter));
        EXPECT_EQ(caption, QStringLiteral("MASTER SLOT （") + letter + QStringLiteral(": ドライブ）"));
    });
}

} // namespace
