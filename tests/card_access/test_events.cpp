// Cards pulled and pushed while the card access dialog is open, over the
// whole application: the bus changes, the slot monitor's tick sees it and
// posts the event, the dialog's handlers react. After every stop the cards
// and files hold exactly the blocks done so far.
#include "AppFixture.h"

#include "AppMain.h"
#include "CardAcc.h"
#include "CardInfo.h"
#include "Forms.h"
#include "InputLba.h"
#include "ModalForm.h"
#include "Shape.h"
#include "UnitState.h"
#include "tvq2xx.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <fstream>

using namespace tvqtest;

// Readable texts in failure messages.
inline void PrintTo(const QString &s, std::ostream *os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace {
constexpr uint64_t kCard = 4ull << 20;             // 8192 sectors
constexpr uint64_t kBlock = 128 * 512;
constexpr uint32_t kRange = 0x1000;                // the 2 MB of this edition: 32 blocks

const QString kPulled = QStringLiteral("カードが抜かれました。");
const QString kInsertedDuringWrite =
    QStringLiteral("VD の書き込み中に新しいカードが挿入されました。\n書き込んだデータは保証されません。");
const QString kReadDone = QStringLiteral("読み出しを完了しました。");
const QString kWriteDone = QStringLiteral("書き込みを完了しました。");
const QString kMasterWarning = QStringLiteral("※マスタスロットのカードと諸元が異なります");

std::vector<uint8_t> Bytes(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 7u;
    for (auto &b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return v;
}

void Overwrite(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(f.good());
}

std::vector<uint8_t> Head(const std::vector<uint8_t> &v, uint64_t bytes)
{
    return std::vector<uint8_t>(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(bytes, v.size())));
}

// b's first `bytes` bytes come from a, the rest from c.
bool Spliced(const std::vector<uint8_t> &b, const std::vector<uint8_t> &a, const std::vector<uint8_t> &c,
             uint64_t bytes)
{
    if (b.size() != c.size() || a.size() < bytes)
        return false;
    return std::equal(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(bytes), a.begin()) &&
           std::equal(b.begin() + static_cast<std::ptrdiff_t>(bytes), b.end(), c.begin() + static_cast<std::ptrdiff_t>(bytes));
}

class SlotEventsTest : public AppFixture {
protected:
    void TearDown() override
    {
        for (auto &c : hooks_)
            QObject::disconnect(c);
        AppFixture::TearDown();
    }

    // Unit "u" with cards of the sizes in slots 1, 2, ... (0 = empty), each
    // filled with its own bytes; then the windows, with the timer stopped so
    // that only Tick() looks at the unit.
    void MakeUnit(vbus::Model model, uint32_t flags, const std::vector<uint64_t> &cards)
    {
        Bus().AddUnit("u", model, flags);
        for (size_t i = 0; i < cards.size(); ++i)
            if (cards[i])
                Push(static_cast<int>(i + 1), cards[i], static_cast<uint32_t>(i + 1));
        ASSERT_TRUE(CreateForms());
        AppMainForm->Timer1->stop();
        ClearBoxes();
    }
    // A card with fresh bytes into the slot (bus only).
    void Push(int slot, uint64_t bytes, uint32_t seed)
    {
        const std::string path = Bus().InsertBlank("u", slot, bytes);
        original[slot] = Bytes(bytes, seed);
        Overwrite(path, original[slot]);
        images[slot] = path;
    }
    std::vector<uint8_t> Image(int slot) { return VirtualBus::ReadFile(images[slot]); }

    // One tick of the slot monitor, then the posted events.
    void Tick()
    {
        AppMainForm->Timer1Timer();
        ProcessEvents();
    }
    void PullAndTick(int slot)
    {
        Bus().Pull("u", slot);
        Tick();
    }
    void PushAndTick(int slot, uint64_t bytes, uint32_t seed)
    {
        Push(slot, bytes, seed);
        Tick();
    }

    // Opens slot number n through its button and runs steps inside the
    // dialog. Returns true when the dialog was still open after the steps.
    bool Open(uint32_t n, const std::function<void()> &steps)
    {
        bool open = false;
        QTimer::singleShot(0, CardAccDlg, [&] {
            steps();
            open = CardAccDlg->InModalLoop() && CardAccDlg->ModalResult() == mrNone;
            if (open)
                CardAccDlg->SetModalResult(mrCancel);
        });
        EXPECT_TRUE(SlotButtons[n]->isEnabled());
        SlotButtons[n]->click();
        EXPECT_FALSE(CardAccDlg->isVisible());
        return open;
    }

    // The next parameter dialog takes this range (count 0: the whole-card mode) and file.
    void NextParams(uint32_t start, uint32_t count, const QString &file)
    {
        QTimer::singleShot(0, InputLbaDlg, [=] {
            TInputLbaDlg *d = InputLbaDlg;
            if (count == 0) {
                d->rbtAccAll->click();
            } else {
                d->rbtAccSect->click();
                d->edtStartSect->setText(QString::asprintf("%08X", start));
                d->edtSectCnt->setText(QString::asprintf("%08X", count));
            }
            d->edtFilePath->setText(file);
            QTest::mouseClick(d->btnOk, Qt::LeftButton);
            if (d->InModalLoop() && d->ModalResult() == mrNone)
                d->SetModalResult(mrCancel);
        });
    }

    // Runs action in the message pump that follows block k+1: it is hooked
    // to the bar's step k, and a zero timer runs at the next pump, which is
    // after the next block. The action's events are delivered there too.
    void AfterBlock(int k, std::function<void()> action)
    {
        auto done = std::make_shared<bool>(false);
        hooks_.push_back(QObject::connect(CardAccDlg->ProgressBar1, &QProgressBar::valueChanged, [=](int v) {
            if (v != k || *done)
                return;
            *done = true;
            QTimer::singleShot(0, [action] { action(); });
        }));
    }

    QString File(const char *name) const { return TempDir() + QLatin1Char('/') + QLatin1String(name); }
    std::vector<uint8_t> FileBytes(const QString &f) const { return VirtualBus::ReadFile(f.toStdString()); }
    uint32_t Lamp(int n) const { return SlotLamps[n]->brushColor(); }

    std::map<int, std::vector<uint8_t>> original;
    std::map<int, std::string> images;

private:
    std::vector<QMetaObject::Connection> hooks_;
};

TEST_F(SlotEventsTest, OwnCardPulledWhileIdleClosesTheDialog)
{
    MakeUnit(Model::Tvq210, 0x0001, {kCard, 0, kCard});
    const bool open = Open(3, [&] { PullAndTick(3); });
    EXPECT_FALSE(open);
    ASSERT_EQ(BoxTexts(), std::vector<QString>{kPulled});
    EXPECT_EQ(Boxes()[0].kind, MsgKind::Warning);
    EXPECT_EQ(Boxes()[0].buttons, MsgButtons::Ok);
    EXPECT_EQ(CardAccDlg->ModalResult(), mrCancel);
    EXPECT_EQ(Lamp(3), uint32_t(clGray));
    // The image is kept as it was.
    EXPECT_EQ(Image(3), original[3]);
}

TEST_F(SlotEventsTest, PullsDuringAReadOfASlot)
{
    MakeUnit(Model::Tvq210, 0x0001, {kCard, 0, kCard, 0, kCard});

    // Another card goes: no message, the read runs to its end.
    const QString whole = File("whole.bin");
    bool open = Open(3, [&] {
        AfterBlock(4, [&] { PullAndTick(5); });
        NextParams(0, kRange, whole);
        CardAccDlg->btnRead->click();
    });
    EXPECT_TRUE(open);
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kReadDone});
    EXPECT_EQ(FileBytes(whole), Head(original[3], kRange * 512ull));
    EXPECT_EQ(Lamp(5), uint32_t(clGray));

    // The own card goes after block 6: the warning only; the file holds six blocks.
    ClearBoxes();
    const QString part = File("part.bin");
    open = Open(3, [&] {
        AfterBlock(5, [&] { PullAndTick(3); });
        NextParams(0, kRange, part);
        CardAccDlg->btnRead->click();
        EXPECT_FALSE(TransferActive);
    });
    EXPECT_FALSE(open);
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kPulled});
    EXPECT_EQ(FileBytes(part), Head(original[3], 6 * kBlock));
    EXPECT_EQ(Image(3), original[3]);
    EXPECT_EQ(Lamp(3), uint32_t(clGray));
    EXPECT_FALSE(SlotButtons[3]->isChecked());
}

