#include "TargetLock.h"

#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <mutex>

namespace qev {

namespace {

std::mutex mu;
// Open lock files by path. A record lock is dropped when the process closes
// any descriptor of its file, so each file is opened once and closed only to
// release it.
std::map<std::string, int> held;

std::string LockPath(const std::string &unitDir, int target)
{
    return unitDir + "/target" + std::to_string(target) + ".lock";
}

struct flock WholeFile(short type)
{
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    return fl;
}

// The pid of a process whose lock conflicts with a write lock on fd, 0 when none.
int Conflicting(int fd)
{
    struct flock fl = WholeFile(F_WRLCK);
    if (::fcntl(fd, F_GETLK, &fl) != 0 || fl.l_type == F_UNLCK) return 0;
    return fl.l_pid > 0 ? fl.l_pid : 0;
}

}  // namespace

int TakeTargetLock(const std::string &unitDir, int target)
{
    std::lock_guard<std::mutex> lock(mu);
    const std::string path = LockPath(unitDir, target);
    auto it = held.find(path);
    int fd = it != held.end() ? it->second : ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return 0;
    struct flock fl = WholeFile(F_WRLCK);
    if (::fcntl(fd, F_SETLK, &fl) == 0) {
        held[path] = fd;
        return 0;
    }
    int holder = Conflicting(fd);
    if (it == held.end()) ::close(fd);
    // A holder gone between the two calls leaves the lock free for the next try.
    return holder > 0 ? holder : 0;
}

void ReleaseTargetLock(const std::string &unitDir, int target)
{
    std::lock_guard<std::mutex> lock(mu);
    auto it = held.find(LockPath(unitDir, target));
    if (it == held.end()) return;
    ::close(it->second);
    held.erase(it);
}

void ReleaseAllTargetLocks()
{
    std::lock_guard<std::mutex> lock(mu);
    for (auto &kv : held) ::close(kv.second);
    held.clear();
}

int TargetLockHolder(const std::string &unitDir, int target)
{
    std::lock_guard<std::mutex> lock(mu);
    const std::string path = LockPath(unitDir, target);
    auto it = held.find(path);
    if (it != held.end()) return Conflicting(it->second);
    // Not ours, so closing this descriptor drops no lock of this process.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return 0;
    int holder = Conflicting(fd);
    ::close(fd);
    return holder;
}

void NoteTargetHolder(const std::string &unitDir, int target, QevSlotRecord *rec)
{
    const int pid = TargetLockHolder(unitDir, target);
    rec->Reserved[QEV_HOLDER_FLAG_BYTE] = pid > 0 ? 1 : 0;
    for (int i = 0; i < 4; ++i)
        rec->Reserved[QEV_HOLDER_PID_BYTE + i] = static_cast<uint8_t>(static_cast<uint32_t>(pid > 0 ? pid : 0) >> (8 * i));
}

}  // namespace qev
