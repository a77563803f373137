// Comparing a card with a file: equal runs, the ends of file and range, the
// partial sector, the difference boxes and the closing messages.
#include "CardAccFixture.h"

#include "Shape.h"
#include "UnitState.h"

#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

using namespace tvqtest;

namespace {
const QString kSame = QStringLiteral("相違はありませんでした．");
const QString kRangeDone = QStringLiteral("カードの指定範囲をすべて終了しました．");
const QString kEof = QStringLiteral("ファイルの末尾に達しました。");
const QString kFileLonger = QStringLiteral("ファイルにはまだデータが存在しますが、\nカードの指定範囲をすべて終了しました。");

QString Diff(const char *address, const char *sector, const char *card, const char *file)
{
    return QStringLiteral("相違があります。\n\n<Address %1 (Sector No# = %2)>\n  Card : %3\n  File  : %4\n\n続けますか？")
        .arg(QLatin1String(address), QLatin1String(sector), QLatin1String(card), QLatin1String(file));
}

std::vector<uint8_t> Slice(const std::vector<uint8_t> &v, uint64_t offset, uint64_t bytes)
{
    return std::vector<uint8_t>(v.begin() + offset, v.begin() + offset + bytes);
}
} // namespace

class CompareTest : public CardAccTest {
protected:
    void SetUp() override
    {
        CardAccTest::SetUp();
        MakeUnit({2u << 20});
        card = FillCard(1, 17);
    }
    std::vector<uint8_t> card;
};

TEST_F(CompareTest, EqualFilesAndTheirEnds)
{
    struct Case {
        uint32_t start, count;
        uint64_t offset, bytes;  // the file: card bytes from offset
        std::vector<QString> boxes;
    };
    const Case cases[] = {
        {0, 0, 0, 0x1000 * 512, {kSame}},                        // the whole range, file of the same size
        {0x10, 0x20, 0x10 * 512, 0x30 * 512, {kFileLonger, kSame}},  // the file goes on past the range
        {0x40, 0x1000 - 0x40, 0x40 * 512, 2 * 512, {kEof, kSame}},     // 2 sectors: one block, then the end of the file
        {0x50, 0x100, 0x50 * 512, 700, {kEof, kSame}},             // 1 sector, then 188 bytes of the next
        {0x60, 0x100, 0, 0, {kEof, kSame}},                        // empty file: the end at once
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.bytes);
        const QString file = WriteScratch("c.bin", Slice(card, c.offset, c.bytes));
        ClearMsgBoxLog();
        // The bar at every box: never the busy bar of a range 0..0.
        std::vector<bool> busy;
        answer = [&](const MsgBoxCall &) {
            busy.push_back(CardAccDlg->ProgressBar1->maximum() <= CardAccDlg->ProgressBar1->minimum());
            return int(mrOk);
        };
        RunDialog(1, [&] { Compare(c.start, c.count, file); });
        EXPECT_EQ(BoxTexts(), c.boxes);
        EXPECT_EQ(busy, std::vector<bool>(c.boxes.size(), false));
        EXPECT_FALSE(TransferActive);
        EXPECT_TRUE(CardAccDlg->btnCompare->isEnabled());
        EXPECT_EQ(CardAccDlg->ProgressBar1->value(), 0);
        EXPECT_GT(CardAccDlg->ProgressBar1->maximum(), CardAccDlg->ProgressBar1->minimum());
    }
    EXPECT_TRUE(SameBytes(CardBytes(1), card));
    EXPECT_EQ(lamps[1]->brushColor(), uint32_t(clLime));
}

