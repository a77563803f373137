// Robustness sweep over the whole application: every fault the library can
// inject, at the first, a middle and the last block of a read, write,
// compare and write test; the unit unplugged mid-transfer; full, read-only,
// missing and very large files; failing slot status and drive information.
// Each case runs the real dialogs over a fresh virtual bus and then checks
// the boxes shown (kind, title, text, buttons, answer) and every byte of the
// card and the file. The expectations are built from the intended
// behaviour alone; the same expectations print the table of
// docs/robustness.md, and the last test holds the document to them.
#include "AppFixture.h"

#include "AppMain.h"
#include "CardAcc.h"
#include "Forms.h"
#include "InputLba.h"
#include "ModalForm.h"
#include "UnitState.h"
#include "WindowMessage.h"

#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace tvqtest;

inline void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }

namespace {

// ---- geometry: a 640 KB card; read, write and compare take 8 blocks from
// sector 0x20, so 0x20 sectors before and 0xE0 after the range stay untouched;
// the write test covers the whole card in 10 blocks.
constexpr uint32_t kCardSectors = 0x500;
constexpr uint64_t kCardBytes = uint64_t(kCardSectors) * 512;
constexpr uint32_t kStart = 0x20;
constexpr uint32_t kCount = 0x400;
constexpr uint32_t kBlock = 128;
constexpr uint32_t kShortSectors = 48;  // what a short transfer moves
constexpr uint32_t kCorruptByte = 421;  // the byte a corrupted transfer inverts

// ---- the texts the program shows
const QString kReadFail = QStringLiteral("カードの読み込みに失敗しました。");
const QString kWriteFail = QStringLiteral("カードへの書き込みに失敗しました。");
const QString kReadDone = QStringLiteral("読み出しを完了しました。");
const QString kWriteDone = QStringLiteral("書き込みを完了しました。");
const QString kNoDiff = QStringLiteral("相違はありませんでした．");
const QString kRangeEnd = QStringLiteral("カードの指定範囲をすべて終了しました．");
const QString kDisconnected = QStringLiteral("ユニットの接続が切断されました。");
const QString kOverwrite = QStringLiteral("上書きしますか？");
const QString kOpenFailed = QStringLiteral("ファイルのオープンに失敗しました。");
const QString kFileWriteFail = QStringLiteral("ファイルへの書き込み中にエラーが発生しました。");
const QString kMissingTail =
    QStringLiteral("\nファイルが見つかりません。\n指定したファイル名が正しいかどうか確認して下さい。");
const QString kTooLarge = QStringLiteral(
    "ファイルサイズがカード側の設定容量を超えています。\nファイルのすべてのデータを書き込むことはできません。\n\n実行しますか？");
const QString kFileLonger =
    QStringLiteral("ファイルにはまだデータが存在しますが、\nカードの指定範囲をすべて終了しました。");
const QString kVdReadMoved =
    QStringLiteral("VD の読み出し先が SLOT# 1 に変更されました。\n読み出したデータは保証されません。");
// Stands for a test's temporary file name in the table.
const QString kFileToken = QStringLiteral("<file>");

QString DiffText(uint32_t sector, uint32_t pos, uint8_t card, uint8_t file)
{
    return QString::asprintf("相違があります。\n\n<Address %8.8llX (Sector No# = %X)>\n  Card : %2.2X\n  File  : %2.2X\n\n続けますか？",
                             static_cast<unsigned long long>(sector) * 512 + pos, sector, card, file);
}

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

// The write test's bytes over the whole card.
std::vector<uint8_t> TestPattern(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t x = 0; x < n; ++x)
        v[x] = static_cast<uint8_t>((x % 65536) % 254 + 1);
    return v;
}

std::vector<uint8_t> Sectors(const std::vector<uint8_t> &v, uint64_t first, uint64_t count)
{
    return std::vector<uint8_t>(v.begin() + static_cast<std::ptrdiff_t>(first * 512),
                                v.begin() + static_cast<std::ptrdiff_t>((first + count) * 512));
}

// Sectors [first, first+count) of dst take the sectors of src starting at srcFirst.
void Put(std::vector<uint8_t> &dst, uint64_t first, const std::vector<uint8_t> &src, uint64_t srcFirst, uint64_t count)
{
    std::copy(src.begin() + static_cast<std::ptrdiff_t>(srcFirst * 512),
              src.begin() + static_cast<std::ptrdiff_t>((srcFirst + count) * 512),
              dst.begin() + static_cast<std::ptrdiff_t>(first * 512));
}

::testing::AssertionResult SameBytes(const std::vector<uint8_t> &actual, const std::vector<uint8_t> &expected)
{
    const size_t n = std::min(actual.size(), expected.size());
    for (size_t i = 0; i < n; ++i)
        if (actual[i] != expected[i])
            return ::testing::AssertionFailure() << "first difference at sector 0x" << std::hex << i / 512
                                                 << " byte " << std::dec << i % 512 << ": " << int(actual[i])
                                                 << " instead of " << int(expected[i]);
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure() << actual.size() << " bytes instead of " << expected.size();
    return ::testing::AssertionSuccess();
}

// ---- expectations

struct Box {
    MsgKind kind;
    QString text;
    MsgButtons buttons;
    int answer;
};
Box Err(const QString &t, MsgButtons b = MsgButtons::Ok, int a = mrOk) { return {MsgKind::Error, t, b, a}; }
Box Plain(const QString &t) { return {MsgKind::Plain, t, MsgButtons::Ok, mrOk}; }

struct Expected {
    std::vector<Box> boxes;
    std::vector<uint8_t> card;  // slot 1's image afterwards
    std::vector<uint8_t> file;  // the read's output, or the source file (unchanged)
    bool checkFile = true;
    QString bytes;              // the table's words for what the bytes hold
    QString result;
    std::vector<Box> compareAfter;  // a compare of the source run afterwards (no fault left)
};

enum class Op { Read, Write, Compare, Test };
enum class Where { First, Middle, Last };
enum class Reply { None, Abort, Retry };
enum class Fault { ReadError, WriteError, NotReady, ShortFailing, ShortSilent, Corrupt, Drop };

const char *OpName(Op op)
{
    switch (op) {
    case Op::Read: return "read";
    case Op::Write: return "write";
    case Op::Compare: return "compare";
    case Op::Test: return "write test";
    }
    return "";
}

uint32_t Blocks(Op op) { return op == Op::Test ? kCardSectors / kBlock : kCount / kBlock; }
uint32_t Base(Op op) { return op == Op::Test ? 0 : kStart; }
uint32_t BlockOf(Op op, Where w) { return w == Where::First ? 0 : w == Where::Middle ? Blocks(op) / 2 : Blocks(op) - 1; }
uint32_t FaultSector(Op op, Where w)
{
    return Base(op) + kBlock * BlockOf(op, w) + (w == Where::First ? 0 : w == Where::Middle ? 64 : kBlock - 1);
}
bool Writes(Op op) { return op == Op::Write || op == Op::Test; }

// The bytes every case starts from.
std::vector<uint8_t> OriginalCard() { return Bytes(kCardBytes, 1); }
std::vector<uint8_t> WriteSource() { return Bytes(uint64_t(kCount) * 512, 2); }
// What the operation puts on the card (write, write test) or reads (read, compare), sector by sector of its span.
std::vector<uint8_t> SpanData(Op op)
{
    if (op == Op::Write)
        return WriteSource();
    if (op == Op::Test)
        return TestPattern(kCardBytes);
    return Sectors(OriginalCard(), kStart, kCount);
}

// The card after the span's first `sectors` sectors were written.
std::vector<uint8_t> CardAfter(Op op, uint64_t sectors)
{
    std::vector<uint8_t> card = OriginalCard();
    if (Writes(op))
        Put(card, Base(op), SpanData(op), 0, sectors);
    return card;
}

QString Hex(uint32_t v) { return QString::asprintf("%X", v); }

QString SpanWords(Op op) { return op == Op::Test ? QStringLiteral("the card") : QStringLiteral("the range"); }

// Completion box of an operation that ran to its end without a difference.
Box DoneBox(Op op)
{
    switch (op) {
    case Op::Read: return Plain(kReadDone);
    case Op::Compare: return Plain(kNoDiff);
    default: return Plain(kWriteDone);
    }
}

