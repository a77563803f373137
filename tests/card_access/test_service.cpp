// The service operations behind the hidden buttons: format through the
// library (checked by fsck.fat) and the pattern write over the whole card.
#include "CardAccFixture.h"
#include "CardAccService.h"

#include "Shape.h"
#include "UnitState.h"
#include "tvq2xx.h"

#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>

using namespace tvqtest;

namespace {
const QString kFormatQuestion = QStringLiteral(
    "FAT形式でフォーマットを実行します。\nフォーマットを実行すると、カードのすべてのデータは失われます。\nよろしいですか？");
const QString kFormatDone = QStringLiteral("フォーマットが完了しました。");
const QString kFormatFailed = QStringLiteral("フォーマットに失敗しました。");
const QString kTestDone = QStringLiteral("書き込みを完了しました。");
const QString kTestStop = QStringLiteral("書き込みを中止しますか？");
const QString kWriteFailed = QStringLiteral("カードへの書き込みに失敗しました。");

// What the test leaves at byte offset x of a card.
uint8_t PatternAt(uint64_t x)
{
    return static_cast<uint8_t>((x % 65536) % 254 + 1);
}

// First sector (from `from`) whose bytes are not the pattern, or `to` when all are.
uint64_t FirstUnpatterned(const std::vector<uint8_t> &card, uint64_t from, uint64_t to)
{
    for (uint64_t s = from; s < to; ++s) {
        for (uint64_t j = 0; j < 512; ++j) {
            if (card[s * 512 + j] != PatternAt(s * 512 + j))
                return s;
        }
    }
    return to;
}

vbus::FaultRule CountWrites()
{
    vbus::FaultRule r;
    r.ops = vbus::OpWrite;
    r.effect = vbus::Effect::Delay;
    r.arg = 0;
    return r;
}
} // namespace

class ServiceTest : public CardAccTest {
protected:
    void SetUp() override
    {
        CardAccTest::SetUp();
        DeviceOps.Format = FormatCard;
    }
    void TearDown() override
    {
        DeviceOps = DeviceOpsType{};
        CardAccTest::TearDown();
    }
    // The two buttons are hidden in the form; only a test shows them.
    void ShowServiceButtons()
    {
        CardAccDlg->btnFormat->show();
        CardAccDlg->btnTest->show();
    }
};

TEST_F(ServiceTest, HiddenButtonsDoNothing)
{
    MakeUnit({1000 * 512, 1000 * 512});
    const std::vector<uint8_t> card = FillCard(2, 3);
    const uint32_t writes = bus->SetFault("u", CountWrites());
    RunDialog(2, [&] {
        EXPECT_TRUE(CardAccDlg->btnFormat->isHidden());
        EXPECT_TRUE(CardAccDlg->btnTest->isHidden());
        EXPECT_EQ(CardAccDlg->btnFormat->text(), QStringLiteral("フォーマット"));
        EXPECT_EQ(CardAccDlg->btnTest->text(), QStringLiteral("テスト"));
        CardAccDlg->btnFormatClick();
        CardAccDlg->btnTestClick();
        EXPECT_FALSE(TransferActive);
        EXPECT_TRUE(CardAccDlg->btnAbort->isHidden());
        EXPECT_EQ(lamps[2]->brushColor(), uint32_t(clLime));
    });
    EXPECT_TRUE(BoxTexts().empty());
    EXPECT_EQ(bus->FireCount("u", writes), 0u);
    EXPECT_EQ(CardBytes(2), card);
}

