// A fresh virtual bus for one test: made in a temporary directory, handed to
// the library through QEVCRDIO_BUS, removed (with every image in it) when the
// object goes. No Qt, so plain and Qt tests can both use it.
#pragma once

#include "VBus.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tvqtest {

using vbus::Model;

class VirtualBus {
public:
    // Makes the bus and sets QEVCRDIO_BUS to it (the previous value comes back at the end).
    VirtualBus();
    // Restores QEVCRDIO_BUS and removes the directory.
    ~VirtualBus();
    VirtualBus(const VirtualBus &) = delete;
    VirtualBus &operator=(const VirtualBus &) = delete;

    // The bus directory.
    std::string Dir() const;
    // A scratch directory beside the bus for the test's own files (removed too).
    std::string ScratchDir() const;
    // The underlying bus, for everything the helpers below do not cover.
    vbus::Bus &Bus() { return bus_; }

    // Adds a unit of the model with firmware flags (0x200 = VD last, 0x400 = TrueIDE) and product code.
    void AddUnit(const std::string &name, Model model = Model::Tvq210, uint32_t flags = 0x0001,
                 uint32_t productCode = 0x00000210);
    // Adds a device with the full description.
    void AddUnit(const std::string &name, const vbus::UnitDesc &unitDesc);
    // Adds a foreign device: its own vendor, product, bridge name and target count.
    void AddForeign(const std::string &name, const std::string &vendor, const std::string &product,
                    const std::string &bridge, uint32_t targets);
    // Replaces the firmware block fields of a unit.
    void SetFirmware(const std::string &unit, const vbus::Firmware &fw);

    // Blank card of bytes into the slot; returns the image path.
    std::string InsertBlank(const std::string &unit, int slot, uint64_t bytes);
    // Blank card with explicit drive parameters; returns the image path.
    std::string InsertBlank(const std::string &unit, int slot, uint64_t bytes, const vbus::DriveParams &p);
    // Existing image copied in (or used in place); returns the image path the library uses.
    std::string InsertImage(const std::string &unit, int slot, const std::string &path, bool inPlace = false);
    // Takes the card out; returns its image path (the file stays).
    std::string Pull(const std::string &unit, int slot);
    // Image path of the card in the slot.
    std::string CardImage(const std::string &unit, int slot) const;

    // Unplugs / plugs the unit.
    void Unplug(const std::string &unit);
    void Plug(const std::string &unit);

    // Adds a fault rule in tvqunit's words (see vbus::ParseFaultRule); returns its id.
    uint32_t SetFault(const std::string &unit, const std::string &rule);
    // Adds a fault rule; returns its id.
    uint32_t SetFault(const std::string &unit, const vbus::FaultRule &rule);
    // Removes every rule of the unit.
    void ClearFaults(const std::string &unit);
    // Times rule id fired.
    uint64_t FireCount(const std::string &unit, uint32_t id) const;
    // Throughput limit per call (bytes per second, 0 = none).
    void Throttle(const std::string &unit, uint64_t bytesPerSecond, uint32_t callDelayMs = 0);

    // Writes bytes to a new file in the scratch directory; returns its path.
    std::string WriteFile(const std::string &name, const std::vector<uint8_t> &bytes) const;
    // Whole content of a file (empty when unreadable).
    static std::vector<uint8_t> ReadFile(const std::string &path);
    // Bytes [offset, offset+len) of a file (shorter at its end).
    static std::vector<uint8_t> ReadFile(const std::string &path, uint64_t offset, size_t len);
    // Whole content of a text file (empty when unreadable).
    static std::string ReadText(const std::string &path);

private:
    std::string root_;
    std::string oldEnv_;
    bool hadEnv_ = false;
    vbus::Bus bus_;
};

}  // namespace tvqtest