// Bytes of an operation stopped after `blocks` whole blocks (+ extra sectors of the next).
void Stopped(Expected &e, Op op, uint32_t blocks, uint32_t extra = 0)
{
    const uint64_t done = uint64_t(blocks) * kBlock + extra;
    e.card = CardAfter(op, done);
    switch (op) {
    case Op::Read: e.file = Sectors(OriginalCard(), kStart, done); break;
    case Op::Write: e.file = WriteSource(); break;  // the source stays as it was
    case Op::Compare: e.file = Sectors(OriginalCard(), kStart, kCount); break;
    case Op::Test: e.checkFile = false; break;
    }
    const QString what = op == Op::Read ? QStringLiteral("file") : QStringLiteral("card");
    if (op == Op::Compare)
        e.bytes = QStringLiteral("card and file unchanged");
    else if (blocks == 0 && extra == 0)
        e.bytes = op == Op::Read ? QStringLiteral("file empty, card unchanged") : QStringLiteral("card unchanged");
    else if (extra == 0)
        e.bytes = QStringLiteral("%1: first %2 of %3 blocks of %4, nothing else changed")
                      .arg(what).arg(blocks).arg(Blocks(op)).arg(SpanWords(op));
    else
        e.bytes = QStringLiteral("%1: first %2 of %3 blocks of %4 and the first %5 sectors of the failed block, nothing else changed")
                      .arg(what).arg(blocks).arg(Blocks(op)).arg(SpanWords(op)).arg(extra);
}

void Completed(Expected &e, Op op)
{
    Stopped(e, op, Blocks(op));
    if (op == Op::Compare)
        e.bytes = QStringLiteral("card and file unchanged");
    else
        e.bytes = QStringLiteral("%1: all of %2, nothing else changed")
                      .arg(op == Op::Read ? QStringLiteral("file") : QStringLiteral("card"), SpanWords(op));
}

struct DeviceCase {
    Fault fault;
    Op op;
    Where where;
    Reply reply;
};

const char *FaultName(Fault f)
{
    switch (f) {
    case Fault::ReadError: return "read error 03/11/00";
    case Fault::WriteError: return "write error 03/0C/00";
    case Fault::NotReady: return "not ready 02/3A/00";
    case Fault::ShortFailing: return "short transfer (48 sectors), then 04/44/00";
    case Fault::ShortSilent: return "short transfer (48 sectors) reported as done";
    case Fault::Corrupt: return "corrupted transfer (byte 421 inverted) reported as done";
    case Fault::Drop: return "dropped write reported as done";
    }
    return "";
}

bool Failing(Fault f) { return f != Fault::ShortSilent && f != Fault::Corrupt && f != Fault::Drop; }

bool Applies(Fault f, Op op)
{
    switch (f) {
    case Fault::ReadError: return !Writes(op);
    case Fault::WriteError:
    case Fault::Drop: return Writes(op);
    default: return true;
    }
}

std::vector<DeviceCase> DeviceCases()
{
    std::vector<DeviceCase> v;
    for (Fault f : {Fault::ReadError, Fault::WriteError, Fault::NotReady, Fault::ShortFailing, Fault::ShortSilent,
                    Fault::Corrupt, Fault::Drop})
        for (Op op : {Op::Read, Op::Write, Op::Compare, Op::Test})
            for (Where w : {Where::First, Where::Middle, Where::Last}) {
                if (!Applies(f, op))
                    continue;
                if (Failing(f)) {
                    v.push_back({f, op, w, Reply::Abort});
                    v.push_back({f, op, w, Reply::Retry});
                } else {
                    v.push_back({f, op, w, Reply::None});
                }
            }
    return v;
}

vbus::FaultRule RuleOf(const DeviceCase &c)
{
    vbus::FaultRule r;
    r.slot = vbus::kAnySlot;
    r.ops = Writes(c.op) ? vbus::OpWrite : vbus::OpRead;
    r.count = c.reply == Reply::Abort ? vbus::Count::Always : vbus::Count::Next;
    r.n = 1;
    r.lbaFirst = r.lbaLast = FaultSector(c.op, c.where);
    switch (c.fault) {
    case Fault::ReadError: r.key = 0x03, r.asc = 0x11, r.ascq = 0x00; break;
    case Fault::WriteError: r.key = 0x03, r.asc = 0x0C, r.ascq = 0x00; break;
    case Fault::NotReady: r.key = 0x02, r.asc = 0x3A, r.ascq = 0x00; break;
    case Fault::ShortFailing:
        r.effect = vbus::Effect::Short, r.arg = kShortSectors, r.key = 0x04, r.asc = 0x44, r.ascq = 0x00;
        break;
    case Fault::ShortSilent: r.effect = vbus::Effect::Short, r.arg = kShortSectors, r.key = 0; break;
    case Fault::Corrupt: r.effect = vbus::Effect::Corrupt, r.arg = kCorruptByte; break;
    case Fault::Drop: r.effect = vbus::Effect::Drop; break;
    }
    return r;
}

// Transfer calls that reach the unit within the span.
uint32_t ExpectedCalls(const DeviceCase &c)
{
    // The compare stops at the No given to the second difference.
    if (c.reply == Reply::Abort || (c.op == Op::Compare && c.fault == Fault::ShortSilent))
        return BlockOf(c.op, c.where) + 1;
    return Blocks(c.op) + (c.reply == Reply::Retry ? 1 : 0);
}

Expected ExpectDevice(const DeviceCase &c)
{
    Expected e;
    const uint32_t k = BlockOf(c.op, c.where);
    const uint32_t s = FaultSector(c.op, c.where);
    const uint32_t b0 = Base(c.op) + k * kBlock;  // first sector of the faulty block
    const QString fail = Writes(c.op) ? kWriteFail : kReadFail;

    if (Failing(c.fault)) {
        if (c.reply == Reply::Abort) {
            e.boxes.push_back(Err(fail, MsgButtons::AbortRetry, mrAbort));
            if (c.op == Op::Compare)
                e.boxes.push_back(Plain(kRangeEnd));
            // A failing short write has moved its first sectors before failing.
            Stopped(e, c.op, k, c.fault == Fault::ShortFailing && Writes(c.op) ? kShortSectors : 0);
            e.result = QStringLiteral("stopped at the failed block, no completion message");
        } else {
            e.boxes.push_back(Err(fail, MsgButtons::AbortRetry, mrRetry));
            e.boxes.push_back(DoneBox(c.op));
            Completed(e, c.op);
            e.result = QStringLiteral("the retry moved the block once; completed");
        }
        return e;
    }

    // Reported as done: the program cannot tell, except the compare, which sees the bytes.
    Completed(e, c.op);
    const std::vector<uint8_t> original = OriginalCard();
    switch (c.op) {
    case Op::Read: {
        e.boxes.push_back(DoneBox(c.op));
        const uint64_t at = uint64_t(s - kStart) * 512 + kCorruptByte;
        if (c.fault == Fault::Corrupt) {
            e.file[at] ^= 0xFF;
            e.bytes = QStringLiteral("file: all of the range, byte %1 of sector %2 inverted").arg(kCorruptByte).arg(Hex(s));
        } else {
            // The buffer's tail still holds the block before (nothing before the first).
            std::vector<uint8_t> stale(uint64_t(kBlock - kShortSectors) * 512, 0);
            if (k > 0)
                stale = Sectors(original, b0 - kBlock + kShortSectors, kBlock - kShortSectors);
            std::copy(stale.begin(), stale.end(), e.file.begin() + static_cast<std::ptrdiff_t>(uint64_t(b0 - kStart + kShortSectors) * 512));
            e.bytes = QStringLiteral("file: all of the range, but sectors %1-%2 hold %3")
                          .arg(Hex(b0 + kShortSectors), Hex(b0 + kBlock - 1),
                               k > 0 ? QStringLiteral("the previous block's bytes again") : QStringLiteral("zeros"));
        }
        e.result = QStringLiteral("completed; wrong file bytes not detected (no read-back)");
        break;
    }
    case Op::Write:
    case Op::Test: {
        e.boxes.push_back(DoneBox(c.op));
        const QString what = c.op == Op::Test ? QStringLiteral("card: the pattern over the card") : QStringLiteral("card: all of the range");
        if (c.fault == Fault::Corrupt) {
            e.card[uint64_t(s) * 512 + kCorruptByte] ^= 0xFF;
            e.bytes = QStringLiteral("%1, byte %2 of sector %3 inverted").arg(what).arg(kCorruptByte).arg(Hex(s));
        } else {
            const uint32_t from = c.fault == Fault::Drop ? b0 : b0 + kShortSectors;
            Put(e.card, from, original, from, b0 + kBlock - from);
            e.bytes = QStringLiteral("%1, but sectors %2-%3 keep their old bytes").arg(what, Hex(from), Hex(b0 + kBlock - 1));
        }
        e.result = QStringLiteral("completed; not stored as sent, not detected (no read-back)");
        if (c.op == Op::Write) {
            // A compare of the same file finds the first wrong byte; No stops it there.
            const std::vector<uint8_t> src = WriteSource();
            for (size_t i = 0; i < src.size(); ++i) {
                const uint8_t card = e.card[uint64_t(kStart) * 512 + i];
                if (card != src[i]) {
                    e.compareAfter.push_back({MsgKind::Warning, DiffText(uint32_t(kStart + i / 512), uint32_t(i % 512), card, src[i]),
                                              MsgButtons::YesNo, mrNo});
                    break;
                }
            }
        }
        break;
    }
    case Op::Compare: {
        // Yes to the first difference, No to the next.
        const std::vector<uint8_t> file = Sectors(original, kStart, kCount);
        std::vector<uint8_t> card = file;
        if (c.fault == Fault::Corrupt) {
            card[uint64_t(s - kStart) * 512 + kCorruptByte] ^= 0xFF;
        } else {
            std::vector<uint8_t> stale(uint64_t(kBlock - kShortSectors) * 512, 0);
            if (k > 0)
                stale = Sectors(original, b0 - kBlock + kShortSectors, kBlock - kShortSectors);
            std::copy(stale.begin(), stale.end(), card.begin() + static_cast<std::ptrdiff_t>(uint64_t(b0 - kStart + kShortSectors) * 512));
        }
        int shown = 0;
        for (size_t i = 0; i < card.size() && shown < 2; ++i) {
            if (card[i] == file[i])
                continue;
            const int answer = shown == 0 ? mrYes : mrNo;
            e.boxes.push_back({MsgKind::Warning, DiffText(uint32_t(kStart + i / 512), uint32_t(i % 512), card[i], file[i]),
                               MsgButtons::YesNo, answer});
            ++shown;
        }
        if (shown == 1) {
            e.boxes.push_back(Plain(kRangeEnd));
            e.result = QStringLiteral("the difference is shown (Yes); every sector compared");
        } else {
            e.result = QStringLiteral("the stale bytes show as differences (Yes, then No); stopped, no closing message");
        }
        break;
    }
    }
    return e;
}

