// Command descriptor blocks of the commands the backend sends, laid out as
// SPC (INQUIRY, READ BUFFER, TEST UNIT READY), SBC (READ CAPACITY(10),
// READ(10), WRITE(10), START STOP UNIT, SYNCHRONIZE CACHE(10)) and SAT
// (ATA PASS-THROUGH(16)) define them. Multi-byte fields are big-endian.
#pragma once

#include <cstdint>

namespace sg {

struct Cdb {
    uint8_t b[16] = {};
    uint8_t len = 0;
};

Cdb Inquiry(uint16_t allocLen);
Cdb ReadBuffer(uint8_t mode, uint8_t bufferId, uint32_t offset, uint32_t allocLen);
Cdb TestUnitReady();
Cdb ReadCapacity10();
Cdb Read10(uint32_t lba, uint16_t blocks);
Cdb Write10(uint32_t lba, uint16_t blocks);
// LoEj with Start clear: unload the medium.
Cdb StartStopEject();
// The whole medium (LBA 0, 0 blocks), waiting for completion.
Cdb SynchronizeCache10();
// IDENTIFY DEVICE (ECh), PIO data-in, one 512-byte block.
Cdb AtaIdentify16();

// Readable form for the trace: "28 00 00 00 00 10 00 00 80 00".
void CdbHex(const Cdb &c, char *out, unsigned outLen);

}  // namespace sg
