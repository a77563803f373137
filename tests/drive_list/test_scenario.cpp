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

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
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

        // The header opens nothing, and only sets OpenLampIndex to 0; an empty
        // slot's line gives the box and the list stays.
        OpenLampIndex = 5;
        OpenSlotIndex = 5;
        bool accessShown = false;
        QTimer::singleShot(0, CardAccDlg, [&] {
            accessShown = CardAccDlg->isVisible();
            CardAccDlg->SetModalResult(mrCancel);
        });
        l->setCurrentRow(0);
        QTest::keyClick(l, Qt::Key_Return);
        EXPECT_EQ(OpenLampIndex, 0u);
        EXPECT_EQ(OpenSlotIndex, 5u);
        ProcessEvents();
        EXPECT_FALSE(accessShown);
        EXPECT_TRUE(BoxTexts().empty());
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
        EXPECT_TRUE(l->font().fixedPitch());
        // The header and the ten slots fit the list's height without scrolling
        // down (lines this wide need no scrolling sideways either).
        EXPECT_LE(l->visualItemRect(l->item(10)).bottom(), l->height() - 2 * l->frameWidth());
        EXPECT_EQ(l->verticalScrollBar()->maximum(), 0);
        EXPECT_EQ(CardInfoDlg->windowTitle(), QStringLiteral("ドライブ諸元情報一覧"));
        EXPECT_EQ(CardInfoDlg->OKBtn->text(), QStringLiteral("閉じる(&C)"));
    });

    // Esc answers the close button: OK. Closing the modal windows gives Cancel.
    QTimer::singleShot(0, CardInfoDlg, [] { QTest::keyClick(CardInfoDlg->lbxCardInfo, Qt::Key_Escape); });
    EXPECT_EQ(CardInfoDlg->ShowModal(), mrOk);
    QTimer::singleShot(0, CardInfoDlg, [] { CloseModalWindows(); });
    EXPECT_EQ(CardInfoDlg->ShowModal(), mrCancel);
}

// Lines are drawn whole: rows tall enough for the font and its underline, and
// a line wider than the list scrolls sideways instead of being cut or elided.
// Checked on the list's own rendering, not only on its settings.
TEST_F(DriveListScenario, LinesAreDrawnWholeWithTheirUnderline)
{
    Bus().AddUnit("u", Model::Tvq210);
    Bus().InsertBlank("u", 1, 4u << 20);
    // Numbers wider than their columns push the line past 62 characters.
    vbus::DriveParams wide = vbus::DefaultDriveParams(1u << 20);
    wide.totalSectors = 0xFFFFFFFFu;
    wide.cylinders = 1234567;
    wide.accessTiming = 12000;
    Bus().InsertBlank("u", 2, 1u << 20);
    Bus().Bus().SetDriveParams("u", 2, wide);  // more sectors than the image: only the list reads them
    Start();

    InList([&](QListWidget *l) {
        ASSERT_EQ(l->count(), 11);
        l->setCurrentRow(-1);  // no selection colours: text in the window-text colour
        const QFontMetrics fm(l->font());
        const int margin = l->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, l) + 1;
        const QString longLine = l->item(2)->text();
        ASSERT_GT(longLine.size(), 62);
        EXPECT_TRUE(longLine.endsWith(QStringLiteral("12000ns    YES")));

        // Each row holds the font's height down to its underline.
        for (int i = 0; i < l->count(); ++i) {
            const QRect r = l->visualItemRect(l->item(i));
            EXPECT_GE(r.height(), fm.height()) << i;
            EXPECT_GE(r.height(), fm.ascent() + fm.underlinePos() + fm.lineWidth()) << i;
        }

        // The underline of a line: a row of text-coloured pixels under the whole text.
        auto underlined = [&](int row, int from, int to) {
            const QImage img = l->viewport()->grab().toImage();
            const QRect r = l->visualItemRect(l->item(row));
            from = std::max(from, 0);
            to = std::min(to, img.width());
            if (to - from < 50)
                return false;
            for (int y = std::max(r.top(), 0); y <= std::min(r.bottom(), img.height() - 1); ++y) {
                int dark = 0;
                for (int x = from; x < to; ++x)
                    dark += qGray(img.pixel(x, y)) < 128 ? 1 : 0;
                if (dark >= (to - from) * 95 / 100)
                    return true;
            }
            return false;
        };
        const QRect r1 = l->visualItemRect(l->item(1));
        const int x1 = r1.left() + margin;
        EXPECT_TRUE(underlined(1, x1, x1 + fm.horizontalAdvance(l->item(1)->text()) - 1));

        // The long line: the list scrolls sideways to its very end, where the text
        // and its underline end whole, not shortened.
        QScrollBar *h = l->horizontalScrollBar();
        EXPECT_GT(h->maximum(), 0);
        h->setValue(h->maximum());
        const QRect r2 = l->visualItemRect(l->item(2));
        const int end = r2.left() + margin + fm.horizontalAdvance(longLine);
        EXPECT_LE(end, l->viewport()->width());
        EXPECT_TRUE(underlined(2, end - 300, end - 1));
        h->setValue(0);
        EXPECT_TRUE(underlined(2, r2.left() + margin + h->maximum(), l->viewport()->width() - 1));

        // A card pulled: the shorter line, still whole.
        Bus().Pull("u", 2);
        Tick();
        EXPECT_EQ(l->item(2)->text(), GetCardInfoLine(false, 2));
        EXPECT_TRUE(underlined(2, l->visualItemRect(l->item(2)).left() + margin,
                               l->visualItemRect(l->item(2)).left() + margin +
                                   fm.horizontalAdvance(l->item(2)->text()) - 1));
    });

    // Enter on the focused close button closes the list (OK).
    QTimer::singleShot(0, CardInfoDlg, [] {
        QApplication::setActiveWindow(CardInfoDlg);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        if (QApplication::focusWidget() == CardInfoDlg->OKBtn)
            QTest::keyClick(CardInfoDlg->OKBtn, Qt::Key_Return);
    });
    QTimer::singleShot(2000, CardInfoDlg, [] { CardInfoDlg->SetModalResult(mrCancel); });
    EXPECT_EQ(CardInfoDlg->ShowModal(), mrOk);
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