// ---- the unit unplugged: the removal notice arrives in the pump after block m.
struct UnplugCase {
    Op op;
    uint32_t m;
};

std::vector<UnplugCase> UnplugCases()
{
    std::vector<UnplugCase> v;
    for (Op op : {Op::Read, Op::Write, Op::Compare, Op::Test})
        for (uint32_t m : {1u, Blocks(op) / 2, Blocks(op)})
            v.push_back({op, m});
    return v;
}

Expected ExpectUnplug(const UnplugCase &c)
{
    Expected e;
    // The removal's box is the only one: the run stops after the block in hand.
    e.boxes.push_back(Err(kDisconnected));
    if (c.m < Blocks(c.op)) {
        Stopped(e, c.op, c.m);
        e.result = QStringLiteral("stopped after the block in hand, no further box; the dialog closes, no-unit state");
    } else {
        Completed(e, c.op);
        e.result = QStringLiteral("every block was done before the notice: no end message; the dialog closes, no-unit state");
    }
    return e;
}

// ---- the files
enum class FileFault { ReadToFullDisk, ReadOverReadOnly, ReadIntoMissingFolder, WriteMissing, WriteReadOnly,
                       CompareMissing, CompareReadOnly };

std::vector<FileFault> FileCases()
{
    return {FileFault::ReadToFullDisk, FileFault::ReadOverReadOnly, FileFault::ReadIntoMissingFolder,
            FileFault::WriteMissing, FileFault::WriteReadOnly, FileFault::CompareMissing, FileFault::CompareReadOnly};
}

const char *FileFaultName(FileFault f)
{
    switch (f) {
    case FileFault::ReadToFullDisk: return "disk full (/dev/full) as the output";
    case FileFault::ReadOverReadOnly: return "read-only existing output file";
    case FileFault::ReadIntoMissingFolder: return "output in a folder that does not exist";
    case FileFault::WriteMissing:
    case FileFault::CompareMissing: return "missing source file";
    case FileFault::WriteReadOnly:
    case FileFault::CompareReadOnly: return "read-only source file";
    }
    return "";
}

Op FileOp(FileFault f)
{
    switch (f) {
    case FileFault::WriteMissing:
    case FileFault::WriteReadOnly: return Op::Write;
    case FileFault::CompareMissing:
    case FileFault::CompareReadOnly: return Op::Compare;
    default: return Op::Read;
    }
}

// `path` is the file the case names (kFileToken in the table).
Expected ExpectFile(FileFault f, const QString &path)
{
    Expected e;
    e.card = OriginalCard();
    e.result = QStringLiteral("ends before the transfer starts");
    switch (f) {
    case FileFault::ReadToFullDisk:
        e.boxes = {{MsgKind::Confirmation, kOverwrite, MsgButtons::YesNo, mrYes}, Err(kFileWriteFail)};
        e.checkFile = false;
        e.bytes = QStringLiteral("card unchanged");
        e.result = QStringLiteral("the first block cannot be stored: stopped, no completion message");
        break;
    case FileFault::ReadOverReadOnly:
        e.boxes = {{MsgKind::Confirmation, kOverwrite, MsgButtons::YesNo, mrYes}, Err(kOpenFailed)};
        e.file = Bytes(4096, 7);
        e.bytes = QStringLiteral("card and the read-only file unchanged");
        break;
    case FileFault::ReadIntoMissingFolder:
        e.boxes = {Err(kOpenFailed)};
        e.checkFile = false;
        e.bytes = QStringLiteral("card unchanged, no file made");
        break;
    case FileFault::WriteMissing:
    case FileFault::CompareMissing:
        e.boxes = {{MsgKind::Warning, path + kMissingTail, MsgButtons::Ok, mrOk}};
        e.checkFile = false;
        e.bytes = QStringLiteral("card unchanged, no file made");
        break;
    case FileFault::WriteReadOnly:
    case FileFault::CompareReadOnly:
        e.boxes = {Err(kOpenFailed)};
        e.file = Sectors(OriginalCard(), kStart, kCount);
        e.bytes = QStringLiteral("card and the read-only file unchanged");
        break;
    }
    return e;
}

// ---- files larger than 4 GB: their size must not wrap in 32 bits.
struct LargeCase {
    Op op;
    uint64_t size;
    int answer;  // to the size question of the write
};

std::vector<LargeCase> LargeCases()
{
    const uint64_t fiveGiB = 5ull << 30;
    // Its low 32 bits alone would make a 1000-byte file: no question, one partial sector.
    const uint64_t wrapProbe = (4ull << 30) + 1000;
    return {{Op::Write, fiveGiB, mrYes}, {Op::Write, fiveGiB, mrNo}, {Op::Write, wrapProbe, mrYes},
            {Op::Compare, fiveGiB, mrNone}, {Op::Compare, wrapProbe, mrNone}};
}

// The first sectors of the large file: the card's own range for the compare, fresh bytes for the write.
std::vector<uint8_t> LargeHead(Op op) { return op == Op::Write ? WriteSource() : Sectors(OriginalCard(), kStart, kCount); }

Expected ExpectLarge(const LargeCase &c)
{
    Expected e;
    e.checkFile = false;  // checked by its head below
    if (c.op == Op::Write) {
        e.boxes.push_back({MsgKind::Warning, kTooLarge, MsgButtons::YesNo, c.answer});
        if (c.answer == mrYes) {
            e.boxes.push_back(Plain(kWriteDone));
            e.card = CardAfter(Op::Write, kCount);
            e.bytes = QStringLiteral("card: the file's first 0x400 sectors over the range, nothing else changed");
            e.result = QStringLiteral("size question (64-bit size); completed");
        } else {
            e.card = OriginalCard();
            e.bytes = QStringLiteral("card unchanged");
            e.result = QStringLiteral("size question (64-bit size); No ends");
        }
    } else {
        e.boxes = {{MsgKind::Information, kFileLonger, MsgButtons::Ok, mrOk}, Plain(kNoDiff)};
        e.card = OriginalCard();
        e.bytes = QStringLiteral("card and file unchanged");
        e.result = QStringLiteral("the range compared whole; the file is said to hold more");
    }
    return e;
}

QString SizeName(uint64_t size)
{
    return size == (5ull << 30) ? QStringLiteral("5 GiB sparse file") : QStringLiteral("4 GiB + 1000 bytes sparse file");
}

// ---- slot status and drive information
enum class SlotFault { StatusFailsDuringRead, StatusCorruptedOnceDuringRead, DriveInfoFailsAsTheVdMoves,
                       NewCardOfAnotherSize, DriveInfoFailsForANewCard };
const SlotFault kSlotFaults[] = {SlotFault::StatusFailsDuringRead, SlotFault::StatusCorruptedOnceDuringRead,
                                 SlotFault::DriveInfoFailsAsTheVdMoves, SlotFault::NewCardOfAnotherSize,
                                 SlotFault::DriveInfoFailsForANewCard};
constexpr uint32_t kCorruptStatusAfter = 3;  // blocks read before the corrupted status

// Card of slot 2 (the VD's card before the move) and of slot 1 (pushed in).
std::vector<uint8_t> SecondCard() { return Bytes(kCardBytes, 3); }
std::vector<uint8_t> PushedCard() { return Bytes(kCardBytes, 4); }
constexpr uint32_t kMoveAfter = 3;  // blocks read before the card is pushed in

// The card of twice the size pushed into slot 3 before a write to the VD.
std::vector<uint8_t> LargerCard() { return Bytes(2 * kCardBytes, 6); }
const QString kUnequalCards = QStringLiteral("諸元の異なるカードがあるため、同時書き込みはできません。");

