// Writing a file to a card: whole sectors, the merged final partial sector,
// the size question, unusable files, the VD, retry. Every run checks the
// whole card image against a model of what it must hold.
#include "CardAccFixture.h"

#include "Shape.h"
#include "UnitState.h"

#include <QFile>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

using namespace tvqtest;

namespace {
const QString kDone = QStringLiteral("書き込みを完了しました。");
const QString kTooBig = QStringLiteral("ファイルサイズがカード側の設定容量を超えています。\n"
                                       "ファイルのすべてのデータを書き込むことはできません。\n\n実行しますか？");

// The card as it must be after the file's first n bytes went to sector start.
void Apply(std::vector<uint8_t> &card, uint32_t start, const std::vector<uint8_t> &file, size_t n)
{
    std::copy(file.begin(), file.begin() + n, card.begin() + start * 512);
}
} // namespace

class WriteTest : public CardAccTest {};

TEST_F(WriteTest, WholeAndPartialSectors)
{
    MakeUnit({4u << 20});
    std::vector<uint8_t> model = FillCard(1, 1);
    int maxAtDone = -1, valueAtDone = -1;
    answer = [&](const MsgBoxCall &c) {
        if (c.text == kDone) {
            maxAtDone = CardAccDlg->ProgressBar1->maximum();
            valueAtDone = CardAccDlg->ProgressBar1->value();
        }
        return c.buttons == MsgButtons::YesNo ? int(mrYes) : int(mrOk);
    };

    struct Case {
        size_t bytes;
        uint32_t start;
        int maximum, valueAtDone;
        std::vector<int> progress;
    };
    const Case cases[] = {
        {1536, 0x10, 1, 1, {1, 0}},          // one block of 3 sectors, the rest of the range untouched
        {1000, 0x20, 1, 1, {1, 0}},          // 1 sector, then 488 bytes merged into sector 0x21
        {100, 0x30, 100, 100, {1, 100, 0}},  // only the merge; the bar counts bytes
        {0, 0x40, 1, 0, {}},                 // nothing to write, still completed; an empty bar, never a busy one
        {300 * 512 + 17, 0x100, 3, 3, {1, 2, 3, 0}},  // 3 blocks, then the merge (no step left)
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.bytes);
        const std::vector<uint8_t> file = Pattern(c.bytes, uint32_t(c.bytes));
        const QString path = WriteScratch("w" + std::to_string(c.bytes) + ".bin", file);
        ClearMsgBoxLog();
        progressSeen.clear();
        maxAtDone = -1;
        RunDialog(1, [&] { Write(c.start, 0x1000, path); });
        EXPECT_EQ(BoxTexts(), std::vector<QString>{kDone});
        EXPECT_EQ(maxAtDone, c.maximum);
        EXPECT_EQ(valueAtDone, c.valueAtDone);
        EXPECT_EQ(progressSeen, c.progress);
        // Idle again: an empty bar, not a busy one.
        EXPECT_EQ(CardAccDlg->ProgressBar1->value(), 0);
        EXPECT_GT(CardAccDlg->ProgressBar1->maximum(), CardAccDlg->ProgressBar1->minimum());
        Apply(model, c.start, file, c.bytes);
        ASSERT_TRUE(SameBytes(CardBytes(1), model));
        EXPECT_TRUE(SameBytes(VirtualBus::ReadFile(path.toStdString()), file));  // the source is only read
    }
    EXPECT_EQ(lamps[1]->brushColor(), uint32_t(clLime));
}

