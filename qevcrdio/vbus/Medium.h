// Where a card's data lives. The library reaches every card through this
// interface, whatever holds it: today an image file, later also a block
// device bound to the slot. Keep it small: open (OpenMedium), size, read,
// write, flush, close.
//
// A medium is used from one thread at a time (the library holds its lock).
#pragma once

#include "VBus.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vbus {

enum class IoResult {
    Ok,
    End,    // the range reaches past the end of the medium (it shrank under us)
    Error,  // the system refused the transfer (errno)
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
    // What it is, for messages: the path of the file.
    virtual std::string Name() const = 0;
};

// Opens the medium of a card: read-write, else read-only. Never blocks (a FIFO
// or a device node where an image file should be is refused) and, for an
// image the bus made itself, never follows a symlink. nullptr with *why.
std::unique_ptr<Medium> OpenMedium(const Card &card, std::string *why = nullptr);

}  // namespace vbus