Expected ExpectSlot(SlotFault f)
{
    Expected e;
    if (f == SlotFault::NewCardOfAnotherSize) {
        e.boxes = {Err(kUnequalCards)};
        e.card = OriginalCard();
        e.file = WriteSource();
        e.bytes = QStringLiteral("all three cards unchanged");
        e.result = QStringLiteral("refused before the parameter dialog");
    } else if (f == SlotFault::DriveInfoFailsForANewCard) {
        // Both reads of the new card fail; its record stays empty, so the
        // check of equal parameters passes it over.
        e.boxes = {Plain(kWriteDone)};
        e.card = CardAfter(Op::Write, kCount);
        e.file = WriteSource();
        e.bytes = QStringLiteral("all three cards, the larger one too: the file over the range, nothing else changed");
        e.result = QStringLiteral("not refused: the card of another size is written as well");
    } else if (f == SlotFault::StatusCorruptedOnceDuringRead) {
        // The inverted low byte of the mask reads as slot 1 emptied and slots 2-8 filled.
        e.boxes = {{MsgKind::Warning, QStringLiteral("カードが抜かれました。"), MsgButtons::Ok, mrOk}};
        Stopped(e, Op::Read, kCorruptStatusAfter);
        e.result = QStringLiteral("taken for the card being pulled: stopped, the dialog closes");
    } else if (f == SlotFault::StatusFailsDuringRead) {
        e.boxes = {Plain(kReadDone)};
        Completed(e, Op::Read);
        e.result = QStringLiteral("a tick after every block finds no status and changes nothing; completed");
    } else {
        // The tick that sees the new card cannot read the VD's parameters and
        // changes nothing; the next one reports the move, a block later.
        e.boxes = {Err(kVdReadMoved)};
        e.card = PushedCard();
        e.file = Sectors(SecondCard(), kStart, uint64_t(kMoveAfter) * kBlock);
        const std::vector<uint8_t> late = Sectors(PushedCard(), kStart + kMoveAfter * kBlock, kBlock);
        e.file.insert(e.file.end(), late.begin(), late.end());
        e.bytes = QStringLiteral("file: 3 blocks of the old card, then 1 block of the new one; both cards unchanged");
        e.result = QStringLiteral("stopped one block late; the message says the data is not guaranteed");
    }
    return e;
}

// ---- faults inside the run: the disk filling up, the source shrinking, the
// final partial sector, a removal while a retry box is open, one card of a VD write.
enum class MidRun { DiskFullAtBlock, DiskFullInsideBlock, WriteSourceShrinks, CompareSourceShrinks,
                    MergeReadErrorAbort, MergeReadErrorRetry, MergeWriteErrorAbort, MergeWriteErrorRetry,
                    CompareTailReadErrorAbort, CompareTailReadErrorRetry, UnplugWhileRetryBoxOpen,
                    VdWriteDropOnOneCard, VdWriteErrorOnOneCardOnce, ReplugThenRetry, SwapCardReplugThenRetry };

std::vector<MidRun> MidRunCases()
{
    return {MidRun::DiskFullAtBlock, MidRun::DiskFullInsideBlock, MidRun::WriteSourceShrinks,
            MidRun::CompareSourceShrinks, MidRun::MergeReadErrorAbort, MidRun::MergeReadErrorRetry,
            MidRun::MergeWriteErrorAbort, MidRun::MergeWriteErrorRetry, MidRun::CompareTailReadErrorAbort,
            MidRun::CompareTailReadErrorRetry, MidRun::UnplugWhileRetryBoxOpen, MidRun::VdWriteDropOnOneCard,
            MidRun::VdWriteErrorOnOneCardOnce, MidRun::ReplugThenRetry, MidRun::SwapCardReplugThenRetry};
}

constexpr uint32_t kFullAfter = 4;              // blocks the disk takes
constexpr uint32_t kInsideBytes = 1000;         // and bytes of the next one
constexpr uint32_t kShrinkAt = 4;               // blocks done when the source shrinks
constexpr uint32_t kShrunkBlocks = 2;           // what is left of it
constexpr uint32_t kTail = 200;                 // bytes of the final partial sector
constexpr uint32_t kTailSector = kStart + kCount - 1;
constexpr uint32_t kVdBlock = 4;                // the block one card of the VD loses

// A source ending inside the range's last sector: 0x3FF whole sectors and 200 bytes.
uint64_t TailSourceBytes() { return uint64_t(kCount - 1) * 512 + kTail; }
std::vector<uint8_t> TailSource(Op op)
{
    std::vector<uint8_t> v = op == Op::Write ? WriteSource() : Sectors(OriginalCard(), kStart, kCount);
    v.resize(TailSourceBytes());
    return v;
}
std::vector<uint8_t> VdSecondCard() { return Bytes(kCardBytes, 5); }
// The card put into slot 1 while the unit is unplugged.
std::vector<uint8_t> SwappedCard() { return Bytes(kCardBytes, 8); }
constexpr uint32_t kUnplugAfter = 4;

const QString kFileReadFail = QStringLiteral("ファイルの読み込み中にエラーが発生しました。");
const QString kEndOfFile = QStringLiteral("ファイルの末尾に達しました。");

Op MidRunOp(MidRun c)
{
    switch (c) {
    case MidRun::DiskFullAtBlock:
    case MidRun::DiskFullInsideBlock:
    case MidRun::UnplugWhileRetryBoxOpen: return Op::Read;
    case MidRun::CompareSourceShrinks:
    case MidRun::CompareTailReadErrorAbort:
    case MidRun::CompareTailReadErrorRetry: return Op::Compare;
    default: return Op::Write;
    }
}

QString MidRunFault(MidRun c)
{
    switch (c) {
    case MidRun::DiskFullAtBlock: return QStringLiteral("disk full (file size limit) after 4 blocks");
    case MidRun::DiskFullInsideBlock: return QStringLiteral("disk full (file size limit) 1000 bytes into block 5");
    case MidRun::WriteSourceShrinks:
    case MidRun::CompareSourceShrinks: return QStringLiteral("source file cut to 2 blocks during the run");
    case MidRun::MergeReadErrorAbort:
    case MidRun::CompareTailReadErrorAbort: return QStringLiteral("read error 03/11/00, every time");
    case MidRun::MergeReadErrorRetry:
    case MidRun::CompareTailReadErrorRetry: return QStringLiteral("read error 03/11/00, once");
    case MidRun::MergeWriteErrorAbort: return QStringLiteral("write error 03/0C/00, every time");
    case MidRun::MergeWriteErrorRetry: return QStringLiteral("write error 03/0C/00, once");
    case MidRun::UnplugWhileRetryBoxOpen:
        return QStringLiteral("read error 03/11/00, every time; the unit unplugged while its box is open");
    case MidRun::VdWriteDropOnOneCard: return QStringLiteral("dropped write on the card of slot 2 only");
    case MidRun::VdWriteErrorOnOneCardOnce: return QStringLiteral("write error 03/0C/00 on the card of slot 2 only, once");
    case MidRun::ReplugThenRetry:
        return QStringLiteral("unit unplugged, plugged in again while the removal box is open");
    case MidRun::SwapCardReplugThenRetry:
        return QStringLiteral("unit unplugged, its card exchanged, plugged in again while the removal box is open");
    }
    return {};
}

QString MidRunOpName(MidRun c)
{
    switch (c) {
    case MidRun::VdWriteDropOnOneCard:
    case MidRun::VdWriteErrorOnOneCardOnce: return QStringLiteral("write to the VD (cards in slots 1 and 2)");
    default: return QString::fromUtf8(OpName(MidRunOp(c)));
    }
}

QString MidRunWhere(MidRun c)
{
    switch (c) {
    case MidRun::DiskFullAtBlock:
    case MidRun::DiskFullInsideBlock: return QStringLiteral("block 5 of 8");
    case MidRun::WriteSourceShrinks:
    case MidRun::CompareSourceShrinks: return QStringLiteral("after block 4 of 8");
    case MidRun::UnplugWhileRetryBoxOpen: return QStringLiteral("middle block (sector 260)");
    case MidRun::ReplugThenRetry:
    case MidRun::SwapCardReplugThenRetry: return QStringLiteral("after block 4 of 8");
    case MidRun::VdWriteDropOnOneCard:
    case MidRun::VdWriteErrorOnOneCardOnce: return QStringLiteral("middle block (sector 260)");
    default: return QStringLiteral("final partial sector (sector %1, file of 0x3FF sectors + 200 bytes)").arg(Hex(kTailSector));
    }
}

