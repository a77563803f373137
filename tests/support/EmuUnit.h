// An emulated TVQ-210CF or TVQ-206 that answers at the SCSI generic boundary:
// it receives the filled sg_io_hdr of every SG_IO and answers as a USB unit
// whose targets are the LUNs of one host would, from the layouts of SPC
// (INQUIRY, READ BUFFER, TEST UNIT READY), SBC (READ CAPACITY(10), READ(10),
// WRITE(10), START STOP UNIT, SYNCHRONIZE CACHE(10)) and SAT (ATA
// PASS-THROUGH(16) IDENTIFY DEVICE). Every field it is handed is checked:
// opcode, CDB length, reserved bytes, big-endian LBA and length, direction,
// dxfer_len, timeout, sense buffer. A field it does not expect is recorded
// as a violation (tests fail on any) and answered with ILLEGAL REQUEST.
//
// The cards are image files. The VD answers for the lowest slot holding a
// card; a write to it goes to every card in.
//
// EmuSystem is the whole machine as the backend sees it: the units, plus
// other SCSI devices (a disk, an optical drive) on their own hosts.
#pragma once

#include "Port.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct sg_io_hdr;

namespace tvqtest {

enum class EmuModel { Tvq210CF, Tvq206 };

struct EmuFault {
    enum Kind {
        NoMedium,     // 02/3A/00 although a card is in
        ReadError,    // 03/11/00 for a READ(10) that touches [first, last]
        WriteError,   // 03/0C/00 for a WRITE(10) that touches [first, last]
        AtaRefused,   // ATA PASS-THROUGH answered 05/20/00
        Timeout,      // the command never completes: DID_TIME_OUT after its timeout
        Short,        // a READ(10)/WRITE(10) that moves one block less, status GOOD
        NoDevice,     // the unit is unplugged during the command (a READ(10)/WRITE(10) touching [first, last]): ENODEV
    };
    Kind kind = NoMedium;
    int slot = -1;                 // -1: every target; 0: the VD
    uint32_t first = 0, last = 0xFFFFFFFFu;
    int times = -1;                // -1: always; else the next n commands it meets
};

class EmuUnit {
public:
    // dir holds the card images (slot<N>.img). host: the SCSI host number.
    EmuUnit(EmuModel model, bool vdLast, std::string dir, int host);

    int Targets() const { return model_ == EmuModel::Tvq210CF ? 11 : 7; }
    int Slots() const { return Targets() - 1; }
    int LunOfSlot(int slot) const;   // slot 0 = VD
    int SlotOfLun(int lun) const;
    int Host() const { return host_; }

    // A blank (patterned when seed != 0) card of that many sectors; a unit
    // attention (06/28/00) waits on its target and on the VD.
    std::string Insert(int slot, uint32_t sectors, uint32_t seed = 0);
    // An image the test made.
    void InsertImage(int slot, const std::string &path);
    // A card held in memory: transfers make no system call (for benchmarks).
    void InsertMemory(int slot, uint32_t sectors);
    void Pull(int slot);
    bool HasCard(int slot) const;
    std::string ImagePath(int slot) const;
    void SetConnected(bool on) { connected_ = on; }
    // The unit counts as unplugged while this file exists (other processes pull the cable).
    void SetUnplugFile(const std::string &path) { unplugFile_ = path; }
    bool Connected() const;
    // The IDENTIFY DEVICE answer of the cards: PIO mode, IORDY.
    void SetCardTiming(int pioMode, bool iordy) { pio_ = pioMode, iordy_ = iordy; }
    void SetBridgeProduct(const std::string &s) { usbProduct_ = s; }
    const std::string &BridgeProduct() const { return usbProduct_; }
    // The disk node of a target counts as mounted (the system uses it).
    void SetMounted(int slot, bool on);

    void AddFault(const EmuFault &f) { faults_.push_back(f); }
    void ClearFaults() { faults_.clear(); }

    // Answers one SG_IO on a LUN: 0 or -errno, as the ioctl would.
    int Answer(int lun, sg_io_hdr *h);

    // Opcodes received per LUN, in order.
    std::vector<uint8_t> Received(int lun) const;
    size_t Count(uint8_t opcode) const;
    void ClearReceived();
    const std::vector<std::string> &Violations() const { return violations_; }
    bool Mounted(int lun) const { return mounted_.count(lun) > 0; }

private:
    struct Card {
        std::string path;               // "" for a card in memory
        uint64_t sectors = 0;
        std::vector<uint8_t> bytes;     // the card in memory
    };
    void Violation(const std::string &what);
    const Card *CardOf(int slot) const;
    const Card *MirroredCard() const;
    bool Fire(EmuFault::Kind kind, int slot, uint64_t lba = 0, uint64_t count = 1);
    int Check(sg_io_hdr *h, uint8_t key, uint8_t asc, uint8_t ascq);

    EmuModel model_;
    bool vdLast_;
    std::string dir_;
    int host_;
    bool connected_ = true;
    std::string unplugFile_;
    int pio_ = 4;
    bool iordy_ = true;
    std::string usbProduct_ = "TVQ-MTX";
    std::map<int, Card> cards_;          // by slot
    std::set<int> attention_;            // LUNs with a unit attention waiting
    std::set<int> mounted_;              // LUNs
    std::vector<EmuFault> faults_;
    std::vector<std::pair<int, uint8_t>> received_;
    std::vector<std::string> violations_;
};

class EmuSystem : public sg::Port {
public:
    EmuSystem();
    ~EmuSystem() override;
    // Forgets every unit and device (between tests).
    void Reset();
    EmuUnit &AddUnit(EmuModel model, bool vdLast, const std::string &dir);
    // Another SCSI device on its own host: type 0 disk or 5 optical drive.
    void AddOtherDevice(int type, const std::string &vendor, const std::string &product);
    EmuUnit &Unit(size_t i) { return *units_.at(i); }
    // Every violation of every unit and device so far.
    std::vector<std::string> Violations() const;
    // Descriptors open now (each Open without its Close).
    int OpenCount() const { return static_cast<int>(open_.size()); }
    int DiskHolds() const { return static_cast<int>(holds_.size()); }

    std::vector<sg::Node> List() override;
    int Open(const std::string &sgPath) override;
    int Io(int fd, sg_io_hdr *hdr) override;
    void Close(int fd) override;
    std::string DiskRefusal(const sg::Node &node) override;
    int HoldDisk(const sg::Node &node) override;
    void ReleaseDisk(int fd) override;

private:
    struct Other {
        int host, type;
        std::string vendor, product;
    };
    struct Where {
        int unit = -1, lun = 0, other = -1;
    };
    bool Locate(const std::string &sgPath, Where *w);
    int AnswerOther(const Other &o, sg_io_hdr *h);

    mutable std::recursive_mutex mu_;
    std::vector<std::unique_ptr<EmuUnit>> units_;
    std::vector<Other> others_;
    std::map<int, Where> open_;          // fd -> target
    std::map<int, std::string> holds_;   // fd -> disk node
    std::vector<std::string> otherViolations_;
    int nextFd_ = 1000;
    int nextHost_ = 2;
};

// The process's emulated machine, which the library finds as qevcrdio_sg_port.
EmuSystem &Emu();

}  // namespace tvqtest
