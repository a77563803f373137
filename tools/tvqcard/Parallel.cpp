#include "Parallel.h"

#include "Buffer.h"
#include "Messages.h"
#include "Progress.h"
#include "Sha256.h"
#include "UnitState.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace {

constexpr uint32_t kSector = 512;
constexpr size_t kPieceBytes = 1u << 20;
constexpr size_t kQueuePieces = 4;  // how far the fastest card may run ahead of the slowest

// A piece of the image, shared read-only by every card's worker.
struct Piece {
    Bytes data;
    std::string sha;  // of data, for the read-back (only with verify)
};
using PiecePtr = std::shared_ptr<const Piece>;

// One card's queue: the reader pushes, the card's worker pops. A worker that
// stops closes it, and the reader passes it by from then on.
class CardQueue {
public:
    // False when the worker has stopped taking pieces.
    bool Push(PiecePtr p)
    {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [&] { return closed_ || q_.size() < kQueuePieces; });
        if (closed_) return false;
        q_.push_back(std::move(p));
        cv_.notify_all();
        return true;
    }
    // The next piece; null at the image's end.
    PiecePtr Pop()
    {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [&] { return ended_ || !q_.empty(); });
        if (q_.empty()) return nullptr;
        PiecePtr p = std::move(q_.front());
        q_.pop_front();
        cv_.notify_all();
        return p;
    }
    // No more pieces; error says why the image ended early ("" when it ended well).
    void End(const std::string &error)
    {
        std::lock_guard<std::mutex> lock(mu_);
        ended_ = true;
        error_ = error;
        cv_.notify_all();
    }
    std::string Error()
    {
        std::lock_guard<std::mutex> lock(mu_);
        return error_;
    }
    void Close()
    {
        std::lock_guard<std::mutex> lock(mu_);
        closed_ = true;
        q_.clear();
        cv_.notify_all();
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<PiecePtr> q_;
    bool ended_ = false, closed_ = false;
    std::string error_;
};

using CardState = CardProgress;
constexpr auto Writing = CardProgress::Writing, Verifying = CardProgress::Verifying,
               Hashing = CardProgress::Hashing, Comparing = CardProgress::Comparing,
               Finished = CardProgress::Finished;

