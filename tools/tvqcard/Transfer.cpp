#include "Transfer.h"

#include "Messages.h"
#include "Pipeline.h"
#include "Progress.h"
#include "Sha256.h"
#include "UnitState.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>
#include <unistd.h>

namespace {

constexpr uint32_t kSector = 512;
constexpr size_t kChunkBytes = 1u << 20;  // a block per hand-over between the threads
constexpr size_t kChunks = 4;
constexpr size_t kDirectBytes = 256u << 10;  // one device call per write of the file, and the buffer stays in cache

std::string progressLabel;

void OnStop(int sig)
{
    int none = 0;
    StopSignal.compare_exchange_strong(none, sig);
}

// Up to `room` bytes of the `left` sectors from lba into the chunk, which
// holds what was moved; the bar follows each block.
BlockResult ReadRun(const Target &t, uint64_t lba, uint64_t left, size_t room, Chunk &c, const Options &o,
                    Progress &bar)
{
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(left, room / kSector));
    const BlockResult r = DoRun(Op::Read, t, static_cast<uint32_t>(lba), n, c.data.data(), o.retries,
                                [&](uint32_t moved) { bar.Add(uint64_t(moved) * kSector); });
    c.bytes = size_t(r.done) * kSector;
    return r;
}

// Card → consumer on the device thread itself, through one buffer small
// enough to stay in the processor's cache: for a consumer that only copies
// (a plain file), a second thread costs more in hand-overs and cache misses
// than it overlaps. The same checks as FromCard, per buffer.
Outcome FromCardDirect(const Target &t, uint32_t start, uint64_t count, const Options &o,
                       const std::function<bool(const Chunk &, std::string *)> &consume)
{
    const auto t0 = std::chrono::steady_clock::now();
    Outcome out;
    if (StopSignal.load() != 0) {
        out.kind = Outcome::Stopped;
        return out;
    }
    Chunk c;
    c.data.resize(kDirectBytes);
    std::string why;
    Progress bar(progressLabel, count * kSector);
    uint64_t lba = start, left = count;
    bool stop = false;
    while (left > 0 && !stop) {
        const BlockResult r = ReadRun(t, lba, left, kDirectBytes, c, o, bar);
        lba += r.done;
        left -= r.done;
        if (r.failed) RecordFailure(Op::Read, t, r, &out);
        stop = r.failed || r.stopped;
        BlockResult moved;
        if ((!stop || out.kind == Outcome::Done) &&
            !VdCardsStay(Op::Read, t, static_cast<uint32_t>(lba - c.bytes / kSector), &moved)) {
            RecordFailure(Op::Read, t, moved, &out);
            break;
        }
        if (c.bytes == 0) continue;
        if (!consume(c, &why)) {
            out.kind = Outcome::Failed;
            out.message = why;
            break;
        }
        out.bytes += c.bytes;
    }
    bar.Clear();
    if (out.kind == Outcome::Done && left > 0 && StopSignal.load() != 0) out.kind = Outcome::Stopped;
    out.seconds = SecondsSince(t0);
    return out;
}