TEST_F(SlotEventsTest, VdRetargetOnTheSixSlotUnit)
{
    // Only the master slot holds a card; the VD mirrors it.
    MakeUnit(Model::Tvq206, 0x0001, {kCard});

    // Its last card gone, the VD stands for nothing: while no slot holds a
    // card the tick moves VdTargetSlot on, so the removal reads as a move.
    bool open = Open(0, [&] { PullAndTick(1); });
    EXPECT_FALSE(open);
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kPulled});
    EXPECT_EQ(VdTargetSlot, 1);

    // The VD keeps its display until another target is reported. A card of
    // another size arrives in slot number 3 (target 2): the VD moves from the
    // master slot to it.
    ClearBoxes();
    open = Open(0, [&] {
        Tick();
        PushAndTick(3, 2 * kCard, 33);
        EXPECT_EQ(VdTargetSlot, 2);
        EXPECT_EQ(CardAccDlg->lblNumSectors->text(), QStringLiteral("16384 (4000H)"));
    });
    EXPECT_TRUE(open);
    ASSERT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("VD の対象スロットが SLOT# 2 に変更されました。")});
    EXPECT_EQ(Boxes()[0].kind, MsgKind::Warning);

    // During a read of the VD: the error, the read stops, the file holds what the old card gave.
    ClearBoxes();
    Bus().Pull("u", 3);
    Push(4, kCard, 44);
    Tick();  // the VD now mirrors slot 4 (target 3)
    ASSERT_EQ(VdTargetSlot, 3);
    const QString file = File("vd.bin");
    open = Open(0, [&] {
        AfterBlock(2, [&] { PushAndTick(3, kCard, 55); });
        NextParams(0, kRange, file);
        CardAccDlg->btnRead->click();
    });
    EXPECT_FALSE(open);
    ASSERT_EQ(BoxTexts(),
              std::vector<QString>{QStringLiteral(
                  "VD の読み出し先が SLOT# 2 に変更されました。\n読み出したデータは保証されません。")});
    EXPECT_EQ(Boxes()[0].kind, MsgKind::Error);
    EXPECT_EQ(FileBytes(file), Head(original[4], 3 * kBlock));
    EXPECT_EQ(VdTargetSlot, 2);
    EXPECT_EQ(Image(3), original[3]);
    EXPECT_EQ(Image(4), original[4]);
}

