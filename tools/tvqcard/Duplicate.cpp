// tvqcard duplicate: a station that writes one image onto every card that
// comes into a watched slot. One thread per slot waits for a card, writes it
// (reading it back with --verify), ejects it when asked, logs it, and then
// waits for the slot to be seen empty: a card is never written twice without
// being taken out in between.
#include "Commands.h"
#include "Messages.h"
#include "Output.h"
#include "Parallel.h"
#include "Progress.h"
#include "tvq2xx.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <thread>

using json = nlohmann::json;

namespace {

enum SlotPhase { Waiting, Writing, DoneOk, Failed, Refused, Stopping };

struct SlotWatch {
    uint32_t slot = 0;
    std::atomic<int> phase{Waiting};
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
    // Cards come and go: the library's slot table is read per slot, from that slot's thread.
    std::vector<std::unique_ptr<SlotWatch>> watch;
    for (uint32_t n : slots) {
        watch.push_back(std::make_unique<SlotWatch>());
        watch.back()->slot = n;
    }
    std::mutex logMu;
    std::atomic<uint64_t> good{0}, bad{0}, inFlight{0};
    std::atomic<bool> enough{false};
    bool lines = Progress::Enabled();
    Progress::Enable(false);  // the per-card lines of a write give way to the station's one line

    auto record = [&](const json &j) {
        std::lock_guard<std::mutex> lock(logMu);
        if (log != nullptr) {
            std::fprintf(log, "%s\n", j.dump().c_str());
            std::fflush(log);
        }
        if (common.json) EmitLine(stdout, j.dump());
    };

    auto station = [&](SlotWatch &w) {
        const uint32_t target = s.TargetOf(w.slot);
        bool mustLeave = false;  // the card in the slot was handled: wait until it is taken out
        while (StopSignal.load() == 0 && !enough.load()) {
            SlotRecord r{};
            const bool read = ReadDriveInfo(target, r);
            const bool present = read && r.CardPresent != 0;
            if (!present) {
                mustLeave = false;
                if (w.phase.load() != Waiting) w.phase = Waiting;
            }
            if (!present || mustLeave) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            // With --count, no more cards are begun than could still be needed.
            if (a.count != 0 && good.load() + inFlight.load() >= a.count) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            mustLeave = true;
            const uint64_t cardBytes = uint64_t(r.TotalSectors) * kSector;
            json j{{"time", Now()}, {"slot", s.Name(w.slot)}, {"device", nullptr}, {"serial", nullptr},
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
            w.phase = Writing;
            ++inFlight;
            Outcome o;
            try {
                std::unique_ptr<imagefile::Reader> image = OpenImage(a.file);
                uint64_t size = 0;
                std::string sha;
                o = WriteCards({{s.TargetFor(w.slot, Op::Write), cardBytes}}, 0, *image, a.file, a.verify, true,
                               common.retries, &size, &sha)
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
                if (o.kind != Outcome::Stopped) Complain(o.message);
            }
            --inFlight;
        }
    };

    std::vector<std::thread> threads;
    for (auto &w : watch) threads.emplace_back([&, p = w.get()] { station(*p); });
    auto allDone = [&] {
        return StopSignal.load() != 0 || enough.load();
    };
    auto draw = [&] {
        if (lines) {
            std::string line;
            for (auto &w : watch) {
                static const char *names[] = {"waiting", "writing", "done OK", "FAILED", "refused", "stopped"};
                line += s.Name(w->slot) + ": " + names[w->phase.load()] + "  ";
            }
            line += "| " + std::to_string(good.load()) + " good, " + std::to_string(bad.load()) + " failed";
            std::fprintf(stderr, "\r%s\033[K", line.c_str());
            std::fflush(stderr);
        }
    };
    while (!allDone()) {
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
