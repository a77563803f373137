// Reading a card into a file: block sizes, progress, overwrite question,
// retry, abort, file errors, lamps. Every run checks the file's bytes.
#include "CardAccFixture.h"

#include "Shape.h"
#include "UnitState.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <sys/stat.h>

using namespace tvqtest;

namespace {
const QString kDone = QStringLiteral("読み出しを完了しました。");

std::vector<uint8_t> Slice(const std::vector<uint8_t> &v, uint64_t sector, uint64_t count)
{
    return std::vector<uint8_t>(v.begin() + sector * 512, v.begin() + (sector + count) * 512);
}
} // namespace

class ReadTest : public CardAccTest {};

TEST_F(ReadTest, RangesGiveTheirBlocksAndProgress)
{
    MakeUnit({4u << 20});  // 8192 sectors
    const std::vector<uint8_t> card = FillCard(1, 7);
    const QString file = ScratchPath("r.bin");
    int maxAtDone = -1, valueAtDone = -1;
    uint32_t lampDuring = 0;
    bool activeAtDone = true;
    QObject::connect(CardAccDlg->ProgressBar1, &QProgressBar::valueChanged, [&](int v) {
        if (v == 1)
            lampDuring = lamps[1]->brushColor();
    });
    answer = [&](const MsgBoxCall &c) {
        if (c.text == kDone) {
            maxAtDone = CardAccDlg->ProgressBar1->maximum();
            valueAtDone = CardAccDlg->ProgressBar1->value();
            activeAtDone = TransferActive;
        }
        return c.buttons == MsgButtons::YesNo ? int(mrYes) : int(mrOk);
    };

    struct Case {
        uint32_t start, count;  // count 0: whole-card mode
        uint32_t sectors;
        int maximum;
        std::vector<int> progress;
    };
    std::vector<int> whole;
    for (int i = 1; i <= 33; ++i)
        whole.push_back(i);
    whole.push_back(0);
    const Case cases[] = {
        {5, 1, 1, 1, {1, 0}},
        {0x100, 129, 129, 2, {1, 2, 0}},
        {0, 0, 0x1000, 33, whole},
        {8192 - 300, 300, 300, 3, {1, 2, 3, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.count);
        progressSeen.clear();
        ClearMsgBoxLog();
        lampDuring = 0;
        RunDialog(1, [&] { Read(c.start, c.count, file); });
        EXPECT_EQ(CountBoxes(kDone), 1);
        EXPECT_EQ(AccessParams[AccessRead].StartSect, c.start);
        EXPECT_EQ(AccessParams[AccessRead].SectCnt, c.count ? c.count : 0x1000u);
        EXPECT_EQ(AccessParams[AccessRead].AccAll, c.count == 0);
        EXPECT_EQ(maxAtDone, c.maximum);
        EXPECT_EQ(valueAtDone, c.maximum);
        EXPECT_FALSE(activeAtDone);
        EXPECT_EQ(progressSeen, c.progress);
        EXPECT_TRUE(SameBytes(VirtualBus::ReadFile(file.toStdString()), Slice(card, c.start, c.sectors)));
        EXPECT_EQ(lampDuring, uint32_t(clRed));
        EXPECT_EQ(lamps[1]->brushColor(), uint32_t(clLime));
        EXPECT_FALSE(TransferActive);
        EXPECT_TRUE(CardAccDlg->btnCancel->isVisibleTo(CardAccDlg));
        EXPECT_FALSE(CardAccDlg->btnAbort->isVisibleTo(CardAccDlg));
        EXPECT_TRUE(CardAccDlg->btnRead->isEnabled());
        EXPECT_EQ(CardAccDlg->ProgressBar1->value(), 0);
        EXPECT_TRUE(CardAccDlg->edtStatus->text().isEmpty());
    }
    // The card itself is never touched by a read.
    EXPECT_TRUE(SameBytes(CardBytes(1), card));
}

TEST_F(ReadTest, OverwriteQuestionForATypedNameOnly)
{
    MakeUnit({1u << 20});
    const std::vector<uint8_t> card = FillCard(1, 3);
    const std::vector<uint8_t> old = Pattern(3000, 99);
    const QString file = WriteScratch("old.bin", old);

    // No: the file stays as it was, nothing is read.
    answer = [](const MsgBoxCall &c) { return c.buttons == MsgButtons::YesNo ? int(mrNo) : int(mrOk); };
    RunDialog(1, [&] { Read(0, 2, file); });
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("上書きしますか？")});
    EXPECT_TRUE(SameBytes(VirtualBus::ReadFile(file.toStdString()), old));

    // Yes: truncated and rewritten with exactly the range.
    answer = {};
    ClearMsgBoxLog();
    RunDialog(1, [&] { Read(2, 2, file); });
    EXPECT_EQ(BoxTexts(), (std::vector<QString>{QStringLiteral("上書きしますか？"), kDone}));
    EXPECT_TRUE(SameBytes(VirtualBus::ReadFile(file.toStdString()), Slice(card, 2, 2)));

    // Chosen through Save As, which asked already: the read does not ask again.
    ClearMsgBoxLog();
    filePicks = {file};
    RunDialog(1, [&] {
        InParamDialog([](TInputLbaDlg *d) {
            ClickRadio(d->rbtAccSect);
            d->edtStartSect->setText(QStringLiteral("00000004"));
            d->edtSectCnt->setText(QStringLiteral("00000001"));
            QTest::mouseClick(d->btnRefFile, Qt::LeftButton);
            d->edtFilePath->setText(d->edtFilePath->text());  // edited by hand: still accepted
            QTest::mouseClick(d->btnOk, Qt::LeftButton);
        });
        QTest::mouseClick(CardAccDlg->btnRead, Qt::LeftButton);
    });
    ASSERT_EQ(MsgBoxLog().size(), 2u);
    EXPECT_EQ(MsgBoxLog()[0].kind, MsgKind::Confirmation);  // the Save As dialog's own question
    EXPECT_TRUE(MsgBoxLog()[0].text.contains(QStringLiteral("上書きしますか？")));
    EXPECT_NE(MsgBoxLog()[0].text, QStringLiteral("上書きしますか？"));
    EXPECT_EQ(MsgBoxLog()[1].text, kDone);
    EXPECT_TRUE(SameBytes(VirtualBus::ReadFile(file.toStdString()), Slice(card, 4, 1)));
    EXPECT_EQ(AccessParams[AccessRead].FilePath, file);
}

