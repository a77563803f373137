#include "Medium.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vbus {

namespace {

class ImageMedium final : public Medium {
public:
    ImageMedium(int fd, bool writable, const struct stat &st, std::string path)
        : fd_(fd), writable_(writable), dev_(st.st_dev), ino_(st.st_ino), path_(std::move(path))
    {
    }
    ~ImageMedium() override
    {
        if (fd_ >= 0) ::close(fd_);
    }

    bool Writable() const override { return writable_; }

    uint64_t Size() override
    {
        // The end of the file as it is now; lseek is the cheapest way to ask (no attribute copy).
        if (fd_ < 0) return 0;
        off_t end = ::lseek(fd_, 0, SEEK_END);
        return end < 0 ? 0 : static_cast<uint64_t>(end);
    }

    IoResult Read(uint64_t off, void *buf, size_t len) override
    {
        auto *p = static_cast<uint8_t *>(buf);
        while (len > 0) {
            ssize_t n = ::pread(fd_, p, len, static_cast<off_t>(off));
            if (n < 0) {
                if (errno == EINTR) continue;
                return IoResult::Error;
            }
            if (n == 0) return IoResult::End;  // the file ends before the range does
            p += n;
            len -= static_cast<size_t>(n);
            off += static_cast<uint64_t>(n);
        }
        return IoResult::Ok;
    }

    IoResult Write(uint64_t off, const void *buf, size_t len) override
    {
        // A truncated image is a failing card, never one that grows back.
        if (off + len > Size()) return IoResult::End;
        written_ = true;
        const auto *p = static_cast<const uint8_t *>(buf);
        while (len > 0) {
            ssize_t n = ::pwrite(fd_, p, len, static_cast<off_t>(off));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return IoResult::Error;
            p += n;
            len -= static_cast<size_t>(n);
            off += static_cast<uint64_t>(n);
        }
        return IoResult::Ok;
    }

    bool Flush() override
    {
        if (fd_ < 0 || ::fdatasync(fd_) != 0) return false;
        written_ = false;
        return true;
    }

    // Only what we wrote: a read-only session must not wait on the journal
    // commit that another file's dirty pages would make fdatasync pay for.
    bool Release() override { return !written_ || Flush(); }

    bool Close() override
    {
        if (fd_ < 0) return true;
        int rc = ::close(fd_);
        fd_ = -1;
        return rc == 0;
    }

    bool Current() override
    {
        struct stat st;
        return fd_ >= 0 && ::stat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_ &&
               S_ISREG(st.st_mode);
    }

    std::string Name() const override { return path_; }

private:
    int fd_;
    bool writable_;
    bool written_ = false;  // since the last flush
    dev_t dev_;
    ino_t ino_;
    std::string path_;
};

}  // namespace

std::unique_ptr<Medium> OpenMedium(const Card &card, std::string *why, const DeviceGuard &guard)
{
    if (!card.device.empty()) return OpenDeviceMedium(card, guard);
    // O_NONBLOCK: a FIFO in the image's place must not hold the caller.
    int flags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (card.inPlace ? 0 : O_NOFOLLOW);
    bool writable = true;
    int fd = ::open(card.image.c_str(), O_RDWR | flags);
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        writable = false;
        fd = ::open(card.image.c_str(), O_RDONLY | flags);
    }
    if (fd < 0) {
        if (why) *why = "cannot open '" + card.image + "': " + std::strerror(errno);
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        if (why) *why = "'" + card.image + "' is not a regular file";
        return nullptr;
    }
    // Regular files never block; plain blocking I/O from here on.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return std::make_unique<ImageMedium>(fd, writable, st, card.image);
}

}  // namespace vbus
