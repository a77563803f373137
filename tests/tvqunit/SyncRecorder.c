/* Preloaded into tvqunit by SyncTest: records, in the order they happen,
 * every flush (fsync, fdatasync) and every call that gives a file or folder
 * a name (rename, link, mkdir), each with the device and inode it concerns,
 * one line each, into the file named by TVQ_SYNC_LOG. The calls themselves
 * go on to the C library unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static void note(const char *fmt, ...)
{
    const char *path = getenv("TVQ_SYNC_LOG");
    if (!path) return;
    char line[8192];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    if (n > (int)sizeof line - 2) n = sizeof line - 2;
    line[n++] = '\n';
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, line, (size_t)n) < 0) { /* nothing to do */ }
    close(fd);
}

#define REAL(name) static __typeof__(name) *real_##name; if (!real_##name) real_##name = (__typeof__(name) *)dlsym(RTLD_NEXT, #name)

static void note_flush(const char *what, int fd, int rc)
{
    struct stat st;
    if (fstat(fd, &st) == 0)
        note("%s %lu:%lu %s", what, (unsigned long)st.st_dev, (unsigned long)st.st_ino, rc == 0 ? "ok" : "failed");
}

int fsync(int fd)
{
    REAL(fsync);
    int rc = real_fsync(fd);
    note_flush("sync", fd, rc);
    return rc;
}

int fdatasync(int fd)
{
    REAL(fdatasync);
    int rc = real_fdatasync(fd);
    note_flush("sync", fd, rc);
    return rc;
}

/* "<what> <inode> <inode of its folder> <new name>" */
static void note_name(const char *what, const char *to, int rc)
{
    struct stat st, dir;
    char folder[4096];
    if (rc != 0) return;
    snprintf(folder, sizeof folder, "%s", to);
    char *slash = strrchr(folder, '/');
    if (!slash) snprintf(folder, sizeof folder, ".");
    else if (slash == folder) folder[1] = 0;
    else *slash = 0;
    /* After the call the inode is found under its new name. */
    if (fstatat(AT_FDCWD, to, &st, AT_SYMLINK_NOFOLLOW) == 0 && stat(folder, &dir) == 0)
        note("%s %lu:%lu %lu:%lu %s", what, (unsigned long)st.st_dev, (unsigned long)st.st_ino,
             (unsigned long)dir.st_dev, (unsigned long)dir.st_ino, to);
}

int rename(const char *a, const char *b)
{
    REAL(rename);
    int rc = real_rename(a, b);
    note_name("name", b, rc);
    return rc;
}

int renameat(int da, const char *a, int db, const char *b)
{
    REAL(renameat);
    int rc = real_renameat(da, a, db, b);
    note_name("name", b, db == AT_FDCWD || b[0] == '/' ? rc : -1);
    return rc;
}

int renameat2(int da, const char *a, int db, const char *b, unsigned flags)
{
    REAL(renameat2);
    int rc = real_renameat2(da, a, db, b, flags);
    note_name("name", b, db == AT_FDCWD || b[0] == '/' ? rc : -1);
    return rc;
}

int link(const char *a, const char *b)
{
    REAL(link);
    int rc = real_link(a, b);
    note_name("name", b, rc);
    return rc;
}

int linkat(int da, const char *a, int db, const char *b, int flags)
{
    REAL(linkat);
    int rc = real_linkat(da, a, db, b, flags);
    note_name("name", b, db == AT_FDCWD || b[0] == '/' ? rc : -1);
    return rc;
}

int mkdir(const char *path, mode_t mode)
{
    REAL(mkdir);
    int rc = real_mkdir(path, mode);
    note_name("mkdir", path, rc);
    return rc;
}
