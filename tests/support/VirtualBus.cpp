#include "VirtualBus.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace tvqtest {

namespace {

std::string MakeRoot()
{
    std::error_code ec;
    std::string base = std::filesystem::temp_directory_path(ec).string();
    if (ec || base.empty()) base = ".";
    std::string tmpl = base + "/tvq-bus-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    std::filesystem::create_directories(std::string(buf.data()) + "/scratch");
    return buf.data();
}

}  // namespace

VirtualBus::VirtualBus() : root_(MakeRoot()), bus_(root_ + "/bus")
{
    const char *old = std::getenv("QEVCRDIO_BUS");
    hadEnv_ = old != nullptr;
    if (old) oldEnv_ = old;
    ::setenv("QEVCRDIO_BUS", bus_.Dir().c_str(), 1);
}

VirtualBus::~VirtualBus()
{
    if (hadEnv_) ::setenv("QEVCRDIO_BUS", oldEnv_.c_str(), 1);
    else ::unsetenv("QEVCRDIO_BUS");
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

std::string VirtualBus::Dir() const
{
    return bus_.Dir();
}

std::string VirtualBus::ScratchDir() const
{
    return root_ + "/scratch";
}

void VirtualBus::AddUnit(const std::string &name, Model model, uint32_t flags, uint32_t productCode)
{
    vbus::UnitDesc unitDesc;
    unitDesc.model = model;
    unitDesc.fw.flags = flags;
    unitDesc.fw.productCode = productCode;
    bus_.CreateUnit(name, unitDesc);
}

void VirtualBus::AddUnit(const std::string &name, const vbus::UnitDesc &unitDesc)
{
    bus_.CreateUnit(name, unitDesc);
}

void VirtualBus::AddForeign(const std::string &name, const std::string &vendor, const std::string &product,
                            const std::string &bridge, uint32_t targets)
{
    vbus::UnitDesc unitDesc;
    unitDesc.model = Model::Foreign;
    unitDesc.vendor = vendor;
    unitDesc.product = product;
    unitDesc.bridge = bridge;
    unitDesc.targets = targets;
    bus_.CreateUnit(name, unitDesc);
}

void VirtualBus::SetFirmware(const std::string &unit, const vbus::Firmware &fw)
{
    vbus::Unit u = bus_.GetUnit(unit);
    u.unitDesc.fw = fw;
    bus_.UpdateUnit(unit, u.unitDesc);
}

std::string VirtualBus::InsertBlank(const std::string &unit, int slot, uint64_t bytes)
{
    return bus_.InsertBlank(unit, slot, bytes);
}

std::string VirtualBus::InsertBlank(const std::string &unit, int slot, uint64_t bytes, const vbus::DriveParams &p)
{
    return bus_.InsertBlank(unit, slot, bytes, p);
}

std::string VirtualBus::InsertImage(const std::string &unit, int slot, const std::string &path, bool inPlace)
{
    return bus_.InsertImage(unit, slot, path, inPlace);
}

std::string VirtualBus::Pull(const std::string &unit, int slot)
{
    return bus_.Pull(unit, slot);
}

std::string VirtualBus::CardImage(const std::string &unit, int slot) const
{
    return bus_.CardImage(unit, slot);
}

void VirtualBus::Unplug(const std::string &unit)
{
    bus_.Unplug(unit);
}

void VirtualBus::Plug(const std::string &unit)
{
    bus_.Plug(unit);
}

uint32_t VirtualBus::SetFault(const std::string &unit, const std::string &rule)
{
    return bus_.AddFault(unit, vbus::ParseFaultRule(rule));
}

uint32_t VirtualBus::SetFault(const std::string &unit, const vbus::FaultRule &rule)
{
    return bus_.AddFault(unit, rule);
}

void VirtualBus::ClearFaults(const std::string &unit)
{
    bus_.ClearFaults(unit);
}

uint64_t VirtualBus::FireCount(const std::string &unit, uint32_t id) const
{
    return bus_.FireCount(unit, id);
}

void VirtualBus::Throttle(const std::string &unit, uint64_t bytesPerSecond, uint32_t callDelayMs)
{
    bus_.SetThrottle(unit, bytesPerSecond, callDelayMs);
}

std::string VirtualBus::WriteFile(const std::string &name, const std::vector<uint8_t> &bytes) const
{
    std::string path = ScratchDir() + "/" + name;
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
    return path;
}

std::vector<uint8_t> VirtualBus::ReadFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> VirtualBus::ReadFile(const std::string &path, uint64_t offset, size_t len)
{
    std::ifstream f(path, std::ios::binary);
    std::vector<uint8_t> out(len);
    f.seekg(static_cast<std::streamoff>(offset));
    f.read(reinterpret_cast<char *>(out.data()), static_cast<std::streamsize>(len));
    out.resize(f ? len : static_cast<size_t>(std::max<std::streamsize>(f.gcount(), 0)));
    return out;
}

}  // namespace tvqtest

namespace tvqtest {

std::string VirtualBus::ReadText(const std::string &path)
{
    std::vector<uint8_t> b = ReadFile(path);
    return std::string(b.begin(), b.end());
}

}  // namespace tvqtest
