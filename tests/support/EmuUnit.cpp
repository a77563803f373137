// Written from the command layouts of SPC-4, SBC-3 and SAT-3 and from the
// SCSI generic driver's sg_io_hdr, field by field.
#include "EmuUnit.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tvqtest {

namespace {

constexpr uint32_t kBlock = 512;
constexpr unsigned kMinTimeoutMs = 1000, kMaxTimeoutMs = 120000;
constexpr uint8_t kDidTimeOut = 0x03;
constexpr uint8_t kDriverSense = 0x08;

uint32_t Be(const uint8_t *p, int n)
{
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

void PutBe(uint8_t *p, uint32_t v, int n)
{
    for (int i = n - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

void PutLe(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void Text(uint8_t *p, const char *s, size_t n)
{
    std::memset(p, ' ', n);
    std::memcpy(p, s, std::min(n, std::strlen(s)));
}

std::string Hex(const uint8_t *p, int n)
{
    std::string s;
    char b[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02x" : "%02x", p[i]);
        s += b;
    }
    return s;
}

// CDB length by the group code in the opcode's top three bits.
int CdbLength(uint8_t op)
{
    switch (op >> 5) {
    case 0: return 6;
    case 1:
    case 2: return 10;
    case 4: return 16;
    case 5: return 12;
    default: return 0;
    }
}

// The 36 bytes of standard INQUIRY data.
void StandardInquiry(uint8_t *d, uint8_t type, bool removable, const char *vendor, const char *product,
                     const char *rev)
{
    std::memset(d, 0, 36);
    d[0] = type;                       // peripheral qualifier 0, device type
    d[1] = removable ? 0x80 : 0x00;    // RMB
    d[2] = 0x06;                       // version: SPC-4
    d[3] = 0x02;                       // response data format 2
    d[4] = 36 - 5;                     // additional length
    Text(d + 8, vendor, 8);
    Text(d + 16, product, 16);
    Text(d + 32, rev, 4);
}

// Checks the parts of the header every command shares.
struct HeaderCheck {
    std::vector<std::string> *out;
    const sg_io_hdr *h;
    void Fail(const std::string &s) const { out->push_back(s); }
    bool Run() const
    {
        size_t before = out->size();
        if (h->interface_id != 'S') Fail("interface_id not 'S'");
        if (!h->cmdp) Fail("no CDB");
        if (!h->sbp || h->mx_sb_len < 18) Fail("sense buffer missing or shorter than 18 bytes");
        if (h->timeout < kMinTimeoutMs || h->timeout > kMaxTimeoutMs)
            Fail("timeout " + std::to_string(h->timeout) + " ms out of 1..120 s");
        if (h->iovec_count != 0) Fail("scatter-gather list");
        if (h->flags != 0) Fail("flags " + std::to_string(h->flags));
        if (h->dxfer_len > 0 && !h->dxferp) Fail("data length without a buffer");
        if (h->cmdp && h->cmd_len != CdbLength(h->cmdp[0]))
            Fail("cmd_len " + std::to_string(h->cmd_len) + " for opcode " + Hex(h->cmdp, 1));
        return out->size() == before;
    }
};

}  // namespace

EmuUnit::EmuUnit(EmuModel model, bool vdLast, std::string dir, int host)
    : model_(model), vdLast_(vdLast), dir_(std::move(dir)), host_(host)
{
}

bool EmuUnit::Connected() const
{
    struct stat st;
    return connected_ && (unplugFile_.empty() || ::stat(unplugFile_.c_str(), &st) != 0);
}

int EmuUnit::LunOfSlot(int slot) const
{
    if (vdLast_) return slot == 0 ? Targets() - 1 : slot - 1;
    return slot;
}

int EmuUnit::SlotOfLun(int lun) const
{
    if (vdLast_) return lun == Targets() - 1 ? 0 : lun + 1;
    return lun;
}

std::string EmuUnit::Insert(int slot, uint32_t sectors, uint32_t seed)
{
    std::string path = dir_ + "/slot" + std::to_string(slot) + ".img";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return std::string();
    if (seed == 0) {
        if (::ftruncate(fd, static_cast<off_t>(sectors) * kBlock) != 0) path.clear();
    } else {
        std::vector<uint8_t> buf(64 * kBlock);
        uint64_t x = seed * 0x9E3779B97F4A7C15ull + 7;
        for (uint32_t s = 0; s < sectors && !path.empty(); s += 64) {
            uint32_t n = std::min<uint32_t>(64, sectors - s);
            for (size_t i = 0; i < buf.size(); i += 8) {
                x ^= x << 13, x ^= x >> 7, x ^= x << 17;
                std::memcpy(buf.data() + i, &x, 8);
            }
            if (::pwrite(fd, buf.data(), n * kBlock, static_cast<off_t>(s) * kBlock) != n * kBlock) path.clear();
        }
    }
    ::close(fd);
    if (!path.empty()) InsertImage(slot, path);
    return path;
}

void EmuUnit::InsertImage(int slot, const std::string &path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return;
    Card c;
    c.path = path;
    c.sectors = static_cast<uint64_t>(st.st_size) / kBlock;
    cards_[slot] = std::move(c);
    attention_.insert(LunOfSlot(slot));
    attention_.insert(LunOfSlot(0));
}

void EmuUnit::InsertMemory(int slot, uint32_t sectors)
{
    Card c;
    c.sectors = sectors;
    c.bytes.assign(static_cast<size_t>(sectors) * kBlock, 0);
    cards_[slot] = std::move(c);
    attention_.insert(LunOfSlot(slot));
    attention_.insert(LunOfSlot(0));
}

void EmuUnit::Pull(int slot)
{
    cards_.erase(slot);
}

bool EmuUnit::HasCard(int slot) const
{
    return cards_.count(slot) > 0;
}

std::string EmuUnit::ImagePath(int slot) const
{
    auto it = cards_.find(slot);
    return it == cards_.end() ? std::string() : it->second.path;
}

void EmuUnit::SetMounted(int slot, bool on)
{
    if (on) mounted_.insert(LunOfSlot(slot));
    else mounted_.erase(LunOfSlot(slot));
}

const EmuUnit::Card *EmuUnit::CardOf(int slot) const
{
    if (slot == 0) return MirroredCard();
    auto it = cards_.find(slot);
    return it == cards_.end() ? nullptr : &it->second;
}

const EmuUnit::Card *EmuUnit::MirroredCard() const
{
    for (int s = 1; s <= Slots(); ++s)
        if (cards_.count(s)) return &cards_.at(s);
    return nullptr;
}

void EmuUnit::Violation(const std::string &what)
{
    violations_.push_back(what);
}

bool EmuUnit::Fire(EmuFault::Kind kind, int slot, uint64_t lba, uint64_t count)
{
    for (auto &f : faults_) {
        if (f.kind != kind || f.times == 0) continue;
        if (f.slot >= 0 && f.slot != slot) continue;
        if (lba + count - 1 < f.first || lba > f.last) continue;
        if (f.times > 0) --f.times;
        return true;
    }
    return false;
}

int EmuUnit::Check(sg_io_hdr *h, uint8_t key, uint8_t asc, uint8_t ascq)
{
    // Fixed-format sense data, current error.
    uint8_t s[18] = {};
    s[0] = 0x70;
    s[2] = key;
    s[7] = 10;  // additional sense length
    s[12] = asc;
    s[13] = ascq;
    unsigned n = std::min<unsigned>(sizeof s, h->mx_sb_len);
    if (h->sbp) std::memcpy(h->sbp, s, n);
    h->sb_len_wr = static_cast<unsigned char>(h->sbp ? n : 0);
    h->status = 0x02;
    h->masked_status = 0x01;
    h->driver_status = kDriverSense;
    h->resid = static_cast<int>(h->dxfer_len);
    h->info = SG_INFO_CHECK;
    return 0;
}

std::vector<uint8_t> EmuUnit::Received(int lun) const
{
    std::vector<uint8_t> v;
    for (auto &r : received_)
        if (r.first == lun) v.push_back(r.second);
    return v;
}

size_t EmuUnit::Count(uint8_t op) const
{
    return static_cast<size_t>(
        std::count_if(received_.begin(), received_.end(), [op](const auto &r) { return r.second == op; }));
}

void EmuUnit::ClearReceived()
{
    received_.clear();
}

int EmuUnit::Answer(int lun, sg_io_hdr *h)
{
    if (!Connected()) return -ENODEV;
    h->status = h->masked_status = h->msg_status = 0;
    h->sb_len_wr = 0;
    h->host_status = h->driver_status = 0;
    h->resid = 0;
    h->duration = 1;
    h->info = 0;
    std::vector<std::string> bad;
    HeaderCheck hc{&bad, h};
    if (!hc.Run()) {
        for (auto &b : bad) Violation("LUN " + std::to_string(lun) + ": " + b);
        return h->cmdp && h->sbp ? Check(h, 0x05, 0x24, 0x00) : -EINVAL;
    }
    const uint8_t *c = h->cmdp;
    const uint8_t op = c[0];
    received_.emplace_back(lun, op);
    const int slot = SlotOfLun(lun);
    const std::string cdbText = "LUN " + std::to_string(lun) + " cdb [" + Hex(c, h->cmd_len) + "]: ";
    auto want = [&](bool ok, const std::string &what) {
        if (!ok) bad.push_back(cdbText + what);
    };
    auto dirIs = [&](int dir, uint32_t len) {
        want(h->dxfer_direction == dir, "data direction " + std::to_string(h->dxfer_direction));
        want(h->dxfer_len == len, "dxfer_len " + std::to_string(h->dxfer_len) + ", CDB implies " +
                                      std::to_string(len));
    };
    auto zero = [&](int from, int to) {
        for (int i = from; i <= to; ++i) want(c[i] == 0, "byte " + std::to_string(i) + " not 0");
    };
    want(c[h->cmd_len - 1] == 0, "CONTROL byte not 0");

    const Card *card = CardOf(slot);
    auto finishBad = [&]() {
        for (auto &b : bad) Violation(b);
        return Check(h, 0x05, 0x24, 0x00);
    };
    // A transfer meets the cable coming out only where its blocks lie.
    const bool transfer = (op == 0x28 || op == 0x2A) && h->cmd_len >= 10;
    if (Fire(EmuFault::NoDevice, slot, transfer ? Be(c + 2, 4) : 0, transfer ? std::max<uint32_t>(Be(c + 7, 2), 1) : 1)) {
        connected_ = false;  // the cable came out while the command ran
        return -ENODEV;
    }
    if (op != 0x12 && Fire(EmuFault::Timeout, slot)) {
        h->host_status = kDidTimeOut;
        h->duration = h->timeout;
        h->resid = static_cast<int>(h->dxfer_len);
        h->info = SG_INFO_CHECK;
        return 0;
    }

    switch (op) {
    case 0x12: {  // INQUIRY (SPC): EVPD 0, page code 0, allocation length
        want(c[1] == 0, "EVPD/obsolete bits set");
        want(c[2] == 0, "page code without EVPD");
        uint32_t alloc = Be(c + 3, 2);
        dirIs(SG_DXFER_FROM_DEV, alloc);
        if (!bad.empty()) return finishBad();
        uint8_t d[36];
        StandardInquiry(d, 0x00, true, "QEVRA", model_ == EmuModel::Tvq210CF ? "TVQ-210CF" : "TVQ-206", "2.10");
        uint32_t n = std::min<uint32_t>(alloc, sizeof d);
        std::memcpy(h->dxferp, d, n);
        h->resid = static_cast<int>(alloc - n);
        return 0;
    }
    case 0x3C: {  // READ BUFFER (SPC): mode 02h data, buffer ID, 24-bit offset, 24-bit length
        want((c[1] & 0x1F) == 0x02, "mode not 02h");
        want((c[1] & 0xE0) == 0, "mode specific bits set");
        want(c[2] == 0x04, "buffer ID not 04h");
        want(Be(c + 3, 3) == 0x1000, "buffer offset not 001000h");
        uint32_t alloc = Be(c + 6, 3);
        want(alloc == 128, "allocation length not 128");
        dirIs(SG_DXFER_FROM_DEV, alloc);
        if (!bad.empty()) return finishBad();
        uint8_t blk[128] = {};
        std::memcpy(blk, "T210", 4);
        PutLe(blk + 4, 0x20100);
        PutLe(blk + 8, 0x0001 | (vdLast_ ? 0x200 : 0));
        PutLe(blk + 12, model_ == EmuModel::Tvq210CF ? 0x0210CF01 : 0x02060001);
        PutLe(blk + 16, 0x20100);
        Text(blk + 32, "QEVRA", 8);
        Text(blk + 40, model_ == EmuModel::Tvq210CF ? "TVQ-210CF" : "TVQ-206", 16);
        std::memcpy(h->dxferp, blk, 128);
        return 0;
    }
    case 0x00:  // TEST UNIT READY (SPC): bytes 1-4 reserved
        zero(1, 4);
        dirIs(SG_DXFER_NONE, 0);
        if (!bad.empty()) return finishBad();
        break;
    case 0x25:  // READ CAPACITY(10) (SBC): LBA 0 and PMI 0
        zero(1, 8);
        dirIs(SG_DXFER_FROM_DEV, 8);
        if (!bad.empty()) return finishBad();
        break;
    case 0x28:    // READ(10)
    case 0x2A: {  // WRITE(10) (SBC): RDPROTECT/WRPROTECT, DPO, FUA 0; group 0
        want(c[1] == 0, "protection/DPO/FUA bits set");
        want(c[6] == 0, "group number set");
        uint32_t blocks = Be(c + 7, 2);
        want(blocks >= 1 && blocks <= 128, "transfer length " + std::to_string(blocks) + " not 1..128");
        dirIs(op == 0x28 ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV, blocks * kBlock);
        if (!bad.empty()) return finishBad();
        break;
    }
    case 0x1B:  // START STOP UNIT (SBC): IMMED 0, power condition 0, LOEJ 1 START 0
        want(c[1] == 0, "IMMED set");
        zero(2, 3);
        want(c[4] == 0x02, "not LOEJ=1 START=0");
        dirIs(SG_DXFER_NONE, 0);
        if (!bad.empty()) return finishBad();
        break;
    case 0x35:  // SYNCHRONIZE CACHE(10) (SBC): whole medium, IMMED 0
        want(c[1] == 0, "SYNC_NV/IMMED set");
        zero(2, 8);
        dirIs(SG_DXFER_NONE, 0);
        if (!bad.empty()) return finishBad();
        break;
    case 0x85: {  // ATA PASS-THROUGH(16) (SAT): IDENTIFY DEVICE, PIO data-in, one block
        want(c[1] == 0x08, "not PROTOCOL 4 (PIO data-in) without EXTEND and MULTIPLE_COUNT");
        want(c[2] == 0x0E, "not T_DIR=1 BYT_BLOK=1 T_LENGTH=2, OFF_LINE 0, CK_COND 0");
        zero(3, 5);
        want(c[6] == 1, "COUNT not 1");
        zero(7, 12);
        want(c[13] == 0 || c[13] == 0xA0, "DEVICE not 0 or A0h");
        want(c[14] == 0xEC, "COMMAND not ECh");
        dirIs(SG_DXFER_FROM_DEV, 512);
        if (!bad.empty()) return finishBad();
        if (Fire(EmuFault::AtaRefused, slot)) return Check(h, 0x05, 0x20, 0x00);
        break;
    }
    default:
        Violation(cdbText + "unexpected opcode");
        return Check(h, 0x05, 0x20, 0x00);
    }

    // Commands on the medium: a waiting unit attention first, then no medium.
    if (attention_.count(lun)) {
        attention_.erase(lun);
        return Check(h, 0x06, 0x28, 0x00);
    }
    if (!card || Fire(EmuFault::NoMedium, slot)) return Check(h, 0x02, 0x3A, 0x00);

    switch (op) {
    case 0x00: return 0;
    case 0x25: {
        uint8_t d[8];
        PutBe(d, static_cast<uint32_t>(card->sectors - 1), 4);
        PutBe(d + 4, kBlock, 4);
        std::memcpy(h->dxferp, d, 8);
        return 0;
    }
    case 0x28:
    case 0x2A: {
        uint32_t lba = Be(c + 2, 4), blocks = Be(c + 7, 2);
        bool write = op == 0x2A;
        // Every card the command reaches: a VD write goes to all of them.
        std::vector<const Card *> reach;
        if (write && slot == 0) {
            for (auto &kv : cards_) reach.push_back(&kv.second);
        } else {
            reach.push_back(card);
        }
        for (auto *r : reach)
            if (static_cast<uint64_t>(lba) + blocks > r->sectors) return Check(h, 0x05, 0x21, 0x00);
        if (Fire(write ? EmuFault::WriteError : EmuFault::ReadError, slot, lba, blocks))
            return Check(h, 0x03, write ? 0x0C : 0x11, 0x00);
        uint32_t moved = blocks;
        if (Fire(EmuFault::Short, slot, lba, blocks)) moved = blocks - 1;
        for (auto *r : reach) {
            if (r->path.empty()) {
                auto *mem = const_cast<uint8_t *>(r->bytes.data()) + static_cast<size_t>(lba) * kBlock;
                if (write) std::memcpy(mem, h->dxferp, moved * kBlock);
                else std::memcpy(h->dxferp, mem, moved * kBlock);
                continue;
            }
            int fd = ::open(r->path.c_str(), (write ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
            if (fd < 0) return Check(h, 0x04, 0x44, 0x00);
            ssize_t n = write ? ::pwrite(fd, h->dxferp, moved * kBlock, static_cast<off_t>(lba) * kBlock)
                              : ::pread(fd, h->dxferp, moved * kBlock, static_cast<off_t>(lba) * kBlock);
            ::close(fd);
            if (n != static_cast<ssize_t>(moved * kBlock)) return Check(h, 0x04, 0x44, 0x00);
        }
        h->resid = static_cast<int>((blocks - moved) * kBlock);
        return 0;
    }
    case 0x1B:
        if (slot == 0) {
            // The VD unloads the card it mirrors.
            for (auto it = cards_.begin(); it != cards_.end(); ++it)
                if (&it->second == card) {
                    cards_.erase(it);
                    break;
                }
        } else {
            cards_.erase(slot);
        }
        return 0;
    case 0x35: return 0;
    case 0x85: {
        // IDENTIFY DEVICE data of a CompactFlash card (ATA-style words, little-endian).
        uint16_t w[256] = {};
        uint32_t total = static_cast<uint32_t>(std::min<uint64_t>(card->sectors, 0x0FFFFFFF));
        uint32_t heads = 16, spt = 63;
        if (total < 16 * 63 * 16) heads = 4, spt = 32;
        w[0] = 0x848A;  // CFA
        w[1] = static_cast<uint16_t>(std::min<uint32_t>(total / (heads * spt), 16383));
        w[3] = static_cast<uint16_t>(heads);
        w[6] = static_cast<uint16_t>(spt);
        w[49] = static_cast<uint16_t>(0x0200 | (iordy_ ? 0x0800 : 0));  // LBA, IORDY
        w[51] = static_cast<uint16_t>(std::min(pio_, 2) << 8);
        w[53] = 0x0003;
        w[64] = static_cast<uint16_t>(pio_ >= 4 ? 0x0003 : pio_ == 3 ? 0x0001 : 0);
        w[67] = w[68] = static_cast<uint16_t>(pio_ >= 4 ? 120 : pio_ == 3 ? 180 : 240);
        w[60] = static_cast<uint16_t>(total & 0xFFFF);
        w[61] = static_cast<uint16_t>(total >> 16);
        auto *out = static_cast<uint8_t *>(h->dxferp);
        for (int i = 0; i < 256; ++i) {
            out[2 * i] = static_cast<uint8_t>(w[i]);
            out[2 * i + 1] = static_cast<uint8_t>(w[i] >> 8);
        }
        return 0;
    }
    }
    return Check(h, 0x04, 0x44, 0x00);
}

// ---- the machine -------------------------------------------------------------

EmuSystem::EmuSystem() = default;
EmuSystem::~EmuSystem() = default;

void EmuSystem::Reset()
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    units_.clear();
    others_.clear();
    otherViolations_.clear();
    nextHost_ = 2;
}

EmuUnit &EmuSystem::AddUnit(EmuModel model, bool vdLast, const std::string &dir)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    units_.push_back(std::make_unique<EmuUnit>(model, vdLast, dir, nextHost_++));
    return *units_.back();
}

void EmuSystem::AddOtherDevice(int type, const std::string &vendor, const std::string &product)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    others_.push_back(Other{nextHost_++, type, vendor, product});
}

std::vector<std::string> EmuSystem::Violations() const
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    std::vector<std::string> all = otherViolations_;
    for (auto &u : units_) all.insert(all.end(), u->Violations().begin(), u->Violations().end());
    return all;
}

std::vector<sg::Node> EmuSystem::List()
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    // Listed in an order of its own (the kernel's is by sg number, not by host or LUN).
    std::vector<sg::Node> out;
    for (size_t o = 0; o < others_.size(); ++o) {
        sg::Node n;
        n.host = others_[o].host;
        n.sgPath = "/dev/sg" + std::to_string(n.host * 16);
        n.diskPath = others_[o].type == 0 ? "/dev/sd" + std::string(1, static_cast<char>('a' + o)) : "";
        n.diskSysName = n.diskPath.empty() ? "" : n.diskPath.substr(5);
        n.type = others_[o].type;
        n.unitKey = "host" + std::to_string(n.host);
        out.push_back(n);
    }
    for (auto &u : units_) {
        if (!u->Connected()) continue;
        for (int lun = u->Targets() - 1; lun >= 0; --lun) {
            sg::Node n;
            n.host = u->Host();
            n.lun = static_cast<uint64_t>(lun);
            n.sgPath = "/dev/sg" + std::to_string(n.host * 16 + lun);
            n.diskSysName = "sd" + std::string(1, static_cast<char>('a' + n.host)) +
                            std::string(1, static_cast<char>('a' + lun));
            n.diskPath = "/dev/" + n.diskSysName;
            n.usbProduct = u->BridgeProduct();
            n.unitKey = "host" + std::to_string(n.host) + " usb" + std::to_string(n.host);
            out.push_back(n);
        }
    }
    return out;
}

bool EmuSystem::Locate(const std::string &path, Where *w)
{
    for (auto &n : List()) {
        if (n.sgPath != path) continue;
        for (size_t i = 0; i < units_.size(); ++i)
            if (units_[i]->Host() == n.host) *w = Where{static_cast<int>(i), static_cast<int>(n.lun), -1};
        for (size_t i = 0; i < others_.size(); ++i)
            if (others_[i].host == n.host) *w = Where{-1, 0, static_cast<int>(i)};
        return true;
    }
    return false;
}

int EmuSystem::Open(const std::string &sgPath)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Where w;
    if (!Locate(sgPath, &w)) return -ENOENT;
    int fd = nextFd_++;
    open_[fd] = w;
    return fd;
}

