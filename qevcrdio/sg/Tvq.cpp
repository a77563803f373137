#include "Tvq.h"

#include "VBus.h"
#include "qevcrdio.h"

#include <cerrno>
#include <cstring>

namespace sg {

namespace {

uint32_t Be32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Cycle times of PIO modes 0-4 in ns (ATA/ATAPI).
constexpr uint32_t kPioCycleNs[5] = {600, 383, 240, 180, 120};

}  // namespace

Params DefaultParams(uint32_t totalSectors, uint32_t sectorSize)
{
    vbus::DriveParams d = vbus::DefaultDriveParams(static_cast<uint64_t>(totalSectors) * 512);
    Params p;
    p.cylinders = d.cylinders;
    p.heads = d.heads;
    p.totalSectors = totalSectors;
    p.sectorsPerTrack = d.sectorsPerTrack;
    p.sectorSize = sectorSize;
    p.waitCheck = d.waitCheck;
    p.accessTiming = d.accessTiming;
    p.fromIdentify = false;
    return p;
}

Params ParamsFromIdentify(const uint16_t *w, uint32_t totalSectors, uint32_t sectorSize, bool trueIde)
{
    Params p = DefaultParams(totalSectors, sectorSize);
    // Default geometry (words 1, 3, 6), when the card gives one that makes sense.
    if (w[1] > 0 && w[3] > 0 && w[3] <= 16 && w[6] > 0 && w[6] <= 63) {
        p.cylinders = w[1];
        p.heads = w[3];
        p.sectorsPerTrack = w[6];
    }
    // Word 49 bit 11: IORDY supported.
    p.waitCheck = (w[49] >> 11) & 1;
    // Highest PIO mode: words 64-70 valid (word 53 bit 1) and advanced modes 3, 4 in word 64; else word 51.
    uint32_t mode = (w[51] >> 8) & 0xFF;
    if (mode > 2) mode = 0;
    if (w[53] & 0x0002) {
        if (w[64] & 0x0002) mode = 4;
        else if (w[64] & 0x0001) mode = 3;
    }
    if (trueIde) {
        p.accessTiming = mode;
    } else {
        // Word 68: minimum PIO cycle with IORDY, when given and plausible.
        uint32_t ns = kPioCycleNs[mode];
        if ((w[53] & 0x0002) && w[68] >= 80 && w[68] <= 2000) ns = w[68];
        p.accessTiming = ns;
    }
    p.fromIdentify = true;
    return p;
}

Target::Target(Port &port, Node node) : port_(port), node_(std::move(node)) {}

Target::~Target()
{
    Close();
}

void Target::Close()
{
    if (fd_ >= 0) port_.Close(fd_);
    fd_ = -1;
}

int32_t Target::Run(const Cdb &cdb, Dir dir, void *buf, uint32_t len, uint32_t timeoutMs)
{
    if (fd_ < 0) {
        int fd = port_.Open(node_.sgPath);
        if (fd < 0) {
            int e = -fd;
            return e == EACCES || e == EPERM ? QEV_E_NO_ACCESS : e == EBUSY ? QEV_E_HELD : QEV_E_NO_TARGET;
        }
        fd_ = fd;
    }
    int32_t rc = Exec(port_, fd_, node_.sgPath, cdb, dir, buf, len, timeoutMs);
    // A node that went away is looked for again next time.
    if (rc == QEV_E_NO_TARGET) Close();
    return rc;
}

int32_t Target::Inquiry(uint8_t *out, uint16_t len)
{
    return Run(sg::Inquiry(len), Dir::In, out, len, kShortTimeoutMs);
}

int32_t Target::ReadBuffer(uint8_t mode, uint8_t id, uint32_t offset, uint8_t *out, uint32_t len)
{
    if (len > 0xFFFFFF || offset > 0xFFFFFF) return QEV_E_INVALID_FIELD;
    return Run(sg::ReadBuffer(mode, id, offset, len), Dir::In, out, len, kShortTimeoutMs);
}

int32_t Target::TestReady()
{
    int32_t rc = Run(sg::TestUnitReady(), Dir::None, nullptr, 0, kShortTimeoutMs);
    // A unit attention (card changed, reset) is reported once; the second answer is the state.
    for (int i = 0; i < 2 && (rc & 0xFF) == 0x06; ++i)
        rc = Run(sg::TestUnitReady(), Dir::None, nullptr, 0, kShortTimeoutMs);
    // Every qualifier of 02/3A (tray open, tray closed...) means no card.
    if ((rc & 0xFF) == 0x02 && ((static_cast<uint32_t>(rc) >> 20) & 0xFF) == 0x3A) return QEV_E_NO_MEDIUM;
    return rc;
}

int32_t Target::Capacity(uint32_t *blocks, uint32_t *blockLen)
{
    uint8_t d[8] = {};
    int32_t rc = Run(sg::ReadCapacity10(), Dir::In, d, sizeof d, kShortTimeoutMs);
    if (rc) return rc;
    uint32_t last = Be32(d);
    // FFFFFFFFh asks for READ CAPACITY(16): no card of this unit is that large.
    if (last == 0xFFFFFFFFu) return QEV_E_HARDWARE;
    *blocks = last + 1;
    *blockLen = Be32(d + 4);
    return QEV_OK;
}

int32_t Target::Read(uint32_t lba, uint16_t count, void *buf, uint32_t bytes)
{
    return Run(sg::Read10(lba, count), Dir::In, buf, bytes, kIoTimeoutMs);
}

int32_t Target::Write(uint32_t lba, uint16_t count, const void *buf, uint32_t bytes)
{
    dirty_ = true;
    return Run(sg::Write10(lba, count), Dir::Out, const_cast<void *>(buf), bytes, kIoTimeoutMs);
}

int32_t Target::Sync()
{
    int32_t rc = Run(sg::SynchronizeCache10(), Dir::None, nullptr, 0, kSlowTimeoutMs);
    if (rc == QEV_OK) dirty_ = false;
    return rc;
}

int32_t Target::Eject()
{
    if (int32_t rc = Sync()) {
        // Nothing to flush without a card; anything else keeps the card in.
        if (rc != QEV_E_NO_MEDIUM) return rc;
    }
    return Run(sg::StartStopEject(), Dir::None, nullptr, 0, kSlowTimeoutMs);
}

int32_t Target::Identify(uint16_t *words)
{
    uint8_t raw[512];
    int32_t rc = Run(sg::AtaIdentify16(), Dir::In, raw, sizeof raw, kIoTimeoutMs);
    if (rc) return rc;
    for (int i = 0; i < 256; ++i) words[i] = static_cast<uint16_t>(raw[2 * i] | raw[2 * i + 1] << 8);
    return QEV_OK;
}

int32_t Target::DriveParams(bool trueIde, Params *p)
{
    uint32_t blocks = 0, blockLen = 0;
    int32_t rc = TestReady();
    if (rc == QEV_OK) rc = Capacity(&blocks, &blockLen);
    if (rc) return rc;
    uint16_t words[256];
    // Many USB bridges refuse ATA PASS-THROUGH: the card then gets the defaults
    // of its size, and the bridge is not asked again.
    if (!ataRefused_) {
        rc = Identify(words);
        if (rc == QEV_OK) {
            *p = ParamsFromIdentify(words, blocks, blockLen, trueIde);
            return QEV_OK;
        }
        if (rc == QEV_E_NO_TARGET) return rc;
        if ((rc & 0xFF) == 0x05) ataRefused_ = true;
    }
    *p = DefaultParams(blocks, blockLen);
    return QEV_OK;
}

}  // namespace sg
