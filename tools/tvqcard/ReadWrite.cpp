// tvqcard read and write.
#include "CardMedia.h"
#include "Commands.h"
#include "Messages.h"
#include "Output.h"
#include "Progress.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using json = nlohmann::json;

namespace {

// The file a read makes, opened without harm to what it was: refused when it
// is (or lies over, or under) a card's medium, and only then emptied.
int OpenOutput(const std::string &path)
{
    struct stat st;
    const bool existed = ::stat(path.c_str(), &st) == 0;
    if (existed) {
        RefuseCardMedium(path, st);
        // A read-only image is kept, whoever runs this (root passes the mode bits).
        if (S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0)
            throw ToolError(Say(Msg::FileOpen, {path, std::strerror(EACCES)}));
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) throw ToolError(Say(Msg::FileOpen, {path, std::strerror(errno)}));
    // What was opened is checked again: the name may have been changed meanwhile.
    try {
        if (::fstat(fd, &st) != 0) throw ToolError(Say(Msg::FileOpen, {path, std::strerror(errno)}));
        RefuseCardMedium(path, st);
        // Only a file with something in it: on ext4 a truncation to nothing also makes
        // the close write the whole file back at once, which a new file need not wait for.
        if (S_ISREG(st.st_mode) && st.st_size != 0 && ::ftruncate(fd, 0) != 0)
            throw ToolError(Say(Msg::FileOpen, {path, std::strerror(errno)}));
    } catch (...) {
        ::close(fd);
        throw;
    }
    return fd;
}

// A write's source that is the medium of a card the write reaches would be
// read while it is overwritten.
void RefuseSourceOnTarget(Session &s, const std::string &file, int fd, const std::vector<uint32_t> &slots)
{
    struct stat st;
    if (::fstat(fd, &st) != 0) return;
    const std::vector<MediumUse> cards = CardsUnder(st);
    if (cards.empty()) return;
    const std::string unit = UnitInUse();
    for (const MediumUse &c : cards) {
        if (!unit.empty() && c.unit != unit) continue;
        for (uint32_t slot : slots) {
            if (slot == kVd || slot == uint32_t(c.slot))
                throw ToolError(Say(Msg::SourceIsCard, {file, s.Name(uint32_t(c.slot))}));
        }
    }
}

}  // namespace

int Read(const ReadArgs &a)
{
    Session s;
    const uint32_t slot = s.Parse({a.slot}, true, false).at(0);
    const SlotRecord r = s.Card(slot);
    const uint32_t start = a.start.empty() ? 0 : ParseSector(a.start, "--start");
    uint64_t count = 0;
    CheckRange(s, slot, r, start, a.count, &count);
    const bool toStdout = a.file == "-";
    if (toStdout) {
        struct stat st;
        if (::fstat(STDOUT_FILENO, &st) == 0) RefuseCardMedium("-", st);
    }
    s.Reserve({slot});

    const int fd = toStdout ? STDOUT_FILENO : OpenOutput(a.file);
    SetProgressLabel(s.Name(slot));
    const imagefile::Format format = toStdout ? imagefile::Format::Plain : imagefile::FormatOfName(a.file);
    Outcome o = ReadToFile(s.TargetFor(slot, Op::Read), start, count, fd, a.file, TransferOptions(a.sha), format);
    if (!toStdout && ::close(fd) != 0 && o.kind == Outcome::Done) {
        o.kind = Outcome::Failed;
        o.message = Say(Msg::FileClose, {a.file, std::strerror(errno)});
    }
    EndRun(s, o);
    MarkStopped(o);
    FILE *results = toStdout ? stderr : stdout;
    if (common.json) {
        json j = OutcomeJson("read", o);
        j["slot"] = s.Name(slot);
        j["file"] = a.file;
        j["start"] = start;
        j["sectors"] = o.bytes / kSector;
        PrintJson(j, results);
    }
    switch (o.kind) {
    case Outcome::Done:
        if (a.sha && !common.json) Emit(results, o.sha256 + "  " + a.file + "\n");
        Note(Say(Msg::ReadDone, {std::to_string(count), HumanBytes(count * kSector), s.Name(slot), a.file,
                                 HumanSeconds(o.seconds)}));
        break;
    case Outcome::Stopped: Complain(StoppedText(o, count * kSector, s.Name(slot), start)); break;
    default:
        Complain(o.message);
        Complain(Say(Msg::Stopped, {std::to_string(o.bytes / kSector), std::to_string(count), a.file}));
        break;
    }
    return StatusOf(o);
}

