// Real units through SCSI generic, behind the library's backend interface.
// A scan lists the nodes (Port), groups the LUNs of each host into a unit,
// asks each for INQUIRY and offers it to the caller's filter. Targets keep
// their node open between calls; written data is flushed (SYNCHRONIZE CACHE)
// at eject, at the free calls and when the library is unloaded. Before the
// first write the disk nodes the write reaches are checked (not mounted, not
// swap, not the system) and held with O_EXCL until eject or free.
#pragma once

#include "Driver.h"
#include "Port.h"
#include "Tvq.h"
#include "Units.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sg {

class SgBackend : public qev::Driver {
public:
    static SgBackend &Get();
    static void Shutdown();
    explicit SgBackend(Port &port);
    ~SgBackend() override;

    const char *Name() const override { return "sg"; }
    int32_t Scan(QevScFilter filter, const char *nameFilter, QevSlotRecord *table) override;
    int32_t Lock(uint32_t target) override;
    int32_t Inquiry(uint32_t target, uint32_t allocLen, uint8_t *buffer) override;
    int32_t ReadBuffer(uint32_t target, uint32_t mode, uint32_t id, uint32_t offset, uint8_t *buffer,
                       uint32_t allocLen) override;
    int32_t DriveInfo(uint32_t target, QevSlotRecord *record) override;
    int32_t SlotStatus(uint32_t target, QevSlotStatus *status) override;
    int32_t Read(uint32_t target, uint32_t lba, uint32_t count, void *buffer, uint32_t bps) override;
    int32_t Write(uint32_t target, uint32_t lba, uint32_t count, const void *buffer, uint32_t bps) override;
    int32_t Eject(uint32_t target) override;
    int32_t Format(uint32_t target, QevSlotRecord *record) override;
    int32_t Free() override;
    int32_t FreeEx(uint32_t target) override;

private:
    struct Unit {
        std::string key, bridge, lockDir;
        std::vector<std::unique_ptr<Target>> luns;
        std::vector<int> holds;      // per LUN: the disk node held (O_EXCL), -1 none
        bool fwKnown = false;
        uint32_t flags = 0;          // the firmware block's unit flags
    };
    struct Ref {
        Unit *unit = nullptr;
        size_t lun = 0;
    };
    int32_t Resolve(uint32_t target, Ref *ref);
    // Unit flags from the firmware block, read once a scan.
    uint32_t Flags(Unit &u);
    bool VdLast(Unit &u) { return (Flags(u) & 0x200) != 0; }
    size_t LunOfSlot(Unit &u, int slot);   // slot 0 = VD
    int SlotOfLun(Unit &u, size_t lun);
    void Fill(uint32_t index, const Params *p, QevSlotRecord *rec);
    int32_t Params(Ref r, sg::Params *p);
    // Checks and holds the disk nodes a write to this LUN reaches.
    int32_t HoldFor(Unit &u, size_t lun);
    void Release(Unit &u, size_t lun);
    // Flushes what was written and lets the disk nodes go; false when a flush failed.
    bool Settle(Unit &u, size_t lun);
    bool SettleAll();

    Port &port_;
    std::recursive_mutex mu_;
    std::vector<std::unique_ptr<Unit>> units_;
    std::vector<Ref> targets_;
};

}  // namespace sg