TEST_F(CompareTest, DifferencesAreShownByteByByte)
{
    std::vector<uint8_t> data = Slice(card, 0, 0x20 * 512);
    data[0x10 * 512 + 3] ^= 0xFF;  // byte 3 of sector 0x10
    data[3] = static_cast<uint8_t>(card[3] + 1);
    const QString file = WriteScratch("d.bin", data);
    auto hex2 = [](uint8_t b) { return QString::asprintf("%02X", b); };

    RunDialog(1, [&] { Compare(0, 0x20, file); });
    const std::vector<QString> expected = {
        Diff("00000003", "0", hex2(card[3]).toLatin1().constData(), hex2(data[3]).toLatin1().constData()),
        Diff("00002003", "10", hex2(card[0x2003]).toLatin1().constData(), hex2(data[0x2003]).toLatin1().constData()),
        kRangeDone,
    };
    EXPECT_EQ(BoxTexts(), expected);
    ASSERT_EQ(MsgBoxLog().size(), 3u);
    EXPECT_EQ(MsgBoxLog()[0].kind, MsgKind::Warning);
    EXPECT_EQ(MsgBoxLog()[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(MsgBoxLog()[2].kind, MsgKind::Plain);

    // Two in one sector, in ascending order; No at the first ends without a closing box,
    // the bar shown full first.
    data = Slice(card, 0, 4 * 512);
    data[2 * 512 + 9] ^= 1;
    data[2 * 512 + 500] ^= 1;
    const QString two = WriteScratch("two.bin", data);
    ClearMsgBoxLog();
    RunDialog(1, [&] { Compare(0, 4, two); });
    ASSERT_EQ(MsgBoxLog().size(), 3u);
    EXPECT_TRUE(MsgBoxLog()[0].text.contains(QStringLiteral("<Address 00000409 (Sector No# = 2)>")));
    EXPECT_TRUE(MsgBoxLog()[1].text.contains(QStringLiteral("<Address 000005F4 (Sector No# = 2)>")));
    EXPECT_EQ(MsgBoxLog()[2].text, kRangeDone);

    answer = [](const MsgBoxCall &c) { return c.buttons == MsgButtons::YesNo ? int(mrNo) : int(mrOk); };
    ClearMsgBoxLog();
    progressSeen.clear();
    RunDialog(1, [&] { Compare(0, 4, two); });
    ASSERT_EQ(MsgBoxLog().size(), 1u);
    EXPECT_TRUE(MsgBoxLog()[0].text.contains(QStringLiteral("<Address 00000409 (Sector No# = 2)>")));
    EXPECT_EQ(progressSeen, (std::vector<int>{1, 0}));  // maximum 1: full, then reset

    // In the final partial sector; No there still closes with the range message.
    data = Slice(card, 0x70 * 512, 700);
    data[650] ^= 0x80;
    const QString partial = WriteScratch("p.bin", data);
    answer = {};
    ClearMsgBoxLog();
    RunDialog(1, [&] { Compare(0x70, 0x10, partial); });
    EXPECT_EQ(BoxTexts(), (std::vector<QString>{
                              Diff("0000E28A", "71", hex2(card[0x71 * 512 + 138]).toLatin1().constData(),
                                   hex2(data[650]).toLatin1().constData()),
                              kEof, kRangeDone}));
    answer = [](const MsgBoxCall &c) { return c.buttons == MsgButtons::YesNo ? int(mrNo) : int(mrOk); };
    ClearMsgBoxLog();
    RunDialog(1, [&] { Compare(0x70, 0x10, partial); });
    ASSERT_EQ(MsgBoxLog().size(), 2u);
    EXPECT_EQ(MsgBoxLog()[1].text, kRangeDone);

    // The first and the last byte of the partial sector count as much as the others.
    answer = {};
    for (size_t at : {size_t(512), size_t(699)}) {
        SCOPED_TRACE(at);
        data = Slice(card, 0x70 * 512, 700);
        data[at] ^= 0x01;
        const QString edge = WriteScratch("edge.bin", data);
        ClearMsgBoxLog();
        RunDialog(1, [&] { Compare(0x70, 0x10, edge); });
        const uint64_t address = 0x70 * 512 + at;
        EXPECT_EQ(BoxTexts(), (std::vector<QString>{
                                  Diff(QString::asprintf("%08llX", static_cast<unsigned long long>(address)).toLatin1().constData(),
                                       "71", hex2(card[address]).toLatin1().constData(),
                                       hex2(data[at]).toLatin1().constData()),
                                  kEof, kRangeDone}));
    }
    EXPECT_TRUE(SameBytes(CardBytes(1), card));
}

TEST_F(CompareTest, AbortAndFailures)
{
    const QString file = WriteScratch("a.bin", Slice(card, 0, 0x1000 * 512));
    QObject::connect(CardAccDlg->ProgressBar1, &QProgressBar::valueChanged, [](int v) {
        if (v == 3)
            QTimer::singleShot(0, [] { QTest::mouseClick(CardAccDlg->btnAbort, Qt::LeftButton); });
    });
    RunDialog(1, [&] { Compare(0, 0, file); });
    EXPECT_EQ(BoxTexts(), (std::vector<QString>{QStringLiteral("コンペアを中止しますか？"), kRangeDone}));
    EXPECT_EQ(MsgBoxLog()[0].kind, MsgKind::Confirmation);

    // A card read that is given up.
    bus->SetFault("u", "slot=1 op=read lba=0x10-0x10 count=always effect=sense:03/11/00");
    ClearMsgBoxLog();
    RunDialog(1, [&] { Compare(0, 2, file); });
    EXPECT_EQ(BoxTexts(), (std::vector<QString>{kFileLonger, kSame}));
    RunDialog(1, [&] { Compare(0x10, 2, file); });
    EXPECT_EQ(CountBoxes(QStringLiteral("カードの読み込みに失敗しました。")), 1);

    // Files that cannot be used end before anything is locked.
    const QString ro = WriteScratch("ro.bin", Slice(card, 0, 512));
    ASSERT_TRUE(QFile::setPermissions(ro, QFile::ReadOwner));
    ClearMsgBoxLog();
    progressSeen.clear();
    RunDialog(1, [&] { Compare(0, 1, ro); });
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("ファイルのオープンに失敗しました。")});
    const QString missing = ScratchPath("none.bin");
    ClearMsgBoxLog();
    RunDialog(1, [&] { Compare(0, 1, missing); });
    EXPECT_EQ(BoxTexts(), std::vector<QString>{missing + QStringLiteral("\nファイルが見つかりません。\n"
                                                                       "指定したファイル名が正しいかどうか確認して下さい。")});
    // A pipe or a device has no size to compare by: refused, not "the same".
    const QString pipe = ScratchPath("pipe.bin");
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    for (const QString &source : {pipe, QStringLiteral("/dev/zero")}) {
        ClearMsgBoxLog();
        RunDialog(1, [&] { Compare(0, 1, source); });
        EXPECT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("ファイルのオープンに失敗しました。")})
            << source.toStdString();
    }
    EXPECT_TRUE(progressSeen.empty());
}

// The compared file taken away during the run: it cannot be reopened for its
// last bytes, whether removed or replaced by a pipe (no regular file). The file read error, then
// the range message, not "no differences".
TEST_F(CompareTest, FileGoneBeforeItsLastBytes)
{
    const std::vector<uint8_t> same = Slice(card, 0x40 * 512, 3 * 128 * 512 + 100);
    for (bool pipe : {false, true}) {
        SCOPED_TRACE(pipe ? "a pipe in its place" : "removed");
        const QString path = WriteScratch(pipe ? "pipe.bin" : "gone.bin", same);
        auto conn = TakeAwayAtFirstStep(path, pipe);
        ClearMsgBoxLog();
        RunDialog(1, [&] { Compare(0x40, 0x400, path); });
        QObject::disconnect(conn);
        EXPECT_EQ(BoxTexts(), (std::vector<QString>{QStringLiteral("ファイルの読み込み中にエラーが発生しました。"),
                                                    kRangeDone}));
        EXPECT_FALSE(TransferActive);
        EXPECT_TRUE(CardAccDlg->btnCompare->isEnabled());
        QFile::remove(path);
    }
    EXPECT_TRUE(SameBytes(CardBytes(1), card));
}