Expected ExpectMidRun(MidRun c)
{
    Expected e;
    const std::vector<uint8_t> original = OriginalCard();
    e.card = original;
    switch (c) {
    case MidRun::DiskFullAtBlock:
    case MidRun::DiskFullInsideBlock: {
        e.boxes = {Err(kFileWriteFail)};
        const bool inside = c == MidRun::DiskFullInsideBlock;
        e.file = Sectors(original, kStart, uint64_t(kFullAfter) * kBlock);
        if (inside) {
            const std::vector<uint8_t> more = Sectors(original, kStart + kFullAfter * kBlock, 2);
            e.file.insert(e.file.end(), more.begin(), more.begin() + kInsideBytes);
        }
        e.bytes = inside ? QStringLiteral("file: 4 blocks and the first 1000 bytes of block 5 (what the disk took); card unchanged")
                         : QStringLiteral("file: 4 blocks; card unchanged");
        e.result = QStringLiteral("stopped, no completion message");
        break;
    }
    case MidRun::WriteSourceShrinks:
    case MidRun::CompareSourceShrinks:
        e.boxes = {Err(kFileReadFail)};
        if (c == MidRun::WriteSourceShrinks) {
            e.card = CardAfter(Op::Write, uint64_t(kShrinkAt) * kBlock);
            e.file = Sectors(WriteSource(), 0, uint64_t(kShrunkBlocks) * kBlock);
            e.bytes = QStringLiteral("card: first 4 of 8 blocks of the range, nothing else changed");
        } else {
            e.boxes.push_back(Plain(kRangeEnd));
            e.file = Sectors(original, kStart, uint64_t(kShrunkBlocks) * kBlock);
            e.bytes = QStringLiteral("card unchanged");
        }
        e.result = QStringLiteral("stopped at the next file read");
        break;
    case MidRun::MergeReadErrorAbort:
    case MidRun::MergeWriteErrorAbort:
    case MidRun::MergeReadErrorRetry:
    case MidRun::MergeWriteErrorRetry: {
        const bool retry = c == MidRun::MergeReadErrorRetry || c == MidRun::MergeWriteErrorRetry;
        e.boxes = {Err(kWriteFail, MsgButtons::AbortRetry, retry ? mrRetry : mrAbort)};
        const std::vector<uint8_t> src = TailSource(Op::Write);
        Put(e.card, kStart, src, 0, kCount - 1);
        e.file = src;
        if (retry) {
            e.boxes.push_back(Plain(kWriteDone));
            std::copy(src.end() - kTail, src.end(), e.card.begin() + uint64_t(kTailSector) * 512);
            e.bytes = QStringLiteral("card: the file over the range; sector %1 holds the file's last 200 bytes and keeps its own 312").arg(Hex(kTailSector));
            e.result = QStringLiteral("the retry merges the sector once; completed");
        } else {
            e.bytes = QStringLiteral("card: the file's 0x3FF whole sectors; sector %1 untouched").arg(Hex(kTailSector));
            e.result = QStringLiteral("stopped, no completion message");
        }
        break;
    }
    case MidRun::CompareTailReadErrorAbort:
    case MidRun::CompareTailReadErrorRetry:
        e.file = TailSource(Op::Compare);
        e.bytes = QStringLiteral("card and file unchanged");
        if (c == MidRun::CompareTailReadErrorAbort) {
            e.boxes = {Err(kReadFail, MsgButtons::AbortRetry, mrAbort), Plain(kRangeEnd)};
            e.result = QStringLiteral("stopped before the last 200 bytes");
        } else {
            e.boxes = {Err(kReadFail, MsgButtons::AbortRetry, mrRetry), {MsgKind::Information, kEndOfFile, MsgButtons::Ok, mrOk},
                       Plain(kNoDiff)};
            e.result = QStringLiteral("the retry reads the sector; every byte compared");
        }
        break;
    case MidRun::UnplugWhileRetryBoxOpen:
        // The removal's box closes first; closing the dialogs answers the retry box Cancel.
        e.boxes = {Err(kDisconnected), Err(kReadFail, MsgButtons::AbortRetry, mrCancel)};
        e.file = Sectors(original, kStart, 4ull * kBlock);
        e.bytes = QStringLiteral("file: first 4 of 8 blocks of the range; card unchanged");
        e.result = QStringLiteral("the retry box is cancelled: stopped; the dialog closes, no-unit state");
        break;
    case MidRun::ReplugThenRetry:
    case MidRun::SwapCardReplugThenRetry:
        // The removal stops the write; nothing reaches the unit once it is back.
        e.boxes = {Err(kDisconnected)};
        e.file = WriteSource();
        e.card = CardAfter(Op::Write, uint64_t(kUnplugAfter) * kBlock);
        if (c == MidRun::ReplugThenRetry) {
            e.bytes = QStringLiteral("card: blocks 1-4 of the range only, nothing else changed");
        } else {
            e.bytes = QStringLiteral("first card: blocks 1-4 only; the card now in the slot: untouched");
        }
        e.result = QStringLiteral("stopped, no completion message; the dialog closes");
        break;
    case MidRun::VdWriteDropOnOneCard:
    case MidRun::VdWriteErrorOnOneCardOnce:
        e.boxes = {Plain(kWriteDone)};
        e.card = CardAfter(Op::Write, kCount);
        e.file = WriteSource();
        if (c == MidRun::VdWriteDropOnOneCard) {
            e.bytes = QStringLiteral("slot 1: the file over the range; slot 2: the same but block 5 (sectors 220-29F) keeps its old bytes");
            e.result = QStringLiteral("completed; the cards now differ, not detected (no read-back)");
        } else {
            e.boxes.insert(e.boxes.begin(), Err(kWriteFail, MsgButtons::AbortRetry, mrRetry));
            e.bytes = QStringLiteral("both cards: the file over the range, nothing else changed");
            e.result = QStringLiteral("the retry sends the block to both cards again; completed");
        }
        break;
    }
    return e;
}

// ---- the table

QString KindName(MsgKind k)
{
    switch (k) {
    case MsgKind::Error: return QStringLiteral("error");
    case MsgKind::Warning: return QStringLiteral("warning");
    case MsgKind::Information: return QStringLiteral("information");
    case MsgKind::Confirmation: return QStringLiteral("confirmation");
    case MsgKind::Plain: return QStringLiteral("plain");
    }
    return {};
}

QString AnswerName(int a)
{
    switch (a) {
    case mrOk: return QStringLiteral("OK");
    case mrYes: return QStringLiteral("Yes");
    case mrNo: return QStringLiteral("No");
    case mrAbort: return QStringLiteral("Abort");
    case mrRetry: return QStringLiteral("Retry");
    }
    return QStringLiteral("?");
}

QString ButtonsName(MsgButtons b)
{
    switch (b) {
    case MsgButtons::Ok: return QStringLiteral("OK");
    case MsgButtons::YesNo: return QStringLiteral("Yes/No");
    case MsgButtons::AbortRetry: return QStringLiteral("Abort/Retry");
    }
    return {};
}

QString BoxesCell(const std::vector<Box> &boxes)
{
    if (boxes.empty())
        return QStringLiteral("none");
    QStringList parts;
    for (const Box &b : boxes) {
        QString text = b.text;
        text.replace(QLatin1Char('\n'), QStringLiteral(" ⏎ "));
        parts << QStringLiteral("%1 「%2」 [%3: %4]").arg(KindName(b.kind), text, ButtonsName(b.buttons), AnswerName(b.answer));
    }
    return parts.join(QStringLiteral(", then "));
}

std::string Row(const QString &fault, const QString &op, const QString &where, const Expected &e)
{
    return QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 |")
        .arg(fault, op, where, BoxesCell(e.boxes), e.bytes, e.result)
        .toStdString();
}

QString WhereName(const DeviceCase &c)
{
    const QString w = c.where == Where::First ? QStringLiteral("first") : c.where == Where::Middle ? QStringLiteral("middle")
                                                                                                   : QStringLiteral("last");
    return QStringLiteral("%1 block (sector %2)").arg(w, Hex(FaultSector(c.op, c.where)));
}

QString ReplyFault(const DeviceCase &c)
{
    QString f = QString::fromUtf8(FaultName(c.fault));
    if (c.reply == Reply::Abort)
        f += QStringLiteral(", every time");
    else if (c.reply == Reply::Retry)
        f += QStringLiteral(", once");
    return f;
}

