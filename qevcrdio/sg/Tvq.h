// The commands the library sends to one target of a unit, each one SG_IO
// with the layout of Cdb.h: identification, the firmware block, presence of a
// card, capacity, transfers, flush and eject, and the card's ATA identity
// for its drive parameters. The node is opened at the first command and kept
// open; a node that went away is opened afresh on the next command.
#pragma once

#include "Command.h"
#include "Port.h"

#include <cstdint>
#include <string>

namespace sg {

// Drive parameters of a card as the record of drive information carries them.
struct Params {
    uint32_t cylinders = 0, heads = 0, totalSectors = 0, sectorsPerTrack = 0;
    uint32_t sectorSize = 512, waitCheck = 1, accessTiming = 250;
    bool fromIdentify = false;  // false: the defaults of an image of that size
};

// Drive parameters from IDENTIFY DEVICE data (256 little-endian words) and the
// capacity READ CAPACITY gave. trueIde: the unit's card interface runs in
// TrueIDE mode (AccessTiming is a PIO mode), else PC Card ATA (a cycle in ns).
Params ParamsFromIdentify(const uint16_t *words, uint32_t totalSectors, uint32_t sectorSize, bool trueIde);
// The defaults an image of that size gets on the virtual bus.
Params DefaultParams(uint32_t totalSectors, uint32_t sectorSize);

class Target {
public:
    Target(Port &port, Node node);
    ~Target();
    Target(const Target &) = delete;
    Target &operator=(const Target &) = delete;

    const Node &node() const { return node_; }

    int32_t Inquiry(uint8_t *out, uint16_t len);
    int32_t ReadBuffer(uint8_t mode, uint8_t id, uint32_t offset, uint8_t *out, uint32_t len);
    // 0 with a card in; 0x3A00002 (02/3A/xx packed as 02/3A/00) without. A unit
    // attention is asked past (at most twice).
    int32_t TestReady();
    int32_t Capacity(uint32_t *blocks, uint32_t *blockLen);
    int32_t Read(uint32_t lba, uint16_t count, void *buf, uint32_t bytes);
    int32_t Write(uint32_t lba, uint16_t count, const void *buf, uint32_t bytes);
    int32_t Sync();
    // Flushes the card's cache, then unloads it.
    int32_t Eject();
    // IDENTIFY DEVICE through ATA PASS-THROUGH(16): 256 words.
    int32_t Identify(uint16_t *words);
    // The card's drive parameters: IDENTIFY when the bridge passes it, else
    // the defaults for its capacity. 0, QEV_E_NO_MEDIUM or another failure.
    int32_t DriveParams(bool trueIde, Params *p);

    // Writes since the last flush.
    bool Dirty() const { return dirty_; }
    // Closes the node (the next command opens it again).
    void Close();

private:
    int32_t Run(const Cdb &cdb, Dir dir, void *buf, uint32_t len, uint32_t timeoutMs);

    Port &port_;
    Node node_;
    int fd_ = -1;
    bool dirty_ = false;
    bool ataRefused_ = false;  // the bridge answered ATA PASS-THROUGH with ILLEGAL REQUEST
};

}  // namespace sg
