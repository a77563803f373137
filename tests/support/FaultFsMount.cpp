#include "FaultFsMount.h"

#include "LoopDevice.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/loop.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef TVQ_FAULTFS_PATH
#error TVQ_FAULTFS_PATH names the tvq_faultfs program
#endif

namespace tvqtest {

namespace fs = std::filesystem;

namespace {

constexpr long kFuseMagic = 0x65735546;

bool IsMounted(const std::string &dir)
{
    struct statfs st;
    return ::statfs(dir.c_str(), &st) == 0 && st.f_type == kFuseMagic;
}

std::string ReadLine(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

std::string FaultFsMount::Unavailable()
{
    if (::geteuid() != 0) return "not running as root";
    if (!*TVQ_FAULTFS_PATH) return "built without libfuse3 (libfuse3-dev)";
    if (::access("/dev/fuse", R_OK | W_OK) != 0) return std::string("/dev/fuse: ") + std::strerror(errno);
    if (::access(TVQ_FAULTFS_PATH, X_OK) != 0) return std::string(TVQ_FAULTFS_PATH) + ": " + std::strerror(errno);
    std::ifstream fss("/proc/filesystems");
    std::string all((std::istreambuf_iterator<char>(fss)), std::istreambuf_iterator<char>());
    if (all.find("\tfuse\n") == std::string::npos) return "the kernel has no FUSE";
    return std::string();
}

FaultFsMount::FaultFsMount()
{
    std::string tmpl = LoopDevice::ScratchDir() + "/fuse-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot make a folder for the fault file system");
    base_ = fs::canonical(tmpl).string();
    backing_ = base_ + "/data";
    mount_ = base_ + "/mnt";
    control_ = base_ + "/rules";
    status_ = base_ + "/status";
    fs::create_directory(backing_);
    fs::create_directory(mount_);
    std::ofstream(control_).close();

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid_ == 0) {
        ::execl(TVQ_FAULTFS_PATH, TVQ_FAULTFS_PATH, backing_.c_str(), mount_.c_str(), control_.c_str(),
                status_.c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!IsMounted(mount_)) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("tvq_faultfs ended before it was mounted (status " + std::to_string(status) + ")");
        }
        if (std::chrono::steady_clock::now() > deadline) {
            Unmount();
            throw std::runtime_error("tvq_faultfs was not mounted within 10 s");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

FaultFsMount::~FaultFsMount()
{
    try {
        Unmount();
    } catch (...) {
    }
}

void FaultFsMount::SetRules(const std::vector<std::string> &rules)
{
    std::string text;
    for (const auto &r : rules) text += r + "\n";
    std::string tmp = control_ + ".new";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << text;
        if (!out.flush()) throw std::runtime_error("cannot write " + tmp);
    }
    ::unlink(status_.c_str());  // the counts of the old list
    if (::rename(tmp.c_str(), control_.c_str()) != 0)
        throw std::runtime_error("cannot replace " + control_ + ": " + std::strerror(errno));
}

uint64_t FaultFsMount::Count(int n, const char *what) const
{
    std::ifstream in(status_);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        int id = 0;
        std::string k1, k2;
        uint64_t hits = 0, fires = 0;
        if (words >> id >> k1 >> hits >> k2 >> fires && id == n) return std::strcmp(what, "hits") == 0 ? hits : fires;
    }
    return 0;
}

uint64_t FaultFsMount::Hits(int n) const
{
    return Count(n, "hits");
}

uint64_t FaultFsMount::Fires(int n) const
{
    return Count(n, "fires");
}

void FaultFsMount::Unmount()
{
    if (mount_.empty()) return;
    // Loop devices over its files: ours by construction, and they would keep it busy.
    std::error_code ec;
    for (const auto &e : fs::directory_iterator("/sys/block", ec)) {
        std::string name = e.path().filename().string();
        if (name.rfind("loop", 0) != 0) continue;
        std::string back = ReadLine(e.path().string() + "/loop/backing_file");
        if (back.rfind(mount_ + "/", 0) != 0) continue;
        int fd = ::open(("/dev/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        // Checked again on the open node: it must still be over our file.
        if (ReadLine(e.path().string() + "/loop/backing_file").rfind(mount_ + "/", 0) == 0)
            ::ioctl(fd, LOOP_CLR_FD, 0);
        ::close(fd);
    }
    if (IsMounted(mount_)) {
        bool gone = false;
        for (int i = 0; i < 50 && !gone; ++i) {
            gone = ::umount2(mount_.c_str(), 0) == 0 || errno == EINVAL;
            if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!gone) ::umount2(mount_.c_str(), MNT_DETACH);
    }
    if (pid_ > 0) {
        int status = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
    }
    if (!IsMounted(mount_)) fs::remove_all(base_, ec);
    mount_.clear();
}

}  // namespace tvqtest