TEST_F(SlotEventsTest, VdRetargetOnTheTenSlotUnitWithTheVdLast)
{
    MakeUnit(Model::Tvq210, 0x0201, {0, 0, 0, 0, 0, kCard});
    ASSERT_EQ(VdIndex, 10u);
    ASSERT_EQ(VdTargetSlot, 5);
    bool open = Open(0, [&] { PushAndTick(5, 2 * kCard, 5); });
    EXPECT_TRUE(open);
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("VD の対象スロットが SLOT# 5 に変更されました。")});
    EXPECT_EQ(VdTargetSlot, 4);

    ClearBoxes();
    const QString file = File("vd10.bin");
    open = Open(0, [&] {
        AfterBlock(0 + 1, [&] { PushAndTick(2, kCard, 2); });
        NextParams(0, kRange, file);
        CardAccDlg->btnRead->click();
    });
    EXPECT_FALSE(open);
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral(
                              "VD の読み出し先が SLOT# 2 に変更されました。\n読み出したデータは保証されません。")});
    EXPECT_EQ(FileBytes(file), Head(original[5], 2 * kBlock));

    // A compare of the VD is stopped the same way; nothing is written anywhere.
    ClearBoxes();
    const QString same = QString::fromStdString(Bus().WriteFile("same.bin", Head(original[2], kRange * 512ull)));
    open = Open(0, [&] {
        AfterBlock(3, [&] { PushAndTick(1, kCard, 1); });
        NextParams(0, kRange, same);
        CardAccDlg->btnCompare->click();
    });
    EXPECT_FALSE(open);
    // The event's box is the only report: the compare adds no end message of its own.
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral(
                              "VD の読み出し先が SLOT# 1 に変更されました。\n読み出したデータは保証されません。")});
    EXPECT_EQ(VdTargetSlot, 0);
    for (int n : {1, 2, 5})
        EXPECT_EQ(Image(n), original[n]) << n;
}