TEST_F(ReadTest, RetryRepeatsTheBlockAndAbortKeepsWhatWasRead)
{
    MakeUnit({1u << 20});
    const std::vector<uint8_t> card = FillCard(1, 11);
    const QString file = ScratchPath("retry.bin");
    const QString fail = QStringLiteral("カードの読み込みに失敗しました。");

    // The second block fails twice; Retry twice, then it succeeds.
    const uint32_t id = bus->SetFault("u", "slot=1 op=read lba=0x180-0x180 count=next:2 effect=sense:03/11/00");
    answer = [&](const MsgBoxCall &c) {
        if (c.buttons == MsgButtons::AbortRetry) {
            EXPECT_EQ(c.kind, MsgKind::Error);
            return int(mrRetry);
        }
        return int(mrOk);
    };
    RunDialog(1, [&] { Read(0, 0x200, file); });
    EXPECT_EQ(CountBoxes(fail), 2);
    EXPECT_EQ(CountBoxes(kDone), 1);
    EXPECT_EQ(bus->FireCount("u", id), 2u);
    EXPECT_TRUE(SameBytes(VirtualBus::ReadFile(file.toStdString()), Slice(card, 0, 0x200)));

    // The third block fails and the user gives up: the file has the two blocks before it.
    bus->ClearFaults("u");
    bus->SetFault("u", "slot=1 op=read lba=0x100-0x100 count=always effect=sense:03/11/00");
    answer = {};
    ClearMsgBoxLog();
    RunDialog(1, [&] { Read(0, 0x200, file); });
    EXPECT_EQ(BoxTexts(), (std::vector<QString>{QStringLiteral("上書きしますか？"), fail}));
    EXPECT_TRUE(SameBytes(VirtualBus::ReadFile(file.toStdString()), Slice(card, 0, 0x100)));

    // The first block fails: the overwritten file is left empty.
    ClearMsgBoxLog();
    RunDialog(1, [&] { Read(0x100, 4, file); });
    EXPECT_EQ(CountBoxes(fail), 1);
    EXPECT_EQ(CountBoxes(kDone), 0);
    EXPECT_TRUE(QFile::exists(file));
    EXPECT_EQ(QFile(file).size(), 0);
    EXPECT_EQ(lamps[1]->brushColor(), uint32_t(clLime));
}

