#include "LoopDevice.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/blkpg.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/swap.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tvqtest {

namespace fs = std::filesystem;

namespace {

std::string Errno()
{
    return std::strerror(errno);
}

std::string &ProcessScratch()
{
    static std::string dir;
    return dir;
}

pid_t &ScratchOwner()
{
    static pid_t pid = 0;
    return pid;
}

void RemoveProcessScratch()
{
    // A child forked by a test exits too: the folder is its parent's.
    std::error_code ec;
    if (!ProcessScratch().empty() && ScratchOwner() == ::getpid()) fs::remove_all(ProcessScratch(), ec);
}

}  // namespace

std::string BackingFile(const std::string &node)
{
    auto slash = node.rfind('/');
    std::ifstream in("/sys/block/" + node.substr(slash + 1) + "/loop/backing_file");
    std::string line;
    std::getline(in, line);
    return line;
}

int Shell(const std::string &command)
{
    int rc = std::system(command.c_str());
    if (rc == -1 || !WIFEXITED(rc)) return -1;
    return WEXITSTATUS(rc);
}

std::string ShellOutput(const std::string &command)
{
    std::string out;
    FILE *p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
}

std::string LoopDevice::Unavailable()
{
    if (::geteuid() != 0) return "not running as root";
    int ctl = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (ctl < 0) return "/dev/loop-control: " + Errno();
    int n = ::ioctl(ctl, LOOP_CTL_GET_FREE);
    std::string why = n < 0 ? "no free loop device: " + Errno() : "";
    ::close(ctl);
    return why;
}

std::string LoopDevice::ScratchDir()
{
    std::string &dir = ProcessScratch();
    if (!dir.empty()) return dir;
    const char *base = std::getenv("TVQ_LOOP_SCRATCH");
    if (!base || !*base) base = std::getenv("TMPDIR");
    if (!base || !*base) base = "/tmp";
    std::error_code ec;
    fs::create_directories(base, ec);
    std::string tmpl = std::string(base) + "/loop-" + std::to_string(::getpid()) + "-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot make a scratch folder in " + std::string(base));
    dir = tmpl;
    ScratchOwner() = ::getpid();
    std::atexit(RemoveProcessScratch);
    return dir;
}

LoopDevice::LoopDevice(uint64_t bytes, uint32_t blockSize, bool partitions, const std::string &dir)
    : blockSize_(blockSize), partitions_(partitions)
{
    std::string tmpl = (dir.empty() ? ScratchDir() : dir) + "/card-XXXXXX";
    int fd = ::mkstemp(tmpl.data());
    if (fd < 0) throw std::runtime_error("cannot make a card file: " + Errno());
    std::error_code ec;
    file_ = fs::canonical(tmpl, ec).string();  // as the kernel names the backing file
    if (ec) file_ = tmpl;
    bool sized = ::ftruncate(fd, static_cast<off_t>(bytes)) == 0;
    ::close(fd);
    if (!sized) throw std::runtime_error("cannot size " + file_ + ": " + Errno());
    AttachTo(-1);
}

LoopDevice::~LoopDevice()
{
    UnmountAll();
    if (attached_) {
        // A swap on the device or a partition of it would keep it attached.
        ::swapoff(node_.c_str());
        for (int p = 1; p <= 4; ++p) ::swapoff((node_ + "p" + std::to_string(p)).c_str());
    }
    Detach();
    ::unlink(file_.c_str());
}