TEST_F(WriteTest, FileLargerThanTheRange)
{
    MakeUnit({1u << 20});
    std::vector<uint8_t> model = FillCard(1, 2);

    // Exactly the range: no question.
    const std::vector<uint8_t> exact = Pattern(5 * 512, 5);
    RunDialog(1, [&] { Write(2, 5, WriteScratch("exact.bin", exact)); });
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kDone});
    Apply(model, 2, exact, exact.size());
    ASSERT_TRUE(SameBytes(CardBytes(1), model));

    // One byte more: the question; No writes nothing.
    const std::vector<uint8_t> more = Pattern(5 * 512 + 1, 6);
    const QString morePath = WriteScratch("more.bin", more);
    answer = [](const MsgBoxCall &c) { return c.buttons == MsgButtons::YesNo ? int(mrNo) : int(mrOk); };
    ClearMsgBoxLog();
    RunDialog(1, [&] { Write(0x20, 5, morePath); });
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kTooBig});
    EXPECT_EQ(MsgBoxLog()[0].kind, MsgKind::Warning);
    ASSERT_TRUE(SameBytes(CardBytes(1), model));

    // Yes writes the range's whole sectors and no partial sector after it.
    answer = {};
    ClearMsgBoxLog();
    RunDialog(1, [&] { Write(0x20, 5, morePath); });
    EXPECT_EQ(BoxTexts(), (std::vector<QString>{kTooBig, kDone}));
    Apply(model, 0x20, more, 5 * 512);
    ASSERT_TRUE(SameBytes(CardBytes(1), model));

    // Not a multiple of 512 and beyond the range: the range ends first.
    const std::vector<uint8_t> ragged = Pattern(200 * 512 + 300, 7);
    ClearMsgBoxLog();
    RunDialog(1, [&] { Write(0x40, 129, WriteScratch("ragged.bin", ragged)); });
    EXPECT_EQ(BoxTexts(), (std::vector<QString>{kTooBig, kDone}));
    Apply(model, 0x40, ragged, 129 * 512);
    ASSERT_TRUE(SameBytes(CardBytes(1), model));
}

TEST_F(WriteTest, UnusableSourceFiles)
{
    MakeUnit({1u << 20});
    const std::vector<uint8_t> model = FillCard(1, 3);

    const QString missing = ScratchPath("missing.bin");
    RunDialog(1, [&] { Write(0, 1, missing); });
    EXPECT_EQ(BoxTexts(), std::vector<QString>{missing + QStringLiteral("\nファイルが見つかりません。\n"
                                                                       "指定したファイル名が正しいかどうか確認して下さい。")});
    EXPECT_EQ(MsgBoxLog()[0].kind, MsgKind::Warning);

    // Opened for reading and writing, so a read-only file is refused.
    const QString ro = WriteScratch("ro.bin", Pattern(1024, 1));
    ASSERT_TRUE(QFile::setPermissions(ro, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    ClearMsgBoxLog();
    progressSeen.clear();
    RunDialog(1, [&] { Write(0, 2, ro); });
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("ファイルのオープンに失敗しました。")});
    EXPECT_EQ(MsgBoxLog()[0].kind, MsgKind::Error);
    EXPECT_TRUE(progressSeen.empty());  // refused before the dialog turned busy

    // A directory is no file.
    ClearMsgBoxLog();
    RunDialog(1, [&] { Write(0, 2, QString::fromStdString(bus->ScratchDir())); });
    ASSERT_EQ(MsgBoxLog().size(), 1u);
    EXPECT_TRUE(MsgBoxLog()[0].text.contains(QStringLiteral("ファイルが見つかりません。")));
    EXPECT_TRUE(SameBytes(CardBytes(1), model));

    // A pipe would hold the program in open, a device has no size: both are
    // refused before anything moves, never written as an empty file.
    const QString pipe = ScratchPath("pipe.bin");
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    for (const QString &source : {pipe, QStringLiteral("/dev/zero")}) {
        SCOPED_TRACE(source.toStdString());
        ClearMsgBoxLog();
        progressSeen.clear();
        RunDialog(1, [&] { Write(0, 2, source); });
        EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("ファイルのオープンに失敗しました。")});
        EXPECT_TRUE(progressSeen.empty());
        EXPECT_TRUE(SameBytes(CardBytes(1), model));
    }
}