// Card → worker: the device thread reads, the worker consumes each chunk.
// consume returns false (with a message) to stop the run.
Outcome FromCard(const Target &t, uint32_t start, uint64_t count, const Options &o,
                 const std::function<bool(const Chunk &, std::string *)> &consume)
{
    const auto t0 = std::chrono::steady_clock::now();
    Outcome out;
    if (StopSignal.load() != 0) {  // asked to stop before the first block
        out.kind = Outcome::Stopped;
        return out;
    }
    Pipeline pipe(kChunks, kChunkBytes);
    std::string workerError;
    uint64_t consumed = 0;
    std::thread worker([&] {
        while (Chunk *c = pipe.TakeFull()) {
            if (!consume(*c, &workerError)) {
                pipe.Abort();
                return;
            }
            consumed += c->bytes;
            pipe.GiveFree(c);
        }
    });
    Progress bar(progressLabel, count * kSector);
    uint64_t lba = start, left = count;
    bool stop = false;
    while (left > 0 && !stop) {
        Chunk *c = pipe.TakeFree();
        if (c == nullptr) break;
        const BlockResult r = ReadRun(t, lba, left, kChunkBytes, *c, o, bar);
        lba += r.done;
        left -= r.done;
        if (r.failed) RecordFailure(Op::Read, t, r, &out);
        stop = r.failed || r.stopped;
        // The cards behind the VD are checked once a chunk, and at the end, before the chunk counts.
        BlockResult moved;
        if (!stop || out.kind == Outcome::Done) {
            if (!VdCardsStay(Op::Read, t, static_cast<uint32_t>(lba - c->bytes / kSector), &moved)) {
                RecordFailure(Op::Read, t, moved, &out);
                c->bytes = 0;
                stop = true;
            }
        }
        pipe.GiveFull(c);
    }
    pipe.Finish();
    worker.join();
    bar.Clear();
    out.bytes = consumed;
    if (!workerError.empty()) {
        out.kind = Outcome::Failed;
        out.message = workerError;
    } else if (out.kind == Outcome::Done && left > 0 && StopSignal.load() != 0) {
        out.kind = Outcome::Stopped;
    }

    out.seconds = SecondsSince(t0);
    return out;
}

// Image → device thread: the worker reads the image (hashing it when asked),
// the device thread handles each chunk; handle returns false to stop.
// An image of stated length gives exactly `bytes`; one of unknown length up
// to `bytes`, and one that goes on past them sets *goesOn and, with pastEnd,
// is read to its end to count the rest (else the run fails there).
Outcome FromFile(imagefile::Reader &src, uint64_t bytes, const std::string &name, const Options &o,
                 bool *goesOn, uint64_t *pastEnd,
                 const std::function<bool(const Chunk &, uint64_t offset, Outcome *)> &handle)
{
    const bool known = src.length().kind == imagefile::Length::Exact;
    const auto t0 = std::chrono::steady_clock::now();
    Outcome out;
    if (StopSignal.load() != 0) {
        out.kind = Outcome::Stopped;
        return out;
    }
    Pipeline pipe(kChunks, kChunkBytes);
    std::string workerError;
    Sha256 sha;
    std::thread worker([&] {
        auto fail = [&](Chunk *c) {
            workerError = Say(Msg::FileRead, {name, src.Error()});
            if (c) pipe.GiveFree(c);
            pipe.Abort();
        };
        uint64_t left = bytes;
        bool ended = false;
        while (left > 0 && !ended) {
            Chunk *c = pipe.TakeFree();
            if (c == nullptr) return;
            const size_t n = static_cast<size_t>(std::min<uint64_t>(left, kChunkBytes));
            size_t got = 0;
            if (known) {
                if (!src.ReadExactly(c->data.data(), n)) return fail(c);
                got = n;
            } else {
                while (got < n) {
                    const ssize_t r = src.Read(c->data.data() + got, n - got);
                    if (r < 0) return fail(c);
                    if (r == 0) {
                        ended = true;
                        break;
                    }
                    got += static_cast<size_t>(r);
                }
            }
            if (got == 0) {
                pipe.GiveFree(c);
                break;
            }
            if (o.hash) sha.Update(c->data.data(), got);
            c->bytes = got;
            left -= got;
            pipe.GiveFull(c);
        }
        // A compressed image is whole only once its stream has ended as it should
        // (the checks at its end); one of unknown length must end within the room.
        if (!ended && (!known || (src.format() != imagefile::Format::Plain && bytes == src.length().bytes))) {
            uint8_t probe[4096];
            ssize_t r = src.Read(probe, sizeof probe);
            if (r < 0) return fail(nullptr);
            if (r > 0) {
                *goesOn = true;
                if (pastEnd == nullptr) {
                    // What came before is written up to the card's end; the caller says where it stopped.
                    workerError = "goes on";
                    pipe.Finish();
                    return;
                }
                uint64_t rest = static_cast<uint64_t>(r);
                while ((r = src.Read(probe, sizeof probe)) > 0) rest += static_cast<uint64_t>(r);
                if (r < 0) return fail(nullptr);
                *pastEnd = rest;
            }
        }
        pipe.Finish();
    });
    Progress bar(progressLabel, bytes);
    uint64_t offset = 0;
    while (Chunk *c = pipe.TakeFull()) {
        const uint64_t before = out.bytes;
        const bool go = handle(*c, offset, &out);
        bar.Add(out.bytes - before);
        offset += c->bytes;
        pipe.GiveFree(c);
        if (!go) {
            pipe.Abort();
            break;
        }
    }
    worker.join();
    bar.Clear();
    if (!workerError.empty() && out.kind == Outcome::Done) {
        out.kind = Outcome::Failed;
        out.message = workerError;
    }
    if (out.kind == Outcome::Done && o.hash) out.sha256 = sha.Hex();
    out.seconds = SecondsSince(t0);
    return out;
}

}  // namespace