TEST_F(ServiceTest, FormatGoesThroughTheLibrary)
{
    MakeUnit({16u << 20});
    const std::vector<uint8_t> before = FillCard(1, 11);

    // Anything but Yes leaves the card as it was.
    answer = [](const MsgBoxCall &) { return int(mrNo); };
    RunDialog(1, [&] {
        ShowServiceButtons();
        QTest::mouseClick(CardAccDlg->btnFormat, Qt::LeftButton);
    });
    ASSERT_EQ(BoxTexts(), std::vector<QString>{kFormatQuestion});
    EXPECT_EQ(MsgBoxLog()[0].kind, MsgKind::Confirmation);
    EXPECT_EQ(MsgBoxLog()[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(CardBytes(1), before);

    // Refused by the unit: the error, and still nothing written.
    vbus::FaultRule refuse;
    refuse.ops = vbus::OpFormat;
    refuse.count = vbus::Count::Next;
    refuse.n = 1;
    refuse.key = 0x03;
    refuse.asc = 0x0C;
    const uint32_t refused = bus->SetFault("u", refuse);
    ClearMsgBoxLog();
    answer = {};
    RunDialog(1, [&] {
        ShowServiceButtons();
        QTest::mouseClick(CardAccDlg->btnFormat, Qt::LeftButton);
    });
    EXPECT_EQ(bus->FireCount("u", refused), 1u);
    ASSERT_EQ(BoxTexts(), (std::vector<QString>{kFormatQuestion, kFormatFailed}));
    EXPECT_EQ(MsgBoxLog()[1].kind, MsgKind::Error);
    EXPECT_EQ(CardBytes(1), before);

    ClearMsgBoxLog();
    RunDialog(1, [&] {
        ShowServiceButtons();
        QTest::mouseClick(CardAccDlg->btnFormat, Qt::LeftButton);
        // The format neither locks the dialog nor touches the lamps.
        EXPECT_FALSE(TransferActive);
        EXPECT_TRUE(CardAccDlg->btnRead->isEnabled());
        EXPECT_EQ(lamps[1]->brushColor(), uint32_t(clLime));
    });
    ASSERT_EQ(BoxTexts(), (std::vector<QString>{kFormatQuestion, kFormatDone}));
    EXPECT_EQ(MsgBoxLog()[1].kind, MsgKind::Plain);
    EXPECT_NE(CardBytes(1), before);

    const QString fsck = QStandardPaths::findExecutable(QStringLiteral("fsck.fat"), {"/usr/sbin", "/sbin"});
    ASSERT_FALSE(fsck.isEmpty()) << "fsck.fat (dosfstools) is needed";
    QProcess p;
    p.start(fsck, {QStringLiteral("-n"), QString::fromStdString(CardPath(1))});
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardOutput().toStdString() << p.readAllStandardError().toStdString();

    // Without an installed operation the format fails cleanly.
    DeviceOps.Format = nullptr;
    ClearMsgBoxLog();
    RunDialog(1, [&] {
        ShowServiceButtons();
        CardAccDlg->btnFormatClick();
    });
    EXPECT_EQ(BoxTexts(), (std::vector<QString>{kFormatQuestion, kFormatFailed}));
}

TEST_F(ServiceTest, WriteTestFillsTheWholeCardWithThePattern)
{
    MakeUnit({1000 * 512, 1000 * 512, 1000 * 512});
    const std::vector<uint8_t> master = FillCard(1, 5);
    const std::vector<uint8_t> other = FillCard(3, 6);
    const uint32_t writes = bus->SetFault("u", CountWrites());
    AccessOp = AccessCompare;
    int maxAtDone = -1, valueAtDone = -1;
    bool activeAtDone = false;
    uint32_t lampDuring = 0;
    QObject::connect(CardAccDlg->ProgressBar1, &QProgressBar::valueChanged, [&](int v) {
        if (v == 4)
            lampDuring = lamps[2]->brushColor();
    });
    answer = [&](const MsgBoxCall &c) {
        if (c.text == kTestDone) {
            maxAtDone = CardAccDlg->ProgressBar1->maximum();
            valueAtDone = CardAccDlg->ProgressBar1->value();
            activeAtDone = TransferActive;
        }
        return int(mrOk);
    };
    RunDialog(2, [&] {
        ShowServiceButtons();
        QTest::mouseClick(CardAccDlg->btnTest, Qt::LeftButton);
        EXPECT_FALSE(TransferActive);
        EXPECT_TRUE(CardAccDlg->btnAbort->isHidden());
        EXPECT_FALSE(CardAccDlg->btnCancel->isHidden());
        for (QPushButton *b : {CardAccDlg->btnRead, CardAccDlg->btnWrite, CardAccDlg->btnCompare, CardAccDlg->btnTest})
            EXPECT_TRUE(b->isEnabled());
        EXPECT_EQ(CardAccDlg->edtStatus->text(), QString());
        EXPECT_EQ(CardAccDlg->ProgressBar1->value(), 0);
    });
    // Seven blocks of 128 sectors and one of 104.
    EXPECT_EQ(bus->FireCount("u", writes), 8u);
    EXPECT_EQ(progressSeen, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 0}));
    EXPECT_EQ(maxAtDone, 8);
    EXPECT_EQ(valueAtDone, 8);
    EXPECT_TRUE(activeAtDone);
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kTestDone});
    EXPECT_EQ(lampDuring, uint32_t(clRed));
    EXPECT_EQ(lamps[2]->brushColor(), uint32_t(clLime));
    EXPECT_EQ(AccessOp, AccessCompare);

    const std::vector<uint8_t> card = CardBytes(2);
    ASSERT_EQ(card.size(), 1000u * 512);
    EXPECT_EQ(FirstUnpatterned(card, 0, 1000), 1000u);
    // The run restarts at 0x01 with every block: sector 128 starts like sector 0.
    EXPECT_EQ(card[128 * 512], 0x01);
    EXPECT_EQ(card[128 * 512 + 1], 0x02);
    EXPECT_EQ(card[128 * 512 + 2], 0x03);
    EXPECT_EQ(card[253], 0xFE);
    EXPECT_EQ(card[254], 0x01);
    for (uint8_t b : card)
        ASSERT_TRUE(b != 0x00 && b != 0xFF);
    EXPECT_EQ(CardBytes(1), master);
    EXPECT_EQ(CardBytes(3), other);

    // The buffer itself: 254 values, then again from 0x01.
    std::vector<uint8_t> buf(600);
    FillTestPattern(buf.data(), buf.size());
    EXPECT_EQ(buf[0], 0x01);
    EXPECT_EQ(buf[253], 0xFE);
    EXPECT_EQ(buf[254], 0x01);
    EXPECT_EQ(buf[508], 0x01);
}

