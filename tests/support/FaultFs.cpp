// tvq_faultfs: a FUSE file system that serves the files of a folder and fails
// or slows the operations a rule list names, so that loop devices over its
// files (and images kept on it) meet the faults of a failing disk.
//
//     tvq_faultfs BACKING MOUNTPOINT CONTROL [STATUS]
//
// CONTROL is a text file of rules, one a line ('#' starts a comment), read
// again whenever it changes (replace it by a rename to change it at once):
//
//     op=read,write,fsync  file=card.img  bytes=4096-8191  count=next:2  effect=eio
//
//   op      read, write, fsync (fsync and fdatasync) or all; required
//   file    the file's path below the root, without the leading '/'; default every file
//   bytes   first-last byte, inclusive (decimal or 0x hex); a transfer touching
//           any byte of it meets the rule; default the whole file (fsync ignores it)
//   count   always (default) or next:N (the next N operations that meet it)
//   effect  eio (the operation fails with EIO and does nothing),
//           delay:MS (waits, then runs), rate:BYTES_PER_SECOND (waits as long
//           as moving that many bytes at that rate takes, then runs)
//
// A line it cannot read makes the whole list void (no rule applies) and is
// reported on standard error, so a typo never passes as "no fault".
// STATUS, when given, is rewritten (by a rename) after every operation that
// met a rule: one line per rule, "N hits H fires F", N counting from 1.
//
// Files are opened with direct I/O: every read and write reaches the rules,
// none is answered from the kernel's page cache.
#define FUSE_USE_VERSION 312
#include <fuse3/fuse.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

enum OpBit : unsigned { kRead = 1, kWrite = 2, kFsync = 4 };

struct Rule {
    unsigned ops = 0;
    std::string file;  // "" = any
    uint64_t first = 0, last = UINT64_MAX;
    bool transient = false;
    uint64_t n = 0;
    enum { Eio, Delay, Rate } effect = Eio;
    uint64_t arg = 0;
    uint64_t hits = 0, fires = 0;
};

int g_root = -1;           // the backing folder
std::string g_control;
std::string g_status;
std::mutex g_mu;           // the rules and their counts
std::vector<Rule> g_rules;
struct timespec g_controlTime{};
ino_t g_controlIno = 0;
off_t g_controlSize = -1;
bool g_controlSeen = false;

bool ParseNumber(const std::string &s, uint64_t *v)
{
    if (s.empty()) return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long x = std::strtoull(s.c_str(), &end, 0);
    if (errno || *end || s[0] == '-') return false;
    *v = x;
    return true;
}

bool ParseRule(const std::string &line, Rule *r, std::string *why)
{
    std::istringstream in(line);
    std::string word;
    bool haveOp = false;
    while (in >> word) {
        auto eq = word.find('=');
        if (eq == std::string::npos) {
            *why = "no key=value: " + word;
            return false;
        }
        std::string key = word.substr(0, eq), val = word.substr(eq + 1);
        if (key == "op") {
            std::istringstream ops(val);
            std::string op;
            while (std::getline(ops, op, ',')) {
                if (op == "read") r->ops |= kRead;
                else if (op == "write") r->ops |= kWrite;
                else if (op == "fsync") r->ops |= kFsync;
                else if (op == "all") r->ops |= kRead | kWrite | kFsync;
                else {
                    *why = "unknown op: " + op;
                    return false;
                }
            }
            haveOp = r->ops != 0;
        } else if (key == "file") {
            if (val.empty() || val[0] == '/') {
                *why = "file must be a path below the root: " + val;
                return false;
            }
            r->file = val;
        } else if (key == "bytes") {
            auto dash = val.find('-');
            if (dash == std::string::npos || !ParseNumber(val.substr(0, dash), &r->first) ||
                !ParseNumber(val.substr(dash + 1), &r->last) || r->last < r->first) {
                *why = "bytes must be first-last: " + val;
                return false;
            }
        } else if (key == "count") {
            if (val == "always") r->transient = false;
            else if (val.rfind("next:", 0) == 0 && ParseNumber(val.substr(5), &r->n)) r->transient = true;
            else {
                *why = "count must be always or next:N: " + val;
                return false;
            }
        } else if (key == "effect") {
            if (val == "eio") r->effect = Rule::Eio;
            else if (val.rfind("delay:", 0) == 0 && ParseNumber(val.substr(6), &r->arg)) r->effect = Rule::Delay;
            else if (val.rfind("rate:", 0) == 0 && ParseNumber(val.substr(5), &r->arg) && r->arg > 0)
                r->effect = Rule::Rate;
            else {
                *why = "effect must be eio, delay:MS or rate:BPS: " + val;
                return false;
            }
        } else {
            *why = "unknown key: " + key;
            return false;
        }
    }
    if (!haveOp) {
        *why = "no op";
        return false;
    }
    return true;
}