void InstallStopHandlers()
{
    struct sigaction sa = {};
    sa.sa_handler = OnStop;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
}

void SetProgressLabel(const std::string &label)
{
    progressLabel = label;
}

Outcome ReadToFile(const Target &t, uint32_t start, uint64_t count, int fd, const std::string &name,
                   const Options &o, imagefile::Format format)
{
    Sha256 sha;
    imagefile::Writer file(fd, format, count * kSector);
    // Hashing or compressing is worth a thread of its own; a plain copy is not.
    const bool direct = format == imagefile::Format::Plain && !o.hash;
    Outcome out = (direct ? FromCardDirect : FromCard)(t, start, count, o, [&](const Chunk &c, std::string *why) {
        if (o.hash) sha.Update(c.data.data(), c.bytes);
        if (!file.Write(c.data.data(), c.bytes)) {
            *why = Say(Msg::FileWrite, {name, file.Error()});
            return false;
        }
        return true;
    });
    if (out.kind == Outcome::Done && !file.Finish()) {
        out.kind = Outcome::Failed;
        out.message = Say(Msg::FileWrite, {name, file.Error()});
    }
    if (out.kind == Outcome::Done && o.hash) out.sha256 = sha.Hex();
    return out;
}

Outcome HashCard(const Target &t, uint32_t start, uint64_t count, const Options &o)
{
    Sha256 sha;
    Outcome out = FromCard(t, start, count, o, [&](const Chunk &c, std::string *) {
        sha.Update(c.data.data(), c.bytes);
        return true;
    });
    if (out.kind == Outcome::Done) out.sha256 = sha.Hex();
    return out;
}

Outcome WriteFromFile(const Target &t, uint32_t start, imagefile::Reader &src, uint64_t bytes,
                      const std::string &name, const Options &o)
{
    std::vector<uint8_t> tail(kSector);
    bool goesOn = false;
    Outcome result = FromFile(src, bytes, name, o, &goesOn, nullptr, [&](const Chunk &c, uint64_t offset, Outcome *out) {
        uint64_t lba = start + offset / kSector;
        const size_t whole = c.bytes / kSector;
        const BlockResult r = DoRun(Op::Write, t, static_cast<uint32_t>(lba), static_cast<uint32_t>(whole),
                                    const_cast<uint8_t *>(c.data.data()), o.retries,
                                    [&](uint32_t moved) { out->bytes += uint64_t(moved) * kSector; });
        lba += r.done;
        if (r.failed) {
            RecordFailure(Op::Write, t, r, out);
            return false;
        }
        if (r.stopped) {
            out->kind = Outcome::Stopped;
            return false;
        }
        const size_t rest = c.bytes % kSector;
        if (rest != 0) {
            // The file ends inside this sector: the card keeps the sector's bytes beyond it.
            BlockResult r = DoBlock(Op::Read, t, static_cast<uint32_t>(lba), 1, tail.data(), o.retries);
            if (r.failed) {
                RecordFailure(Op::Read, t, r, out);
                return false;
            }
            std::memcpy(tail.data(), c.data.data() + whole * kSector, rest);
            r = DoBlock(Op::Write, t, static_cast<uint32_t>(lba), 1, tail.data(), o.retries);
            if (r.failed) {
                RecordFailure(Op::Write, t, r, out);
                return false;
            }
            out->bytes += rest;
        }
        // A card that left the VD during this chunk may miss any of it: the chunk is not counted as done there.
        BlockResult moved;
        if (!VdCardsStay(Op::Write, t, static_cast<uint32_t>(start + offset / kSector), &moved)) {
            out->bytes = offset;
            RecordFailure(Op::Write, t, moved, out);
            return false;
        }
        return true;
    });
    if (goesOn && result.kind == Outcome::Failed && !result.cardFailed)
        result.message = Say(Msg::ImageBeyond, {name, t.name, std::to_string(start), std::to_string(bytes / kSector),
                                                std::to_string(result.bytes)});
    return result;
}

