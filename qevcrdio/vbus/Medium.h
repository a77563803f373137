// Where a card's data lives: an image file, or a block device bound to the
// slot (a card in an ordinary reader). The library reaches every card through
// this interface, whatever holds it: open (OpenMedium), look, size, read,
// write, flush, eject, close.
//
// A medium is used from one thread at a time (the library holds its lock; a
// VD write may hand different media to different threads).
#pragma once

#include "VBus.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vbus {

enum class IoResult {
    Ok,
    End,        // the range reaches past the end of the medium (it shrank under us)
    Error,      // the medium failed the transfer (an I/O error: a medium error)
    NoMedium,   // no card in the device (any more)
    NotReady,   // not ready, no more precise cause known
    InUse,      // the card is in use elsewhere (mounted, swap, a device stacked on it)
    Held,       // another program holds the device exclusively
    NoAccess,   // no permission to open the device
    Changed,    // another card came into the device since it was opened
    Protected,  // the card refuses writing (write-protected, or a write the safety checks refuse)
};

class Medium {
public:
    virtual ~Medium() = default;  // closes, without flushing

    // False when it was opened read-only (the caller reports data protect).
    virtual bool Writable() const = 0;
    // Bytes the medium holds now (a file truncated meanwhile shows at once); 0 when unknown.
    virtual uint64_t Size() = 0;
    // Exactly len bytes at offset, or End / Error. Never more than asked for.
    virtual IoResult Read(uint64_t offset, void *buf, size_t len) = 0;
    // Exactly len bytes at offset. Never grows the medium: past its end is End.
    virtual IoResult Write(uint64_t offset, const void *buf, size_t len) = 0;
    // Everything written so far on stable storage.
    virtual bool Flush() = 0;
    // Closes now; false when closing reported an error (the medium is closed all the same).
    virtual bool Close() = 0;
    // Still the medium that the card's description names (a file renamed over
    // an image, or a device swapped, is another medium). Costs a system call.
    virtual bool Current() = 0;
    // What it is, for messages: the path of the file or device.
    virtual std::string Name() const = 0;

    // Looks afresh whether a card is in: a block device asks the kernel now
    // (and, for now, lets go of an idle device as ReleaseIdle does); a file is
    // in while it is open. Slot status and drive information look.
    virtual bool Look() { return true; }
    // Lets go of what no transfer used since the last call (a block device is
    // closed until its next transfer, so the system may have it), flushing it
    // first. Meant for a look about once a second, under the backend's lock.
    // False when that flush failed: data a WRITE(10) reported written may be
    // lost. The failure is also kept for the card: TakeFlushFailure() hands it
    // over once, so the next transfer, eject or free on the card reports it
    // (QEV_E_WRITE_ERROR; free: 0) when the caller of this one cannot.
    virtual bool ReleaseIdle() { return true; }
    // A flush failure kept by a release whose caller could not report it; true
    // once per failure, then cleared.
    virtual bool TakeFlushFailure() { return false; }
    // Whether a card was in at the last look (a transfer that found none says no).
    virtual bool Present() const { return true; }
    // Bytes of one logical block of the medium: what the drive reports as its sector size.
    virtual uint32_t BlockSize() const { return 512; }
    // Flushes, and lets go of what it can take again by itself: a block
    // device is closed until the next transfer, so the system may use it.
    virtual bool Release() { return Flush(); }
    // Transfers wait on a device: worth running beside the writes to other cards.
    virtual bool Slow() const { return false; }
    // A medium that stays bound when ejected (a device): flushes, asks the
    // device to eject its card and gives in *id what names that card (0 when
    // the kernel cannot tell). False when it is no such medium or the flush
    // failed; the card is then neither ejected nor taken for ejected.
    virtual bool EjectInPlace(uint64_t *id)
    {
        (void)id;
        return false;
    }
};

// Asked before a block device is opened for writing: "" allows it, else why
// not, for the user (the bus's check that no other slot holds the device).
using DeviceGuard = std::function<std::string(const std::string &node, uint64_t rdev)>;

// Opens the medium of a card: read-write, else read-only. Never blocks (a FIFO
// or a device node where an image file should be is refused) and, for an
// image the bus made itself, never follows a symlink. nullptr with *why.
// A card bound to a block device gets a medium that opens the device only
// when it transfers; guard is asked before it writes.
std::unique_ptr<Medium> OpenMedium(const Card &card, std::string *why = nullptr,
                                   const DeviceGuard &guard = DeviceGuard());

// The medium of a card bound to a block device (OpenMedium picks it).
std::unique_ptr<Medium> OpenDeviceMedium(const Card &card, const DeviceGuard &guard);

}  // namespace vbus
