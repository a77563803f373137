#include "Device.h"

#include "UDisks.h"
#include "Usage.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/cdrom.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace blockdev {

namespace {

constexpr size_t kBounceAlign = 4096;

bool Aligned(const void *p, size_t a)
{
    return reinterpret_cast<uintptr_t>(p) % a == 0;
}

// udev leaves a device alone while someone holds this lock, so no probe or
// partition re-read runs in the middle of our writes. Taken when free soon.
void LockAgainstUdev(int fd)
{
    for (int i = 0; i < 50; ++i) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return;
        if (errno != EWOULDBLOCK && errno != EINTR) return;
        struct timespec ts{0, 2000000};
        nanosleep(&ts, nullptr);
    }
}

bool NoMediumErrno(int e)
{
    return e == ENOMEDIUM || e == ENXIO || e == ENODEV || e == ENOENT;
}

}  // namespace

const char *IoName(Device::Io io)
{
    switch (io) {
    case Device::Io::Ok: return "ok";
    case Device::Io::NoMedium: return "no medium";
    case Device::Io::InUse: return "in use";
    case Device::Io::Held: return "held by another program";
    case Device::Io::NoAccess: return "no permission";
    case Device::Io::Changed: return "medium changed";
    case Device::Io::MediumError: return "medium error";
    case Device::Io::ReadOnly: return "read-only";
    case Device::Io::Refused: return "refused";
    case Device::Io::OutOfRange: return "out of range";
    case Device::Io::Failed: return "failed";
    }
    return "?";
}

Device::Device(std::string path, WriteCheck check) : path_(std::move(path)), check_(std::move(check)) {}

Device::~Device()
{
    Release();
    std::free(bounce_);
}

Device::Io Device::Fail(Io io, const std::string &what, int err)
{
    error_ = "'" + path_ + "': " + what + (err ? std::string(": ") + std::strerror(err) : std::string());
    return io;
}

void Device::Close()
{
    if (fd_ >= 0) ::close(fd_);  // also drops the udev lock
    fd_ = -1;
    writable_ = false;
    dirty_ = false;
}

Device::Io Device::Open(bool write)
{
    if (fd_ >= 0 && (writable_ || !write)) return Io::Ok;
    if (fd_ >= 0) Close();  // opened for reading only: nothing to flush
    if (write) {
        NodeInfo node;
        std::string why;
        if (!Resolve(path_, &node, &why)) {
            Medium m = Probe(path_);
            if (m.state == Medium::Missing || m.state == Medium::NoMedium) return Fail(Io::NoMedium, "no medium", 0);
            error_ = why;
            return Io::Failed;
        }
        if (node.partition) {
            error_ = "'" + path_ + "' is a partition of /dev/" + node.diskSysName + "; a card is bound as a whole";
            return Io::Refused;
        }
        Usage usage = UsageOf(node.diskSysName);
        if (usage.Any()) {
            error_ = RefusalText(node.node, usage);
            // Mounted or swap: not ready until the system lets go. The system itself: never.
            return usage.system ? Io::Refused : Io::InUse;
        }
        std::string refusal = check_ ? check_(node) : std::string();
        if (!refusal.empty()) {
            error_ = refusal;
            return Io::Refused;
        }
    }
    int mode = write ? O_RDWR : O_RDONLY;
    direct_ = true;
    int fd = OpenNode(path_, mode | O_EXCL | O_DIRECT);
    if (fd < 0 && errno == EINVAL) {
        direct_ = false;  // no direct I/O on this device: the page cache then
        fd = OpenNode(path_, mode | O_EXCL);
    }
    if (fd < 0) {
        int e = errno;
        if (NoMediumErrno(e)) return Fail(Io::NoMedium, "no medium", e);
        if (e == EBUSY) {
            // The kernel holds a mounted or stacked-on disk exclusively too: say which it is.
            NodeInfo node;
            std::string why;
            if (Resolve(path_, &node, &why)) {
                Usage usage = UsageOf(node.diskSysName);
                if (usage.Any()) {
                    error_ = RefusalText(node.node, usage);
                    return Io::InUse;
                }
            }
            return Fail(Io::Held, "opened exclusively by another program", e);
        }
        if (e == EACCES || e == EPERM) {
            error_ = "'" + path_ + "': " + NoAccessAdvice() +
                     (OpenNodeWhy().empty() ? std::string() : " (" + OpenNodeWhy() + ")");
            return Io::NoAccess;
        }
        if (write && e == EROFS) return Fail(Io::ReadOnly, "cannot be opened for writing", e);
        return Fail(Io::Failed, "cannot be opened", e);
    }
    struct stat st;
    uint64_t bytes = 0;
    int lbs = 0;
    if (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) {
        ::close(fd);
        return Fail(Io::Failed, "is not a block device", 0);
    }
    if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0 || bytes == 0) {
        ::close(fd);
        return Fail(Io::NoMedium, "no medium", 0);
    }
    if (::ioctl(fd, BLKSSZGET, &lbs) != 0 || lbs <= 0) lbs = 512;
    uint64_t seq = 0;
#ifdef BLKGETDISKSEQ
    if (::ioctl(fd, BLKGETDISKSEQ, &seq) != 0) seq = 0;