TEST_F(ServiceTest, WriteTestStopsWhereItWasTold)
{
    MakeUnit({1000 * 512});
    const uint32_t writes = bus->SetFault("u", CountWrites());

    // Abort asked after block 3: No goes on; asked again after block 5: Yes stops.
    int asked = 0;
    QObject::connect(CardAccDlg->ProgressBar1, &QProgressBar::valueChanged, [&](int v) {
        if (v == 2 || v == 4)
            QTest::mouseClick(CardAccDlg->btnAbort, Qt::LeftButton);
    });
    answer = [&](const MsgBoxCall &c) {
        if (c.text == kTestStop)
            return ++asked == 1 ? int(mrNo) : int(mrYes);
        return int(mrOk);
    };
    std::vector<uint8_t> before = CardBytes(1);
    RunDialog(1, [&] {
        ShowServiceButtons();
        QTest::mouseClick(CardAccDlg->btnTest, Qt::LeftButton);
    });
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(bus->FireCount("u", writes), 5u);
    EXPECT_EQ(CountBoxes(kTestDone), 0);
    std::vector<uint8_t> card = CardBytes(1);
    EXPECT_EQ(FirstUnpatterned(card, 0, 1000), 5u * 128);
    EXPECT_TRUE(std::equal(card.begin() + 5 * 128 * 512, card.end(), before.begin() + 5 * 128 * 512));
    EXPECT_EQ(lamps[1]->brushColor(), uint32_t(clLime));
    EXPECT_FALSE(TransferActive);
}

TEST_F(ServiceTest, WriteTestRetriesAndGivesUp)
{
    MakeUnit({1000 * 512});
    vbus::FaultRule fail;
    fail.ops = vbus::OpWrite;
    fail.count = vbus::Count::Next;
    fail.n = 2;
    fail.lbaFirst = 300;
    fail.lbaLast = 300;
    fail.key = 0x03;
    fail.asc = 0x0C;
    const uint32_t failing = bus->SetFault("u", fail);

    // Retry twice: the block goes through the third time and the run completes.
    answer = [](const MsgBoxCall &c) { return c.buttons == MsgButtons::AbortRetry ? int(mrRetry) : int(mrOk); };
    RunDialog(1, [&] {
        ShowServiceButtons();
        QTest::mouseClick(CardAccDlg->btnTest, Qt::LeftButton);
    });
    EXPECT_EQ(bus->FireCount("u", failing), 2u);
    EXPECT_EQ(BoxTexts(), (std::vector<QString>{kWriteFailed, kWriteFailed, kTestDone}));
    EXPECT_EQ(MsgBoxLog()[0].kind, MsgKind::Error);
    EXPECT_EQ(FirstUnpatterned(CardBytes(1), 0, 1000), 1000u);

    // Abort on the first failure: blocks 0 and 1 written, block 2 on are not.
    bus->ClearFaults("u");
    bus->Pull("u", 1);
    bus->InsertBlank("u", 1, 1000 * 512);
    Scan();  // as the main window does when told of the new card
    fail.count = vbus::Count::Always;
    bus->SetFault("u", fail);
    ClearMsgBoxLog();
    answer = {};
    RunDialog(1, [&] {
        ShowServiceButtons();
        QTest::mouseClick(CardAccDlg->btnTest, Qt::LeftButton);
    });
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kWriteFailed});
    const std::vector<uint8_t> card = CardBytes(1);
    EXPECT_EQ(FirstUnpatterned(card, 0, 1000), 256u);
    EXPECT_TRUE(std::all_of(card.begin() + 256 * 512, card.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(lamps[1]->brushColor(), uint32_t(clLime));
}

TEST_F(ServiceTest, WriteTestThroughTheVdReachesEveryCard)
{
    MakeUnit({1000 * 512, 0, 1000 * 512}, vbus::Model::Tvq206);
    std::vector<uint32_t> lampsDuring;
    QObject::connect(CardAccDlg->ProgressBar1, &QProgressBar::valueChanged, [&](int v) {
        if (v == 3)
            for (uint32_t i = 0; i < 4; ++i)
                lampsDuring.push_back(lamps[i]->brushColor());
    });
    RunDialog(0, [&] {
        ShowServiceButtons();
        QTest::mouseClick(CardAccDlg->btnTest, Qt::LeftButton);
    });
    EXPECT_EQ(lampsDuring, (std::vector<uint32_t>{clRed, clRed, clGray, clRed}));
    EXPECT_EQ(FirstUnpatterned(CardBytes(1), 0, 1000), 1000u);
    EXPECT_EQ(FirstUnpatterned(CardBytes(3), 0, 1000), 1000u);
    for (uint32_t i : {0u, 1u, 3u})
        EXPECT_EQ(lamps[i]->brushColor(), uint32_t(clLime)) << i;
    EXPECT_EQ(lamps[2]->brushColor(), uint32_t(clGray));
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kTestDone});
}