unsigned Columns()
{
    struct winsize ws {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

// One line per card on stderr, redrawn in place; only on a terminal.
class CardLines {
public:
    CardLines(const std::vector<CardWork> &cards, std::vector<CardState> &states)
        : cards_(cards), states_(states), on_(Progress::Enabled()), t0_(std::chrono::steady_clock::now())
    {
    }
    void Draw()
    {
        if (!on_) return;
        const unsigned width = Columns();
        const double secs = SecondsSince(t0_);
        std::string text;
        if (drawn_) text += "\033[" + std::to_string(cards_.size()) + "A";
        for (size_t i = 0; i < cards_.size(); ++i) {
            const CardState &s = states_[i];
            const uint64_t done = s.done.load(), total = s.total.load();
            const int pct = total > 0 ? static_cast<int>(done * 100 / total) : 0;
            char line[256];
            const char *what = "waiting";
            switch (s.phase.load()) {
            case Writing: what = "writing"; break;
            case Verifying: what = "verifying"; break;
            case Hashing: what = "hashing"; break;
            case Comparing: what = "comparing"; break;
            case Finished: what = s.result.load() == Outcome::Done ? "done OK" : s.result.load() == Outcome::Differs ? "DIFFERS" : s.result.load() == Outcome::Stopped ? "stopped" : "FAILED"; break;
            default: break;
            }
            if (s.phase.load() == Finished)
                std::snprintf(line, sizeof line, "%-8s %s", cards_[i].target.name.c_str(), what);
            else
                std::snprintf(line, sizeof line, "%-8s %-9s %3d%%  %s  %s/s", cards_[i].target.name.c_str(), what, pct,
                              HumanBytes(done).c_str(),
                              HumanBytes(secs > 0 ? static_cast<uint64_t>(static_cast<double>(done) / secs) : 0).c_str());
            std::string l = line;
            if (width > 1 && l.size() > width - 1) l.resize(width - 1);
            text += "\r" + l + "\033[K\n";
        }
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
        drawn_ = true;
    }

private:
    const std::vector<CardWork> &cards_;
    std::vector<CardState> &states_;
    bool on_, drawn_ = false;
    std::chrono::steady_clock::time_point t0_;
};

// Draws the lines until every worker is done, then joins them.
void Watch(std::vector<std::thread> &workers, std::vector<CardState> &states, CardLines &lines)
{
    for (;;) {
        bool all = true;
        for (const CardState &s : states) all &= s.phase.load() == Finished;
        lines.Draw();
        if (all) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    for (std::thread &w : workers) w.join();
}

// Card bytes [offset, offset + len) of a run from sector start into buf,
// offset a whole number of sectors. False, with out filled (bytes: as far as
// it got), when the card failed or a stop was asked for.
bool ReadSpan(const Target &t, uint32_t start, uint64_t offset, size_t len, uint8_t *buf, unsigned retries,
              CardState &state, Outcome *out)
{
    const uint32_t sectors = static_cast<uint32_t>((len + kSector - 1) / kSector);
    const uint32_t lba0 = static_cast<uint32_t>(start + offset / kSector);
    uint64_t have = 0;
    const BlockResult r = DoRun(Op::Read, t, lba0, sectors, buf, retries, [&](uint32_t moved) {
        have = std::min<uint64_t>(have + uint64_t(moved) * kSector, len);
        state.done = offset + have;
    });
    if (r.failed) {
        RecordFailure(Op::Read, t, r, out);
        out->bytes = offset + have;
        return false;
    }
    if (r.stopped) {
        out->kind = Outcome::Stopped;
        out->bytes = offset + have;
        return false;
    }
    return true;
}

// The card's SHA-256 of bytes from sector start; each piece of kPieceBytes
// checked against pieceSha when given (a read-back), the first that differs
// ending the run as Differs.
Outcome ReadBack(const Target &t, uint32_t start, uint64_t bytes, unsigned retries, CardState &state,
                 const std::vector<std::string> *pieceSha, const std::string &name, bool wantSha)
{
    Outcome out;
    Bytes buf(kPieceBytes);
    Sha256 all;
    state.done = 0;
    state.total = bytes;
    uint64_t offset = 0;
    for (size_t piece = 0; offset < bytes; ++piece) {
        const size_t len = static_cast<size_t>(std::min<uint64_t>(bytes - offset, kPieceBytes));
        if (!ReadSpan(t, start, offset, len, buf.data(), retries, state, &out)) return out;
        if (pieceSha != nullptr) {
            Sha256 one;
            one.Update(buf.data(), len);
            if (piece >= pieceSha->size() || one.Hex() != (*pieceSha)[piece]) {
                const uint32_t lba0 = static_cast<uint32_t>(start + offset / kSector);
                const uint32_t sectors = static_cast<uint32_t>((len + kSector - 1) / kSector);
                out.kind = Outcome::Differs;
                out.differences = 1;
                out.bytes = offset;
                out.message = Say(Msg::VerifyDiffersIn, {t.name, name, std::to_string(lba0),
                                                         std::to_string(lba0 + sectors - 1)});
                return out;
            }
        }
        if (wantSha) all.Update(buf.data(), len);
        offset += len;
    }
    out.bytes = bytes;
    if (wantSha) out.sha256 = all.Hex();
    return out;
}

// How the reading of the image ended.
struct ImageRead {
    uint64_t bytes = 0;  // read and handed on
    bool whole = false;  // read to its end, without an error or a stop
    std::string error;   // why it could not be read
    std::string sha;     // of the whole image, when asked for
};

// The image read once, each piece handed to every card still taking pieces,
// until its end, an error, a stop, or no card takes any more; then every
// queue ended. pieceSha: each piece's SHA-256 kept with it (for a read-back).
void FanOut(imagefile::Reader &src, const std::string &name, std::vector<std::unique_ptr<CardQueue>> &queues,
            bool hash, bool pieceSha, ImageRead *end)
{
    Sha256 sha;
    bool ended = false;
    while (StopSignal.load() == 0) {
        auto piece = std::make_shared<Piece>();
        piece->data.resize(kPieceBytes);
        size_t got = 0;
        while (got < kPieceBytes) {
            const ssize_t r = src.Read(piece->data.data() + got, kPieceBytes - got);
            if (r < 0) {
                end->error = Say(Msg::SourceFailed, {name, src.Error()});
                break;
            }
            if (r == 0) {
                ended = true;
                break;
            }
            got += static_cast<size_t>(r);
        }
        if (!end->error.empty() || got == 0) break;
        piece->data.resize(got);
        if (hash) sha.Update(piece->data.data(), got);
        if (pieceSha) {
            Sha256 one;
            one.Update(piece->data.data(), got);
            piece->sha = one.Hex();
        }
        end->bytes += got;
        bool anyone = false;
        const PiecePtr shared = piece;
        for (auto &q : queues) anyone |= q->Push(shared);
        if (!anyone || ended) break;
    }
    end->whole = end->error.empty() && ended && StopSignal.load() == 0;
    if (end->whole && hash) end->sha = sha.Hex();
    for (auto &q : queues) q->End(end->error);
}

// One card's write: pieces from its queue onto the card, then its read-back.
Outcome WriteOne(const CardWork &c, uint32_t start, CardQueue &q, const std::string &name, bool verify,
                 unsigned retries, CardState &state)
{
    const auto t0 = std::chrono::steady_clock::now();
    Outcome out;
    std::vector<std::string> pieceSha;
    std::vector<uint8_t> tail(kSector);
    uint64_t offset = 0;
    state.phase = Writing;
    bool stop = false;
    while (!stop) {
        PiecePtr p = q.Pop();
        if (!p) break;
        const size_t len = p->data.size();
        // An image that goes on past the card: written up to the card's end, and no further.
        const size_t fits = static_cast<size_t>(std::min<uint64_t>(len, c.room - offset));
        const size_t whole = fits / kSector;
        uint32_t lba = static_cast<uint32_t>(start + offset / kSector);
        const BlockResult r = DoRun(Op::Write, c.target, lba, static_cast<uint32_t>(whole),
                                    const_cast<uint8_t *>(p->data.data()), retries, [&](uint32_t moved) {
                                        out.bytes += uint64_t(moved) * kSector;
                                        state.done = out.bytes;
                                    });
        lba += r.done;
        if (r.failed) {
            RecordFailure(Op::Write, c.target, r, &out);
            stop = true;
        } else if (r.stopped) {
            out.kind = Outcome::Stopped;
            stop = true;
        }
        if (stop) break;
        const size_t rest = fits % kSector;
        if (rest != 0) {
            // The image ends inside this sector: the card keeps the sector's bytes beyond it.
            BlockResult r = DoBlock(Op::Read, c.target, lba, 1, tail.data(), retries);
            if (!r.failed) {
                std::memcpy(tail.data(), p->data.data() + whole * kSector, rest);
                r = DoBlock(Op::Write, c.target, lba, 1, tail.data(), retries);
            }
            if (r.failed) {
                RecordFailure(Op::Write, c.target, r, &out);
                break;
            }
            out.bytes += rest;
        }
        if (fits < len) {
            out.kind = Outcome::Failed;
            out.message = Say(Msg::ImageBeyond, {name, c.target.name, std::to_string(start),
                                                 std::to_string(c.room / kSector), std::to_string(out.bytes)});
            break;
        }
        pieceSha.push_back(p->sha);
        offset += len;
        state.done = offset;
    }
    q.Close();
    if (out.kind == Outcome::Done) {
        const std::string why = q.Error();
        if (!why.empty()) {
            out.kind = Outcome::Failed;
            out.message = why;
        } else if (StopSignal.load() != 0) {
            out.kind = Outcome::Stopped;
        }
    }
    if (out.kind == Outcome::Done && verify) {
        state.phase = Verifying;
        Outcome v = ReadBack(c.target, start, offset, retries, state, &pieceSha, name, false);
        if (v.kind != Outcome::Done) {
            v.bytes = out.bytes;
            out = v;
        }
    }
    out.seconds = SecondsSince(t0);
    state.result = out.kind;
    state.phase = Finished;
    return out;
}

// One card against the pieces from its queue, read up to its first byte that
// differs (kept in *first) or its end. A card that ends before the image is
// trouble, whatever it holds: the pieces past its end are only counted, unless
// the image states its length.
Outcome CompareOne(const CardWork &c, uint32_t start, CardQueue &q, const std::string &name,
                   const imagefile::Length &length, unsigned retries, CardState &state, Difference *first)
{
    const auto t0 = std::chrono::steady_clock::now();
    const bool known = length.kind == imagefile::Length::Exact;
    Outcome out;
    Bytes buf(kPieceBytes);
    uint64_t offset = 0;  // compared and equal
    uint64_t seen = 0;    // of the image
    bool differs = false;
    state.phase = Comparing;
    for (;;) {
        if (known && (differs || offset == c.room)) break;
        PiecePtr p = q.Pop();
        if (!p) break;
        const size_t len = p->data.size();
        seen += len;
        if (differs || offset == c.room) continue;
        const size_t fits = static_cast<size_t>(std::min<uint64_t>(len, c.room - offset));
        if (!ReadSpan(c.target, start, offset, fits, buf.data(), retries, state, &out)) break;
        if (std::memcmp(buf.data(), p->data.data(), fits) != 0) {
            size_t i = 0;
            while (buf[i] == p->data[i]) ++i;
            const uint64_t at = offset + i;
            *first = Difference{0, uint64_t(start) * kSector + at, static_cast<uint32_t>(start + at / kSector), buf[i],
                                p->data[i]};
            out.kind = Outcome::Differs;
            out.differences = 1;
            out.bytes = at + 1;
            differs = true;
        } else {
            offset += fits;
            out.bytes = offset;
        }
    }
    q.Close();
    if (out.kind == Outcome::Done || out.kind == Outcome::Differs) {
        const std::string why = q.Error();
        const uint64_t image = known ? length.bytes : seen;
        if (!why.empty()) {
            out.kind = Outcome::Failed;
            out.message = why;
        } else if (StopSignal.load() != 0) {
            out.kind = Outcome::Stopped;
        } else if (image > c.room) {
            out.kind = Outcome::Failed;
            out.message = Say(Msg::CompareCardEnds, {c.target.name, name, std::to_string(image - c.room)});
        }
    }
    out.seconds = SecondsSince(t0);
    state.result = out.kind;
    state.phase = Finished;
    return out;
}

}  // namespace

std::vector<Outcome> WriteCards(const std::vector<CardWork> &cards, uint32_t start, imagefile::Reader &src,
                                const std::string &name, bool verify, bool hash, unsigned retries,
                                uint64_t *imageBytes, std::string *imageSha, std::vector<CardProgress> *progress)
{
    std::vector<Outcome> outs(cards.size());
    std::vector<CardState> own(progress != nullptr ? 0 : cards.size());
    std::vector<CardState> &states = progress != nullptr ? *progress : own;
    std::vector<std::unique_ptr<CardQueue>> queues;
    for (size_t i = 0; i < cards.size(); ++i) {
        queues.push_back(std::make_unique<CardQueue>());
        const imagefile::Length len = src.length();
        states[i].total = len.kind == imagefile::Length::Unknown ? cards[i].room : std::min(len.bytes, cards[i].room);
    }
    *imageBytes = 0;
    imageSha->clear();
    std::vector<std::thread> workers;
    for (size_t i = 0; i < cards.size(); ++i)
        workers.emplace_back([&, i] { outs[i] = WriteOne(cards[i], start, *queues[i], name, verify, retries, states[i]); });

    ImageRead end;
    std::thread reader([&] { FanOut(src, name, queues, hash, verify, &end); });

    CardLines lines(cards, states);
    Watch(workers, states, lines);
    reader.join();
    if (end.whole) {
        *imageBytes = end.bytes;
        *imageSha = end.sha;
    }
    if (!imageSha->empty())
        for (Outcome &o : outs)
            if (o.kind == Outcome::Done) o.sha256 = *imageSha;
    return outs;
}

std::vector<Outcome> HashCards(const std::vector<CardWork> &cards, uint32_t start, unsigned retries)
{
    std::vector<Outcome> outs(cards.size());
    std::vector<CardState> states(cards.size());
    std::vector<std::thread> workers;
    for (size_t i = 0; i < cards.size(); ++i) {
        workers.emplace_back([&, i] {
            const auto t0 = std::chrono::steady_clock::now();
            states[i].phase = Hashing;
            outs[i] = ReadBack(cards[i].target, start, cards[i].room, retries, states[i], nullptr, "", true);
            outs[i].seconds = SecondsSince(t0);
            states[i].result = outs[i].kind;
            states[i].phase = Finished;
        });
    }
    CardLines lines(cards, states);
    Watch(workers, states, lines);
    return outs;
}

std::vector<Outcome> CompareCards(const std::vector<CardWork> &cards, uint32_t start, imagefile::Reader &src,
                                  const std::string &name, unsigned retries, std::vector<Difference> *first,
                                  std::string *sourceError)
{
    std::vector<Outcome> outs(cards.size());
    std::vector<CardState> states(cards.size());
    std::vector<std::unique_ptr<CardQueue>> queues;
    const imagefile::Length length = src.length();
    first->assign(cards.size(), Difference{});
    for (size_t i = 0; i < cards.size(); ++i) {
        queues.push_back(std::make_unique<CardQueue>());
        states[i].total = length.kind == imagefile::Length::Exact ? std::min(length.bytes, cards[i].room) : cards[i].room;
    }
    std::vector<std::thread> workers;
    for (size_t i = 0; i < cards.size(); ++i)
        workers.emplace_back([&, i] {
            outs[i] = CompareOne(cards[i], start, *queues[i], name, length, retries, states[i], &(*first)[i]);
            (*first)[i].target = i;
        });
    ImageRead end;
    std::thread reader([&] { FanOut(src, name, queues, false, false, &end); });
    CardLines lines(cards, states);
    Watch(workers, states, lines);
    reader.join();
    *sourceError = end.error;
    return outs;
}
