#include "Files.h"

#include "Desc.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <csignal>
#include <cstdio>
#include <pwd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vbus {

namespace {

std::string DirOf(const std::string &path)
{
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string &path)
{
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Opens a bus file without blocking or following a link; -1 (errno) unless it is a regular file.
int OpenRegular(const std::string &path, int flags)
{
    int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

bool WriteFd(int fd, const std::string &content)
{
    const char *p = content.data();
    size_t left = content.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string RandomWord()
{
    static std::atomic<unsigned> counter{0};
    uint64_t r = 0;
    if (::getrandom(&r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r)) {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        r = static_cast<uint64_t>(ts.tv_nsec) * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(ts.tv_sec) << 20 ^
            static_cast<uint64_t>(getpid()) << 40 ^ counter.fetch_add(1);
    }
    char buf[24];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(r));
    return buf;
}

void KillPoint(const char *step)
{
    static const char *at = std::getenv("TVQ_TEST_KILL_AT");
    if (at && std::strcmp(at, step) == 0) ::raise(SIGKILL);
}

bool SyncDir(const std::string &dir)
{
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    int e = 0;
    if (::fsync(fd) != 0 && errno != EINVAL) e = errno;
    ::close(fd);
    errno = e;
    return e == 0;
}

NewFile::~NewFile()
{
    int e = errno;  // the caller's failure, not the clean-up's
    if (!temp_.empty()) ::unlink(temp_.c_str());
    if (fd_ >= 0) ::close(fd_);
    errno = e;
}

bool NewFile::Open(const std::string &dir, const std::string &base)
{
    dir_ = dir;
    base_ = base;
    // Unnamed until it is complete: a writer killed before that leaves nothing.
    // Naming it later goes through /proc, so without /proc it has a name from the start.
    static const bool proc = ::access("/proc/self/fd", X_OK) == 0;
    fd_ = proc ? ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644) : -1;
    if (!proc) errno = EOPNOTSUPP;
    if (fd_ < 0) {
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) return false;
        if (errno == ENOENT) {
            struct stat st;
            if (::stat(dir.c_str(), &st) != 0) return false;  // no folder at all
        }
        // A file system without unnamed files: a hidden name no one else uses.
        for (int tries = 0; fd_ < 0; ++tries) {
            std::string name = dir + "/.tmp-" + base + "-" + RandomWord();
            fd_ = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd_ >= 0) temp_ = name;
            else if (errno != EEXIST || tries > 100) return false;
        }
    }
    // Held until the file is closed: a sweep leaves alone what a live writer holds.
    ::flock(fd_, LOCK_EX | LOCK_NB);
    return true;
}

bool NewFile::Flush()
{
    if (::fdatasync(fd_) != 0 && errno != EINVAL) return false;
    return true;
}

bool NewFile::NameTemp()
{
    if (!temp_.empty()) return true;
    std::string proc = "/proc/self/fd/" + std::to_string(fd_);
    for (int tries = 0;; ++tries) {
        std::string name = dir_ + "/.tmp-" + base_ + "-" + RandomWord();
        if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            temp_ = name;
            return true;
        }
        if (errno != EEXIST || tries > 100) return false;
    }
}

bool NewFile::LinkTo(const std::string &path)
{
    if (temp_.empty()) {
        std::string proc = "/proc/self/fd/" + std::to_string(fd_);
        if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
        // No /proc: through a hidden name instead.
        if (errno != ENOENT || !NameTemp()) return false;
    }
    // link() never replaces: of two writers only one wins.
    if (::link(temp_.c_str(), path.c_str()) != 0) return false;
    ::unlink(temp_.c_str());
    temp_.clear();
    return true;
}

bool NewFile::RenameOver(const std::string &path)
{
    if (!NameTemp()) return false;
    KillPoint("temp-named");
    if (::rename(temp_.c_str(), path.c_str()) != 0) return false;
    temp_.clear();
    return true;
}

std::string WrongKind(const std::string &path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return std::string();
    if (S_ISREG(st.st_mode)) return std::string();
    if (S_ISLNK(st.st_mode)) return "a symbolic link";
    if (S_ISFIFO(st.st_mode)) return "a FIFO";
    if (S_ISSOCK(st.st_mode)) return "a socket";
    if (S_ISDIR(st.st_mode)) return "a directory";
    if (S_ISCHR(st.st_mode)) return "a character device";
    if (S_ISBLK(st.st_mode)) return "a block device";
    return "not a regular file";
}

