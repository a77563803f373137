// One fresh virtual bus per test, with the real pass-through library loaded
// and the unit state back at its start-up values.
#pragma once

#include "VirtualBus.h"
#include "scsiio.h"
#include "tvq2xx.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

class BusTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string why;
        ASSERT_TRUE(LoadScsiLibraryFrom(REAL_LIBRARY_PATH, &why)) << why;
    }
    // The library stays loaded to the end of the process, as in the program:
    // unloading it would only turn its bus cache into leak reports.

    void SetUp() override
    {
        bus = std::make_unique<tvqtest::VirtualBus>();
        std::memset(&SlotTable, 0, sizeof(SlotTable));
        std::memset(&UnitInfo, 0, sizeof(UnitInfo));
        DeviceCount = ModelKind = TrueIdeMode = VdAtEnd = VdIndex = MasterSlotIndex = 0;
    }
    void TearDown() override { bus.reset(); }

    // A rule that changes nothing and counts the scans that reach the unit.
    uint32_t CountScans(const std::string &unit)
    {
        vbus::FaultRule r;
        r.ops = vbus::OpScan;
        r.count = vbus::Count::Always;
        r.effect = vbus::Effect::Delay;
        r.arg = 0;
        return bus->SetFault(unit, r);
    }
    uint64_t Hits(const std::string &unit, uint32_t id)
    {
        for (const auto &r : bus->Bus().Faults(unit))
            if (r.id == id)
                return r.hits;
        return 0;
    }
    // A failing rule on one kind of call.
    uint32_t Fail(const std::string &unit, uint32_t ops, int slot = vbus::kAnySlot)
    {
        vbus::FaultRule r;
        r.ops = ops;
        r.slot = slot;
        r.count = vbus::Count::Always;
        r.effect = vbus::Effect::Sense;
        r.key = 0x04;
        r.asc = 0x44;
        r.ascq = 0x00;
        return bus->SetFault(unit, r);
    }

    std::unique_ptr<tvqtest::VirtualBus> bus;
};
