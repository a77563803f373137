// The medium of a card bound to a block device: a card in an ordinary reader,
// or a loop device. The device itself is opened by the first transfer (see
// blockdev::Device); presence is asked of the kernel at every look.
#include "Bindings.h"
#include "Device.h"
#include "Medium.h"

#include <cstring>
#include <vector>

namespace vbus {

namespace {

IoResult Map(blockdev::Device::Io io)
{
    using Io = blockdev::Device::Io;
    switch (io) {
    case Io::Ok: return IoResult::Ok;
    case Io::NoMedium: return IoResult::NoMedium;
    case Io::InUse: return IoResult::InUse;
    case Io::Held: return IoResult::Held;
    case Io::NoAccess: return IoResult::NoAccess;
    case Io::Changed: return IoResult::Changed;
    case Io::MediumError: return IoResult::Error;
    case Io::ReadOnly: return IoResult::Protected;
    case Io::Refused: return IoResult::Protected;
    case Io::OutOfRange: return IoResult::End;
    case Io::Failed: return IoResult::Error;
    }
    return IoResult::Error;
}

class DeviceMedium final : public Medium {
public:
    DeviceMedium(const Card &card, const DeviceGuard &guard)
        : path_(card.device),
          ejected_(card.ejectedMedium),
          ejectedBoot_(card.ejectedBoot),
          device_(card.device, [guard](const blockdev::NodeInfo &n) {
              return guard ? guard(n.node, static_cast<uint64_t>(n.diskRdev)) : std::string();
          })
    {
        Look();
    }

    // Whether the card takes writes shows when it is opened for one (Protected then).
    bool Writable() const override { return true; }
    uint64_t Size() override { return present_ ? bytes_ : 0; }

    IoResult Read(uint64_t offset, void *buf, size_t len) override
    {
        if (Whole(offset, len)) return Note(device_.Read(offset, buf, len));
        std::vector<uint8_t> blocks;
        uint64_t first;
        if (IoResult r = ReadAround(offset, len, &blocks, &first); r != IoResult::Ok) return r;
        std::memcpy(buf, blocks.data() + (offset - first), len);
        return IoResult::Ok;
    }

    IoResult Write(uint64_t offset, const void *buf, size_t len) override
    {
        if (Whole(offset, len)) return Note(device_.Write(offset, buf, len));
        // Part of a block: the rest of it as it is on the card.
        std::vector<uint8_t> blocks;
        uint64_t first;
        if (IoResult r = ReadAround(offset, len, &blocks, &first); r != IoResult::Ok) return r;
        std::memcpy(blocks.data() + (offset - first), buf, len);
        return Note(device_.Write(first, blocks.data(), blocks.size()));
    }

    bool Flush() override { return device_.Flush(); }
    bool Close() override { return device_.Release(); }
    bool Release() override { return device_.Release(); }
    // The card in the device is checked by every transfer (another one there fails it).
    bool Current() override { return true; }
    std::string Name() const override { return path_; }

    bool ReleaseIdle() override
    {
        if (device_.Tick()) return true;
        flushFailed_ = true;
        return false;
    }
    bool TakeFlushFailure() override
    {
        bool failed = flushFailed_;
        flushFailed_ = false;
        return failed;
    }

    bool Look() override
    {
        ReleaseIdle();
        blockdev::Medium m = blockdev::Probe(path_);
        present_ = m.state == blockdev::Medium::Present && !StillEjected(m.diskSeq);
        // Seen by the caller: a new card found by a look is no surprise to its first transfer.
        if (present_) device_.Acknowledge(m.diskSeq);
        if (present_) {
            bytes_ = m.bytes;
            blockSize_ = m.logicalBlockSize;
        }
        return present_;
    }
    bool Present() const override { return present_; }
    uint32_t BlockSize() const override { return blockSize_; }
    bool Slow() const override { return true; }

    bool EjectInPlace(uint64_t *id) override
    {
        // Not flushed: the card stays in, here as on the bus.
        if (!device_.Eject()) return false;
        bool ok = true;
        *id = device_.DiskSeq() ? device_.DiskSeq() : kEjectedUnknown;
        ejected_ = *id;
        ejectedBoot_ = BootId();
        present_ = false;
        return ok;
    }

private:
    bool StillEjected(uint64_t seq) const
    {
        if (ejected_ == 0) return false;
        if (ejected_ == kEjectedUnknown || seq == 0) return true;  // no numbers: until bound again
        // Numbers start anew at boot: one of another boot names another card.
        if (!ejectedBoot_.empty() && ejectedBoot_ != BootIdCached()) return false;
        return seq == ejected_;
    }
    static const std::string &BootIdCached()
    {
        static const std::string id = BootId();
        return id;
    }
    bool Whole(uint64_t offset, size_t len) const { return offset % blockSize_ == 0 && len % blockSize_ == 0; }
    IoResult ReadAround(uint64_t offset, size_t len, std::vector<uint8_t> *blocks, uint64_t *first)
    {
        *first = offset / blockSize_ * blockSize_;
        uint64_t end = (offset + len + blockSize_ - 1) / blockSize_ * blockSize_;
        blocks->resize(static_cast<size_t>(end - *first));
        return Note(device_.Read(*first, blocks->data(), blocks->size()));
    }
    IoResult Note(blockdev::Device::Io io)
    {
        if (io == blockdev::Device::Io::NoMedium) present_ = false;
        if (io == blockdev::Device::Io::Changed) {
            // The new card is in: the next transfer goes to it, with its size.
            blockdev::Medium m = blockdev::Probe(path_);
            present_ = m.state == blockdev::Medium::Present;
            if (present_) {
                bytes_ = m.bytes;
                blockSize_ = m.logicalBlockSize;
            }
        }
        return Map(io);
    }

    std::string path_;
    uint64_t ejected_;
    std::string ejectedBoot_;
    blockdev::Device device_;
    bool present_ = false;
    bool flushFailed_ = false;  // by a release no caller heard of
    uint64_t bytes_ = 0;
    uint32_t blockSize_ = 512;
};

}  // namespace

std::unique_ptr<Medium> OpenDeviceMedium(const Card &card, const DeviceGuard &guard)
{
    return std::make_unique<DeviceMedium>(card, guard);
}

}  // namespace vbus