void LoopDevice::AttachTo(int preferred)
{
    int ctl = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (ctl < 0) throw std::runtime_error("/dev/loop-control: " + Errno());
    int back = ::open(file_.c_str(), (readOnly_ ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    if (back < 0) {
        ::close(ctl);
        throw std::runtime_error("cannot open " + file_ + ": " + Errno());
    }
    std::string err;
    // Another test process may take the free device between asking and configuring.
    for (int attempt = 0; attempt < 50; ++attempt) {
        int n = attempt == 0 && preferred >= 0 ? preferred : ::ioctl(ctl, LOOP_CTL_GET_FREE);
        if (n < 0) {
            err = "no free loop device: " + Errno();
            break;
        }
        std::string node = "/dev/loop" + std::to_string(n);
        int lfd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
        if (lfd < 0) {
            err = node + ": " + Errno();
            continue;
        }
        struct loop_config cfg;
        std::memset(&cfg, 0, sizeof cfg);
        cfg.fd = static_cast<uint32_t>(back);
        cfg.block_size = blockSize_;
        if (partitions_) cfg.info.lo_flags = LO_FLAGS_PARTSCAN;
        if (readOnly_) cfg.info.lo_flags |= LO_FLAGS_READ_ONLY;
        std::strncpy(reinterpret_cast<char *>(cfg.info.lo_file_name), file_.c_str(), LO_NAME_SIZE - 1);
        int rc = ::ioctl(lfd, LOOP_CONFIGURE, &cfg);
        int e = errno;
        ::close(lfd);
        if (rc == 0) {
            node_ = node;
            backing_ = file_;
            attached_ = true;
            err.clear();
            break;
        }
        err = node + ": " + std::strerror(e);
        if (e != EBUSY) break;
        if (attempt == 0 && preferred >= 0) break;  // the same node or nothing
    }
    ::close(back);
    ::close(ctl);
    if (!attached_) throw std::runtime_error("cannot attach " + file_ + ": " + err);
}

void LoopDevice::Detach()
{
    if (!attached_) return;
    int fd = ::open(node_.c_str(), O_RDONLY | O_CLOEXEC);
    // Detached behind our back, the node may be another test's by now: only over our file.
    if (fd >= 0) {
        if (BackingFile(node_).rfind(backing_, 0) == 0) ::ioctl(fd, LOOP_CLR_FD, 0);
        ::close(fd);
    }
    attached_ = false;
}

void LoopDevice::ChangeFile(const std::string &file)
{
    std::error_code ec;
    std::string path = fs::canonical(file, ec).string();
    if (ec) throw std::runtime_error("no file " + file);
    int back = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (back < 0) throw std::runtime_error("cannot open " + path + ": " + Errno());
    int fd = ::open(node_.c_str(), O_RDONLY | O_CLOEXEC);
    int rc = fd >= 0 && BackingFile(node_).rfind(backing_, 0) == 0 ? ::ioctl(fd, LOOP_CHANGE_FD, back) : -1;
    std::string e = Errno();
    if (fd >= 0) ::close(fd);
    ::close(back);
    if (rc != 0) throw std::runtime_error("cannot change the file of " + node_ + ": " + e);
    backing_ = path;
}

void LoopDevice::Attach(bool readOnly)
{
    readOnly_ = readOnly;
    // Detached behind our back (losetup -d) counts as detached.
    uint64_t size = 0;
    int fd = ::open(node_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        if (::ioctl(fd, BLKGETSIZE64, &size) != 0) size = 0;
        ::close(fd);
    }
    if (attached_ && size > 0) return;
    attached_ = false;
    int n = std::atoi(node_.c_str() + std::strlen("/dev/loop"));
    AttachTo(n);
}

void LoopDevice::AddPartition(int n, uint64_t first, uint64_t count)
{
    int fd = ::open(node_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error(node_ + ": " + Errno());
    struct blkpg_partition part;
    std::memset(&part, 0, sizeof part);
    part.pno = n;
    part.start = static_cast<long long>(first * 512);
    part.length = static_cast<long long>(count * 512);
    struct blkpg_ioctl_arg arg;
    std::memset(&arg, 0, sizeof arg);
    arg.op = BLKPG_ADD_PARTITION;
    arg.datalen = sizeof part;
    arg.data = &part;
    int rc = ::ioctl(fd, BLKPG, &arg);
    std::string e = Errno();
    ::close(fd);
    if (rc != 0) throw std::runtime_error("cannot add partition " + std::to_string(n) + " to " + node_ + ": " + e);
}

std::string LoopDevice::Mount(const std::string &what, const std::string &fsType)
{
    std::string tmpl = ScratchDir() + "/mnt-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot make a mount point: " + Errno());
    if (::mount(what.c_str(), tmpl.c_str(), fsType.c_str(), 0, nullptr) != 0) {
        std::string e = Errno();
        ::rmdir(tmpl.c_str());
        throw std::runtime_error("cannot mount " + what + ": " + e);
    }
    mounts_.push_back(tmpl);
    return tmpl;
}

void LoopDevice::UnmountAll()
{
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) {
        if (::umount2(it->c_str(), 0) != 0) ::umount2(it->c_str(), MNT_DETACH);
        ::rmdir(it->c_str());
    }
    mounts_.clear();
}

std::vector<uint8_t> LoopDevice::Bytes(uint64_t offset, size_t len) const
{
    std::vector<uint8_t> out(len);
    int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    ssize_t n = ::pread(fd, out.data(), len, static_cast<off_t>(offset));
    ::close(fd);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

void LoopDevice::Put(uint64_t offset, const std::vector<uint8_t> &bytes)
{
    int fd = ::open(file_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + file_ + ": " + Errno());
    ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    ::close(fd);
    if (n != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("cannot write " + file_);
}

}  // namespace tvqtest