std::string DeviceRow(const DeviceCase &c)
{
    Expected e = ExpectDevice(c);
    if (!e.compareAfter.empty())
        e.result += QStringLiteral("; a compare with the file afterwards shows %1").arg(BoxesCell(e.compareAfter));
    return Row(ReplyFault(c), QString::fromUtf8(OpName(c.op)), WhereName(c), e);
}
std::string UnplugRow(const UnplugCase &c)
{
    return Row(QStringLiteral("unit unplugged (removal notice)"), QString::fromUtf8(OpName(c.op)),
               QStringLiteral("after block %1 of %2").arg(c.m).arg(Blocks(c.op)), ExpectUnplug(c));
}
std::string FileRow(FileFault f)
{
    return Row(QString::fromUtf8(FileFaultName(f)), QString::fromUtf8(OpName(FileOp(f))), QStringLiteral("before the transfer"),
               ExpectFile(f, kFileToken));
}
std::string LargeRow(const LargeCase &c)
{
    const QString op = QString::fromUtf8(OpName(c.op)) +
                       (c.op == Op::Write ? QStringLiteral(" (%1 to the size question)").arg(AnswerName(c.answer)) : QString());
    return Row(SizeName(c.size), op, QStringLiteral("range 0x400 sectors"), ExpectLarge(c));
}
std::string SlotRow(SlotFault f)
{
    if (f == SlotFault::StatusFailsDuringRead)
        return Row(QStringLiteral("slot status fails, every time"), QStringLiteral("read"),
                   QStringLiteral("every block"), ExpectSlot(f));
    if (f == SlotFault::StatusCorruptedOnceDuringRead)
        return Row(QStringLiteral("slot status corrupted once (low byte of the card mask inverted)"), QStringLiteral("read"),
                   QStringLiteral("tick after block %1").arg(kCorruptStatusAfter), ExpectSlot(f));
    if (f == SlotFault::DriveInfoFailsAsTheVdMoves)
        return Row(QStringLiteral("drive information fails once as a card moves the VD"), QStringLiteral("read of the VD"),
                   QStringLiteral("after block %1").arg(kMoveAfter), ExpectSlot(f));
    const QString op = QStringLiteral("write to the VD (same cards in slots 1 and 2)");
    if (f == SlotFault::NewCardOfAnotherSize)
        return Row(QStringLiteral("none: a card of twice the size arrives in slot 3"), op,
                   QStringLiteral("before the write"), ExpectSlot(f));
    return Row(QStringLiteral("drive information fails twice as a card of twice the size arrives in slot 3"), op,
               QStringLiteral("before the write"), ExpectSlot(f));
}

std::string MidRunRow(MidRun c) { return Row(MidRunFault(c), MidRunOpName(c), MidRunWhere(c), ExpectMidRun(c)); }

std::vector<std::string> AllRows()
{
    std::vector<std::string> rows;
    for (const DeviceCase &c : DeviceCases())
        rows.push_back(DeviceRow(c));
    for (const UnplugCase &c : UnplugCases())
        rows.push_back(UnplugRow(c));
    for (FileFault f : FileCases())
        rows.push_back(FileRow(f));
    for (const LargeCase &c : LargeCases())
        rows.push_back(LargeRow(c));
    for (SlotFault f : kSlotFaults)
        rows.push_back(SlotRow(f));
    for (MidRun c : MidRunCases())
        rows.push_back(MidRunRow(c));
    return rows;
}

// ---- the fixture

class SweepTest : public AppFixture {
protected:
    void TearDown() override
    {
        DropHooks();
        AppFixture::TearDown();
    }
    void Restart()
    {
        TearDown();
        SetUp();
    }
    void DropHooks()
    {
        for (auto &c : hooks_)
            QObject::disconnect(c);
        hooks_.clear();
    }

    // Unit "u" with the original card in slot 1 (and more cards when given), then the windows;
    // only Tick() looks at the slots.
    void MakeUnit(const std::vector<std::pair<int, std::vector<uint8_t>>> &more = {})
    {
        Bus().AddUnit("u", vbus::Model::Tvq210, 0x0001);
        Card(1, OriginalCard());
        for (const auto &m : more)
            Card(m.first, m.second);
        ASSERT_TRUE(CreateForms());
        AppMainForm->Timer1->stop();
        ClearBoxes();
    }
    void Card(int slot, const std::vector<uint8_t> &bytes)
    {
        images_[slot] = Bus().InsertBlank("u", slot, bytes.size());
        std::fstream f(images_[slot], std::ios::in | std::ios::out | std::ios::binary);
        f.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        ASSERT_TRUE(f.good());
    }
    std::vector<uint8_t> Image(int slot) { return VirtualBus::ReadFile(images_[slot]); }

    void Tick()
    {
        AppMainForm->Timer1Timer();
        ProcessEvents();
    }

    // Opens slot number n through its button, runs steps inside the dialog;
    // true when the dialog was still open afterwards.
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
        return open;
    }

    void NextParams(uint32_t start, uint32_t count, const QString &file)
    {
        QTimer::singleShot(0, InputLbaDlg, [=] {
            TInputLbaDlg *d = InputLbaDlg;
            d->rbtAccSect->click();
            d->edtStartSect->setText(QString::asprintf("%08X", start));
            d->edtSectCnt->setText(QString::asprintf("%08X", count));
            d->edtFilePath->setText(file);
            QTest::mouseClick(d->btnOk, Qt::LeftButton);
            if (d->InModalLoop() && d->ModalResult() == mrNone)
                d->SetModalResult(mrCancel);
        });
    }

    // Runs action in the message pump that follows block m (m >= 1).
    void AtPumpAfterBlock(uint32_t m, std::function<void()> action)
    {
        auto done = std::make_shared<bool>(false);
        // Timers on the dialog: none outlives the windows.
        auto arm = [done, action] {
            if (*done)
                return;
            *done = true;
            QTimer::singleShot(0, CardAccDlg, [action] { action(); });
        };
        if (m == 1)
            hooks_.push_back(QObject::connect(CardAccDlg->edtStatus, &QLineEdit::textChanged, [arm](const QString &t) {
                if (!t.isEmpty())
                    arm();
            }));
        else
            hooks_.push_back(QObject::connect(CardAccDlg->ProgressBar1, &QProgressBar::valueChanged, [arm, m](int v) {
                if (v == static_cast<int>(m) - 1)
                    arm();
            }));
    }
    // Runs action in every pump of the run.
    void AtEveryPump(std::function<void()> action)
    {
        AtPumpAfterBlock(1, action);
        hooks_.push_back(QObject::connect(CardAccDlg->ProgressBar1, &QProgressBar::valueChanged, [action](int v) {
            if (v > 0 && TransferActive)
                QTimer::singleShot(0, CardAccDlg, [action] { action(); });
        }));
    }

    // Runs the operation on slot number n; the boxes take the expected answers.
    // With answer false, the test has scripted the boxes itself.
    bool Run(Op op, const QString &file, const Expected &e, uint32_t slot = 1, uint32_t start = kStart,
             uint32_t count = kCount, bool answer = true)
    {
        if (answer)
            for (const Box &b : e.boxes)
                AnswerNextBox(b.answer);
        return Open(slot, [&] {
            if (op == Op::Test) {
                CardAccDlg->btnTest->show();
                CardAccDlg->btnTest->click();
            } else {
                NextParams(start, count, file);
                (op == Op::Read ? CardAccDlg->btnRead : op == Op::Write ? CardAccDlg->btnWrite : CardAccDlg->btnCompare)
                    ->click();
            }
            EXPECT_FALSE(TransferActive);
            EXPECT_TRUE(CardAccDlg->btnAbort->isHidden());
        });
    }

    void ExpectBoxes(const std::vector<Box> &expected)
    {
        const std::vector<MsgBoxCall> &log = Boxes();
        std::vector<Box> got;
        for (const MsgBoxCall &c : log)
            got.push_back({c.kind, c.text, c.buttons, c.result});
        ASSERT_EQ(log.size(), expected.size()) << BoxesCell(got).toStdString();
        for (size_t i = 0; i < expected.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(log[i].kind, expected[i].kind);
            EXPECT_EQ(log[i].title, Title(expected[i].kind));
            EXPECT_EQ(log[i].text, expected[i].text);
            EXPECT_EQ(log[i].buttons, expected[i].buttons);
            EXPECT_EQ(log[i].result, expected[i].answer);
        }
    }
    static QString Title(MsgKind k)
    {
        switch (k) {
        case MsgKind::Error: return QStringLiteral("エラー");
        case MsgKind::Warning: return QStringLiteral("警告");
        case MsgKind::Information: return QStringLiteral("情報");
        case MsgKind::Confirmation: return QStringLiteral("確認");
        case MsgKind::Plain: return ApplicationTitle();
        }
        return {};
    }

    QString File(const char *name) const { return TempDir() + QLatin1Char('/') + QLatin1String(name); }
    static std::vector<uint8_t> FileBytes(const QString &f) { return VirtualBus::ReadFile(f.toStdString()); }
    QString Scratch(const char *name, const std::vector<uint8_t> &bytes)
    {
        return QString::fromStdString(Bus().WriteFile(name, bytes));
    }

    // The operation's file: the read's output (not there yet) or the source.
    QString SourceFor(Op op)
    {
        if (op == Op::Read)
            return File("out.bin");
        if (op == Op::Write)
            return Scratch("src.bin", WriteSource());
        if (op == Op::Compare)
            return Scratch("same.bin", Sectors(OriginalCard(), kStart, kCount));
        return {};
    }

private:
    std::vector<QMetaObject::Connection> hooks_;
    std::map<int, std::string> images_;
};

