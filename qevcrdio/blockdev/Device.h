// Transfers to and from one block device bound to a slot.
//
// The device is opened on the first transfer, exclusively (O_EXCL, so the
// kernel refuses a mount while it is open, and a mounted card cannot be
// opened at all), with direct I/O through an aligned bounce buffer when the
// caller's buffer is not aligned. It stays open while transfers keep coming:
// Tick(), called at every look at the slot's status, lets it go once a whole
// tick passed without a transfer, so that a loop device detached or a card
// taken out while idle is seen at once, and the card is free for the system.
// Every open for writing first checks that nothing else uses the disk
// (mounts, swap, stacked devices, the running system), then asks the
// caller's own check. The node itself is opened in one place, OpenNode(). Data written is flushed (device cache included) by
// Flush(), Release(), Eject() and the destructor. Not thread-safe: one
// caller at a time.
#pragma once

#include "Node.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace blockdev {

class Device {
public:
    enum class Io {
        Ok,
        NoMedium,     // no card (or size 0); the slot is empty
        InUse,        // mounted, swap, or a device stacked on it: not ready (LastError says why)
        Held,         // another program has it open exclusively
        NoAccess,     // no permission to open the node
        Changed,      // another medium came in since the device was opened
        MediumError,  // the device reported an I/O error
        ReadOnly,     // write-protected, or no permission to write
        Refused,      // a write refused for good: the running system, a partition, the caller's check
        OutOfRange,   // past the end of the medium
        Failed,       // anything else (LastError says what)
    };
    // Asked before every open for writing: "" allows it, else why not (for the user).
    using WriteCheck = std::function<std::string(const NodeInfo &)>;

    explicit Device(std::string path, WriteCheck check = WriteCheck());
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    const std::string &Path() const { return path_; }

    // Whole logical blocks at a byte offset.
    Io Read(uint64_t offset, void *buf, size_t len);
    Io Write(uint64_t offset, const void *buf, size_t len);

    // Every write waits for stable storage (false: only the flush points do).
    void SetSync(bool always) { sync_ = always; }
    // Data written so far is on stable storage; false when the device says otherwise.
    bool Flush();
    // Flushes and closes; the result is the flush's (the device is closed all the same).
    bool Release();
    // Releases the device when no transfer came since the last call (an idle
    // device is let go). False when that release's flush failed: the data
    // written may be lost, and no caller of a transfer has heard of it yet.
    bool Tick();
    // Flushes, closes and asks the kernel to eject the medium (ignored where the
    // device cannot); DiskSeq() names the medium ejected. False when the flush
    // failed: the medium is not ejected then.
    bool Eject();

    // The caller has seen the medium with this disk sequence number (a look at
    // the slot's status): a transfer on it is no change. Any other medium the
    // device opens (also after an idle release) fails its first transfer with
    // Changed, once; the next one goes ahead on it.
    void Acknowledge(uint64_t seq)
    {
        if (seq != 0) known_ = seq;
    }

    bool IsOpen() const { return fd_ >= 0; }
    // The medium last opened: the kernel's disk sequence number, 0 when unknown.
    uint64_t DiskSeq() const { return seq_; }
    // What went wrong in the last call that failed.
    const std::string &LastError() const { return error_; }

private:
    Io Open(bool write);
    Io Transfer(bool write, uint64_t offset, void *buf, size_t len);
    Io Fail(Io io, const std::string &what, int err);
    void Close();

    std::string path_;
    WriteCheck check_;
    int fd_ = -1;
    bool writable_ = false;
    bool direct_ = false;
    bool dirty_ = false;
    bool used_ = false;
    bool sync_ = false;
    uint64_t bytes_ = 0;
    uint32_t blockSize_ = 512;
    uint64_t seq_ = 0;
    uint64_t known_ = 0;  // the medium the caller knows of, 0 when none yet
    void *bounce_ = nullptr;
    size_t bounceSize_ = 0;
    std::string error_;
};

// A short name of an outcome, for messages and tests.
const char *IoName(Device::Io io);

}  // namespace blockdev
