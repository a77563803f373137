// The bus and its units: the bus folder, creating, reading and changing a
// unit, plugging it in and out, and the cards going into and out of its
// slots (image files copied in or used in place, bound block devices).
#include "VBus.h"
#include "Bindings.h"
#include "BusShared.h"
#include "Desc.h"
#include "Files.h"
#include "Medium.h"
#include "Node.h"
#include "Store.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vbus {

namespace {

std::string Errno(int e = errno)
{
    return std::strerror(e);
}

bool MakeDirs(const std::string &path)
{
    if (path.empty()) return false;
    std::string cur;
    size_t i = 0;
    while (i <= path.size()) {
        size_t e = path.find('/', i);
        if (e == std::string::npos) e = path.size();
        cur = path.substr(0, e);
        if (!cur.empty() && ::mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) return false;
        i = e + 1;
    }
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Copies an image into the file open at out, keeping runs of zero blocks as holes.
void CopySparse(const std::string &from, int out, const std::string &to)
{
    int in = ::open(from.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (in < 0) throw Error("cannot open image '" + from + "': " + Errno());
    struct stat ist;
    if (::fstat(in, &ist) != 0 || !S_ISREG(ist.st_mode)) {
        ::close(in);
        throw Error("image '" + from + "' is not a regular file");
    }
    ::fcntl(in, F_SETFL, ::fcntl(in, F_GETFL) & ~O_NONBLOCK);
    std::vector<char> buf(1 << 20);
    static const std::vector<char> zero(1 << 20, 0);
    off_t pos = 0;
    std::string err;
    for (;;) {
        ssize_t n = ::read(in, buf.data(), buf.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            err = "cannot read '" + from + "': " + Errno();
            break;
        }
        if (n == 0) break;
        if (std::memcmp(buf.data(), zero.data(), static_cast<size_t>(n)) != 0) {
            ssize_t done = 0;
            while (done < n) {
                ssize_t w = ::pwrite(out, buf.data() + done, static_cast<size_t>(n - done), pos + done);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) {
                    err = "cannot write '" + to + "': " + Errno();
                    break;
                }
                done += w;
            }
            if (!err.empty()) break;
        }
        pos += n;
        KillPoint("copying");
    }
    if (err.empty() && ::ftruncate(out, pos) != 0) err = "cannot size '" + to + "': " + Errno();
    ::close(in);
    if (!err.empty()) throw Error(err);
}

std::string Absolute(const std::string &path)
{
    char *r = ::realpath(path.c_str(), nullptr);
    if (!r) throw Error("no such image file '" + path + "': " + Errno());
    std::string s(r);
    std::free(r);
    return s;
}

uint64_t CheckImageFile(const std::string &path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) throw Error("no such image file '" + path + "'");
    if (!S_ISREG(st.st_mode)) throw Error("image '" + path + "' is not a regular file");
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size == 0) throw Error("image '" + path + "' is empty");
    if (size % 512 != 0)
        throw Error("image '" + path + "' is " + std::to_string(size) +
                    " bytes, not a multiple of 512-byte sectors");
    if (size / 512 > 0xFFFFFFFFull) throw Error("image '" + path + "' is larger than 2 TiB");
    if (::access(path.c_str(), R_OK | W_OK) != 0)
        throw Error("image '" + path + "' is not readable and writable: " + Errno());
    return size;
}

// Random, non-zero, and small enough for a TOML integer.
uint64_t NewInsertId()
{
    uint64_t id = 0;
    while (id == 0) {
        if (::getentropy(&id, sizeof id) != 0) {
            timespec ts{};
            ::clock_gettime(CLOCK_REALTIME, &ts);
            id = (uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec)) ^ (uint64_t(::getpid()) << 40);
        }
        id &= INT64_MAX;
    }
    return id;
}

}  // namespace

std::string CardIdentity(const Card &c)
{
    std::string id = c.device.empty() ? "image:" + c.image : "device:" + c.device;
    if (c.insertId != 0) id += "#" + std::to_string(c.insertId);
    return id;
}


Bus::Bus(const std::string &dir) : dir_(dir.empty() ? DefaultBusDir() : dir)
{
    if (dir_.empty())
        throw Error("no bus directory: neither QEVCRDIO_BUS nor a home folder is known (give --bus)");
    while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
    if (!MakeDirs(dir_)) {
        std::string kind = WrongKind(dir_);
        throw Error("cannot use bus directory '" + dir_ + "': " + (kind.empty() ? Errno() : "it is " + kind));
    }
}