// Reads the control file again when it changed. Called with g_mu held.
void Reload()
{
    struct stat st;
    if (::stat(g_control.c_str(), &st) != 0) {
        if (g_controlSeen) g_rules.clear();
        g_controlSeen = false;
        return;
    }
    if (g_controlSeen && st.st_ino == g_controlIno && st.st_size == g_controlSize &&
        st.st_mtim.tv_sec == g_controlTime.tv_sec && st.st_mtim.tv_nsec == g_controlTime.tv_nsec)
        return;
    g_controlSeen = true;
    g_controlIno = st.st_ino;
    g_controlSize = st.st_size;
    g_controlTime = st.st_mtim;
    std::ifstream in(g_control);
    std::vector<Rule> rules;
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        auto hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        Rule r;
        std::string why;
        if (!ParseRule(line, &r, &why)) {
            std::fprintf(stderr, "tvq_faultfs: %s line %d: %s; no rule applies\n", g_control.c_str(), lineNo,
                         why.c_str());
            rules.clear();
            break;
        }
        rules.push_back(r);
    }
    g_rules = std::move(rules);
}

void WriteStatus()
{
    if (g_status.empty()) return;
    std::string text;
    for (size_t i = 0; i < g_rules.size(); ++i)
        text += std::to_string(i + 1) + " hits " + std::to_string(g_rules[i].hits) + " fires " +
                std::to_string(g_rules[i].fires) + "\n";
    std::string tmp = g_status + ".tmp";
    FILE *f = std::fopen(tmp.c_str(), "w");
    if (!f) return;
    std::fwrite(text.data(), 1, text.size(), f);
    if (std::fclose(f) == 0) std::rename(tmp.c_str(), g_status.c_str());
}

// The rules' verdict on one operation: 0 to run it (after the waits), or -EIO.
int Judge(unsigned op, const char *path, uint64_t off, uint64_t len)
{
    uint64_t waitUs = 0;
    int rc = 0;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        Reload();
        bool met = false;
        std::string name = path[0] == '/' ? path + 1 : path;
        for (auto &r : g_rules) {
            if (!(r.ops & op)) continue;
            if (!r.file.empty() && r.file != name) continue;
            if (op != kFsync && (len == 0 || off + len - 1 < r.first || off > r.last)) continue;
            met = true;
            ++r.hits;
            if (r.transient && r.fires >= r.n) continue;
            ++r.fires;
            switch (r.effect) {
            case Rule::Eio: rc = -EIO; break;
            case Rule::Delay: waitUs += r.arg * 1000; break;
            case Rule::Rate: waitUs += len * 1000000 / r.arg; break;
            }
        }
        if (met) WriteStatus();
    }
    if (waitUs) std::this_thread::sleep_for(std::chrono::microseconds(waitUs));
    return rc;
}

// A path of the file system as a path relative to the backing folder.
std::string Rel(const char *path)
{
    return path[1] ? std::string(path + 1) : std::string(".");
}

int Err(int rc)
{
    return rc < 0 ? -errno : rc;
}

