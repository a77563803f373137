#include "Files.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vbus {

namespace {

constexpr size_t kMaxFile = 1u << 20;  // no description is this large

std::atomic<unsigned> g_tmpCounter{0};

std::string TempName(const std::string &path)
{
    auto slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return dir + "/.tmp-" + base + "-" + std::to_string(getpid()) + "-" + std::to_string(g_tmpCounter.fetch_add(1));
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

bool WriteAll(const std::string &path, const std::string &content, bool durable)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const char *p = content.data();
    size_t left = content.size();
    int e = 0;
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            e = errno;
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    // On disk before it takes the old file's place: a crash leaves one or the other.
    if (e == 0 && durable && ::fdatasync(fd) != 0 && errno != EINVAL) e = errno;
    if (::close(fd) != 0 && e == 0) e = errno;
    if (e != 0) {
        ::unlink(path.c_str());
        errno = e;
        return false;
    }
    return true;
}

}  // namespace

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

ReadResult ReadBusFile(const std::string &path, std::string *out, std::string *why)
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
        if (out->size() > kMaxFile) {
            ::close(fd);
            if (why) *why = "'" + path + "' is larger than any description";
            return ReadResult::Wrong;
        }
    }
    ::close(fd);
    return ReadResult::Ok;
}

bool WriteFileAtomic(const std::string &path, const std::string &content, bool durable)
{
    std::string tmp = TempName(path);
    if (!WriteAll(tmp, content, durable)) return false;
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        ::unlink(tmp.c_str());
        errno = e;
        return false;
    }
    return true;
}

bool WriteFileExclusive(const std::string &path, const std::string &content)
{
    std::string tmp = TempName(path);
    if (!WriteAll(tmp, content, true)) return false;
    // link() never replaces: of two writers only one wins.
    int rc = ::link(tmp.c_str(), path.c_str());
    int e = errno;
    ::unlink(tmp.c_str());
    errno = e;
    return rc == 0;
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
