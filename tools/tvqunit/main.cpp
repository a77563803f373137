// tvqunit: creates and drives virtual TVQ units on the library's virtual bus.
// Every change is a read-modify-write of the unit's description under the
// unit's lock, so commands from several terminals at once never lose one.
//
// Exit status: 0 done (also --help); 1 refused, with nothing changed: a bad
// value (number, size, version, fault rule word), or the bus said no (unknown
// unit, occupied or empty slot, unreadable description, a value that cannot
// be stored, a unit still busy when the lock's wait ran out, a file that
// cannot be written or flushed); 2 the command line itself was wrong (unknown
// command or option, missing argument, a value not among the choices,
// options that exclude each other).
#include "Desc.h"
#include "Devices.h"
#include "Files.h"
#include "TomlDepth.h"
#include "Tvq.h"
#include "Units.h"
#include "VBus.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <sys/stat.h>

namespace {

void ListRealUnits(std::ostream &out);

constexpr uint64_t kUsb2BytesPerSecond = 35ull * 1000 * 1000;  // what a USB 2.0 disk sustains

uint64_t Number(const std::string &text, const std::string &what, uint64_t max = 0xFFFFFFFFull)
{
    uint64_t v;
    if (!vbus::ParseNumber(text, max, &v))
        throw vbus::Error("bad " + what + " '" + text + "' (a decimal number, or hexadecimal with 0x)");
    return v;
}

// "2.10" or a number as the firmware holds it (0x20100).
uint32_t Version(const std::string &text, const std::string &what)
{
    unsigned u, t, h;
    char tail;
    if (std::sscanf(text.c_str(), "%1u.%1u%1u%c", &u, &t, &h, &tail) == 3) return u << 16 | t << 8 | h;
    if (text == "-1" || text == "none") return 0xFFFFFFFFu;
    uint64_t v;
    if (!vbus::ParseNumber(text, 0xFFFFFFFFull, &v))
        throw vbus::Error("bad " + what + " '" + text + "' (like 2.10, or 0x20100)");
    return static_cast<uint32_t>(v);
}

// Bytes with an optional K, M, G or T (binary) or s (512-byte sectors).
uint64_t Size(const std::string &text)
{
    if (text.empty()) throw vbus::Error("empty size");
    uint64_t mul = 1;
    std::string num = text;
    switch (text.back()) {
    case 'k': case 'K': mul = 1ull << 10; break;
    case 'm': case 'M': mul = 1ull << 20; break;
    case 'g': case 'G': mul = 1ull << 30; break;
    case 't': case 'T': mul = 1ull << 40; break;
    case 's': case 'S': mul = 512; break;
    default: break;
    }
    if (mul != 1) num.pop_back();
    uint64_t v;
    if (!vbus::ParseNumber(num, UINT64_MAX / mul, &v))
        throw vbus::Error("bad size '" + text + "' (bytes, or a number with K, M, G, T or s for sectors)");
    return v * mul;
}

std::string VersionText(uint32_t v)
{
    if (v == 0xFFFFFFFFu) return "none";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u.%u%u (0x%08X)", (v >> 16) & 0xF, (v >> 8) & 0xF, v & 0xF, v);
    return buf;
}

std::string Hex8(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

std::string HumanSize(uint64_t bytes)
{
    char buf[32];
    if (bytes >= (1ull << 30) && bytes % (1ull << 30) == 0) std::snprintf(buf, sizeof buf, "%llu GiB", (unsigned long long)(bytes >> 30));
    else if (bytes >= (1ull << 20) && bytes % (1ull << 20) == 0) std::snprintf(buf, sizeof buf, "%llu MiB", (unsigned long long)(bytes >> 20));
    else if (bytes >= (1ull << 10) && bytes % (1ull << 10) == 0) std::snprintf(buf, sizeof buf, "%llu KiB", (unsigned long long)(bytes >> 10));
    else std::snprintf(buf, sizeof buf, "%llu bytes", (unsigned long long)bytes);
    return buf;
}

// Options that describe a device, shared by create and set.
struct DescOptions {
    std::string model, vendor, product, revision, bridge, targets;
    std::string signature, bios, cardIf, flags, productCode, vendorText, productName, vd;
    bool noSignature = false, trueIde = false, pcCard = false, unplugged = false;

    void Add(CLI::App *c, bool create)
    {
        if (create)
            c->add_option("--model", model, "TVQ-210CF (default), TVQ-206 or other (a foreign device)")
                ->check(CLI::IsMember({"TVQ-210CF", "TVQ-206", "other"}, CLI::ignore_case));
        c->add_option("--bios", bios, "BIOS version, like 2.10 or 0x20100");
        c->add_option("--card-if", cardIf, "card interface version, like 2.10 or 0x20100");
        c->add_option("--flags", flags, "unit flags word (mode in bits 0-7, 0x200 VD last, 0x400 TrueIDE)");
        c->add_option("--vd", vd, "VD position: first or last (sets flag 0x200)")
            ->check(CLI::IsMember({"first", "last"}));
        c->add_flag("--trueide", trueIde, "card interface in TrueIDE mode (sets flag 0x400)");
        c->add_flag("--pccard", pcCard, "card interface in PC Card ATA mode (clears flag 0x400)");
        c->add_option("--product-code", productCode, "product code (32-bit)");
        c->add_option("--product-name", productName, "product name of the firmware block (16 characters)");
        c->add_option("--vendor-text", vendorText, "vendor text of the firmware block (8 characters)");
        c->add_option("--signature", signature, "firmware block signature (4 characters, default T210)");
        c->add_flag("--no-signature", noSignature, "serve a firmware block without signature");
        c->add_option("--vendor", vendor, "INQUIRY vendor (8 characters)");
        c->add_option("--product", product, "INQUIRY product (16 characters)");
        c->add_option("--revision", revision, "INQUIRY revision (4 characters)");
        c->add_option("--bridge", bridge, "bridge name the scan filters on (units: TVQ-MTX)");
        c->add_option("--targets", targets, "number of targets, VD included (default by model)");
        if (create) c->add_flag("--unplugged", unplugged, "create it unplugged");
    }

    void Apply(vbus::UnitDesc *s, bool create) const
    {
        if (create && !model.empty() && !vbus::ParseModel(model, &s->model))
            throw vbus::Error("unknown model '" + model + "'");
        if (!vendor.empty()) s->vendor = vendor;
        if (!product.empty()) s->product = product;
        if (!revision.empty()) s->revision = revision;
        if (!bridge.empty()) s->bridge = bridge;
        if (!targets.empty()) {
            uint64_t n = Number(targets, "target count", vbus::kMaxTargets);
            if (n < 1) throw vbus::Error("a device has at least one target");
            s->targets = static_cast<uint32_t>(n);
        }
        if (!flags.empty()) s->fw.flags = static_cast<uint32_t>(Number(flags, "flags"));
        if (vd == "last") s->fw.flags |= 0x200;
        if (vd == "first") s->fw.flags &= ~0x200u;
        if (trueIde && pcCard) throw vbus::Error("--trueide and --pccard exclude each other");
        if (trueIde) s->fw.flags |= 0x400;
        if (pcCard) s->fw.flags &= ~0x400u;
        if (!bios.empty()) s->fw.bios = Version(bios, "BIOS version");
        if (!cardIf.empty()) s->fw.cardIf = Version(cardIf, "card interface version");
        if (!productCode.empty()) s->fw.productCode = static_cast<uint32_t>(Number(productCode, "product code"));
        if (!productName.empty()) s->fw.productName = productName;
        if (!vendorText.empty()) s->fw.vendorText = vendorText;
        if (noSignature && !signature.empty()) throw vbus::Error("--signature and --no-signature exclude each other");
        if (!signature.empty()) s->fw.signature = signature;
        if (noSignature) s->fw.signature.clear();
        if (create && unplugged) s->connected = false;
        if (s->vendor.size() > 8) throw vbus::Error("vendor '" + s->vendor + "' is longer than 8 characters");
        if (s->product.size() > 16) throw vbus::Error("product '" + s->product + "' is longer than 16 characters");
        if (s->revision.size() > 4) throw vbus::Error("revision '" + s->revision + "' is longer than 4 characters");
        if (s->fw.signature.size() > 4) throw vbus::Error("signature '" + s->fw.signature + "' is longer than 4 characters");
        if (s->fw.vendorText.size() > 8) throw vbus::Error("vendor text '" + s->fw.vendorText + "' is longer than 8 characters");
        if (s->fw.productName.size() > 16)
            throw vbus::Error("product name '" + s->fw.productName + "' is longer than 16 characters");
    }
};

// Drive parameter options of insert and params.
struct ParamOptions {
    std::string cylinders, heads, sectorsPerTrack, totalSectors, sectorSize, waitCheck, accessTiming;

    void Add(CLI::App *c)
    {
        c->add_option("--cylinders", cylinders, "cylinders");
        c->add_option("--heads", heads, "heads (0: an unusable card)");
        c->add_option("--sectors-per-track", sectorsPerTrack, "sectors per track");
        c->add_option("--total-sectors", totalSectors, "sectors of the card (default: the whole image)");
        c->add_option("--sector-size", sectorSize, "bytes per sector (only 512 is usable)");
        c->add_option("--wait-check", waitCheck, "-WAIT / IORDY check (0 or 1)");
        c->add_option("--access-timing", accessTiming, "access timing: ns (PC Card ATA) or PIO mode (TrueIDE)");
    }
    bool Any() const
    {
        return !(cylinders.empty() && heads.empty() && sectorsPerTrack.empty() && totalSectors.empty() &&
                 sectorSize.empty() && waitCheck.empty() && accessTiming.empty());
    }
    void Apply(vbus::DriveParams *p) const
    {
        auto set = [](const std::string &v, const char *what, uint32_t *out) {
            if (!v.empty()) *out = static_cast<uint32_t>(Number(v, what));
        };
        set(cylinders, "cylinders", &p->cylinders);
        set(heads, "heads", &p->heads);
        set(sectorsPerTrack, "sectors per track", &p->sectorsPerTrack);
        set(totalSectors, "total sectors", &p->totalSectors);
        set(sectorSize, "sector size", &p->sectorSize);
        set(waitCheck, "wait check", &p->waitCheck);
        set(accessTiming, "access timing", &p->accessTiming);
    }
};

// Files of the unit that are not what they should be: a FIFO, socket,
// device node, directory or link where a regular file belongs. The library
// counts such a card as absent and such a counts file as empty.
std::vector<std::string> FileProblems(vbus::Bus &bus, const vbus::Unit &u)
{
    std::vector<std::string> out;
    std::string dir = bus.UnitDir(u.name);
    for (const auto &c : u.cards) {
        if (!c.device.empty()) continue;  // a bound device: its line says what it holds
        std::string why = vbus::ImageAbsence(c.image, c.inPlace);
        if (!why.empty()) out.push_back("the image of slot " + std::to_string(c.slot) + " " + why + ": the slot reads as empty");
    }
    for (const char *f : {vbus::kCountsFile, vbus::kUnitFile}) {
        std::string kind = vbus::WrongKind(dir + "/" + f);
        if (!kind.empty()) out.push_back("'" + dir + "/" + f + "' is " + kind);
    }
    std::string counts;
    if (vbus::ReadBusFile(dir + "/" + vbus::kCountsFile, &counts) == vbus::ReadResult::Ok) {
        std::string deep = vbus::TomlNestingProblem(counts);
        if (!deep.empty())
            out.push_back("'" + dir + "/" + vbus::kCountsFile + "': " + deep + "; the rules count from zero");
    }
    for (const char *d : {vbus::kCardsDir, vbus::kEjectedDir}) {
        struct stat st;
        std::string path = dir + "/" + d;
        if (::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
            out.push_back("'" + path + "' is " + vbus::WrongKind(path) + ", not a folder");
    }
    return out;
}

// The cards (all, or the one in slot) whose image does not open: such a card
// reads as absent, so a pull, unplug or sync passes over it; the user is told.
std::vector<std::string> AbsentImages(vbus::Bus &bus, const std::string &name, int slot = 0)
{
    std::vector<std::string> out;
    try {
        for (const auto &c : bus.GetUnit(name).cards) {
            if (!c.device.empty() || (slot != 0 && c.slot != slot)) continue;
            std::string why = vbus::ImageAbsence(c.image, c.inPlace);
            if (!why.empty())
                out.push_back("the image of slot " + std::to_string(c.slot) + " " + why +
                              ": that card read as absent, nothing of it was flushed");
        }
    } catch (const vbus::Error &) {
        // The command itself says what is wrong with the unit.
    }
    return out;
}

void Notes(const std::vector<std::string> &notes)
{
    for (const auto &n : notes) std::cerr << "tvqunit: note: " << n << "\n";
}

void Show(vbus::Bus &bus, const std::string &name)
{
    vbus::Unit u = bus.GetUnit(name);
    const vbus::UnitDesc &s = u.unitDesc;
    const vbus::Firmware &f = s.fw;
    std::cout << "unit " << u.name << ": " << vbus::ModelName(s.model) << ", "
              << (s.connected ? "plugged in" : "unplugged") << "\n";
    std::cout << "  inquiry: vendor \"" << s.vendor << "\", product \"" << s.product << "\", revision \""
              << s.revision << "\"; bridge \"" << s.bridge << "\"; " << s.targets << " targets, VD "
              << ((f.flags & 0x200) ? "last" : "first") << "\n";
    std::cout << "  firmware: signature " << (f.signature.empty() ? std::string("none") : "\"" + f.signature + "\"")
              << ", BIOS " << VersionText(f.bios) << ", card I/F " << VersionText(f.cardIf) << "\n";
    std::cout << "  flags " << Hex8(f.flags) << " (mode " << (f.flags & 0xFF) << ", "
              << ((f.flags & 0x400) ? "TrueIDE" : "PC Card ATA") << "), product code " << Hex8(f.productCode)
              << ", vendor text \"" << f.vendorText << "\", product name \"" << f.productName << "\"\n";
    std::cout << "  throttle: ";
    if (s.throttleBytesPerSecond == 0 && s.callDelayMs == 0) std::cout << "none\n";
    else std::cout << s.throttleBytesPerSecond << " bytes/s, " << s.callDelayMs << " ms a call\n";
    std::cout << "  writes: " << (s.syncAlways ? "synchronous (sync always)" : "flushed at eject, pull, unplug and free")
              << "\n";
    for (int slot = 1; slot < static_cast<int>(s.targets); ++slot) {
        auto it = std::find_if(u.cards.begin(), u.cards.end(), [slot](const vbus::Card &c) { return c.slot == slot; });
        std::cout << "  slot " << slot << ": ";
        if (it == u.cards.end()) {
            std::cout << "empty\n";
            continue;
        }
        std::string speed = it->throttleBytesPerSecond
                                ? "          throttled to " + std::to_string(it->throttleBytesPerSecond) + " bytes/s\n"
                                : "";
        if (!it->device.empty()) {
            std::cout << "device " << it->device << ": " << DeviceCardState(*it) << "\n" << speed;
            continue;
        }
        const vbus::DriveParams &p = it->params;
        std::cout << HumanSize(static_cast<uint64_t>(p.totalSectors) * p.sectorSize) << ", " << p.totalSectors
                  << " sectors of " << p.sectorSize << ", C/H/S " << p.cylinders << "/" << p.heads << "/"
                  << p.sectorsPerTrack << ", wait check " << p.waitCheck << ", timing " << p.accessTiming << "\n"
                  << "          " << it->image << (it->inPlace ? " (in place)" : "") << "\n" << speed;
    }
    auto rules = bus.Faults(name);
    for (const auto &r : rules)
        std::cout << "  fault " << r.id << ": " << vbus::FaultRuleText(r) << " (hits " << r.hits << ", fired "
                  << r.fires << ")\n";
    auto locked = bus.LockedTargets(name);
    std::cout << "  locked targets:";
    if (locked.empty()) std::cout << " none";
    for (int t : locked) std::cout << " " << t;
    std::cout << "\n";
    std::string calls = vbus::WrongKind(bus.Dir() + "/" + vbus::kCallsFile);
    if (!calls.empty()) std::cout << "  problem: '" << bus.Dir() << "/" << vbus::kCallsFile << "' is " << calls << "\n";
    for (const auto &p : FileProblems(bus, u)) std::cout << "  problem: " << p << "\n";
}

int Run(int argc, char **argv)
{
    CLI::App app{"tvqunit: creates and drives virtual TVQ-206 / TVQ-210CF units (and other devices) on the "
                 "virtual bus that libqevcrdio.so serves"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "tvqunit " TVQ_VERSION);
    std::string busDir;
    app.add_option("--bus", busDir, "bus directory (default: $QEVCRDIO_BUS, else the per-user data directory)");

    std::string name, slotText, image, size, ruleId, bps, delay;
    std::vector<std::string> words;
    bool inPlace = false, all = false, usb2 = false, off = false;
    DescOptions unitDesc;
    ParamOptions params;
    std::function<void(vbus::Bus &)> action;

    auto slotOf = [&]() { return static_cast<int>(Number(slotText, "slot number", 1000)); };

    auto *create = app.add_subcommand("create", "create a unit (a TVQ-210CF unless --model says otherwise)");
    create->add_option("name", name, "unit name")->required();
    unitDesc.Add(create, true);
    create->callback([&] {
        action = [&](vbus::Bus &bus) {
            vbus::UnitDesc s;
            unitDesc.Apply(&s, true);
            bus.CreateUnit(name, s);
            std::cout << "created " << name << " (" << vbus::ModelName(s.model) << ")\n";
        };
    });

    auto *set = app.add_subcommand("set", "change the identity or firmware fields of a unit");
    set->add_option("name", name, "unit name")->required();
    unitDesc.Add(set, false);
    std::string sync;
    set->add_option("--sync", sync,
                    "always: every WRITE(10) is on disk before it returns; off (default): written data is "
                    "flushed at eject, pull, unplug and free")
        ->check(CLI::IsMember({"always", "off"}));
    set->callback([&] {
        action = [&](vbus::Bus &bus) {
            std::vector<std::string> absent;
            if (sync == "always") absent = AbsentImages(bus, name);
            // One change: a set that fails anywhere leaves every field as it was.
            bus.ChangeUnit(name, [&](vbus::Unit &u) {
                unitDesc.Apply(&u.unitDesc, false);
                for (const auto &c : u.cards)
                    if (c.slot >= static_cast<int>(u.unitDesc.targets))
                        throw vbus::Error("slot " + std::to_string(c.slot) + " holds a card: unit '" + name +
                                          "' cannot have fewer targets than that");
                if (!sync.empty()) vbus::ApplySync(u, sync == "always");
            });
            Notes(absent);
        };
    });

    auto *list = app.add_subcommand("list", "list the devices on the bus in bus order (backend bus), then the "
                                            "TVQ units attached to this machine (backend sg)");
    list->callback([&] {
        action = [&](vbus::Bus &bus) {
            for (const auto &n : bus.UnitNames()) {
                try {
                    vbus::Unit u = bus.GetUnit(n);
                    std::cout << n << "\t" << vbus::ModelName(u.unitDesc.model) << "\t"
                              << (u.unitDesc.connected ? "plugged in" : "unplugged") << "\t" << u.cards.size()
                              << " card" << (u.cards.size() == 1 ? "" : "s");
                    for (const auto &p : FileProblems(bus, u)) std::cout << "\t(" << p << ")";
                    std::cout << "\tbus\n";
                } catch (const vbus::Error &e) {
                    std::cout << n << "\t(" << e.what() << ")\n";
                }
            }
            ListRealUnits(std::cout);
        };
    });

    auto *show = app.add_subcommand("show", "show a unit: identity, firmware fields, cards, faults, locks");
    show->add_option("name", name, "unit name")->required();
    show->callback([&] { action = [&](vbus::Bus &bus) { Show(bus, name); }; });

    std::string becomingReady;
    auto *plug = app.add_subcommand("plug", "plug a unit in");
    plug->add_option("name", name, "unit name")->required();
    plug->add_option("--becoming-ready", becomingReady,
                     "the next N calls (INQUIRY and scans aside) report 02/04/01, becoming ready");
    plug->callback([&] {
        action = [&](vbus::Bus &bus) {
            uint64_t n = becomingReady.empty() ? 0 : Number(becomingReady, "call count");
            bus.Plug(name);
            if (n > 0)
                std::cout << bus.AddFault(name, vbus::ParseFaultRule(
                                                    "op=readbuffer,slotstatus,driveinfo,read,write,eject,format "
                                                    "effect=notready count=next:" + std::to_string(n)))
                          << "\n";
        };
    });

    auto *unplug = app.add_subcommand("unplug", "unplug a unit");
    unplug->add_option("name", name, "unit name")->required();
    unplug->callback([&] {
        action = [&](vbus::Bus &bus) {
            std::vector<std::string> absent = AbsentImages(bus, name);
            bus.Unplug(name);
            Notes(absent);
        };
    });

    auto *insert = app.add_subcommand(
        "insert", "put a card into a slot: a blank one of --size, an --image, or a block --device bound to it");
    insert->add_option("name", name, "unit name")->required();
    insert->add_option("slot", slotText, "slot number from 1")->required();
    auto *sizeOpt = insert->add_option("--size", size, "blank card size: bytes, or with K, M, G or s (sectors)");
    auto *imageOpt = insert->add_option("--image", image, "existing image file (its size a multiple of 512)");
    sizeOpt->excludes(imageOpt);
    auto *inPlaceOpt = insert->add_flag("--in-place", inPlace, "use the image file itself instead of a copy");
    std::string device;
    auto *deviceOpt = insert->add_option(
        "--device", device,
        "bind a block device: a card reader's slot (/dev/sdX, /dev/mmcblkN, a /dev/disk/by-id/ link) or "
        "/dev/loopN; the slot holds a card while the device has one. Refused when it is mounted, swap, "
        "the system's, bound elsewhere or not writable");
    deviceOpt->excludes(sizeOpt)->excludes(imageOpt)->excludes(inPlaceOpt);
    bool changed = false;
    insert->add_flag("--medium-changed", changed,
                     "the card's next access reports 06/28/00, medium may have changed");
    params.Add(insert);
    insert->callback([&] {
        action = [&](vbus::Bus &bus) {
            if (!device.empty()) {
                if (params.Any()) throw vbus::Error("a bound device's drive parameters follow its card");
                int slot = slotOf();
                std::string node = bus.InsertDevice(name, slot, device);
                std::cout << "slot " << slot << " of " << name << ": " << device
                          << (node != device ? " (" + node + ")" : std::string()) << "\n";
                if (changed)
                    bus.AddFault(name, vbus::ParseFaultRule("slot=" + std::to_string(slot) +
                                                            " op=driveinfo,read,write,format effect=changed "
                                                            "count=next:1"));
                return;
            }
            if (size.empty() == image.empty()) throw vbus::Error("insert needs either --size or --image, or --device");
            if (inPlace && image.empty()) throw vbus::Error("--in-place goes with --image");
            int slot = slotOf();
            std::string path;
            if (params.Any()) {
                uint64_t bytes = 0;
                std::error_code ec;
                if (image.empty()) bytes = Size(size);
                else bytes = std::filesystem::file_size(image, ec);  // a missing file is the bus's to report
                vbus::DriveParams p = vbus::DefaultDriveParams(ec ? 0 : bytes);
                params.Apply(&p);
                path = image.empty() ? bus.InsertBlank(name, slot, bytes, p)
                                     : bus.InsertImage(name, slot, image, inPlace, p);
            } else {
                path = image.empty() ? bus.InsertBlank(name, slot, Size(size))
                                     : bus.InsertImage(name, slot, image, inPlace);
            }
            std::cout << "slot " << slot << " of " << name << ": " << path << "\n";
            if (changed)
                bus.AddFault(name, vbus::ParseFaultRule("slot=" + std::to_string(slot) +
                                                        " op=driveinfo,read,write,format effect=changed count=next:1"));
        };
    });

    auto *pull = app.add_subcommand(
        "pull", "take the card out of a slot (its image file stays, flushed to disk); a bound device is unbound, "
                "nothing written to it");
    pull->add_option("name", name, "unit name")->required();
    pull->add_option("slot", slotText, "slot number from 1")->required();
    pull->callback([&] {
        action = [&](vbus::Bus &bus) {
            int slot = slotOf();
            bool bound = !bus.GetCard(name, slot).device.empty();
            std::vector<std::string> absent = AbsentImages(bus, name, slot);
            std::string path = bus.Pull(name, slot);
            if (bound) std::cout << "unbound " << path << "; nothing was written to it\n";
            else std::cout << "pulled; the image stays at " << path << "\n";
            Notes(absent);
        };
    });
    auto *eject = app.add_subcommand(
        "eject", "eject the card as the unit does: the same as pull for an image; a bound device stays bound, "
                 "its card is ejected and the slot stays empty until another card comes");
    eject->add_option("name", name, "unit name")->required();
    eject->add_option("slot", slotText, "slot number from 1")->required();
    eject->callback([&] {
        action = [&](vbus::Bus &bus) {
            int slot = slotOf();
            bool bound = !bus.GetCard(name, slot).device.empty();
            std::vector<std::string> absent = bound ? std::vector<std::string>() : AbsentImages(bus, name, slot);
            std::string path = bus.Eject(name, slot);
            if (bound) std::cout << "ejected the card in " << path << "; the device stays bound\n";
            else std::cout << "pulled; the image stays at " << path << "\n";
            Notes(absent);
        };
    });

    auto *devicesCmd = app.add_subcommand(
        "devices", "list the card readers, removable disks and loop devices that a slot can be bound to: "
                   "node, size, block size, kind, model, stable path, how this user would open it "
                   "(open: direct, udisks2 or no access), and whether mounted or bound");
    devicesCmd->callback([&] { action = [&](vbus::Bus &bus) { PrintDevices(bus, std::cout); }; });

    auto *paramsCmd = app.add_subcommand("params", "override the drive parameters of the card in a slot");
    paramsCmd->add_option("name", name, "unit name")->required();
    paramsCmd->add_option("slot", slotText, "slot number from 1")->required();
    params.Add(paramsCmd);
    paramsCmd->callback([&] {
        action = [&](vbus::Bus &bus) {
            int slot = slotOf();
            bus.ChangeUnit(name, [&](vbus::Unit &u) {
                for (auto &c : u.cards) {
                    if (c.slot != slot) continue;
                    if (!c.device.empty())
                        throw vbus::Error("the drive parameters of a bound device follow its card");
                    if (c.params.totalSectors == 0) {  // not given yet: those of the image's size
                        std::error_code ec;
                        uint64_t bytes = std::filesystem::file_size(c.image, ec);
                        c.params = vbus::DefaultDriveParams(ec ? 0 : bytes);
                    }
                    params.Apply(&c.params);
                    return;
                }
                throw vbus::Error("slot " + std::to_string(slot) + " of unit '" + name + "' is empty");
            });
        };
    });

    auto *fault = app.add_subcommand("fault", "fault rules of a unit: set, clear, list");
    fault->require_subcommand(1);
    auto *fset = fault->add_subcommand(
        "set", "add a rule; prints its id. Words: slot=any|vd|N  op=LIST (inquiry,readbuffer,slotstatus,"
               "driveinfo,read,write,eject,format,scan,lock or all)  count=always|off|next:N|every:N|after:N  "
               "lba=FIRST-LAST  effect=sense:KK/AA/QQ|readerror|writeerror|nomedium|notready|changed|"
               "short:N[:KK/AA/QQ]|corrupt:BYTE|drop[:N]|delay:MS. A word left out takes its default: "
               "slot=any, op=all (the rule meets every operation, scans and locks included), count=always, "
               "lba=all, effect=readerror (sense 03/11/00). A sense key must be 02 to 0F: 00 and 01 report "
               "no error.");
    fset->add_option("name", name, "unit name")->required();
    fset->add_option("words", words, "the rule, e.g. op=read lba=0x100-0x1ff count=next:2 effect=readerror")
        ->required();
    fset->callback([&] {
        action = [&](vbus::Bus &bus) {
            std::string text;
            for (const auto &w : words) text += w + " ";
            vbus::FaultRule r = vbus::ParseFaultRule(text);
            std::cout << bus.AddFault(name, r) << "\n";
        };
    });
    auto *fclear = fault->add_subcommand("clear", "remove one rule by id, or --all");
    fclear->add_option("name", name, "unit name")->required();
    fclear->add_option("id", ruleId, "rule id");
    fclear->add_flag("--all", all, "remove every rule");
    fclear->callback([&] {
        action = [&](vbus::Bus &bus) {
            if (all == !ruleId.empty()) throw vbus::Error("fault clear needs a rule id or --all");
            if (all) {
                bus.ClearFaults(name);
                return;
            }
            uint32_t id = static_cast<uint32_t>(Number(ruleId, "rule id"));
            if (!bus.ClearFault(name, id)) throw vbus::Error("unit '" + name + "' has no fault rule " + ruleId);
        };
    });
    auto *flist = fault->add_subcommand("list", "list the rules with their hit and fire counts");
    flist->add_option("name", name, "unit name")->required();
    flist->callback([&] {
        action = [&](vbus::Bus &bus) {
            for (const auto &r : bus.Faults(name))
                std::cout << r.id << "\t" << vbus::FaultRuleText(r) << "\thits " << r.hits << "\tfired " << r.fires
                          << "\n";
        };
    });

    auto *throttle = app.add_subcommand("throttle", "limit the throughput of every device call of a unit, or of one card");
    throttle->add_option("name", name, "unit name")->required();
    auto *slotOpt = throttle->add_option("--slot", slotText, "only the card in this slot, as a slow card would be");
    auto *bpsOpt = throttle->add_option("--bytes-per-second", bps, "limit in bytes per second (K, M, G allowed)");
    auto *usbOpt = throttle->add_flag("--usb2", usb2, "as fast as a USB 2.0 disk (35 MB/s)");
    auto *offOpt = throttle->add_flag("--off", off, "no limit, no delay");
    throttle->add_option("--delay", delay, "milliseconds added to every call");
    bpsOpt->excludes(usbOpt)->excludes(offOpt);
    usbOpt->excludes(offOpt);
    throttle->callback([&] {
        action = [&](vbus::Bus &bus) {
            if (bps.empty() && !usb2 && !off && delay.empty())
                throw vbus::Error("throttle needs --bytes-per-second, --usb2, --off or --delay");
            uint64_t rate = usb2 ? kUsb2BytesPerSecond : bps.empty() ? 0 : Size(bps);
            uint32_t ms = delay.empty() || off ? 0 : static_cast<uint32_t>(Number(delay, "delay", 600000));
            if (off && !delay.empty()) throw vbus::Error("--off and --delay exclude each other");
            if (slotOpt->count()) {
                if (!delay.empty()) throw vbus::Error("--delay is the unit's: it goes without --slot");
                int slot = slotOf();
                bus.ChangeUnit(name, [&](vbus::Unit &u) {
                    for (auto &c : u.cards)
                        if (c.slot == slot) {
                            c.throttleBytesPerSecond = rate;
                            return;
                        }
                    throw vbus::Error("slot " + std::to_string(slot) + " of unit '" + name + "' is empty");
                });
                return;
            }
            bus.SetThrottle(name, rate, ms);
        };
    });

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    } catch (const vbus::Error &e) {
        std::cerr << "tvqunit: " << e.what() << "\n";
        return 2;
    }
    try {
        vbus::Bus bus(busDir);
        if (action) action(bus);
    } catch (const vbus::Error &e) {
        std::cerr << "tvqunit: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

}  // namespace

namespace {

// The units attached to this machine: the first LUN of each SCSI host whose
// INQUIRY names a TVQ unit, with its bridge's USB product string.
void ListRealUnits(std::ostream &out)
{
    for (const sg::UnitNodes &g : sg::GroupUnits(sg::ActivePort().List())) {
        sg::Target t(sg::ActivePort(), g.luns.front());
        uint8_t inq[36] = {};
        if (t.Inquiry(inq, sizeof inq) != 0 || !sg::InquiryNamesUnit(inq)) continue;
        std::string product(reinterpret_cast<const char *>(inq + 16), 16);
        while (!product.empty() && product.back() == ' ') product.pop_back();
        out << g.luns.front().sgPath << "\t" << product << "\tplugged in\t" << g.luns.size() << " targets\tsg\tbridge \""
            << g.bridge << "\"\n";
    }
}

}  // namespace

int main(int argc, char **argv)
{
    try {
        return Run(argc, argv);
    } catch (const std::exception &e) {
        std::cerr << "tvqunit: " << e.what() << "\n";
        return 1;
    }
}