TEST_F(ReadTest, AbortAsksAfterTheBlockInFlight)
{
    MakeUnit({2u << 20});
    const std::vector<uint8_t> card = FillCard(1, 5);
    const QString file = ScratchPath("abort.bin");
    const QString question = QStringLiteral("読み出しを中止しますか？");
    int pressAt = 2;
    auto conn = QObject::connect(CardAccDlg->ProgressBar1, &QProgressBar::valueChanged, [&](int v) {
        if (v == pressAt)
            QTimer::singleShot(0, [] { QTest::mouseClick(CardAccDlg->btnAbort, Qt::LeftButton); });
    });

    // Yes after block 3: three whole blocks in the file, no completion box.
    RunDialog(1, [&] { Read(0, 0x1000, file); });
    EXPECT_EQ(BoxTexts(), std::vector<QString>{question});
    EXPECT_TRUE(SameBytes(VirtualBus::ReadFile(file.toStdString()), Slice(card, 0, 3 * 128)));
    EXPECT_TRUE(CardAccDlg->btnRead->isEnabled());

    // No: the run goes on to the end; one press, one question.
    answer = [](const MsgBoxCall &c) { return c.buttons == MsgButtons::YesNo && c.text == QStringLiteral("読み出しを中止しますか？") ? int(mrNo) : int(mrYes); };
    ClearMsgBoxLog();
    RunDialog(1, [&] { Read(0, 0x1000, file); });
    EXPECT_EQ(BoxTexts(), (std::vector<QString>{QStringLiteral("上書きしますか？"), question, kDone}));
    EXPECT_TRUE(SameBytes(VirtualBus::ReadFile(file.toStdString()), Slice(card, 0, 0x1000)));

    // Pressed during the last block: still asked; Yes suppresses the completion box
    // although every sector has been copied.
    answer = {};
    pressAt = 1;
    ClearMsgBoxLog();
    RunDialog(1, [&] { Read(0x10, 129, file); });
    EXPECT_EQ(BoxTexts(), (std::vector<QString>{QStringLiteral("上書きしますか？"), question}));
    EXPECT_TRUE(SameBytes(VirtualBus::ReadFile(file.toStdString()), Slice(card, 0x10, 129)));
    QObject::disconnect(conn);
}

TEST_F(ReadTest, FileErrorsStopTheRun)
{
    MakeUnit({1u << 20});
    FillCard(1, 1);

    // A full disk: the first block cannot be written.
    RunDialog(1, [&] { Read(0, 0x100, QStringLiteral("/dev/full")); });
    EXPECT_EQ(BoxTexts(), (std::vector<QString>{QStringLiteral("上書きしますか？"),
                                                QStringLiteral("ファイルへの書き込み中にエラーが発生しました。")}));
    EXPECT_EQ(MsgBoxLog()[1].kind, MsgKind::Error);
    EXPECT_TRUE(CardAccDlg->btnRead->isEnabled());
    EXPECT_FALSE(TransferActive);

    // A file that cannot be created: nothing is locked, no lamp changes.
    ClearMsgBoxLog();
    progressSeen.clear();
    RunDialog(1, [&] { Read(0, 1, ScratchPath("no-such-dir/x.bin")); });
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("ファイルのオープンに失敗しました。")});
    EXPECT_TRUE(progressSeen.empty());
    EXPECT_EQ(lamps[1]->brushColor(), uint32_t(clLime));

    // A pipe in the file's place: refused at once instead of the program
    // waiting for a reader that never comes.
    const QString pipe = ScratchPath("pipe.bin");
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    ClearMsgBoxLog();
    RunDialog(1, [&] { Read(0, 0x100, pipe); });
    EXPECT_EQ(BoxTexts(), (std::vector<QString>{QStringLiteral("上書きしますか？"),
                                                QStringLiteral("ファイルのオープンに失敗しました。")}));
    EXPECT_TRUE(progressSeen.empty());
}

