// The dialog as a frame: drive parameter texts, the marks against the master
// slot's card, the remembered file names and the file size routine.
#include "CardAccFixture.h"

#include "Shape.h"
#include "UnitState.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <map>

using namespace tvqtest;

namespace {
QSettings Registry() { return QSettings(QStringLiteral("QEVRA LABS"), QStringLiteral("TVQCRDUT")); }
} // namespace

class DialogTest : public CardAccTest {
protected:
    // The value labels whose colour the master comparison sets.
    std::vector<QLabel *> ValueLabels() const
    {
        TCardAccDlg *d = CardAccDlg;
        return {d->lblNumCylinders, d->lblNumHeads, d->lblNumSectors, d->lblSectOfTrack, d->lblSizeOfSect,
                d->lblCatParam1,    d->lblCatParam2, d->lblCardSize1,  d->lblCardSize2};
    }
    std::vector<QLabel *> RedLabels() const
    {
        std::vector<QLabel *> red;
        for (QLabel *l : ValueLabels())
            if (TCardAccDlg::LabelColor(l) == clRed)
                red.push_back(l);
        return red;
    }
    bool WarningShown() const
    {
        return CardAccDlg->lblWarning->isVisibleTo(CardAccDlg) && !CardAccDlg->edtStatus->isVisibleTo(CardAccDlg) &&
               !CardAccDlg->ProgressBar1->isVisibleTo(CardAccDlg);
    }
};

TEST_F(DialogTest, DriveParameterTexts)
{
    MakeUnit({1ull << 30, (1ull << 30) - 512, 2u << 20});
    std::map<int, std::vector<QString>> seen;
    for (int slot : {1, 2, 3}) {
        RunDialog(slot, [&] {
            TCardAccDlg *d = CardAccDlg;
            seen[slot] = {d->lblCardSize1->text(), d->lblCardSize2->text(), d->lblNumSectors->text(),
                          d->lblSizeOfSect->text(), d->lblCatParam1->text(), d->lblCatParam2->text(),
                          d->lblIfMode->text(), d->lblCatItem1->text(), d->lblCatItem2->text(),
                          d->lblNumHeads->text(), d->lblNumCylinders->text(), d->lblSectOfTrack->text()};
        });
    }
    const vbus::DriveParams p3 = vbus::DefaultDriveParams(2u << 20);
    EXPECT_EQ(seen[1][0], QStringLiteral("1.0 GB"));
    EXPECT_EQ(seen[1][1], QStringLiteral("(1,073,741,824 byte)"));
    EXPECT_EQ(seen[1][2], QStringLiteral("2097152 (200000H)"));
    EXPECT_EQ(seen[2][0], QStringLiteral("1024.0 MB"));  // the decimal comes after the unit is chosen
    EXPECT_EQ(seen[3], (std::vector<QString>{QStringLiteral("2.0 MB"), QStringLiteral("(2,097,152 byte)"),
                                             QStringLiteral("4096 (1000H)"), QStringLiteral("512 byte"),
                                             QStringLiteral("250 ns"), QStringLiteral("あり"),
                                             QStringLiteral("（動作モード：　PC Card ATA）"),
                                             QStringLiteral("デバイスアクセス速度"), QStringLiteral("-WAIT信号のチェック"),
                                             QString::number(p3.heads), QString::number(p3.cylinders),
                                             QString::number(p3.sectorsPerTrack)}));

    // An empty slot shows zeros; below 1024 bytes the size keeps its last text.
    CardAccDlg->DispDriveParam(5);
    EXPECT_EQ(CardAccDlg->lblCardSize1->text(), QStringLiteral("2.0 MB"));
    EXPECT_EQ(CardAccDlg->lblCardSize2->text(), QStringLiteral("(0 byte)"));
    EXPECT_EQ(CardAccDlg->lblNumSectors->text(), QStringLiteral("0 (00H)"));
}

