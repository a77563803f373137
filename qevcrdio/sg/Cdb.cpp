#include "Cdb.h"

#include <cstdio>

namespace sg {

namespace {

void Be16(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void Be24(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 16);
    Be16(p + 1, v);
}

void Be32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    Be24(p + 1, v);
}

Cdb Make(uint8_t op, uint8_t len)
{
    Cdb c;
    c.b[0] = op;
    c.len = len;
    return c;
}

Cdb Rw10(uint8_t op, uint32_t lba, uint16_t blocks)
{
    Cdb c = Make(op, 10);
    Be32(c.b + 2, lba);
    Be16(c.b + 7, blocks);
    return c;
}

}  // namespace

Cdb Inquiry(uint16_t allocLen)
{
    Cdb c = Make(0x12, 6);
    Be16(c.b + 3, allocLen);
    return c;
}

Cdb ReadBuffer(uint8_t mode, uint8_t bufferId, uint32_t offset, uint32_t allocLen)
{
    Cdb c = Make(0x3C, 10);
    c.b[1] = mode & 0x1F;
    c.b[2] = bufferId;
    Be24(c.b + 3, offset);
    Be24(c.b + 6, allocLen);
    return c;
}

Cdb TestUnitReady()
{
    return Make(0x00, 6);
}

Cdb ReadCapacity10()
{
    return Make(0x25, 10);
}

Cdb Read10(uint32_t lba, uint16_t blocks)
{
    return Rw10(0x28, lba, blocks);
}

Cdb Write10(uint32_t lba, uint16_t blocks)
{
    return Rw10(0x2A, lba, blocks);
}

Cdb StartStopEject()
{
    Cdb c = Make(0x1B, 6);
    c.b[4] = 0x02;  // LOEJ=1, START=0
    return c;
}

Cdb SynchronizeCache10()
{
    return Make(0x35, 10);
}

Cdb AtaIdentify16()
{
    Cdb c = Make(0x85, 16);
    c.b[1] = 4 << 1;  // PROTOCOL 4: PIO data-in; EXTEND 0
    // T_DIR from the device, BYT_BLOK in blocks, T_LENGTH in the COUNT field.
    c.b[2] = 0x08 | 0x04 | 0x02;
    c.b[6] = 1;       // COUNT: one block
    c.b[14] = 0xEC;   // IDENTIFY DEVICE
    return c;
}

void CdbHex(const Cdb &c, char *out, unsigned outLen)
{
    unsigned pos = 0;
    if (outLen) out[0] = 0;
    for (unsigned i = 0; i < c.len && pos + 4 <= outLen; ++i)
        pos += static_cast<unsigned>(std::snprintf(out + pos, outLen - pos, i ? " %02x" : "%02x", c.b[i]));
}

}  // namespace sg
