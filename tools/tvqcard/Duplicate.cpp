// tvqcard duplicate: a station that writes one image onto every card that
// comes into a watched slot. One thread per slot waits for a card, writes it
// (reading it back with --verify), ejects it when asked, logs it, and then
// leaves it alone until another card is in the slot. Cards are told apart as
// the bus tells them (each insert is another card; a bound device's medium
// goes by the kernel's disk sequence number), so a card swapped between two
// looks is still written, and a card that stays in never twice. Where nobody
// can tell (a unit without the bus, a kernel without the numbers) a card
// counts as new once its slot was seen empty.
#include "CardMedia.h"
#include "Commands.h"
#include "DuplicateLine.h"
#include "Messages.h"
#include "Output.h"
#include "Parallel.h"
#include "Progress.h"
#include "qevcrdio.h"
#include "tvq2xx.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

using json = nlohmann::json;

namespace {

enum SlotPhase { Waiting, Busy, DoneOk, Failed, Refused, Stopping };

struct SlotWatch {
    uint32_t slot = 0;
    std::atomic<int> phase{Waiting};
    std::vector<CardProgress> progress = std::vector<CardProgress>(1);  // of the card being written
};

std::string Now()
{
    char buf[40];
    const std::time_t t = std::time(nullptr);
    struct tm tm {};
    ::gmtime_r(&t, &tm);
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

unsigned Columns()
{
    struct winsize ws {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

StationSlot Shown(const Session &s, const SlotWatch &w)
{
    StationSlot out{s.Name(w.slot), s.Label(w.slot), StationSlot::Waiting, -1};
    switch (w.phase.load()) {
    case Busy: {
        const CardProgress &p = w.progress[0];
        const uint64_t total = p.total.load(), done = p.done.load();
        out.state = p.phase.load() == CardProgress::Verifying ? StationSlot::Verifying : StationSlot::Writing;
        out.percent = total > 0 ? static_cast<int>(std::min<uint64_t>(done, total) * 100 / total) : 0;
        break;
    }
    case DoneOk: out.state = StationSlot::DoneOk; break;
    case Failed: out.state = StationSlot::Failed; break;
    case Refused: out.state = StationSlot::Refused; break;
    case Stopping: out.state = StationSlot::Stopped; break;
    default: break;
    }
    return out;
}

}  // namespace

int Duplicate(const DuplicateArgs &a)
{
    Session s;
    std::vector<uint32_t> slots;
    if (a.slots.empty()) {
        for (uint32_t n = 2; n <= s.Slots(); ++n) slots.push_back(n);
    } else {
        slots = s.Parse(a.slots, false, false);
    }
    // The image is checked once here; each card reads it anew.
    const imagefile::Length length = OpenImage(a.file)->length();
    std::FILE *log = nullptr;
    if (!a.log.empty()) {
        log = std::fopen(a.log.c_str(), "a");
        if (log == nullptr) throw ToolError(Say(Msg::FileOpen, {a.log, std::strerror(errno)}));
    }
    s.Reserve(slots);
    // The unit's name on the bus: how its cards are told apart. The unit itself
    // (the library names its backend in every record) is none of the bus's.
    const bool realUnit = s.Record(kVd).Reserved[QEV_BACKEND_BYTE] == QEV_BACKEND_SG;
    const std::string unit = realUnit ? std::string() : UnitInUse();
    std::vector<std::unique_ptr<SlotWatch>> watch;
    for (uint32_t n : slots) {
        watch.push_back(std::make_unique<SlotWatch>());
        watch.back()->slot = n;
    }
    std::mutex logMu, screenMu;
    std::atomic<uint64_t> good{0}, bad{0}, inFlight{0};
    std::atomic<bool> enough{false};
    const bool lines = Progress::Enabled();
    Progress::Enable(false);  // the per-card lines of a write give way to the station's one line

    auto record = [&](const json &j) {
        std::lock_guard<std::mutex> lock(logMu);
        if (log != nullptr) {
            std::fprintf(log, "%s\n", j.dump().c_str());
            std::fflush(log);
        }
        if (common.json) EmitLine(stdout, j.dump());
    };
    // A message takes the line's place; the next draw puts the line back under it.
    auto complain = [&](const std::string &text) {
        std::lock_guard<std::mutex> lock(screenMu);
        if (lines) std::fputs("\r\033[K", stderr);
        Complain(text);
    };
    auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); };

    auto station = [&](SlotWatch &w) {
        const uint32_t target = s.TargetOf(w.slot);
        std::string handled;     // the card last handled here, where cards can be told apart
        bool mustLeave = false;  // where they cannot: the card in the slot was handled, wait until it is out
        while (StopSignal.load() == 0 && !enough.load()) {
            // The bus looked at on both sides of the drive information: the record is of that card.
            const SlotCard before = CardInSlot(unit, static_cast<int>(w.slot));
            SlotRecord r{};
            const bool read = ReadDriveInfo(target, r);
            const SlotCard card = CardInSlot(unit, static_cast<int>(w.slot));
            const bool known = before.known && card.known;
            if (!read) {  // not an empty slot: nothing is known of it now
                pause();
                continue;
            }
            if (r.CardPresent == 0) {
                mustLeave = false;
                if (w.phase.load() != Waiting) w.phase = Waiting;
                pause();
                continue;
            }
            if (known ? card.id.empty() || card.id != before.id || card.id == handled : mustLeave) {
                pause();
                continue;
            }
            // With --count, no more cards are begun than could still be needed.
            if (a.count != 0 && good.load() + inFlight.load() >= a.count) {
                pause();
                continue;
            }
            mustLeave = true;
            handled = card.id;
            std::string node, serial;
            NodeAndSerial(card.device, &node, &serial);
            const uint64_t cardBytes = uint64_t(r.TotalSectors) * kSector;
            json j{{"time", Now()},
                   {"slot", s.Name(w.slot)},
                   {"device", node.empty() ? json(nullptr) : json(node)},
                   {"serial", serial.empty() ? json(nullptr) : json(serial)},
                   {"cardBytes", cardBytes}};
            if (r.SectorSize != 512 || r.Heads == 0 ||
                (length.kind != imagefile::Length::Unknown && length.bytes > cardBytes)) {
                j["result"] = "refused";
                j["message"] = Say(Msg::FileBeyond, {a.file, std::to_string(length.bytes), s.Name(w.slot), "0",
                                                     std::to_string(r.TotalSectors)});
                j["seconds"] = 0;
                w.phase = Refused;
                ++bad;
                record(j);
                continue;
            }
            CardProgress &p = w.progress[0];
            p.phase = CardProgress::Waiting;
            p.done = 0;
            p.total = 0;
            w.phase = Busy;
            ++inFlight;
            Outcome o;
            try {
                std::unique_ptr<imagefile::Reader> image = OpenImage(a.file);
                uint64_t size = 0;
                std::string sha;
                o = WriteCards({{s.TargetFor(w.slot, Op::Write), cardBytes}}, 0, *image, a.file, a.verify, true,
                               common.retries, &size, &sha, &w.progress)
                        .at(0);
            } catch (const ToolError &e) {
                o.kind = Outcome::Failed;
                o.message = e.what();
            }
            MarkStopped(o);
            if (o.kind == Outcome::Done && a.eject) {
                uint32_t t = target;
                EjectCard(t);
            }
            j["sha256"] = o.sha256.empty() ? json(nullptr) : json(o.sha256);
            j["result"] = KindName(o.kind);
            j["bytes"] = o.bytes;
            j["seconds"] = o.seconds;
            if (!o.message.empty()) j["message"] = o.message;
            record(j);
            if (o.kind == Outcome::Done) {
                w.phase = DoneOk;
                if (++good >= a.count && a.count != 0) enough = true;
            } else {
                w.phase = o.kind == Outcome::Stopped ? Stopping : Failed;
                ++bad;
                if (o.kind != Outcome::Stopped) complain(o.message);
            }
            --inFlight;
        }
    };

    std::vector<std::thread> threads;
    for (auto &w : watch) threads.emplace_back([&, p = w.get()] { station(*p); });
    auto draw = [&] {
        if (!lines) return;
        std::vector<StationSlot> shown;
        for (auto &w : watch) shown.push_back(Shown(s, *w));
        const std::string line = StationLine(shown, good.load(), bad.load(), Columns());
        std::lock_guard<std::mutex> lock(screenMu);
        std::fprintf(stderr, "\r%s\033[K", line.c_str());
        std::fflush(stderr);
    };
    while (StopSignal.load() == 0 && !enough.load()) {
        draw();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    for (std::thread &t : threads) t.join();
    draw();  // the slots as they ended
    if (lines) std::fprintf(stderr, "\n");
    if (log != nullptr) std::fclose(log);
    Outcome end;
    end.kind = StopSignal.load() != 0 ? Outcome::Stopped : Outcome::Done;
    const std::string released = EndRun(s, end);
    if (!released.empty()) Complain(released);
    Note(std::to_string(good.load()) + " good, " + std::to_string(bad.load()) + " failed");
    return StatusOf(end);
}