TEST_F(WriteTest, RetryResendsTheSameData)
{
    MakeUnit({1u << 20});
    std::vector<uint8_t> model = FillCard(1, 4);
    const std::vector<uint8_t> file = Pattern(300 * 512 + 7, 8);
    const uint32_t id = bus->SetFault("u", "slot=1 op=write lba=0x90-0x90 count=next:1 effect=sense:03/0c/00");
    int retries = 0;
    answer = [&](const MsgBoxCall &c) {
        if (c.buttons == MsgButtons::AbortRetry) {
            EXPECT_EQ(c.text, QStringLiteral("カードへの書き込みに失敗しました。"));
            ++retries;
            return int(mrRetry);
        }
        return int(mrOk);
    };
    RunDialog(1, [&] { Write(0x10, 0x200, WriteScratch("retry.bin", file)); });
    EXPECT_EQ(retries, 1);
    EXPECT_EQ(bus->FireCount("u", id), 1u);
    EXPECT_EQ(CountBoxes(kDone), 1);
    Apply(model, 0x10, file, file.size());
    ASSERT_TRUE(SameBytes(CardBytes(1), model));

    // Given up: the blocks before the failure stay written, nothing after.
    bus->ClearFaults("u");
    bus->SetFault("u", "slot=1 op=write lba=0x100-0x100 count=always effect=sense:03/0c/00");
    answer = {};
    ClearMsgBoxLog();
    const std::vector<uint8_t> second = Pattern(0x180 * 512, 9);
    RunDialog(1, [&] { Write(0x80, 0x180, WriteScratch("second.bin", second)); });
    EXPECT_EQ(CountBoxes(kDone), 0);
    Apply(model, 0x80, second, 0x80 * 512);  // block 0x80-0xFF only
    ASSERT_TRUE(SameBytes(CardBytes(1), model));
}

TEST_F(WriteTest, AbortKeepsTheBlocksWritten)
{
    MakeUnit({2u << 20});
    std::vector<uint8_t> model = FillCard(1, 6);
    const std::vector<uint8_t> file = Pattern(0x1000 * 512 - 100, 12);
    QObject::connect(CardAccDlg->ProgressBar1, &QProgressBar::valueChanged, [](int v) {
        if (v == 1)
            QTimer::singleShot(0, [] { QTest::mouseClick(CardAccDlg->btnAbort, Qt::LeftButton); });
    });
    // Yes after the second block: two blocks on the card, no partial sector, no completion box.
    RunDialog(1, [&] { Write(0, 0, WriteScratch("abort.bin", file)); });
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("書き込みを中止しますか？")});
    Apply(model, 0, file, 2 * 128 * 512);
    ASSERT_TRUE(SameBytes(CardBytes(1), model));
    EXPECT_EQ(lamps[1]->brushColor(), uint32_t(clLime));
    EXPECT_FALSE(TransferActive);
}

TEST_F(WriteTest, VdWritesEveryCardOrRefuses)
{
    MakeUnit({1u << 20, 1u << 20, 0, 1u << 20});
    std::vector<uint8_t> models[5];
    for (int s : {1, 2, 4})
        models[s] = FillCard(s, uint32_t(s));
    const std::vector<uint8_t> file = Pattern(3 * 512 + 200, 44);
    std::vector<uint32_t> during;
    QObject::connect(CardAccDlg->ProgressBar1, &QProgressBar::valueChanged, [&](int v) {
        if (v == 1)
            for (int i = 0; i < 6; ++i)
                during.push_back(lamps[i]->brushColor());
    });
    RunDialog(0, [&] { Write(0x20, 0x10, WriteScratch("vd.bin", file)); });
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kDone});
    EXPECT_EQ(during, (std::vector<uint32_t>{clRed, clRed, clRed, clGray, clRed, clGray}));
    // The merged sector is read through the VD, that is from the card it
    // mirrors (slot 1), and that whole sector goes to every card.
    const std::vector<uint8_t> tail(models[1].begin() + 0x23 * 512, models[1].begin() + 0x24 * 512);
    for (int s : {1, 2, 4}) {
        SCOPED_TRACE(s);
        std::copy(tail.begin(), tail.end(), models[s].begin() + 0x23 * 512);
        Apply(models[s], 0x20, file, file.size());
        EXPECT_TRUE(SameBytes(CardBytes(s), models[s]));
    }
    for (int i : {0, 1, 2, 4})
        EXPECT_EQ(lamps[i]->brushColor(), uint32_t(clLime));

    // A card with another sector count: refused before the parameters are asked for.
    const QString refused = QStringLiteral("諸元の異なるカードがあるため、同時書き込みはできません。");
    bus->InsertBlank("u", 3, 2u << 20);
    Scan();
    ClearMsgBoxLog();
    bool asked = false;
    InParamDialog([&](TInputLbaDlg *d) { asked = d->isVisible(); });
    RunDialog(0, [&] { QTest::mouseClick(CardAccDlg->btnWrite, Qt::LeftButton); });
    EXPECT_EQ(BoxTexts(), std::vector<QString>{refused});
    EXPECT_EQ(MsgBoxLog()[0].kind, MsgKind::Error);
    EXPECT_FALSE(asked);
    for (int s : {1, 2, 4})
        EXPECT_TRUE(SameBytes(CardBytes(s), models[s]));

    // The VD without any card.
    for (int s : {1, 2, 3, 4})
        bus->Pull("u", s);
    Scan();
    ClearMsgBoxLog();
    RunDialog(0, [&] { QTest::mouseClick(CardAccDlg->btnWrite, Qt::LeftButton); });
    EXPECT_EQ(BoxTexts(), std::vector<QString>{refused});
}