int EmuSystem::Io(int fd, sg_io_hdr *h)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    auto it = open_.find(fd);
    if (it == open_.end()) return -EBADF;
    const Where &w = it->second;
    if (w.other >= 0) return AnswerOther(others_[static_cast<size_t>(w.other)], h);
    if (w.unit < 0 || static_cast<size_t>(w.unit) >= units_.size()) return -ENODEV;
    return units_[static_cast<size_t>(w.unit)]->Answer(w.lun, h);
}

int EmuSystem::AnswerOther(const Other &o, sg_io_hdr *h)
{
    // Another device answers INQUIRY only; the backend must send it nothing else.
    if (!h->cmdp || h->cmd_len != 6 || h->cmdp[0] != 0x12 || h->cmdp[1] != 0 || h->cmdp[2] != 0 ||
        h->dxfer_direction != SG_DXFER_FROM_DEV || h->dxfer_len != Be(h->cmdp + 3, 2) || !h->sbp ||
        h->mx_sb_len < 18 || h->timeout < kMinTimeoutMs || h->timeout > kMaxTimeoutMs) {
        otherViolations_.push_back("device " + o.vendor + ": unexpected command [" +
                                   (h->cmdp ? Hex(h->cmdp, h->cmd_len) : std::string()) + "]");
        return -EINVAL;
    }
    uint8_t d[36];
    StandardInquiry(d, static_cast<uint8_t>(o.type), o.type == 5, o.vendor.c_str(), o.product.c_str(), "1.00");
    uint32_t n = std::min<uint32_t>(h->dxfer_len, 36);
    std::memcpy(h->dxferp, d, n);
    h->status = 0;
    h->host_status = h->driver_status = 0;
    h->sb_len_wr = 0;
    h->resid = static_cast<int>(h->dxfer_len - n);
    return 0;
}