Outcome CompareWithFile(const std::vector<Target> &targets, uint32_t start, imagefile::Reader &src, uint64_t bytes,
                        const std::string &name, const Options &o,
                        const std::function<bool(const Difference &)> &onDiff, uint64_t *pastEnd)
{
    Bytes card(size_t(kBlockSectors) * kSector);
    bool goesOn = false;
    uint64_t rest = 0;
    return FromFile(src, bytes, name, o, &goesOn, pastEnd ? pastEnd : &rest, [&](const Chunk &c, uint64_t offset, Outcome *out) {
        const uint64_t firstLba = start + offset / kSector;
        for (size_t done = 0; done < c.bytes;) {
            const size_t len = std::min<size_t>(c.bytes - done, size_t(kBlockSectors) * kSector);
            const uint32_t n = static_cast<uint32_t>((len + kSector - 1) / kSector);
            const uint64_t lba = firstLba + done / kSector;
            const uint8_t *file = c.data.data() + done;
            size_t good = len;  // bytes of this block every card gave
            const BlockResult *failed = nullptr;
            BlockResult r;
            size_t failedTarget = 0;
            for (size_t ti = 0; ti < targets.size(); ++ti) {
                r = DoBlock(Op::Read, targets[ti], static_cast<uint32_t>(lba), n, card.data(), o.retries);
                const size_t have = std::min<size_t>(len, size_t(r.done) * kSector);
                if (r.failed || r.done < n) {
                    failed = &r;
                    failedTarget = ti;
                    good = std::min(good, have);
                }
                if (std::memcmp(card.data(), file, have) != 0) {
                    for (size_t s = 0; s < have; s += kSector) {
                        const size_t sl = std::min<size_t>(kSector, have - s);
                        if (std::memcmp(card.data() + s, file + s, sl) == 0) continue;
                        for (size_t p = s; p < s + sl; ++p) {
                            if (card[p] == file[p]) continue;
                            ++out->differences;
                            out->kind = Outcome::Differs;
                            Difference d{ti, lba * kSector + p, static_cast<uint32_t>(lba + p / kSector), card[p],
                                         file[p]};
                            if (!onDiff(d)) {
                                // Compared up to and with this byte.
                                out->bytes += p + 1;
                                return false;
                            }
                        }
                    }
                }
                if (failed != nullptr) break;
            }
            if (failed != nullptr) {
                out->bytes += good;
                if (failed->failed) {
                    RecordFailure(Op::Read, targets[failedTarget], *failed, out);
                } else {
                    out->kind = Outcome::Stopped;
                }
                return false;
            }
            done += len;
            out->bytes += len;
            if (StopSignal.load() != 0) {
                out->kind = Outcome::Stopped;
                return false;
            }
        }
        for (const Target &t : targets) {
            BlockResult moved;
            if (!VdCardsStay(Op::Read, t, static_cast<uint32_t>(firstLba + c.bytes / kSector), &moved)) {
                RecordFailure(Op::Read, t, moved, out);
                return false;
            }
        }
        return true;
    });
}

double SecondsSince(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A failed block into the run's outcome: its good sectors are counted by the caller.
void RecordFailure(Op op, const Target &t, const BlockResult &r, Outcome *out)
{
    out->kind = r.stopped ? Outcome::Stopped : Outcome::Failed;
    out->message = FailureText(op, t, r);
    out->cardFailed = true;
    out->failedSector = r.lba;
    out->code = r.code;
    out->tries = r.tries;
    out->card = r.card;
}