TEST_F(SweepTest, DeviceFaultsAtFirstMiddleAndLastBlock)
{
    bool first = true;
    for (const DeviceCase &c : DeviceCases()) {
        SCOPED_TRACE(DeviceRow(c));
        if (!first)
            Restart();
        first = false;
        MakeUnit();
        const Expected e = ExpectDevice(c);
        const uint32_t id = Bus().SetFault("u", RuleOf(c));
        // Counts every transfer call that reaches the span; never fires.
        vbus::FaultRule probe;
        probe.ops = vbus::OpRead | vbus::OpWrite;
        probe.count = vbus::Count::Off;
        probe.lbaFirst = Base(c.op);
        probe.lbaLast = Base(c.op) + Blocks(c.op) * kBlock - 1;
        const uint32_t probeId = Bus().SetFault("u", probe);

        const QString file = SourceFor(c.op);
        const bool open = Run(c.op, file, e);
        EXPECT_TRUE(open);
        ExpectBoxes(e.boxes);
        EXPECT_TRUE(SameBytes(Image(1), e.card));
        if (e.checkFile) {
            EXPECT_TRUE(SameBytes(FileBytes(file), e.file));
        }
        EXPECT_EQ(Bus().FireCount("u", id), 1u);
        uint64_t hits = 0;
        for (const vbus::FaultRule &r : Bus().Bus().Faults("u"))
            if (r.id == probeId)
                hits = r.hits;
        EXPECT_EQ(hits, ExpectedCalls(c)) << "transfer calls";
        if (!e.compareAfter.empty()) {
            Bus().ClearFaults("u");
            ClearBoxes();
            Expected check;
            check.boxes = e.compareAfter;
            Run(Op::Compare, file, check);
            ExpectBoxes(e.compareAfter);
            EXPECT_TRUE(SameBytes(Image(1), e.card));
        }
        if (HasFatalFailure())
            return;
    }
}

TEST_F(SweepTest, UnitUnpluggedMidTransfer)
{
    bool first = true;
    for (const UnplugCase &c : UnplugCases()) {
        SCOPED_TRACE(UnplugRow(c));
        if (!first)
            Restart();
        first = false;
        MakeUnit();
        const Expected e = ExpectUnplug(c);
        const QString file = SourceFor(c.op);
        AtPumpAfterBlock(c.m, [&] {
            Bus().Unplug("u");
            WindowMessageEvent notice(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0);
            QCoreApplication::sendEvent(AppMainForm, &notice);
        });
        const bool open = Run(c.op, file, e);
        EXPECT_FALSE(open);
        ExpectBoxes(e.boxes);
        EXPECT_FALSE(UnitConnected);
        EXPECT_FALSE(AppMainForm->lblNoInfo->isHidden());
        EXPECT_TRUE(SameBytes(Image(1), e.card));
        if (e.checkFile) {
            EXPECT_TRUE(SameBytes(FileBytes(file), e.file));
        }
        if (HasFatalFailure())
            return;
    }
}

TEST_F(SweepTest, FullReadOnlyAndMissingFiles)
{
    bool first = true;
    for (FileFault f : FileCases()) {
        SCOPED_TRACE(FileRow(f));
        if (!first)
            Restart();
        first = false;
        MakeUnit();
        QString path;
        switch (f) {
        case FileFault::ReadToFullDisk: path = QStringLiteral("/dev/full"); break;
        case FileFault::ReadOverReadOnly:
            path = Scratch("ro-out.bin", Bytes(4096, 7));
            ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
            break;
        case FileFault::ReadIntoMissingFolder: path = File("no-such-folder/out.bin"); break;
        case FileFault::WriteMissing:
        case FileFault::CompareMissing: path = File("missing.bin"); break;
        case FileFault::WriteReadOnly:
        case FileFault::CompareReadOnly:
            path = Scratch("ro-src.bin", Sectors(OriginalCard(), kStart, kCount));
            ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
            break;
        }
        const Expected e = ExpectFile(f, path);
        const bool open = Run(FileOp(f), path, e);
        EXPECT_TRUE(open);
        ExpectBoxes(e.boxes);
        EXPECT_TRUE(SameBytes(Image(1), e.card));
        if (e.checkFile) {
            EXPECT_TRUE(SameBytes(FileBytes(path), e.file));
        }
        if (f == FileFault::ReadIntoMissingFolder || f == FileFault::WriteMissing || f == FileFault::CompareMissing) {
            EXPECT_FALSE(QFile::exists(path));
        }
        if (HasFatalFailure())
            return;
    }
}

TEST_F(SweepTest, FilesLargerThanFourGigabytes)
{
    bool first = true;
    for (const LargeCase &c : LargeCases()) {
        SCOPED_TRACE(LargeRow(c));
        if (!first)
            Restart();
        first = false;
        MakeUnit();
        const Expected e = ExpectLarge(c);
        const QString path = Scratch("large.bin", LargeHead(c.op));
        {
            QFile f(path);
            ASSERT_TRUE(f.resize(static_cast<qint64>(c.size)));  // sparse beyond the head
        }
        const bool open = Run(c.op, path, e);
        EXPECT_TRUE(open);
        ExpectBoxes(e.boxes);
        EXPECT_TRUE(SameBytes(Image(1), e.card));
        EXPECT_EQ(uint64_t(QFileInfo(path).size()), c.size);
        EXPECT_TRUE(SameBytes(VirtualBus::ReadFile(path.toStdString(), 0, LargeHead(c.op).size()), LargeHead(c.op)));
        QFile::remove(path);
        if (HasFatalFailure())
            return;
    }
}

TEST_F(SweepTest, SlotStatusAndDriveInformationFaults)
{
    // The slot status fails on every tick while a tick runs after each block.
    {
        SCOPED_TRACE(SlotRow(SlotFault::StatusFailsDuringRead));
        MakeUnit();
        const Expected e = ExpectSlot(SlotFault::StatusFailsDuringRead);
        vbus::FaultRule r;
        r.ops = vbus::OpSlotStatus;
        const uint32_t id = Bus().SetFault("u", r);
        int ticks = 0;
        AtEveryPump([&] {
            ++ticks;
            Tick();
        });
        const QString file = File("out.bin");
        EXPECT_TRUE(Run(Op::Read, file, e));
        ExpectBoxes(e.boxes);
        EXPECT_TRUE(SameBytes(Image(1), e.card));
        EXPECT_TRUE(SameBytes(FileBytes(file), e.file));
        EXPECT_GE(Bus().FireCount("u", id), uint64_t(Blocks(Op::Read)));
        EXPECT_GE(ticks, int(Blocks(Op::Read)));
    }

    // A corrupted status: the mask says the card of slot 1 has gone.
    {
        SCOPED_TRACE(SlotRow(SlotFault::StatusCorruptedOnceDuringRead));
        Restart();
        MakeUnit();
        const Expected e = ExpectSlot(SlotFault::StatusCorruptedOnceDuringRead);
        vbus::FaultRule r;
        r.ops = vbus::OpSlotStatus;
        r.count = vbus::Count::Next;
        r.n = 1;
        r.effect = vbus::Effect::Corrupt;
        r.arg = 8;
        const uint32_t id = Bus().SetFault("u", r);
        AtPumpAfterBlock(kCorruptStatusAfter, [&] { Tick(); });
        const QString file = File("out.bin");
        EXPECT_FALSE(Run(Op::Read, file, e));
        ExpectBoxes(e.boxes);
        EXPECT_EQ(Bus().FireCount("u", id), 1u);
        EXPECT_TRUE(SameBytes(Image(1), e.card));
        EXPECT_TRUE(SameBytes(FileBytes(file), e.file));
        // The next, sound status puts the card back.
        Tick();
        EXPECT_TRUE(SlotButtons[1]->isEnabled());
        EXPECT_FALSE(SlotButtons[2]->isEnabled());
    }

    // A VD read of the card in slot 2; after block 3 a card is pushed into
    // slot 1, which the VD then mirrors, and the VD's drive information fails once.
    {
        SCOPED_TRACE(SlotRow(SlotFault::DriveInfoFailsAsTheVdMoves));
        Restart();
        Bus().AddUnit("u", vbus::Model::Tvq210, 0x0001);
        Card(2, SecondCard());
        ASSERT_TRUE(CreateForms());
        AppMainForm->Timer1->stop();
        ClearBoxes();
        ASSERT_EQ(VdTargetSlot, 1);
        const Expected e = ExpectSlot(SlotFault::DriveInfoFailsAsTheVdMoves);
        vbus::FaultRule r;
        r.ops = vbus::OpDriveInfo;
        r.count = vbus::Count::Next;
        r.n = 1;
        const uint32_t id = Bus().SetFault("u", r);
        AtPumpAfterBlock(kMoveAfter, [&] {
            Card(1, PushedCard());
            Tick();
        });
        AtPumpAfterBlock(kMoveAfter + 1, [&] { Tick(); });
        const QString file = File("vd.bin");
        EXPECT_FALSE(Run(Op::Read, file, e, 0));
        ExpectBoxes(e.boxes);
        EXPECT_EQ(Bus().FireCount("u", id), 1u);
        EXPECT_TRUE(SameBytes(Image(1), PushedCard()));
        EXPECT_TRUE(SameBytes(Image(2), SecondCard()));
        EXPECT_TRUE(SameBytes(FileBytes(file), e.file));
    }

    // A card of another size arrives before a write to the VD; with its drive
    // information unread the check of equal parameters cannot see it.
    for (SlotFault f : {SlotFault::NewCardOfAnotherSize, SlotFault::DriveInfoFailsForANewCard}) {
        SCOPED_TRACE(SlotRow(f));
        Restart();
        MakeUnit({{2, VdSecondCard()}});
        const Expected e = ExpectSlot(f);
        uint32_t id = 0;
        if (f == SlotFault::DriveInfoFailsForANewCard) {
            vbus::FaultRule r;
            r.slot = 3;
            r.ops = vbus::OpDriveInfo;
            r.count = vbus::Count::Next;
            r.n = 2;
            id = Bus().SetFault("u", r);
        }
        Card(3, LargerCard());
        Tick();
        ASSERT_TRUE(SlotButtons[3]->isEnabled());
        const QString file = SourceFor(Op::Write);
        EXPECT_TRUE(Run(Op::Write, file, e, 0));
        ExpectBoxes(e.boxes);
        if (id != 0) {
            EXPECT_EQ(Bus().FireCount("u", id), 2u);
        }
        const bool written = f == SlotFault::DriveInfoFailsForANewCard;
        std::vector<uint8_t> second = VdSecondCard(), third = LargerCard();
        if (written) {
            Put(second, kStart, WriteSource(), 0, kCount);
            Put(third, kStart, WriteSource(), 0, kCount);
        }
        EXPECT_TRUE(SameBytes(Image(1), e.card));
        EXPECT_TRUE(SameBytes(Image(2), second));
        EXPECT_TRUE(SameBytes(Image(3), third));
        EXPECT_TRUE(SameBytes(FileBytes(file), e.file));
    }
}