void *Init(struct fuse_conn_info *, struct fuse_config *cfg)
{
    cfg->use_ino = 1;
    cfg->direct_io = 1;       // every read and write comes here
    cfg->kernel_cache = 0;
    cfg->attr_timeout = 0;    // sizes changed in the backing folder show at once
    cfg->entry_timeout = 0;
    cfg->negative_timeout = 0;
    return nullptr;
}

int GetAttr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
    if (fi) return Err(::fstat(static_cast<int>(fi->fh), st));
    return Err(::fstatat(g_root, Rel(path).c_str(), st, AT_SYMLINK_NOFOLLOW));
}

int ReadLink(const char *path, char *buf, size_t size)
{
    ssize_t n = ::readlinkat(g_root, Rel(path).c_str(), buf, size - 1);
    if (n < 0) return -errno;
    buf[n] = 0;
    return 0;
}

int ReadDir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info *,
            enum fuse_readdir_flags)
{
    int fd = ::openat(g_root, Rel(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -errno;
    DIR *d = ::fdopendir(fd);
    if (!d) {
        int e = errno;
        ::close(fd);
        return -e;
    }
    while (struct dirent *e = ::readdir(d)) {
        struct stat st{};
        st.st_ino = e->d_ino;
        st.st_mode = static_cast<mode_t>(DTTOIF(e->d_type));
        if (fill(buf, e->d_name, &st, 0, static_cast<enum fuse_fill_dir_flags>(0))) break;
    }
    ::closedir(d);
    return 0;
}

int MkDir(const char *path, mode_t mode)
{
    return Err(::mkdirat(g_root, Rel(path).c_str(), mode));
}

int Unlink(const char *path)
{
    return Err(::unlinkat(g_root, Rel(path).c_str(), 0));
}

int RmDir(const char *path)
{
    return Err(::unlinkat(g_root, Rel(path).c_str(), AT_REMOVEDIR));
}

int SymLink(const char *to, const char *path)
{
    return Err(::symlinkat(to, g_root, Rel(path).c_str()));
}

int Rename(const char *from, const char *to, unsigned int flags)
{
    return Err(static_cast<int>(::renameat2(g_root, Rel(from).c_str(), g_root, Rel(to).c_str(), flags)));
}

int Link(const char *from, const char *to)
{
    return Err(::linkat(g_root, Rel(from).c_str(), g_root, Rel(to).c_str(), 0));
}

int ChMod(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    if (fi) return Err(::fchmod(static_cast<int>(fi->fh), mode));
    return Err(::fchmodat(g_root, Rel(path).c_str(), mode, 0));
}

int ChOwn(const char *path, uid_t uid, gid_t gid, struct fuse_file_info *fi)
{
    if (fi) return Err(::fchown(static_cast<int>(fi->fh), uid, gid));
    return Err(::fchownat(g_root, Rel(path).c_str(), uid, gid, AT_SYMLINK_NOFOLLOW));
}

int Truncate(const char *path, off_t size, struct fuse_file_info *fi)
{
    if (fi) return Err(::ftruncate(static_cast<int>(fi->fh), size));
    int fd = ::openat(g_root, Rel(path).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    int rc = Err(::ftruncate(fd, size));
    ::close(fd);
    return rc;
}

int UTimens(const char *path, const struct timespec tv[2], struct fuse_file_info *fi)
{
    if (fi) return Err(::futimens(static_cast<int>(fi->fh), tv));
    return Err(::utimensat(g_root, Rel(path).c_str(), tv, AT_SYMLINK_NOFOLLOW));
}

int OpenFlags(int flags)
{
    // Direct I/O is the kernel's side of it; the backing file is read plainly.
    return (flags & ~(O_DIRECT | O_NOFOLLOW)) | O_CLOEXEC;
}

int Create(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    int fd = ::openat(g_root, Rel(path).c_str(), OpenFlags(fi->flags) | O_CREAT, mode);
    if (fd < 0) return -errno;
    fi->fh = static_cast<uint64_t>(fd);
    fi->direct_io = 1;
    return 0;
}

int Open(const char *path, struct fuse_file_info *fi)
{
    int fd = ::openat(g_root, Rel(path).c_str(), OpenFlags(fi->flags));
    if (fd < 0) return -errno;
    fi->fh = static_cast<uint64_t>(fd);
    fi->direct_io = 1;
    return 0;
}

int Read(const char *path, char *buf, size_t size, off_t off, struct fuse_file_info *fi)
{
    if (int rc = Judge(kRead, path, static_cast<uint64_t>(off), size)) return rc;
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(static_cast<int>(fi->fh), buf + done, size - done, off + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return done ? static_cast<int>(done) : -errno;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int>(done);
}

int Write(const char *path, const char *buf, size_t size, off_t off, struct fuse_file_info *fi)
{
    if (int rc = Judge(kWrite, path, static_cast<uint64_t>(off), size)) return rc;
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::pwrite(static_cast<int>(fi->fh), buf + done, size - done, off + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return done ? static_cast<int>(done) : -errno;
        done += static_cast<size_t>(n);
    }
    return static_cast<int>(done);
}

int StatFs(const char *, struct statvfs *st)
{
    return Err(::fstatvfs(g_root, st));
}

int Flush(const char *, struct fuse_file_info *)
{
    return 0;
}

int Release(const char *, struct fuse_file_info *fi)
{
    ::close(static_cast<int>(fi->fh));
    return 0;
}

int FSync(const char *path, int datasync, struct fuse_file_info *fi)
{
    if (int rc = Judge(kFsync, path, 0, 0)) return rc;
    int fd = static_cast<int>(fi->fh);
    return Err(datasync ? ::fdatasync(fd) : ::fsync(fd));
}

int FSyncDir(const char *path, int, struct fuse_file_info *)
{
    int fd = ::openat(g_root, Rel(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -errno;
    int rc = Err(::fsync(fd));
    ::close(fd);
    return rc;
}

int FAllocate(const char *, int mode, off_t off, off_t len, struct fuse_file_info *fi)
{
    return Err(::fallocate(static_cast<int>(fi->fh), mode, off, len));
}

int Access(const char *path, int mask)
{
    return Err(::faccessat(g_root, Rel(path).c_str(), mask, AT_SYMLINK_NOFOLLOW));
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 4 || argc > 5) {
        std::fprintf(stderr, "usage: tvq_faultfs BACKING MOUNTPOINT CONTROL [STATUS]\n");
        return 2;
    }
    g_root = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_root < 0) {
        std::fprintf(stderr, "tvq_faultfs: %s: %s\n", argv[1], std::strerror(errno));
        return 2;
    }
    g_control = argv[3];
    if (argc == 5) g_status = argv[4];
    {
        std::lock_guard<std::mutex> lock(g_mu);
        Reload();
    }
    ::umask(0);

    static struct fuse_operations ops{};
    ops.init = Init;
    ops.getattr = GetAttr;
    ops.readlink = ReadLink;
    ops.readdir = ReadDir;
    ops.mkdir = MkDir;
    ops.unlink = Unlink;
    ops.rmdir = RmDir;
    ops.symlink = SymLink;
    ops.rename = Rename;
    ops.link = Link;
    ops.chmod = ChMod;
    ops.chown = ChOwn;
    ops.truncate = Truncate;
    ops.utimens = UTimens;
    ops.create = Create;
    ops.open = Open;
    ops.read = Read;
    ops.write = Write;
    ops.statfs = StatFs;
    ops.flush = Flush;
    ops.release = Release;
    ops.fsync = FSync;
    ops.fsyncdir = FSyncDir;
    ops.fallocate = FAllocate;
    ops.access = Access;

    // Foreground, so that the one who started it owns it; others (root) may use it.
    std::vector<char *> args = {argv[0], const_cast<char *>("-f"), const_cast<char *>("-o"),
                                const_cast<char *>("allow_other,default_permissions,fsname=tvq_faultfs,max_idle_threads=8"), argv[2]};
    return fuse_main(static_cast<int>(args.size()), args.data(), &ops, nullptr);
}