TEST_F(DialogTest, TrueIdeTexts)
{
    bus->AddUnit("u", vbus::Model::Tvq210, 0x0401);
    vbus::DriveParams p = vbus::DefaultDriveParams(8u << 20);
    p.accessTiming = 12;
    p.waitCheck = 0;
    bus->InsertBlank("u", 1, 8u << 20, p);
    Scan();
    ASSERT_NE(TrueIdeMode, 0u);
    RunDialog(1, [] {
        TCardAccDlg *d = CardAccDlg;
        EXPECT_EQ(d->lblIfMode->text(), QStringLiteral("（動作モード：　TrueIDE）"));
        EXPECT_EQ(d->lblCatItem1->text(), QStringLiteral("転送モード"));
        EXPECT_EQ(d->lblCatParam1->text(), QStringLiteral("PIO mode# 4"));
        EXPECT_EQ(d->lblCatItem2->text(), QStringLiteral("IORDY信号のチェック"));
        EXPECT_EQ(d->lblCatParam2->text(), QStringLiteral("なし"));
        EXPECT_EQ(d->lblCardSize1->text(), QStringLiteral("8.0 MB"));
    });
}

TEST_F(DialogTest, MasterSlotMarks)
{
    bus->AddUnit("u");
    const vbus::DriveParams master = vbus::DefaultDriveParams(8u << 20);
    vbus::DriveParams heads = master;
    heads.heads += 1;
    bus->InsertBlank("u", 1, 8u << 20);
    bus->InsertBlank("u", 2, 8u << 20, heads);
    bus->InsertBlank("u", 3, 4u << 20);
    bus->InsertBlank("u", 4, 8u << 20);
    Scan();

    // Only the heads differ: that label red, the warning in place of the status line.
    std::vector<QLabel *> red;
    bool warning = false;
    RunDialog(2, [&] {
        red = RedLabels();
        warning = WarningShown();
    });
    EXPECT_EQ(red, std::vector<QLabel *>{CardAccDlg->lblNumHeads});
    EXPECT_TRUE(warning);
    EXPECT_EQ(TCardAccDlg::LabelColor(CardAccDlg->Label3), TCardAccDlg::LabelColor(CardAccDlg->lblNumCylinders));

    // During a read the status line and bar are back; after it the warning returns.
    bool statusDuring = false;
    auto conn = QObject::connect(CardAccDlg->ProgressBar1, &QProgressBar::valueChanged, [&](int v) {
        if (v == 1)
            statusDuring = CardAccDlg->edtStatus->isVisibleTo(CardAccDlg) &&
                           !CardAccDlg->lblWarning->isVisibleTo(CardAccDlg) &&
                           CardAccDlg->edtStatus->text() == QStringLiteral("読み出し中");
    });
    RunDialog(2, [&] {
        Read(0, 1, ScratchPath("m.bin"));
        warning = WarningShown();
        red = RedLabels();
    });
    QObject::disconnect(conn);
    EXPECT_TRUE(statusDuring);
    EXPECT_TRUE(warning);
    EXPECT_EQ(red, std::vector<QLabel *>{CardAccDlg->lblNumHeads});

    // Another size: the sector count and both size labels (and the geometry it brings).
    RunDialog(3, [&] { red = RedLabels(); });
    EXPECT_NE(std::find(red.begin(), red.end(), CardAccDlg->lblNumSectors), red.end());
    EXPECT_NE(std::find(red.begin(), red.end(), CardAccDlg->lblCardSize1), red.end());
    EXPECT_NE(std::find(red.begin(), red.end(), CardAccDlg->lblCardSize2), red.end());
    EXPECT_EQ(std::find(red.begin(), red.end(), CardAccDlg->lblSizeOfSect), red.end());

    // The same card, the master itself and the VD: nothing marked.
    for (uint32_t slot : {4u, 1u, 0u}) {
        SCOPED_TRACE(slot);
        RunDialog(slot, [&] {
            red = RedLabels();
            warning = CardAccDlg->lblWarning->isVisibleTo(CardAccDlg);
        });
        EXPECT_TRUE(red.empty());
        EXPECT_FALSE(warning);
    }

    // Without a master card there is nothing to compare with.
    bus->Pull("u", 1);
    Scan();
    RunDialog(2, [&] {
        red = RedLabels();
        warning = CardAccDlg->lblWarning->isVisibleTo(CardAccDlg);
    });
    EXPECT_TRUE(red.empty());
    EXPECT_FALSE(warning);
}