TEST_F(SlotEventsTest, CardPushedDuringAVdWrite)
{
    MakeUnit(Model::Tvq210, 0x0001, {kCard, kCard});
    const std::vector<uint8_t> data = Bytes(kRange * 512, 99);
    const QString src = QString::fromStdString(Bus().WriteFile("src.bin", data));

    // Before the bar is full: the insertion error, the write stops after block 4.
    bool open = Open(0, [&] {
        AfterBlock(3, [&] { PushAndTick(5, kCard, 5); });
        NextParams(0, 0, src);
        CardAccDlg->btnWrite->click();
    });
    EXPECT_FALSE(open);
    ASSERT_EQ(BoxTexts(), std::vector<QString>{kInsertedDuringWrite});
    EXPECT_EQ(Boxes()[0].kind, MsgKind::Error);
    EXPECT_TRUE(Spliced(Image(1), data, original[1], 4 * kBlock));
    EXPECT_TRUE(Spliced(Image(2), data, original[2], 4 * kBlock));
    EXPECT_EQ(Image(5), original[5]);
    for (int n : {0, 1, 2, 5})
        EXPECT_EQ(Lamp(n), uint32_t(clLime)) << n;

    // Once the bar is full (the completion message is up), an insertion says nothing.
    ClearBoxes();
    Bus().Pull("u", 5);
    Tick();
    AnswerNextBox([&](const MsgBoxCall &c) {
        EXPECT_EQ(c.text, kWriteDone);
        EXPECT_EQ(CardAccDlg->ProgressBar1->value(), CardAccDlg->ProgressBar1->maximum());
        PushAndTick(6, kCard, 6);
        return int(mrOk);
    });
    open = Open(0, [&] {
        NextParams(0, 0, src);
        CardAccDlg->btnWrite->click();
    });
    EXPECT_TRUE(open);
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kWriteDone});
    EXPECT_TRUE(Spliced(Image(1), data, original[1], kRange * 512ull));
    EXPECT_TRUE(Spliced(Image(2), data, original[2], kRange * 512ull));
    EXPECT_EQ(Image(6), original[6]);

    // The bar full while the write still runs: a file of one sector and 488
    // bytes fills it (maximum 1) before the merge of its last bytes, whose
    // read fails once. An insertion while that retry box is open says
    // nothing, and Retry finishes the write.
    ClearBoxes();
    Bus().Pull("u", 6);
    Tick();
    const std::vector<uint8_t> small = Bytes(1000, 77);
    const QString smallSrc = QString::fromStdString(Bus().WriteFile("small.bin", small));
    const uint32_t fault = Bus().SetFault("u", "slot=vd op=read lba=0x41-0x41 count=next:1 effect=sense:03/11/00");
    const QString kMergeFailed = QStringLiteral("カードへの書き込みに失敗しました。");
    bool fullAndRunning = false;
    AnswerNextBox([&](const MsgBoxCall &c) {
        EXPECT_EQ(c.text, kMergeFailed);
        fullAndRunning = TransferActive && CardAccDlg->ProgressBar1->value() == 1 &&
                         CardAccDlg->ProgressBar1->maximum() == 1;
        PushAndTick(7, kCard, 7);
        return int(mrRetry);
    });
    const std::vector<uint8_t> before1 = Image(1);
    open = Open(0, [&] {
        NextParams(0x40, 0x100, smallSrc);
        CardAccDlg->btnWrite->click();
    });
    EXPECT_EQ(Bus().FireCount("u", fault), 1u);
    EXPECT_TRUE(fullAndRunning);
    EXPECT_TRUE(open);
    EXPECT_EQ(BoxTexts(), (std::vector<QString>{kMergeFailed, kWriteDone}));
    std::vector<uint8_t> expected1 = before1;
    std::copy(small.begin(), small.end(), expected1.begin() + 0x40 * 512);
    EXPECT_EQ(Image(1), expected1);
    // The new card missed the first sector; the merged one reached it as it did every card.
    std::vector<uint8_t> expected7 = original[7];
    std::copy(expected1.begin() + 0x41 * 512, expected1.begin() + 0x42 * 512, expected7.begin() + 0x41 * 512);
    EXPECT_TRUE(Image(7) == expected7);
}