std::string Bus::UnitDir(const std::string &name) const
{
    bool plain = !name.empty() && name.size() <= 64 && name[0] != '.' &&
                 std::all_of(name.begin(), name.end(), [](char c) {
                     return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
                 });
    if (!plain)
        throw Error("bad unit name '" + name + "' (letters, digits, '-', '_' and '.', not starting with '.')");
    return dir_ + "/" + name;
}

void CheckUnitFolder(const std::string &dir, const std::string &name)
{
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0) throw Error("unknown unit '" + name + "'");
    if (!S_ISDIR(st.st_mode))
        throw Error("unit '" + name + "': '" + dir + "' is " + WrongKind(dir) + ", not a unit folder");
}

bool Bus::HasUnit(const std::string &name) const
{
    std::string dir = UnitDir(name);
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    Unit u;
    u.name = name;
    std::string why;
    return LoadUnitDir(dir, &u, &why) != LoadResult::Missing;
}

void Bus::CreateUnit(const std::string &name, const UnitDesc &descIn)
{
    std::string dir = UnitDir(name);
    Unit u;
    u.name = name;
    u.unitDesc = descIn;
    ResolveDefaults(&u.unitDesc);
    std::string problem = StorageProblem(u, dir);
    if (!problem.empty()) throw Error("cannot create unit '" + name + "': " + problem);
    const std::string text = UnitFileText(u, dir);
    if (text.size() > kMaxBusFile)
        throw Error("cannot create unit '" + name + "': its description would be " + std::to_string(text.size()) +
                    " bytes, more than the " + std::to_string(kMaxBusFile) + " a description may hold");
    SweepNewUnitFolders(dir_, std::string());
    // Built under a hidden name and renamed whole, so the library never sees half a unit.
    std::string tmp;
    for (int tries = 0;; ++tries) {
        tmp = dir_ + "/.new-" + name + "-" + RandomWord();
        if (::mkdir(tmp.c_str(), 0755) == 0) break;
        if (errno != EEXIST || tries > 100) throw Error("cannot create '" + tmp + "': " + Errno());
    }
    // Held while it is built: a sweep takes only the folders of creates that died.
    int held = ::open(tmp.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (held >= 0) ::flock(held, LOCK_EX | LOCK_NB);
    auto drop = [&] {
        ::unlink((tmp + "/" + kUnitFile).c_str());
        ::rmdir(tmp.c_str());
        if (held >= 0) ::close(held);
    };
    if (!WriteFileAtomic(tmp + "/" + kUnitFile, text)) {
        int e = errno;
        drop();
        throw Error("cannot write the description of '" + name + "': " + Errno(e));
    }
    KillPoint("unit-built");
    if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, dir.c_str(), RENAME_NOREPLACE) == 0) {
        if (held >= 0) ::close(held);
        if (!SyncDir(dir_)) throw Error("unit '" + name + "' was created but cannot be flushed to disk: " + Errno());
        return;
    }
    int e = errno;
    drop();
    if (e != EEXIST && e != ENOTEMPTY && e != EINVAL && e != ENOSYS)
        throw Error("cannot create unit '" + name + "': " + Errno(e));
    // The name is taken (or the file system cannot rename without replacing):
    // a folder there without a description is a unit half made, and gets its
    // description now, under its lock, never over another one.
    bool made = ::mkdir(dir.c_str(), 0755) == 0;
    if (!made && errno != EEXIST) throw Error("cannot create unit '" + name + "': " + Errno());
    CheckUnitFolder(dir, name);
    std::string why;
    bool exists = false;
    {
        UnitLock lock(dir, kLockTimeoutMs);
        if (!lock.Locked()) throw Error("unit '" + name + "' is busy: another command holds its lock");
        Unit old;
        old.name = name;
        exists = LoadUnitDir(dir, &old, &why) != LoadResult::Missing;
        if (!exists) {
            SweepUnitLeftovers(dir, name, old);
            if (!WriteFileExclusive(dir + "/" + kUnitFile, text)) {
                if (errno == EEXIST) exists = true;
                else throw Error("cannot write the description of '" + name + "': " + Errno());
            }
        }
    }
    if (exists) throw Error("unit '" + name + "' already exists");
    if (made) SyncDir(dir_);
}