// The VD as the last target (flags 0x200): every card gets the data, the
// merged sector comes from the card the VD mirrors (slot 2, the lowest holding one).
TEST_F(WriteTest, VdWriteWithTheVdLast)
{
    MakeUnit({0, 1u << 20, 1u << 20, 0, 1u << 20}, vbus::Model::Tvq210, 0x0201);
    ASSERT_EQ(VdIndex, 10u);
    ASSERT_EQ(VdTargetSlot, 1);
    std::vector<uint8_t> models[6];
    for (int s : {2, 3, 5})
        models[s] = FillCard(s, uint32_t(10 + s));
    const std::vector<uint8_t> file = Pattern(2 * 128 * 512 + 3 * 512 + 300, 55);
    std::vector<uint32_t> during;
    QObject::connect(CardAccDlg->ProgressBar1, &QProgressBar::valueChanged, [&](int v) {
        if (v == 1)
            for (int i = 0; i < 7; ++i)
                during.push_back(lamps[i]->brushColor());
    });
    RunDialog(0, [&] { Write(0x10, 0x200, WriteScratch("vdlast.bin", file)); });
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kDone});
    EXPECT_EQ(during, (std::vector<uint32_t>{clRed, clGray, clRed, clRed, clGray, clRed, clGray}));
    const uint32_t merged = 0x10 + 2 * 128 + 3;
    const std::vector<uint8_t> tail(models[2].begin() + merged * 512, models[2].begin() + (merged + 1) * 512);
    for (int s : {2, 3, 5}) {
        SCOPED_TRACE(s);
        std::copy(tail.begin(), tail.end(), models[s].begin() + merged * 512);
        Apply(models[s], 0x10, file, file.size());
        EXPECT_TRUE(SameBytes(CardBytes(s), models[s]));
    }
    for (int i : {0, 2, 3, 5})
        EXPECT_EQ(lamps[i]->brushColor(), uint32_t(clLime)) << i;
}

// The source taken away during the run: reopening it for its last bytes
// fails, whether it was removed or a pipe took its name (refused, as no regular
// file). The run stops with the file read error; the whole blocks stay on the card, the final
// partial sector is not touched, and no completion is claimed.
TEST_F(WriteTest, SourceGoneBeforeItsLastBytes)
{
    MakeUnit({2u << 20});
    std::vector<uint8_t> model = FillCard(1, 8);
    const std::vector<uint8_t> file = Pattern(3 * 128 * 512 + 100, 66);
    for (bool pipe : {false, true}) {
        SCOPED_TRACE(pipe ? "a pipe in its place" : "removed");
        const QString path = WriteScratch(pipe ? "pipe.bin" : "gone.bin", file);
        auto conn = TakeAwayAtFirstStep(path, pipe);
        ClearMsgBoxLog();
        RunDialog(1, [&] { Write(0x20, 0x400, path); });
        QObject::disconnect(conn);
        EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("ファイルの読み込み中にエラーが発生しました。")});
        ASSERT_FALSE(MsgBoxLog().empty());
        EXPECT_EQ(MsgBoxLog()[0].kind, MsgKind::Error);
        Apply(model, 0x20, file, 3 * 128 * 512);
        EXPECT_TRUE(SameBytes(CardBytes(1), model));
        EXPECT_FALSE(TransferActive);
        EXPECT_TRUE(CardAccDlg->btnWrite->isEnabled());
        EXPECT_EQ(lamps[1]->brushColor(), uint32_t(clLime));
        QFile::remove(path);
    }
}

