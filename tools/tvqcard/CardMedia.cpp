#include "CardMedia.h"

#include "Desc.h"
#include "DevList.h"
#include "Node.h"
#include "VBus.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <memory>
#include <tuple>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <set>
#include <utility>

namespace {

// What a file is: a regular file by device and inode, a block device by its number.
struct Id {
    bool block;
    uint64_t a, b;
    bool operator<(const Id &o) const { return std::tie(block, a, b) < std::tie(o.block, o.a, o.b); }
};

std::string SysDev(dev_t rdev)
{
    return "/sys/dev/block/" + std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev));
}

bool ReadDevNumber(const std::string &path, dev_t *out)
{
    std::ifstream f(path);
    unsigned ma = 0, mi = 0;
    char colon = 0;
    if (!(f >> ma >> colon >> mi) || colon != ':') return false;
    *out = makedev(ma, mi);
    return true;
}

void AddFile(const struct stat &st, std::set<Id> *ids, int depth);

// A block device and everything beneath it: the whole disk of a partition, the
// devices it is stacked on, the file behind a loop device.
void AddBlock(dev_t rdev, std::set<Id> *ids, int depth)
{
    if (!ids->insert({true, uint64_t(rdev), 0}).second || depth > 8) return;
    const std::string sys = SysDev(rdev);
    struct stat probe;
    dev_t parent;
    if (::stat((sys + "/partition").c_str(), &probe) == 0 && ReadDevNumber(sys + "/../dev", &parent))
        AddBlock(parent, ids, depth + 1);
    if (DIR *d = ::opendir((sys + "/slaves").c_str())) {
        while (dirent *e = ::readdir(d)) {
            dev_t lower;
            if (e->d_name[0] != '.' && ReadDevNumber(sys + "/slaves/" + e->d_name + "/dev", &lower))
                AddBlock(lower, ids, depth + 1);
        }
        ::closedir(d);
    }
    if (::stat((sys + "/loop").c_str(), &probe) != 0) return;
    // The loop driver knows its file by device and inode, even when its name has gone.
    const std::string node = "/dev/block/" + std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev));
    const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
        loop_info64 info{};
        const bool ok = ::ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
        ::close(fd);
        if (ok) ids->insert({false, uint64_t(info.lo_device), uint64_t(info.lo_inode)});
    }
    std::ifstream f(sys + "/loop/backing_file");
    std::string backing;
    std::getline(f, backing);
    struct stat st;
    if (!backing.empty() && ::stat(backing.c_str(), &st) == 0) AddFile(st, ids, depth + 1);
}

void AddFile(const struct stat &st, std::set<Id> *ids, int depth)
{
    if (S_ISBLK(st.st_mode)) AddBlock(st.st_rdev, ids, depth);
    else if (S_ISREG(st.st_mode)) ids->insert({false, uint64_t(st.st_dev), uint64_t(st.st_ino)});
}

std::set<Id> IdsOf(const struct stat &st)
{
    std::set<Id> ids;
    AddFile(st, &ids, 0);
    return ids;
}

bool Meet(const std::set<Id> &a, const std::set<Id> &b)
{
    for (const Id &i : a)
        if (b.count(i) != 0) return true;
    return false;
}

// The bus as it is, read only: nothing is made when it is missing.
bool OpenBus(std::unique_ptr<vbus::Bus> *bus)
{
    const std::string dir = vbus::DefaultBusDir();
    struct stat st;
    if (dir.empty() || ::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    try {
        bus->reset(new vbus::Bus(dir));
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

}  // namespace

std::vector<MediumUse> CardsUnder(const struct stat &st)
{
    std::vector<MediumUse> out;
    std::unique_ptr<vbus::Bus> bus;
    if (!OpenBus(&bus)) return out;
    const std::set<Id> file = IdsOf(st);
    std::vector<std::string> names;
    try {
        names = bus->UnitNames();
    } catch (const std::exception &) {
        return out;
    }
    for (const std::string &name : names) {
        vbus::Unit u;
        try {
            u = bus->GetUnit(name);
        } catch (const std::exception &) {
            continue;
        }
        for (const vbus::Card &c : u.cards) {
            const std::string &path = c.device.empty() ? c.image : c.device;
            struct stat cs;
            if (path.empty() || ::stat(path.c_str(), &cs) != 0) continue;
            // The card lies under the file, or the file under the card (a loop device over its image).
            if (Meet(file, IdsOf(cs))) out.push_back({name, c.slot});
        }
    }
    return out;
}

std::string UnitInUse()
{
    std::unique_ptr<vbus::Bus> bus;
    if (!OpenBus(&bus)) return "";
    try {
        for (const std::string &name : bus->UnitNames()) {
            vbus::Unit u;
            try {
                u = bus->GetUnit(name);
            } catch (const std::exception &) {
                continue;
            }
            const vbus::UnitDesc &d = u.unitDesc;
            const bool tvq = d.model == vbus::Model::Tvq210 || d.model == vbus::Model::Tvq206;
            // Read back with the model's defaults filled in.
            const bool plainIdentity = (d.vendor.empty() || d.vendor == "QEVRA") &&
                                       (d.product.empty() || d.product == vbus::ModelProduct(d.model)) &&
                                       (d.bridge.empty() || d.bridge.find("TVQ-MTX") != std::string::npos);
            if (d.connected && tvq) return plainIdentity ? name : "";
        }
    } catch (const std::exception &) {
    }
    return "";
}

SlotCard CardInSlot(const std::string &unit, int slot)
{
    SlotCard out;
    std::unique_ptr<vbus::Bus> bus;
    if (unit.empty() || !OpenBus(&bus)) return out;
    vbus::Card card;
    try {
        const vbus::Unit u = bus->GetUnit(unit);
        bool found = false;
        for (const vbus::Card &c : u.cards)
            if (c.slot == slot) {
                card = c;
                found = true;
            }
        if (!found) {
            out.known = true;  // no card: nothing to tell apart
            return out;
        }
    } catch (const std::exception &) {
        return out;
    }
    out.id = vbus::CardIdentity(card);
    out.device = card.device;
    if (card.device.empty()) {
        out.known = true;
        return out;
    }
    const blockdev::Medium m = blockdev::Probe(card.device);
    if (m.state != blockdev::Medium::Present) {
        out.known = true;
        out.id.clear();
        return out;
    }
    // Without the kernel's numbers one card in the reader looks like the next.
    out.known = m.diskSeq != 0;
    out.id += "@" + std::to_string(m.diskSeq);
    return out;
}

void NodeAndSerial(const std::string &device, std::string *node, std::string *serial)
{
    node->clear();
    serial->clear();
    blockdev::NodeInfo info;
    std::string why;
    if (device.empty() || !blockdev::Resolve(device, &info, &why)) return;
    *node = info.node;
    *serial = blockdev::DiskSerial(info.diskSysName);
}