ReadResult ReadBusFile(const std::string &path, std::string *out, std::string *why, size_t maxBytes)
{
    out->clear();
    int fd = OpenRegular(path, O_RDONLY);
    if (fd < 0) {
        int e = errno;
        if (e == ENOENT) {
            if (why) *why = "'" + path + "' is missing";
            return ReadResult::Missing;
        }
        std::string kind = WrongKind(path);
        if (e == EINVAL || e == ELOOP || !kind.empty()) {
            if (why) *why = "'" + path + "' is " + (kind.empty() ? std::string("not a regular file") : kind);
            return ReadResult::Wrong;
        }
        if (why) *why = "cannot read '" + path + "': " + std::strerror(e);
        return ReadResult::Failed;
    }
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            ::close(fd);
            if (why) *why = "cannot read '" + path + "': " + std::strerror(e);
            return ReadResult::Failed;
        }
        if (n == 0) break;
        out->append(buf, static_cast<size_t>(n));
        if (out->size() > maxBytes) {
            ::close(fd);
            if (why) *why = "'" + path + "' is larger than any description (above " + std::to_string(maxBytes) + " bytes)";
            return ReadResult::Wrong;
        }
    }
    ::close(fd);
    return ReadResult::Ok;
}

bool WriteFileAtomic(const std::string &path, const std::string &content, bool durable, bool *replaced)
{
    if (replaced) *replaced = false;
    NewFile f;
    if (!f.Open(DirOf(path), BaseOf(path)) || !WriteFd(f.Fd(), content)) return false;
    // On disk before it takes the old file's place: a crash leaves one or the other.
    if (durable && !f.Flush()) return false;
    KillPoint("temp-written");
    if (!f.RenameOver(path)) return false;
    if (replaced) *replaced = true;
    return !durable || SyncDir(DirOf(path));
}

bool WriteFileExclusive(const std::string &path, const std::string &content)
{
    NewFile f;
    if (!f.Open(DirOf(path), BaseOf(path)) || !WriteFd(f.Fd(), content) || !f.Flush() || !f.LinkTo(path))
        return false;
    if (SyncDir(DirOf(path))) return true;
    int e = errno;
    ::unlink(path.c_str());  // not known to last: not made
    errno = e;
    return false;
}

int SweepLeftovers(const std::string &dir, const std::vector<std::string> &prefixes,
                   const std::function<bool(const std::string &name)> &rescue)
{
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dfd < 0) return 0;
    DIR *d = ::fdopendir(dfd);
    if (!d) {
        ::close(dfd);
        return 0;
    }
    std::vector<std::string> names;
    while (struct dirent *e = ::readdir(d)) {
        std::string n = e->d_name;
        for (const auto &p : prefixes)
            if (n.size() > p.size() && n.compare(0, p.size(), p) == 0) names.push_back(n);
    }
    int removed = 0;
    for (const auto &n : names) {
        int fd = ::openat(dfd, n.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat held, now;
        // Only a regular file no live writer holds, and still the one under that name.
        if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            ::fstatat(dfd, n.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_ino == held.st_ino &&
            now.st_dev == held.st_dev && !(rescue && rescue(n)) && ::unlinkat(dfd, n.c_str(), 0) == 0)
            ++removed;
        ::close(fd);
    }
    ::closedir(d);
    return removed;
}

void SweepNewUnitFolders(const std::string &busDir, const std::string &name)
{
    std::string prefix = name.empty() ? ".new-" : ".new-" + name + "-";
    DIR *d = ::opendir(busDir.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (struct dirent *e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > prefix.size() && n.compare(0, prefix.size(), prefix) == 0) names.push_back(n);
    }
    ::closedir(d);
    for (const auto &n : names) {
        std::string path = busDir + "/" + n;
        int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        // A create still running holds its folder.
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            SweepLeftovers(path, {".tmp-"});
            ::unlinkat(fd, kUnitFile, 0);
            ::rmdir(path.c_str());  // only when nothing else is in it
        }
        ::close(fd);
    }
}

void AppendLine(const std::string &path, const std::string &line)
{
    int fd = OpenRegular(path, O_WRONLY | O_CREAT | O_APPEND);
    if (fd < 0) return;
    std::string l = line + "\n";
    ssize_t n = ::write(fd, l.data(), l.size());
    (void)n;
    ::close(fd);
}