// The six-slot unit names slot 1 "MASTER SLOT" in the VD messages, idle and
// during a read. While a read or compare goes through the VD, the card that
// becomes its source lights red and the former source goes back to lime; during
// a write of the VD a new card is lime.
TEST_F(SlotEventsTest, VdMovesToTheMasterSlotOfTheSixSlotUnit)
{
    MakeUnit(Model::Tvq206, 0x0001, {0, 0, kCard, kCard});
    ASSERT_EQ(VdTargetSlot, 2);  // slot number 3

    // Idle: the warning, and the dialog stays.
    bool open = Open(0, [&] { PushAndTick(1, kCard, 11); });
    EXPECT_TRUE(open);
    ASSERT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("VD の対象スロットが MASTER SLOT に変更されました。")});
    EXPECT_EQ(Boxes()[0].kind, MsgKind::Warning);
    EXPECT_EQ(VdTargetSlot, 0);

    // During a read of the VD from slot 3: the error, the lamps of the new
    // and the old source while it is shown, and the read stops.
    Bus().Pull("u", 1);
    Tick();
    ASSERT_EQ(VdTargetSlot, 2);
    const std::map<int, std::vector<uint8_t>> kept = original;
    std::vector<uint32_t> lampsAtBox;
    auto lampsAt = [&](const MsgBoxCall &) {
        lampsAtBox.clear();
        for (int n = 0; n < 5; ++n)
            lampsAtBox.push_back(Lamp(n));
        return int(mrOk);
    };
    for (bool compare : {false, true}) {
        SCOPED_TRACE(compare ? "compare" : "read");
        ClearBoxes();
        lampsAtBox.clear();
        const QString file = compare ? QString::fromStdString(Bus().WriteFile("vd3.bin", Head(kept.at(3), kRange * 512ull)))
                                     : File("vd206.bin");
        AnswerNextBox(lampsAt);
        open = Open(0, [&] {
            AfterBlock(1, [&] { PushAndTick(1, kCard, 12); });
            NextParams(0, kRange, file);
            (compare ? CardAccDlg->btnCompare : CardAccDlg->btnRead)->click();
        });
        EXPECT_FALSE(open);
        ASSERT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral(
                                  "VD の読み出し先が MASTER SLOT に変更されました。\n読み出したデータは保証されません。")});
        EXPECT_EQ(Boxes()[0].kind, MsgKind::Error);
        // VD red (the drive in use), slot 1 the new source red, slot 3 the old one lime.
        EXPECT_EQ(lampsAtBox, (std::vector<uint32_t>{clRed, clRed, clGray, clLime, clLime}));
        if (!compare) {
            EXPECT_EQ(FileBytes(file), Head(kept.at(3), 2 * kBlock));
        }
        for (int n : {1, 3, 4})
            EXPECT_EQ(Lamp(n), uint32_t(clLime)) << n;
        EXPECT_EQ(Image(3), kept.at(3));
        Bus().Pull("u", 1);
        Tick();
        ASSERT_EQ(VdTargetSlot, 2);
    }

    // A write of the VD: the card pushed into the master slot stays lime while
    // every other card is red; the insertion error stops the write.
    ClearBoxes();
    const std::vector<uint8_t> data = Bytes(kRange * 512, 90);
    const QString src = QString::fromStdString(Bus().WriteFile("src206.bin", data));
    AnswerNextBox(lampsAt);
    open = Open(0, [&] {
        AfterBlock(1, [&] { PushAndTick(1, kCard, 13); });
        NextParams(0, 0, src);
        CardAccDlg->btnWrite->click();
    });
    EXPECT_FALSE(open);
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kInsertedDuringWrite});
    EXPECT_EQ(lampsAtBox, (std::vector<uint32_t>{clRed, clLime, clGray, clRed, clRed}));
    EXPECT_EQ(Image(1), original[1]);
    EXPECT_TRUE(Spliced(Image(3), data, kept.at(3), 2 * kBlock));
}