// Enter presses the push button that has the focus, reached with Tab as an
// operator reaches it; the key goes to the focus widget, as a real one does.
TEST_F(DialogTest, EnterPressesTheFocusedButton)
{
    MakeUnit({4u << 20});
    const std::vector<uint8_t> card = FillCard(1, 7);
    auto focusOn = [](QWidget *target) {
        QApplication::setActiveWindow(CardAccDlg);
        for (int i = 0; i < 10 && QApplication::focusWidget() != target; ++i)
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : CardAccDlg, Qt::Key_Tab);
        return QApplication::focusWidget() == target;
    };
    auto enter = [] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return); };

    std::vector<QString> asked;
    const int r = RunDialog(1, [&] {
        for (QPushButton *b : {CardAccDlg->btnRead, CardAccDlg->btnWrite, CardAccDlg->btnCompare}) {
            ASSERT_TRUE(focusOn(b)) << b->objectName().toStdString();
            InParamDialog([&](TInputLbaDlg *d) {
                asked.push_back(d->windowTitle());
                d->SetModalResult(mrCancel);
            });
            enter();
        }
        ASSERT_TRUE(focusOn(CardAccDlg->btnCancel));
        enter();
        EXPECT_EQ(CardAccDlg->ModalResult(), mrCancel);
    });
    EXPECT_EQ(r, mrCancel);
    EXPECT_EQ(asked, (std::vector<QString>{QStringLiteral("読み出し設定"), QStringLiteral("書き込み設定"),
                                           QStringLiteral("コンペア設定")}));
    EXPECT_TRUE(BoxTexts().empty());

    // 中止 has the focus while a read runs: Enter asks the stop question.
    bool abortFocused = false;
    auto hook = QObject::connect(CardAccDlg->ProgressBar1, &QProgressBar::valueChanged, [&](int v) {
        if (v != 2)
            return;
        QTimer::singleShot(0, [&] {
            // The window manager hands the focus back once the parameter dialog has gone.
            QApplication::setActiveWindow(CardAccDlg);
            abortFocused = QApplication::focusWidget() == CardAccDlg->btnAbort;
            if (abortFocused)
                enter();
        });
    });
    const QString file = ScratchPath("enter.bin");
    RunDialog(1, [&] {
        QApplication::setActiveWindow(CardAccDlg);
        Read(0, 0x1000, file);
    });
    QObject::disconnect(hook);
    EXPECT_TRUE(abortFocused);
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("読み出しを中止しますか？")});
    EXPECT_TRUE(SameBytes(VirtualBus::ReadFile(file.toStdString()),
                          std::vector<uint8_t>(card.begin(), card.begin() + 3 * 128 * 512)));
}

// The first field compared is the card presence value itself: when only it
// differs, the warning is shown and no value is red.
TEST_F(DialogTest, OnlyTheCardPresenceValueDiffers)
{
    MakeUnit({8u << 20, 8u << 20});
    ASSERT_EQ(SlotTable[SlotEntryOf(2)].CardPresent, SlotTable[MasterSlotIndex].CardPresent);
    SlotTable[SlotEntryOf(2)].CardPresent = SlotTable[MasterSlotIndex].CardPresent + 1;
    std::vector<QLabel *> red{nullptr};
    bool warning = false;
    RunDialog(2, [&] {
        red = RedLabels();
        warning = WarningShown();
    });
    EXPECT_TRUE(warning);
    EXPECT_TRUE(red.empty());
}