#endif
    // Another card since the caller last looked: it hears so before a byte moves.
    if (seq != 0 && known_ != 0 && seq != known_) {
        ::close(fd);
        known_ = seq;
        return Fail(Io::Changed, "another medium is in the device", 0);
    }
    if (seq != 0) known_ = seq;
    if (write) LockAgainstUdev(fd);
    fd_ = fd;
    writable_ = write;
    bytes_ = bytes;
    blockSize_ = static_cast<uint32_t>(lbs);
    seq_ = seq;
    dirty_ = false;
    return Io::Ok;
}

Device::Io Device::Read(uint64_t offset, void *buf, size_t len)
{
    return Transfer(false, offset, buf, len);
}

Device::Io Device::Write(uint64_t offset, const void *buf, size_t len)
{
    return Transfer(true, offset, const_cast<void *>(buf), len);
}

Device::Io Device::Transfer(bool write, uint64_t offset, void *buf, size_t len)
{
    used_ = true;
    if (Io io = Open(write); io != Io::Ok) return io;
#ifdef BLKGETDISKSEQ
    // Another card pushed in between two calls must not be written as if it were the first.
    uint64_t seq = 0;
    if (seq_ != 0 && ::ioctl(fd_, BLKGETDISKSEQ, &seq) == 0 && seq != seq_) {
        if (dirty_) ::fdatasync(fd_);
        Close();
        if (seq != known_) {
            known_ = seq;
            return Fail(Io::Changed, "another medium is in the device", 0);
        }
        // The caller looked at the new card already: on to it.
        if (Io io = Open(write); io != Io::Ok) return io;
    }
#endif
    if (offset > bytes_ || len > bytes_ - offset) return Fail(Io::OutOfRange, "past the end of the medium", 0);
    if (offset % blockSize_ != 0 || len % blockSize_ != 0)
        return Fail(Io::Failed, "not whole blocks of " + std::to_string(blockSize_) + " bytes", 0);
    if (len == 0) return Io::Ok;

    bool bounce = direct_ && !Aligned(buf, blockSize_ < 512 ? 512 : blockSize_);
    for (int attempt = 0; attempt < 2; ++attempt) {
        uint8_t *io = static_cast<uint8_t *>(buf);
        if (bounce) {
            if (bounceSize_ < len) {
                std::free(bounce_);
                bounce_ = nullptr;
                bounceSize_ = 0;
                size_t size = (len + kBounceAlign - 1) / kBounceAlign * kBounceAlign;
                if (posix_memalign(&bounce_, kBounceAlign, size) != 0) return Fail(Io::Failed, "out of memory", 0);
                bounceSize_ = size;
            }
            io = static_cast<uint8_t *>(bounce_);
            if (write) std::memcpy(io, buf, len);
        }
        size_t done = 0;
        int err = 0;
        while (done < len) {
            ssize_t n = write ? ::pwrite(fd_, io + done, len - done, static_cast<off_t>(offset + done))
                              : ::pread(fd_, io + done, len - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                err = errno;
                break;
            }
            if (n == 0) break;
            done += static_cast<size_t>(n);
        }
        if (write && done > 0) dirty_ = true;
        if (done == len) {
            if (!write && bounce) std::memcpy(buf, io, len);
            break;
        }
        if (err == EINVAL && direct_ && !bounce) {
            bounce = true;  // the device wants more alignment than we guessed
            continue;
        }
        if (err == 0) {
            // The medium ended early: it shrank or went away under us.
            Close();
            return Fail(Io::NoMedium, "the medium ended early", 0);
        }
        if (NoMediumErrno(err)) {
            Close();
            return Fail(Io::NoMedium, "no medium", err);
        }
        if (write && (err == EROFS || err == EPERM || err == EACCES)) return Fail(Io::ReadOnly, "write refused", err);
        if (err == EIO || err == EILSEQ || err == ENODATA || err == EBADMSG || err == ENOSPC || err == ETIMEDOUT ||
            err == ENOLINK || err == EREMOTEIO)
            return Fail(Io::MediumError, write ? "write error" : "read error", err);
        return Fail(Io::Failed, write ? "write failed" : "read failed", err);
    }
    if (write && sync_ && !Flush()) return Io::MediumError;
    return Io::Ok;
}

bool Device::Flush()
{
    if (fd_ < 0 || !dirty_) return true;
    int rc;
    do rc = ::fdatasync(fd_);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        Fail(Io::MediumError, "flush failed", errno);
        return false;
    }
    dirty_ = false;
    return true;
}

bool Device::Release()
{
    bool ok = Flush();
    Close();
    used_ = false;
    return ok;
}

bool Device::Tick()
{
    bool ok = true;
    if (fd_ >= 0 && !used_) ok = Release();
    used_ = false;
    return ok;
}

bool Device::Eject()
{
    // Data that did not reach the card stays with it: a card ejected now would lose it.
    if (!Release()) return false;
    bool ok = true;
    if (seq_ == 0) {
        Medium m = Probe(path_);
        seq_ = m.diskSeq;
    }
    // The medium itself, where the device can: a reader that cannot keeps it,
    // and the slot stays empty until another medium comes.
    int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st;
        if (::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode)) {
#ifdef BLKGETDISKSEQ
            uint64_t seq = 0;
            if (::ioctl(fd, BLKGETDISKSEQ, &seq) == 0) seq_ = seq;
#endif
            ::ioctl(fd, CDROMEJECT, 0);
        }
        ::close(fd);
    }
    // A reader that reports the eject as a medium change while keeping the card
    // has given it a new number: that card is still the one ejected.
    Medium after = Probe(path_);
    if (after.state == Medium::Present && after.diskSeq > seq_) seq_ = after.diskSeq;
    return ok;
}

}  // namespace blockdev