TEST_F(ReadTest, VdReadLightsTheMirroredSlotAndDisablesEmptyOnes)
{
    MakeUnit({0, 1u << 20, 0, 1u << 20});  // cards in slots 2 and 4: the VD mirrors slot 2
    ASSERT_EQ(VdTargetSlot, 1);
    const std::vector<uint8_t> card = FillCard(2, 21);
    const QString file = ScratchPath("vd.bin");
    std::vector<uint32_t> during;
    QObject::connect(CardAccDlg->ProgressBar1, &QProgressBar::valueChanged, [&](int v) {
        if (v == 1)
            for (int i = 0; i < 5; ++i)
                during.push_back(lamps[i]->brushColor());
    });
    RunDialog(0, [&] { Read(0, 3, file); });
    EXPECT_EQ(during, (std::vector<uint32_t>{clRed, clGray, clRed, clGray, clLime}));
    EXPECT_TRUE(SameBytes(VirtualBus::ReadFile(file.toStdString()), Slice(card, 0, 3)));
    EXPECT_EQ(lamps[0]->brushColor(), uint32_t(clLime));
    EXPECT_EQ(lamps[2]->brushColor(), uint32_t(clLime));
    EXPECT_FALSE(lamps[1]->isEnabled());  // empty slot: its lamp is switched off
    EXPECT_TRUE(lamps[4]->isEnabled());
}

// While a read runs, Escape does nothing (戻る, the button it presses, is
// hidden) and the close box takes effect only once the read has returned:
// the read runs to its end either way.
TEST_F(ReadTest, EscapeAndTheCloseBoxWhileAReadRuns)
{
    MakeUnit({2u << 20});
    const std::vector<uint8_t> card = FillCard(1, 9);
    const QString file = ScratchPath("esc.bin");
    std::function<void()> afterBlock2;
    auto conn = QObject::connect(CardAccDlg->ProgressBar1, &QProgressBar::valueChanged, [&](int v) {
        if (v == 1)
            QTimer::singleShot(0, [&] { afterBlock2(); });
    });

    bool runningAfterKey = false;
    int resultAfterRead = -1;
    afterBlock2 = [&] {
        QApplication::setActiveWindow(CardAccDlg);
        ASSERT_EQ(QApplication::focusWidget(), CardAccDlg->btnAbort);
        QTest::keyClick(CardAccDlg->btnAbort, Qt::Key_Escape);
        runningAfterKey = TransferActive && CardAccDlg->ModalResult() == mrNone;
    };
    RunDialog(1, [&] {
        Read(0, 0x1000, file);
        resultAfterRead = CardAccDlg->ModalResult();
    });
    EXPECT_TRUE(runningAfterKey);
    EXPECT_EQ(resultAfterRead, mrNone);  // the dialog stays open
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kDone});
    EXPECT_TRUE(SameBytes(VirtualBus::ReadFile(file.toStdString()), Slice(card, 0, 0x1000)));

    // The close box: the read goes on to its completion, then the dialog closes.
    ClearMsgBoxLog();
    QFile::remove(file);
    bool runningAfterClose = false;
    afterBlock2 = [&] {
        CardAccDlg->close();
        runningAfterClose = TransferActive && CardAccDlg->isVisible();
    };
    const int r = RunDialog(1, [&] {
        Read(0, 0x1000, file);
        resultAfterRead = CardAccDlg->ModalResult();
        EXPECT_TRUE(CardAccDlg->btnRead->isEnabled());
    });
    EXPECT_TRUE(runningAfterClose);
    EXPECT_EQ(resultAfterRead, mrCancel);
    EXPECT_EQ(r, mrCancel);
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kDone});
    EXPECT_TRUE(SameBytes(VirtualBus::ReadFile(file.toStdString()), Slice(card, 0, 0x1000)));
    EXPECT_FALSE(TransferActive);
    QObject::disconnect(conn);
}