int Write(const WriteArgs &a)
{
    Session s;
    const std::vector<uint32_t> slots = s.Parse(a.slots, true, true);
    int fd = -1;
    std::unique_ptr<imagefile::Reader> image = OpenImage(a.file, &fd);
    // A compressed image that does not state its length is measured by writing it.
    const imagefile::Length length = image->length();
    const bool known = length.kind == imagefile::Length::Exact;
    uint64_t size = length.bytes;
    const uint32_t start = a.start.empty() ? 0 : ParseSector(a.start, "--start");
    // Every card is checked before the first byte goes anywhere.
    std::vector<uint64_t> room;
    for (uint32_t slot : slots) {
        if (slot == kVd) s.CheckVdWrite();
        const SlotRecord r = s.Card(slot);
        uint64_t count = 0;
        CheckRange(s, slot, r, start, std::string(), &count);
        if (length.kind != imagefile::Length::Unknown && (length.bytes + kSector - 1) / kSector > count)
            throw ToolError(Say(Msg::FileBeyond, {a.file, std::to_string(length.bytes), s.Name(slot),
                                                  std::to_string(start), std::to_string(r.TotalSectors)}));
        room.push_back(count * kSector);
    }
    RefuseSourceOnTarget(s, a.file, fd, slots);
    s.Reserve(slots);
    if (Parallel(slots)) return WriteMany(s, slots, room, start, *image, a);

    json runs = json::array();
    Outcome last;
    std::string sha;
    for (size_t i = 0; i < slots.size(); ++i) {
        const uint32_t slot = slots[i];
        const Target t = s.TargetFor(slot, Op::Write);
        if (i > 0 && !image->Rewind()) throw ToolError(Say(Msg::FileRead, {a.file, image->Error()}));
        SetProgressLabel(t.name + " write");
        Outcome o = WriteFromFile(t, start, *image, known ? size : room[i], a.file, TransferOptions(a.sha));
        if (!known && o.kind == Outcome::Done) size = o.bytes;
        const uint64_t needed = (size + kSector - 1) / kSector;
        MarkStopped(o);
        if (!o.sha256.empty()) sha = o.sha256;
        json j = OutcomeJson("write", o);
        j["slot"] = t.name;
        if (o.kind == Outcome::Done)
            Note(Say(Msg::WriteDone, {std::to_string(o.bytes), std::to_string(needed), a.file, t.name, HumanSeconds(o.seconds)}));
        else if (o.kind == Outcome::Stopped)
            Complain(StoppedText(o, known ? size : room[i], t.name, start));
        else
            Complain(o.message);
        if (o.kind == Outcome::Done && a.verify) {
            // The VD duplicates into every card: each one is read back.
            std::vector<Target> check;
            if (slot == kVd) {
                for (const CardRef &c : t.cards) check.push_back({c.index, c.name, {}});
            } else {
                check.push_back(t);
            }
            if (!image->Rewind()) throw ToolError(Say(Msg::FileRead, {a.file, image->Error()}));
            SetProgressLabel(t.name + " verify");
            Difference first{};
            Outcome v = CompareWithFile(check, start, *image, size, a.file, TransferOptions(false), [&](const Difference &d) {
                first = d;
                return false;
            });
            MarkStopped(v);
            json jv = OutcomeJson("verify", v);
            if (v.kind == Outcome::Done) {
                Note(Say(Msg::VerifyDone, {t.name}));
            } else if (v.kind == Outcome::Differs) {
                const std::string where = check[first.target].name;
                Complain(Say(Msg::VerifyDiffers, {where, a.file, std::to_string(first.sector),
                                                  std::to_string(first.address % kSector)}));
                jv["slot"] = where;
                jv["sector"] = first.sector;
                jv["address"] = first.address;
            } else if (v.kind == Outcome::Stopped) {
                Complain(StoppedText(v, size, t.name, start));
            } else {
                Complain(v.message);
            }
            j["verify"] = jv;
            if (v.kind != Outcome::Done) {
                o.kind = v.kind;
                o.message = v.message;
            }
        }
        runs.push_back(j);
        last = o;
        if (StatusOf(o) != 0) break;  // the first error ends the batch
    }
    // The library flushes what was written when it lets the unit go: a write is done only then.
    Outcome end = last;
    const std::string released = EndRun(s, end);
    if (!released.empty()) Complain(released);
    const int status = StatusOf(end);
    if (common.json) {
        json j;
        j["command"] = "write";
        j["file"] = a.file;
        if (known || size != 0) j["bytes"] = size;  // unknown when a compressed image never ended on a card
        else j["bytes"] = nullptr;
        j["start"] = start;
        if (!sha.empty()) j["sha256"] = sha;
        j["slots"] = runs;
        j["result"] = KindName(end.kind);
        if (!end.message.empty()) j["message"] = end.message;
        PrintJson(j);
    } else if (a.sha && !sha.empty()) {
        Emit(stdout, sha + "  " + a.file + "\n");
    }
    return status;
}