// The source shrinks by one sector while the run goes on: the block read
// short is a file read error, never written with stale bytes in its last
// sector nor reported complete.
TEST_F(WriteTest, SourceReadOneSectorShort)
{
    MakeUnit({2u << 20});
    std::vector<uint8_t> model = FillCard(1, 9);
    const std::vector<uint8_t> file = Pattern(2 * 128 * 512, 77);
    const QString path = WriteScratch("shrinks.bin", file);
    auto conn = QObject::connect(CardAccDlg->ProgressBar1, &QProgressBar::valueChanged, [&](int v) {
        if (v == 1) {
            ASSERT_EQ(::truncate(QFile::encodeName(path).constData(), off_t(255) * 512), 0);
        }
    });
    RunDialog(1, [&] { Write(0x10, 0x400, path); });
    QObject::disconnect(conn);
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("ファイルの読み込み中にエラーが発生しました。")});
    Apply(model, 0x10, file, 128 * 512);  // the first block only
    EXPECT_TRUE(SameBytes(CardBytes(1), model));
    EXPECT_FALSE(TransferActive);
    EXPECT_EQ(lamps[1]->brushColor(), uint32_t(clLime));
}

// Cards of one size that differ in any other drive parameter are not alike:
// a VD write is refused before a byte moves.
TEST_F(WriteTest, VdRefusesCardsDifferingInAnyParameter)
{
    const uint64_t bytes = 1u << 20;
    const vbus::DriveParams same = vbus::DefaultDriveParams(bytes);
    struct Case {
        const char *field;
        vbus::DriveParams params;
    };
    std::vector<Case> cases;
    auto with = [&](const char *field, auto change) {
        vbus::DriveParams p = same;
        change(p);
        cases.push_back({field, p});
    };
    with("sectors per track", [](vbus::DriveParams &p) { p.sectorsPerTrack += 1; });
    with("wait check", [](vbus::DriveParams &p) { p.waitCheck ^= 1; });
    with("access timing", [](vbus::DriveParams &p) { p.accessTiming += 10; });
    const QString refused = QStringLiteral("諸元の異なるカードがあるため、同時書き込みはできません。");
    const QString source = WriteScratch("vdspec.bin", Pattern(4 * 512, 3));

    bus->AddUnit("u");
    bus->InsertBlank("u", 1, bytes, same);
    const std::vector<uint8_t> one = FillCard(1, 1);
    bool inserted = false;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.field);
        if (inserted)
            bus->Pull("u", 2);
        inserted = true;
        bus->InsertBlank("u", 2, bytes, c.params);
        Scan();
        const std::vector<uint8_t> two = FillCard(2, 2);
        ClearMsgBoxLog();
        RunDialog(0, [&] { Write(0, 4, source); });
        EXPECT_EQ(BoxTexts(), std::vector<QString>{refused});
        EXPECT_TRUE(SameBytes(CardBytes(1), one));
        EXPECT_TRUE(SameBytes(CardBytes(2), two));
    }

    // The same parameters: written.
    bus->Pull("u", 2);
    bus->InsertBlank("u", 2, bytes, same);
    Scan();
    ClearMsgBoxLog();
    RunDialog(0, [&] { Write(0, 4, source); });
    EXPECT_EQ(BoxTexts(), std::vector<QString>{kDone});
    EXPECT_EQ(VirtualBus::ReadFile(CardPath(2), 0, 4 * 512), Pattern(4 * 512, 3));
}
