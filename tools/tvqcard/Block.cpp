#include "Block.h"

#include "Messages.h"
#include "Sense.h"
#include "UnitState.h"
#include "qevcrdio.h"
#include "tvq2xx.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

std::atomic<int> StopSignal{0};

namespace {

constexpr uint32_t kSector = 512;
// What the library takes a call, learnt from the first call it refuses.
std::atomic<uint32_t> blockLimit{kBlockSectors};

bool Call(Op op, uint32_t index, uint32_t lba, uint32_t count, uint8_t *buf)
{
    return op == Op::Read ? ReadRun(index, lba, count, buf) : WriteRun(index, lba, count, buf);
}

// One call, tried again while it fails with a medium error, up to retries more
// times or until a stop signal. The library's last result (0: done).
int32_t Tried(Op op, const Target &t, uint32_t lba, uint32_t count, uint8_t *buf, unsigned retries,
              unsigned *tries, bool *stopped)
{
    for (unsigned attempt = 0;; ++attempt) {
        ++*tries;
        if (Call(op, t.index, lba, count, buf)) return 0;
        const int32_t code = LastDeviceResult();
        if (!Retryable(code) || attempt >= retries) return code;
        if (StopSignal.load() != 0) {
            *stopped = true;
            return code;
        }
        std::fprintf(stderr, "tvqcard: %s\n",
                     Say(Msg::Retrying, {t.name, std::to_string(lba), std::to_string(attempt + 1),
                                         std::to_string(retries)}).c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (StopSignal.load() != 0) {
            *stopped = true;
            return code;
        }
    }
}

// The cards behind the VD that fail the same call.
std::string Blame(Op op, const Target &t, uint32_t lba, uint32_t count, uint8_t *data)
{
    std::string who;
    std::vector<uint8_t> scratch(size_t(count) * kSector);
    for (const CardRef &c : t.cards) {
        // A write puts the same bytes on each card that the VD write would have.
        uint8_t *p = op == Op::Write ? data : scratch.data();
        if (Call(op, c.index, lba, count, p)) continue;
        who += (who.empty() ? "" : ", ") + c.name;
    }
    return who;
}

}  // namespace

BlockResult DoBlock(Op op, const Target &t, uint32_t lba, uint32_t count, uint8_t *buf, unsigned retries)
{
    if (count > blockLimit.load()) return DoRun(op, t, lba, count, buf, retries);
    BlockResult r;
    unsigned tries = 0;
    bool stopped = false;
    int32_t code = Tried(op, t, lba, count, buf, 0, &tries, &stopped);
    if (code == 0) {
        r.done = count;
        return r;
    }
    if (code == QEV_E_INVALID_FIELD && count > kMaxBlockSectors) {
        // A real unit takes the program's blocks and no more; it was sent nothing.
        blockLimit.store(kMaxBlockSectors);
        return DoRun(op, t, lba, count, buf, retries);
    }
    uint32_t at = 0;
    if (Retryable(code)) {
        // Sector by sector up to the bad one; a block that passes so had a passing fault.
        for (; at < count; ++at) {
            tries = 0;
            code = Tried(op, t, lba + at, 1, buf + size_t(at) * kSector, retries, &tries, &stopped);
            if (code != 0) break;
            if (StopSignal.load() != 0 && at + 1 < count) {
                r.done = at + 1;
                r.stopped = true;
                return r;
            }
        }
        if (at == count) {
            r.done = count;
            return r;
        }
    }
    r.done = at;
    r.failed = true;
    r.stopped = stopped;
    r.lba = lba + at;
    r.code = code;
    r.tries = tries;
    // A sector narrowed down is tried alone on each card, a block that failed otherwise as a whole.
    if (!t.cards.empty()) r.card = Blame(op, t, r.lba, Retryable(code) ? 1 : count, buf + size_t(at) * kSector);
    return r;
}

BlockResult DoRun(Op op, const Target &t, uint32_t lba, uint32_t count, uint8_t *buf, unsigned retries,
                  const std::function<void(uint32_t)> &after)
{
    uint32_t done = 0;
    while (done < count) {
        const uint32_t n = std::min(count - done, blockLimit.load());
        BlockResult r = DoBlock(op, t, lba + done, n, buf + size_t(done) * kSector, retries);
        done += r.done;
        if (after && r.done > 0) after(r.done);
        if (r.failed || r.stopped || StopSignal.load() != 0) {
            r.done = done;
            r.stopped = r.stopped || !r.failed;
            return r;
        }
    }
    BlockResult r;
    r.done = done;
    return r;
}

bool VdCardsStay(Op op, const Target &t, uint32_t lba, BlockResult *r)
{
    if (t.cards.empty()) return true;
    SlotStatusBlockType now{};
    int32_t code = 0;
    std::string who;
    if (!ReadSlotStatus(now)) {
        code = QEV_E_NO_TARGET;
    } else {
        for (const CardRef &c : t.cards) {
            if ((now.CardMask >> (c.slot - 1) & 1u) != 0) continue;
            code = QEV_E_NO_MEDIUM;
            who += (who.empty() ? "" : ", ") + c.name;
        }
        // A read comes from the card the VD shows: a card put into a lower slot takes its place.
        if (code == 0 && op == Op::Read && now.VdTarget + 1 != t.cards.front().slot) {
            code = QEV_E_MEDIUM_CHANGED;
            who = t.cards.front().name;
        }
    }
    if (code == 0) return true;
    r->failed = true;
    r->lba = lba;
    r->code = code;
    r->tries = 1;
    r->card = who;
    return false;
}

std::string FailureText(Op op, const Target &t, const BlockResult &r)
{
    std::string cause = Cause(r.code);
    if (!r.card.empty()) cause = Say(Msg::OnCard, {cause, r.card});
    std::string text;
    if (r.tries <= 1 && !Retryable(r.code))
        text = Say(op == Op::Read ? Msg::CardReadOnce : Msg::CardWriteOnce, {t.name, std::to_string(r.lba), cause});
    else
        text = Say(op == Op::Read ? Msg::CardRead : Msg::CardWrite,
                   {t.name, std::to_string(r.lba), std::to_string(r.tries), cause});
    if (r.stopped)
        text += "; " + Say(Msg::StoppedRetrying, {std::to_string(r.lba), t.name, std::to_string(r.tries)});
    return text;
}