TEST_F(SlotEventsTest, CardPulledDuringAVdWrite)
{
    MakeUnit(Model::Tvq210, 0x0001, {kCard, kCard, kCard});
    const std::vector<uint8_t> data = Bytes(kRange * 512, 98);
    const QString src = QString::fromStdString(Bus().WriteFile("src.bin", data));

    // A card the VD does not stand for: no message, the write stops, the dialog closes.
    bool open = Open(0, [&] {
        AfterBlock(6, [&] { PullAndTick(3); });
        NextParams(0, 0, src);
        CardAccDlg->btnWrite->click();
    });
    EXPECT_FALSE(open);
    EXPECT_TRUE(BoxTexts().empty());
    for (int n : {1, 2, 3})
        EXPECT_TRUE(Spliced(Image(n), data, original[n], 7 * kBlock)) << n;
    EXPECT_EQ(Lamp(3), uint32_t(clGray));

    // The card it stands for: the VD moves, the warning comes first.
    ClearBoxes();
    original[1] = Image(1);
    original[2] = Image(2);
    const std::vector<uint8_t> data2 = Bytes(kRange * 512, 97);
    const QString src2 = QString::fromStdString(Bus().WriteFile("src2.bin", data2));
    open = Open(0, [&] {
        AfterBlock(1, [&] { PullAndTick(1); });
        NextParams(0, 0, src2);
        CardAccDlg->btnWrite->click();
    });
    EXPECT_FALSE(open);
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kPulled});
    EXPECT_TRUE(Spliced(Image(1), data2, original[1], 2 * kBlock));
    EXPECT_TRUE(Spliced(Image(2), data2, original[2], 2 * kBlock));
    EXPECT_EQ(VdTargetSlot, 1);
}

TEST_F(SlotEventsTest, MasterCardPulledAndPushedBack)
{
    MakeUnit(Model::Tvq210, 0x0001, {kCard, 2 * kCard});
    const bool open = Open(2, [&] {
        EXPECT_FALSE(CardAccDlg->lblWarning->isHidden());
        EXPECT_EQ(CardAccDlg->lblWarning->text(), kMasterWarning);
        EXPECT_EQ(TCardAccDlg::LabelColor(CardAccDlg->lblNumSectors), uint32_t(clRed));

        PullAndTick(1);
        EXPECT_TRUE(CardAccDlg->lblWarning->isHidden());
        EXPECT_FALSE(CardAccDlg->edtStatus->isHidden());
        EXPECT_NE(TCardAccDlg::LabelColor(CardAccDlg->lblNumSectors), uint32_t(clRed));
        EXPECT_EQ(VdTargetSlot, 1);  // the VD follows slot 2 now

        PushAndTick(1, kCard, 11);
        EXPECT_FALSE(CardAccDlg->lblWarning->isHidden());
        EXPECT_EQ(TCardAccDlg::LabelColor(CardAccDlg->lblNumSectors), uint32_t(clRed));
        EXPECT_EQ(VdTargetSlot, 0);
    });
    EXPECT_TRUE(open);
    EXPECT_TRUE(BoxTexts().empty());
}

TEST_F(SlotEventsTest, PullWhileTheParameterDialogIsOpen)
{
    MakeUnit(Model::Tvq210, 0x0001, {kCard, 0, kCard});
    const QString file = File("never.bin");
    bool paramsCancelled = false;
    const bool open = Open(3, [&] {
        QTimer::singleShot(0, InputLbaDlg, [&] {
            InputLbaDlg->edtFilePath->setText(file);
            PullAndTick(3);
            paramsCancelled = InputLbaDlg->ModalResult() == mrCancel;
        });
        CardAccDlg->btnRead->click();
        EXPECT_FALSE(InputLbaDlg->isVisible());
        EXPECT_FALSE(TransferActive);
    });
    EXPECT_FALSE(open);
    EXPECT_TRUE(paramsCancelled);
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kPulled});
    EXPECT_FALSE(QFile::exists(file));
}

TEST_F(SlotEventsTest, DriveListStaysForAPullAndClosesForAVdWriteInsertion)
{
    MakeUnit(Model::Tvq210, 0x0001, {kCard, kCard, kCard});
    TCardInfoDlg *list = CardInfoDlg;
    bool listOpenAfter = false;
    QString line3;
    QTimer::singleShot(0, list, [&] {
        QTimer::singleShot(0, CardAccDlg, [&] {
            EXPECT_EQ(CardAccDlg->windowTitle().left(6), QStringLiteral("SLOT#3"));
            PullAndTick(3);
        });
        list->lbxCardInfo->setCurrentRow(3);
        QTest::keyClick(list->lbxCardInfo, Qt::Key_Return);
        listOpenAfter = list->InModalLoop() && list->ModalResult() == mrNone;
        line3 = list->lbxCardInfo->item(3)->text();
        list->OKBtn->click();
    });
    AppMainForm->mniViewClick();
    EXPECT_TRUE(listOpenAfter);
    EXPECT_EQ(line3, GetCardInfoLine(false, 3));
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kPulled});

    // The list cannot open the VD itself; the main window's open command can,
    // with the list below. An insertion during the VD write closes both.
    ClearBoxes();
    const std::vector<uint8_t> data = Bytes(kRange * 512, 96);
    const QString src = QString::fromStdString(Bus().WriteFile("src.bin", data));
    bool listClosed = false;
    QTimer::singleShot(0, list, [&] {
        QTimer::singleShot(0, CardAccDlg, [&] {
            AfterBlock(2, [&] { PushAndTick(3, kCard, 3); });
            NextParams(0, 0, src);
            CardAccDlg->btnWrite->click();
        });
        SlotButtons[0]->click();
        listClosed = list->ModalResult() == mrCancel;
    });
    AppMainForm->mniViewClick();
    EXPECT_TRUE(listClosed);
    EXPECT_FALSE(list->isVisible());
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kInsertedDuringWrite});
    EXPECT_TRUE(Spliced(Image(1), data, original[1], 3 * kBlock));
}