bool FlushFile(const std::string &path, std::string *why)
{
    // Read-only is enough for fdatasync; O_NONBLOCK keeps a FIFO from holding us.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        if (why) *why = "cannot flush '" + path + "' to disk: " + std::strerror(errno);
        return false;
    }
    struct stat st;
    bool ok = true;
    if (::fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) && ::fdatasync(fd) != 0) {
        ok = false;
        if (why) *why = "cannot flush '" + path + "' to disk: " + std::strerror(errno);
    }
    ::close(fd);
    return ok;
}

namespace {

// What is at path when it is no regular file there (following a link for an
// image used in place); "" for a regular file or nothing.
std::string NotAnImage(const std::string &path, bool followLinks)
{
    struct stat st;
    if (!followLinks) return WrongKind(path);
    if (::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return std::string();
    return S_ISSOCK(st.st_mode)  ? "a socket"
           : S_ISFIFO(st.st_mode) ? "a FIFO"
           : S_ISDIR(st.st_mode)  ? "a directory"
           : S_ISCHR(st.st_mode)  ? "a character device"
           : S_ISBLK(st.st_mode)  ? "a block device"
                                  : "not a regular file";
}

// Opens a card's image as the library would, or says why it reads as absent.
// Only what is a regular file by its name is opened: never a device node.
int OpenImage(const std::string &path, bool followLinks, std::string *why)
{
    std::string kind = NotAnImage(path, followLinks);
    if (!kind.empty()) {
        *why = "'" + path + "' is " + kind;
        return -1;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
    struct stat st;
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
    int e = fd >= 0 ? EINVAL : errno;
    if (fd >= 0) ::close(fd);
    if (e == ENOENT) *why = "'" + path + "' is missing";
    else if (e == ELOOP) *why = "'" + path + "' is a loop of symbolic links";
    else if (e == EINVAL) *why = "'" + path + "' is not a regular file";
    else *why = "'" + path + "' cannot be opened: " + std::strerror(e);
    return -1;
}

}  // namespace

std::string ImageAbsence(const std::string &path, bool followLinks)
{
    std::string why;
    int fd = OpenImage(path, followLinks, &why);
    if (fd >= 0) ::close(fd);
    return why;
}

FlushResult FlushImage(const std::string &path, bool followLinks, std::string *why)
{
    std::string absent;
    int fd = OpenImage(path, followLinks, &absent);
    if (fd < 0) {
        if (why) *why = absent;
        return FlushResult::Absent;
    }
    FlushResult r = FlushResult::Done;
    if (::fdatasync(fd) != 0 && errno != EINVAL) {
        if (why) *why = "cannot flush '" + path + "' to disk: " + std::strerror(errno);
        r = FlushResult::Failed;
    }
    ::close(fd);
    return r;
}

UnitLock::UnitLock(const std::string &unitDir, int timeoutMs)
{
    fd_ = ::open(unitDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        error_ = errno;
        return;
    }
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long waitUs = 200;; waitUs = waitUs < 20000 ? waitUs * 2 : waitUs) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
            locked_ = true;
            return;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            error_ = errno;
            return;
        }
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long spentMs = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (spentMs >= timeoutMs) {
            error_ = EWOULDBLOCK;
            return;
        }
        struct timespec ts{0, waitUs * 1000};
        nanosleep(&ts, nullptr);
    }
}

UnitLock::~UnitLock()
{
    if (fd_ >= 0) ::close(fd_);  // closing drops the lock
}

std::string HomeDir()
{
    const char *home = std::getenv("HOME");
    if (home && *home == '/') return home;
    // Never the current folder: the password database knows the user's home.
    std::vector<char> buf(16384);
    struct passwd pw, *res = nullptr;
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &res) == 0 && res && res->pw_dir &&
        res->pw_dir[0] == '/')
        return res->pw_dir;
    return std::string();
}

std::vector<std::string> UnitFolders(const std::string &busDir, bool withLinks)
{
    std::vector<std::string> names;
    DIR *d = ::opendir(busDir.c_str());
    if (!d) return names;
    while (struct dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        unsigned char type = e->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            if (::lstat((busDir + "/" + e->d_name).c_str(), &st) != 0) continue;
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
        }
        if (type == DT_DIR || (withLinks && type == DT_LNK)) names.push_back(e->d_name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace vbus