void EmuSystem::Close(int fd)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!open_.erase(fd)) otherViolations_.push_back("close of descriptor " + std::to_string(fd) + " not open");
}

std::string EmuSystem::DiskRefusal(const sg::Node &node)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    for (auto &u : units_)
        if (u->Host() == node.host && u->Mounted(static_cast<int>(node.lun)))
            return node.diskPath + " is mounted on /media/card";
    return std::string();
}

int EmuSystem::HoldDisk(const sg::Node &node)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (node.diskPath.empty()) return -ENODEV;
    for (auto &u : units_)
        if (u->Host() == node.host && u->Mounted(static_cast<int>(node.lun))) return -EBUSY;
    for (auto &kv : holds_)
        if (kv.second == node.diskPath) return -EBUSY;
    int fd = nextFd_++;
    holds_[fd] = node.diskPath;
    return fd;
}

void EmuSystem::ReleaseDisk(int fd)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!holds_.erase(fd)) otherViolations_.push_back("release of disk hold " + std::to_string(fd) + " not held");
}

EmuSystem &Emu()
{
    static EmuSystem *e = new EmuSystem;  // outlives the library's own clean-up at exit
    return *e;
}

}  // namespace tvqtest

// The library asks for this once; tests that link the emulation answer with it.
extern "C" __attribute__((visibility("default"))) sg::Port *qevcrdio_sg_port(void)
{
    return &tvqtest::Emu();
}