TEST_F(DialogTest, RememberedFileNames)
{
    MakeUnit({1u << 20});
    {
        QSettings reg = Registry();
        reg.setValue(QStringLiteral("WriteFile/FileName"), QStringLiteral("kept-write.bin"));
    }
    // A run that confirms a read with a new name stores it at program end; the
    // write's stored name is left alone.
    const QString readFile = ScratchPath("first.bin");
    RunDialog(1, [&] { Read(0, 1, readFile); });
    delete CardAccDlg;  // program end
    CardAccDlg = nullptr;
    {
        QSettings reg = Registry();
        EXPECT_EQ(reg.value(QStringLiteral("ReadFile/FileName")).toString(), readFile);
        EXPECT_EQ(reg.value(QStringLiteral("WriteFile/FileName")).toString(), QStringLiteral("kept-write.bin"));
        EXPECT_FALSE(reg.contains(QStringLiteral("CompFile/FileName")));
    }

    // The next run starts empty and loads each name on the operation's first use.
    CardAccDlg = new TCardAccDlg;
    EXPECT_TRUE(AccessParams[AccessRead].FilePath.isEmpty());
    QString loadedRead, loadedWrite, loadedCompare = QStringLiteral("unset");
    RunDialog(1, [&] {
        InParamDialog([&](TInputLbaDlg *) { loadedRead = AccessParams[AccessRead].FilePath; });
        QTest::mouseClick(CardAccDlg->btnRead, Qt::LeftButton);
        InParamDialog([&](TInputLbaDlg *) { loadedWrite = AccessParams[AccessWrite].FilePath; });
        QTest::mouseClick(CardAccDlg->btnWrite, Qt::LeftButton);
        // A name picked in the file dialog is kept even when the parameters are cancelled.
        filePicks = {readFile};
        InParamDialog([&](TInputLbaDlg *d) {
            loadedCompare = AccessParams[AccessCompare].FilePath;
            QTest::mouseClick(d->btnRefFile, Qt::LeftButton);
            QTest::mouseClick(d->btnCancel, Qt::LeftButton);
        });
        QTest::mouseClick(CardAccDlg->btnCompare, Qt::LeftButton);
    });
    EXPECT_EQ(loadedRead, readFile);
    EXPECT_EQ(loadedWrite, QStringLiteral("kept-write.bin"));
    EXPECT_EQ(loadedCompare, QString());
    EXPECT_EQ(AccessParams[AccessCompare].FilePath, readFile);
    delete CardAccDlg;
    CardAccDlg = nullptr;
    {
        QSettings reg = Registry();
        EXPECT_EQ(reg.value(QStringLiteral("CompFile/FileName")).toString(), readFile);
        EXPECT_EQ(reg.value(QStringLiteral("ReadFile/FileName")).toString(), readFile);
    }

    // A run that opens nothing changes nothing.
    CardAccDlg = new TCardAccDlg;
    delete CardAccDlg;
    CardAccDlg = new TCardAccDlg;
    {
        QSettings reg = Registry();
        EXPECT_EQ(reg.value(QStringLiteral("WriteFile/FileName")).toString(), QStringLiteral("kept-write.bin"));
        EXPECT_EQ(reg.value(QStringLiteral("CompFile/FileName")).toString(), readFile);
    }
}

TEST_F(DialogTest, FileSize64)
{
    uint32_t low = 0, high = 0;
    TCardAccDlg::GetFileSize64(ScratchPath("none"), low, high);
    EXPECT_EQ(low, 0xFFFFFFFFu);
    EXPECT_EQ(high, 0xFFFFFFFFu);
    // A name is never a pattern.
    WriteScratch("a1.bin", {1, 2, 3});
    TCardAccDlg::GetFileSize64(ScratchPath("a?.bin"), low, high);
    EXPECT_EQ(high, 0xFFFFFFFFu);
    TCardAccDlg::GetFileSize64(ScratchPath("a1.bin"), low, high);
    EXPECT_EQ(low, 3u);
    EXPECT_EQ(high, 0u);

    QFile big(ScratchPath("big.bin"));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    ASSERT_TRUE(big.resize(5ll << 30));  // sparse
    big.close();
    TCardAccDlg::GetFileSize64(big.fileName(), low, high);
    EXPECT_EQ(high, 1u);
    EXPECT_EQ(low, 0x40000000u);
}