TEST_F(SlotEventsTest, VdTargetFollowsTheSlotNumbersInBothLayouts)
{
    for (uint32_t flags : {0x0001u, 0x0201u}) {
        SCOPED_TRACE(flags);
        if (AppMainForm) {
            TearDown();
            SetUp();
        }
        MakeUnit(Model::Tvq210, flags, {0, kCard, kCard, kCard});
        ASSERT_EQ(VdTargetSlot, 1);
        const bool open = Open(4, [&] {
            // Each removal leaves the VD on the lowest slot still holding a card,
            // the target the unit itself reports.
            PullAndTick(2);
            EXPECT_EQ(VdTargetSlot, 2);
            ReadSlotStatus(SlotStatusBlock);
            EXPECT_EQ(uint32_t(VdTargetSlot), SlotStatusBlock.VdTarget);
            PullAndTick(3);
            EXPECT_EQ(VdTargetSlot, 3);
            // A card arriving is taken over from the message.
            PushAndTick(1, kCard, 1);
            EXPECT_EQ(VdTargetSlot, 0);
        });
        EXPECT_TRUE(open);
        EXPECT_TRUE(BoxTexts().empty());
    }
}

TEST_F(SlotEventsTest, WriteTestCountsAsAWriteForTheEvents)
{
    MakeUnit(Model::Tvq210, 0x0001, {kCard, kCard});
    AccessOp = AccessRead;  // left by an earlier read
    bool open = Open(0, [&] {
        CardAccDlg->btnTest->show();
        AfterBlock(2, [&] { PushAndTick(4, kCard, 4); });
        CardAccDlg->btnTest->click();
    });
    EXPECT_FALSE(open);
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kInsertedDuringWrite});
    EXPECT_EQ(AccessOp, AccessRead);
    EXPECT_EQ(Image(4), original[4]);
    const std::vector<uint8_t> card = Image(1);
    EXPECT_EQ(card[3 * kBlock - 1], uint8_t((kBlock - 1) % 65536 % 254 + 1));
    EXPECT_TRUE(std::equal(card.begin() + 3 * kBlock, card.end(), original[1].begin() + 3 * kBlock));

    // Once the bar is full (the completion message is up, the run not yet
    // over), a card pushed in says nothing and the dialog stays.
    ClearBoxes();
    Bus().Pull("u", 4);
    Tick();
    AnswerNextBox([&](const MsgBoxCall &c) {
        EXPECT_EQ(c.text, kWriteDone);
        EXPECT_TRUE(TransferActive);
        EXPECT_EQ(CardAccDlg->ProgressBar1->value(), CardAccDlg->ProgressBar1->maximum());
        PushAndTick(5, kCard, 5);
        return int(mrOk);
    });
    open = Open(0, [&] {
        CardAccDlg->btnTest->show();
        CardAccDlg->btnTest->click();
    });
    EXPECT_TRUE(open);
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kWriteDone});
    EXPECT_EQ(Image(5), original[5]);

    // Own card pulled during the test of a slot: its lamp stays grey afterwards.
    ClearBoxes();
    open = Open(2, [&] {
        CardAccDlg->btnTest->show();
        AfterBlock(1, [&] { PullAndTick(2); });
        CardAccDlg->btnTest->click();
    });
    EXPECT_FALSE(open);
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kPulled});
    EXPECT_EQ(Lamp(2), uint32_t(clGray));
    EXPECT_EQ(Lamp(1), uint32_t(clLime));
}

} // namespace