void Bus::ChangeUnit(const std::string &name, const std::function<void(Unit &)> &change)
{
    std::string dir = UnitDir(name);
    CheckUnitFolder(dir, name);
    std::string why;
    bool ok = ModifyUnit(
        dir, name,
        [&](Unit &u, std::string *reason) {
            try {
                change(u);
                return true;
            } catch (const Error &e) {
                *reason = e.what();
                return false;
            }
        },
        &why);
    if (!ok) throw Error(why);
}

void Bus::UpdateUnit(const std::string &name, const UnitDesc &descIn)
{
    UnitDesc unitDesc = descIn;
    ResolveDefaults(&unitDesc);
    ChangeUnit(name, [&](Unit &u) {
        for (const auto &c : u.cards)
            if (c.slot >= static_cast<int>(unitDesc.targets))
                throw Error("slot " + std::to_string(c.slot) + " of unit '" + name +
                            "' holds a card: the unit cannot have fewer targets than that");
        u.unitDesc = unitDesc;
    });
}

Unit Bus::GetUnit(const std::string &name) const
{
    std::string dir = UnitDir(name);
    CheckUnitFolder(dir, name);
    Unit u;
    u.name = name;
    std::string why;
    switch (LoadUnitDir(dir, &u, &why)) {
    case LoadResult::Ok: break;
    case LoadResult::Missing: throw Error("unit '" + name + "' has no description (" + why + ")");
    case LoadResult::Bad: throw Error("malformed description of unit '" + name + "': " + why);
    case LoadResult::Wrong: throw Error("unit '" + name + "' cannot be read: " + why);
    }
    for (auto &c : u.cards) {
        if (c.params.totalSectors == 0) {
            struct stat st;
            uint64_t size = ::stat(c.image.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
            c.params = DefaultDriveParams(size);
        }
    }
    return u;
}

std::vector<std::string> Bus::UnitNames() const
{
    // Links are listed too, so that list can say they are not followed.
    return UnitFolders(dir_, true);
}

void FlushCards(const std::vector<Card> &cards, const std::string &what)
{
    for (const auto &c : cards) {
        std::string why;
        // A bound device: its write cache, as far as the reader has one; nothing is
        // written. One without a card has nothing to flush, nor has an image that
        // does not open: that card reads as absent.
        if (c.device.empty()) {
            if (FlushImage(c.image, c.inPlace, &why) == FlushResult::Failed) throw Error(why + "; " + what);
            continue;
        }
        if (FlushFile(c.device, &why)) continue;
        if (blockdev::Probe(c.device).state != blockdev::Medium::Present) continue;
        throw Error(why + "; " + what);
    }
}

void Bus::Plug(const std::string &name)
{
    ChangeUnit(name, [](Unit &u) { u.unitDesc.connected = true; });
}

void Bus::Unplug(const std::string &name)
{
    ChangeUnit(name, [&](Unit &u) {
        // What the unit reported written is on disk before its cable goes.
        FlushCards(u.cards, "unit '" + name + "' stays plugged in");
        u.unitDesc.connected = false;
    });
}

void Bus::CheckSlot(const std::string &name, int slot, Unit *u) const
{
    *u = GetUnit(name);
    int slots = static_cast<int>(u->unitDesc.targets) - 1;
    if (slot < 1 || slot > slots)
        throw Error("slot " + std::to_string(slot) + " does not exist on unit '" + name + "' (" +
                    ModelName(u->unitDesc.model) + ": slots 1 to " + std::to_string(slots) + ")");
}

namespace {

const Card *FindCard(const Unit &u, int slot)
{
    for (const auto &c : u.cards)
        if (c.slot == slot) return &c;
    return nullptr;
}

}  // namespace

std::string Bus::Insert(const std::string &name, int slot, const std::string &image, bool inPlace,
                        uint64_t blankBytes, const DriveParams *p)
{
    Unit u;
    CheckSlot(name, slot, &u);
    std::string dir = UnitDir(name);
    auto occupied = [&] {
        return Error("slot " + std::to_string(slot) + " of unit '" + name + "' already holds a card");
    };
    if (FindCard(u, slot)) throw occupied();
    Card c;
    c.slot = slot;
    c.insertId = NewInsertId();
    uint64_t bytes;
    if (image.empty()) {
        if (blankBytes == 0 || blankBytes % 512 != 0)
            throw Error("card size " + std::to_string(blankBytes) + " is not a positive multiple of 512 bytes");
        if (blankBytes / 512 > 0xFFFFFFFFull) throw Error("card size is larger than 2 TiB");
        bytes = blankBytes;
    } else {
        bytes = CheckImageFile(image);
    }
    if (p && p->totalSectors > bytes / 512)
        throw Error("drive parameters give " + std::to_string(p->totalSectors) + " sectors, the image holds " +
                    std::to_string(bytes / 512));
    NewFile copy;  // the card made for the slot: named only once it is whole and on disk
    std::string cards = dir + "/" + kCardsDir;
    if (inPlace) {
        c.image = Absolute(image);
        c.inPlace = true;
        if (!IsUtf8(StoredImagePath(c.image, dir)))
            throw Error("the image path '" + c.image + "' is not UTF-8 text and cannot be stored");
    } else {
        if (::mkdir(cards.c_str(), 0755) == 0) SyncDir(dir);
        else if (errno != EEXIST) throw Error("cannot create '" + cards + "': " + Errno());
        std::string what = "a new card in '" + cards + "'";
        if (!copy.Open(cards, "slot" + std::to_string(slot))) throw Error("cannot create " + what + ": " + Errno());
        if (image.empty()) {
            if (::ftruncate(copy.Fd(), static_cast<off_t>(bytes)) != 0) throw Error("cannot size " + what + ": " + Errno());
        } else {
            CopySparse(image, copy.Fd(), cards);
        }
        if (!copy.Flush()) throw Error("cannot flush " + what + " to disk: " + Errno());
    }
    c.params = p ? *p : DefaultDriveParams(bytes);
    if (c.params.totalSectors == 0) c.params.totalSectors = static_cast<uint32_t>(bytes / 512);
    // The new image waits under a hidden name until the description names it,
    // then takes that name: a kill in between leaves it to the next change
    // of the unit, which puts it in place (or, never named, removes it).
    std::string part;
    auto change = [&](Unit &now, std::string *why) {
        if (slot >= static_cast<int>(now.unitDesc.targets)) {
            *why = "slot " + std::to_string(slot) + " does not exist on unit '" + name + "'";
            return false;
        }
        if (FindCard(now, slot)) {
            *why = occupied().what();
            return false;
        }
        if (!inPlace) {
            // A fresh name every time: a card taken out keeps its file.
            for (int k = 1;; ++k) {
                std::string cand = cards + "/slot" + std::to_string(slot) + "-" + std::to_string(k) + ".img";
                struct stat st;
                if (::lstat(cand.c_str(), &st) == 0 || errno != ENOENT ||
                    std::any_of(now.cards.begin(), now.cards.end(), [&](const Card &o) { return o.image == cand; }))
                    continue;
                c.image = cand;
                break;
            }
            for (int tries = 0;; ++tries) {
                part = PartName(c.image);
                if (copy.LinkTo(part)) break;
                if (errno != EEXIST || tries > 100) {
                    *why = "cannot create '" + part + "': " + Errno();
                    part.clear();
                    return false;
                }
            }
            if (!SyncDir(cards)) {
                *why = "cannot flush '" + cards + "' to disk: " + Errno();
                return false;
            }
            KillPoint("part-named");
        }
        now.cards.push_back(c);
        return true;
    };
    auto committed = [&](std::string *why) {
        if (part.empty()) return true;
        if (::rename(part.c_str(), c.image.c_str()) != 0 || !SyncDir(cards)) {
            *why = "the card is in slot " + std::to_string(slot) + " of unit '" + name + "', but its image '" +
                   c.image + "' cannot be put in place: " + Errno() + "; the next change of the unit does it";
            part.clear();  // the next change puts it in place
            return false;
        }
        part.clear();
        return true;
    };
    std::string why;
    bool ok = ModifyUnit(dir, name, change, &why, kLockTimeoutMs, Leniency(), committed);
    // Never named by the description: no card's data is lost.
    if (!part.empty()) ::unlink(part.c_str());
    if (!ok) throw Error(why);
    return c.image;
}

std::string Bus::InsertDevice(const std::string &name, int slot, const std::string &device)
{
    Unit u;
    CheckSlot(name, slot, &u);
    if (device.empty()) throw Error("no device given");
    if (!IsUtf8(device)) throw Error("the device path '" + device + "' is not UTF-8 text and cannot be stored");
    // Binders take the bus's lock as well: two binding one device at once are one after the other.
    UnitLock busLock(dir_, kLockTimeoutMs);
    if (!busLock.Locked()) throw Error("the bus is busy: another command binds a device; try again");
    std::string node;
    ChangeUnit(name, [&](Unit &now) {
        if (slot >= static_cast<int>(now.unitDesc.targets))
            throw Error("slot " + std::to_string(slot) + " does not exist on unit '" + name + "'");
        if (FindCard(now, slot))
            throw Error("slot " + std::to_string(slot) + " of unit '" + name + "' already holds a card");
        std::string why = BindRefusal(dir_, name, slot, device, &node);
        if (!why.empty()) throw Error(why + "; nothing was bound");
        Card c;
        c.slot = slot;
        // The stable name stays as the user gave it: /dev/sdX may name another reader tomorrow.
        c.device = device[0] == '/' ? device : Absolute(device);
        c.params.totalSectors = 0;
        c.insertId = NewInsertId();
        now.cards.push_back(c);
    });
    return node;
}

std::string Bus::InsertBlank(const std::string &name, int slot, uint64_t bytes)
{
    return Insert(name, slot, std::string(), false, bytes, nullptr);
}

std::string Bus::InsertImage(const std::string &name, int slot, const std::string &image, bool inPlace)
{
    if (image.empty()) throw Error("no image file given");
    return Insert(name, slot, image, inPlace, 0, nullptr);
}

std::string Bus::InsertBlank(const std::string &name, int slot, uint64_t bytes, const DriveParams &p)
{
    return Insert(name, slot, std::string(), false, bytes, &p);
}

std::string Bus::InsertImage(const std::string &name, int slot, const std::string &image, bool inPlace,
                             const DriveParams &p)
{
    if (image.empty()) throw Error("no image file given");
    return Insert(name, slot, image, inPlace, 0, &p);
}

void Bus::SetDriveParams(const std::string &name, int slot, const DriveParams &p)
{
    ChangeUnit(name, [&](Unit &u) {
        for (auto &c : u.cards) {
            if (c.slot == slot) {
                c.params = p;
                return;
            }
        }
        throw Error("slot " + std::to_string(slot) + " of unit '" + name + "' is empty");
    });
}

std::string Bus::Pull(const std::string &name, int slot)
{
    std::string dir = UnitDir(name);
    CheckUnitFolder(dir, name);
    std::string image, why;
    if (!TakeCardOut(dir, name, slot, &image, &why)) throw Error(why);
    return image;
}

std::string Bus::Eject(const std::string &name, int slot)
{
    Card c = GetCard(name, slot);
    if (c.device.empty()) return Pull(name, slot);
    std::unique_ptr<Medium> m = OpenDeviceMedium(c, DeviceGuard());
    uint64_t id = 0;
    if (!m->Present()) throw Error("slot " + std::to_string(slot) + " of unit '" + name + "' is empty: no card in " + c.device);
    if (!m->EjectInPlace(&id)) throw Error("cannot flush '" + c.device + "'; the card stays in");
    std::string boot = BootId();
    ChangeUnit(name, [&](Unit &u) {
        for (auto &card : u.cards) {
            if (card.slot != slot || card.device != c.device) continue;
            card.ejectedMedium = id;
            card.ejectedBoot = boot;
            return;
        }
        throw Error("slot " + std::to_string(slot) + " of unit '" + name + "' changed meanwhile");
    });
    return c.device;
}

bool Bus::HasCard(const std::string &name, int slot) const
{
    return FindCard(GetUnit(name), slot) != nullptr;
}

Card Bus::GetCard(const std::string &name, int slot) const
{
    Unit u;
    CheckSlot(name, slot, &u);
    if (const Card *c = FindCard(u, slot)) return *c;
    throw Error("slot " + std::to_string(slot) + " of unit '" + name + "' is empty");
}

std::string Bus::CardImage(const std::string &name, int slot) const
{
    return GetCard(name, slot).image;
}

}  // namespace vbus