TEST_F(SweepTest, FaultsInsideTheRun)
{
    bool first = true;
    for (MidRun c : MidRunCases()) {
        SCOPED_TRACE(MidRunRow(c));
        if (!first)
            Restart();
        first = false;
        const bool vd = c == MidRun::VdWriteDropOnOneCard || c == MidRun::VdWriteErrorOnOneCardOnce;
        if (vd)
            MakeUnit({{2, VdSecondCard()}});
        else
            MakeUnit();
        const Expected e = ExpectMidRun(c);
        const Op op = MidRunOp(c);
        QString file = SourceFor(op);
        vbus::FaultRule r;
        r.count = vbus::Count::Always;
        r.n = 1;
        bool open = true;
        struct rlimit saved {};
        bool limited = false;

        switch (c) {
        case MidRun::DiskFullAtBlock:
        case MidRun::DiskFullInsideBlock: {
            // The disk takes so much of this process's output and no more.
            ::signal(SIGXFSZ, SIG_IGN);
            ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
            struct rlimit lim = saved;
            lim.rlim_cur = rlim_t(kFullAfter) * kBlock * 512 + (c == MidRun::DiskFullInsideBlock ? kInsideBytes : 0);
            ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lim), 0);
            limited = true;
            break;
        }
        case MidRun::WriteSourceShrinks:
        case MidRun::CompareSourceShrinks:
            AtPumpAfterBlock(kShrinkAt, [&] { ASSERT_TRUE(QFile::resize(file, qint64(kShrunkBlocks) * kBlock * 512)); });
            break;
        case MidRun::MergeReadErrorAbort:
        case MidRun::MergeReadErrorRetry:
        case MidRun::MergeWriteErrorAbort:
        case MidRun::MergeWriteErrorRetry:
        case MidRun::CompareTailReadErrorAbort:
        case MidRun::CompareTailReadErrorRetry: {
            file = Scratch("tail.bin", TailSource(op));
            const bool write = c == MidRun::MergeWriteErrorAbort || c == MidRun::MergeWriteErrorRetry;
            r.ops = write ? vbus::OpWrite : vbus::OpRead;
            if (write)
                r.asc = 0x0C;
            if (c == MidRun::MergeReadErrorRetry || c == MidRun::MergeWriteErrorRetry ||
                c == MidRun::CompareTailReadErrorRetry)
                r.count = vbus::Count::Next;
            r.lbaFirst = r.lbaLast = kTailSector;
            Bus().SetFault("u", r);
            break;
        }
        case MidRun::UnplugWhileRetryBoxOpen:
            r.ops = vbus::OpRead;
            r.lbaFirst = r.lbaLast = FaultSector(Op::Read, Where::Middle);
            Bus().SetFault("u", r);
            break;
        case MidRun::VdWriteDropOnOneCard:
        case MidRun::VdWriteErrorOnOneCardOnce:
            r.slot = 2;
            r.ops = vbus::OpWrite;
            r.count = vbus::Count::Next;
            r.lbaFirst = r.lbaLast = FaultSector(Op::Write, Where::Middle);
            if (c == MidRun::VdWriteDropOnOneCard)
                r.effect = vbus::Effect::Drop;
            else
                r.asc = 0x0C;
            Bus().SetFault("u", r);
            break;
        case MidRun::ReplugThenRetry:
        case MidRun::SwapCardReplugThenRetry: break;  // scripted in the boxes below
        }

        std::string firstImage;
        if (c == MidRun::ReplugThenRetry || c == MidRun::SwapCardReplugThenRetry) {
            const bool swap = c == MidRun::SwapCardReplugThenRetry;
            firstImage = Bus().CardImage("u", 1);
            AtPumpAfterBlock(kUnplugAfter, [&] {
                Bus().Unplug("u");
                WindowMessageEvent notice(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0);
                QCoreApplication::sendEvent(AppMainForm, &notice);
            });
            AnswerNextBox([&, swap](const MsgBoxCall &) {
                if (swap) {
                    Bus().Pull("u", 1);
                    Card(1, SwappedCard());
                }
                Bus().Plug("u");
                return int(mrOk);
            });
            open = Run(op, file, e, 1, kStart, kCount, false);
            EXPECT_FALSE(open);
            // The arrival is handled afterwards and finds the unit again.
            WindowMessageEvent notice(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
            QCoreApplication::sendEvent(AppMainForm, &notice);
            EXPECT_TRUE(UnitConnected);
        } else if (c == MidRun::UnplugWhileRetryBoxOpen) {
            // The retry box is the first shown; the removal is handled while it is open.
            AnswerNextBox([&](const MsgBoxCall &) {
                Bus().Unplug("u");
                WindowMessageEvent notice(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0);
                QCoreApplication::sendEvent(AppMainForm, &notice);
                return int(mrRetry);
            });
            AnswerNextBox(mrOk);
            open = Run(op, file, e, 1, kStart, kCount, false);
            EXPECT_FALSE(open);
            EXPECT_FALSE(UnitConnected);
        } else {
            open = Run(op, file, e, vd ? 0 : 1);
            EXPECT_TRUE(open);
        }
        if (limited) {
            ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
        }

        ExpectBoxes(e.boxes);
        if (c == MidRun::SwapCardReplugThenRetry) {
            EXPECT_TRUE(SameBytes(VirtualBus::ReadFile(firstImage), e.card));
            EXPECT_TRUE(SameBytes(Image(1), SwappedCard()));
        } else {
            EXPECT_TRUE(SameBytes(Image(1), e.card));
        }
        EXPECT_TRUE(SameBytes(FileBytes(file), e.file));
        if (vd) {
            std::vector<uint8_t> second = VdSecondCard();
            Put(second, kStart, WriteSource(), 0, kCount);
            if (c == MidRun::VdWriteDropOnOneCard) {
                const uint32_t b0 = kStart + kVdBlock * kBlock;
                Put(second, b0, VdSecondCard(), b0, kBlock);
            }
            EXPECT_TRUE(SameBytes(Image(2), second));
        }
        if (HasFatalFailure())
            return;
    }
}

// The document's table is this sweep's: every row the cases above check, in order, and no other.
TEST(SweepTable, DocumentCarriesTheTable)
{
    const std::vector<std::string> rows = AllRows();
    if (const char *out = std::getenv("ROBUSTNESS_TABLE_OUT")) {
        std::ofstream f(out, std::ios::trunc);
        for (const std::string &r : rows)
            f << r << '\n';
    }
    std::ifstream doc(ROBUSTNESS_DOC);
    ASSERT_TRUE(doc.good()) << "docs/robustness.md is missing";
    std::vector<std::string> found;
    std::string line;
    while (std::getline(doc, line)) {
        if (line.rfind("| ", 0) != 0)
            continue;
        if (line.rfind("| Fault ", 0) == 0)  // the header
            continue;
        found.push_back(line);
    }
    EXPECT_EQ(found.size(), rows.size());
    for (size_t i = 0; i < std::min(found.size(), rows.size()); ++i)
        EXPECT_EQ(found[i], rows[i]) << "row " << i + 1;
}

} // namespace
