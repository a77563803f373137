// One block of a run on a card: a READ(10) or WRITE(10) of up to
// kBlockSectors through the device layer. A block that fails with a medium
// error is done again sector by sector, so every good sector before the bad
// one is moved and the bad one is named; only that sector is tried again, --retries times.
// Any other failure (card taken out or changed, unit unplugged, protected,
// in use) ends the block at once. A failure on the VD is put down to the
// card behind it that fails the same call.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The signal that asked the run to stop (SIGINT, SIGTERM, SIGHUP), 0 if none.
extern std::atomic<int> StopSignal;

enum class Op { Read, Write };

struct CardRef {
    uint32_t slot;     // slot number (1 = master)
    uint32_t index;    // SlotTable index
    std::string name;  // "slot3"
};

struct Target {
    uint32_t index;    // SlotTable index
    std::string name;  // for messages: "slot3", "vd"
    // The VD only: the cards it reaches (a read: the card it mirrors; a
    // write: every card), which must stay in their slots for the whole run.
    std::vector<CardRef> cards;
};

struct BlockResult {
    uint32_t done = 0;     // sectors moved from the block's first one on
    bool failed = false;   // sector lba failed; done sectors before it were moved
    bool stopped = false;  // a stop signal ended the block early (while retrying, or between sectors)
    uint32_t lba = 0;      // the failing sector
    int32_t code = 0;      // the library's result for it
    unsigned tries = 0;    // calls made on it
    std::string card;      // VD: the card(s) the failure is put down to
};

// Sectors of one block: a virtual unit takes more than the program's 128 a
// call, and fewer, larger calls copy the same bytes in less time. A real
// unit refuses them unsent; from its first refusal on, blocks are of 128.
constexpr uint32_t kBlockSectors = 2048;

BlockResult DoBlock(Op op, const Target &t, uint32_t lba, uint32_t count, uint8_t *buf, unsigned retries);

// count sectors from lba on, block after block, until one fails or a stop is
// asked for (stopped, also between blocks). done counts every sector moved;
// after(n) is told each block's n. The other fields are the failing block's.
BlockResult DoRun(Op op, const Target &t, uint32_t lba, uint32_t count, uint8_t *buf, unsigned retries,
                  const std::function<void(uint32_t)> &after = nullptr);

// For a VD run: whether the cards it reaches are all still in their slots
// (and, for a read, still the one the VD shows). Fills r as a failure at lba
// when not. Image and single-slot targets always pass.
bool VdCardsStay(Op op, const Target &t, uint32_t lba, BlockResult *r);

// "reading the card in slot2 failed at sector 700 (after 4 tries): medium error: ..."
std::string FailureText(Op op, const Target &t, const BlockResult &r);
