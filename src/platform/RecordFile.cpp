#include "RecordFile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool IsReadOnlyFile(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    if (name.isEmpty() || ::stat(name.constData(), &st) != 0 || S_ISDIR(st.st_mode))
        return false;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return true;
    return ::access(name.constData(), W_OK) != 0 && errno != ENOENT;
}

RecordFile::~RecordFile()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool RecordFile::open(const QString &path, uint32_t recordSize, int flags)
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (recordSize == 0 || path.isEmpty()) {
        error_ = EINVAL;
        return false;
    }
    const QByteArray name = QFile::encodeName(path);
    // Write access is asked for in both modes; a read-only file refuses it
    // even to a privileged user, as a read-only attribute does.
    if (IsReadOnlyFile(path)) {
        error_ = EACCES;
        return false;
    }
    // Non-blocking, so that a pipe in the file's place cannot stop the program
    // in open; a pipe or socket is then refused, since its reads and writes
    // could block for ever and its size says nothing.
    int fd;
    do {
        fd = ::open(name.constData(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error_ = errno;
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        const int why = S_ISDIR(st.st_mode) ? EISDIR : S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ? ESPIPE : errno;
        ::close(fd);
        error_ = why;
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    fd_ = fd;
    recordSize_ = recordSize;
    error_ = 0;
    return true;
}

bool RecordFile::Create(const QString &path, uint32_t recordSize)
{
    return open(path, recordSize, O_RDWR | O_CREAT | O_TRUNC);
}

bool RecordFile::OpenExisting(const QString &path, uint32_t recordSize)
{
    return open(path, recordSize, O_RDWR);
}

bool RecordFile::Seek(uint64_t record)
{
    if (fd_ < 0) {
        error_ = EBADF;
        return false;
    }
    const uint64_t offset = record * recordSize_;
    if (record != 0 && offset / recordSize_ != record) {
        error_ = EOVERFLOW;
        return false;
    }
    if (offset > static_cast<uint64_t>(INT64_MAX) || ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) {
        error_ = offset > static_cast<uint64_t>(INT64_MAX) ? EOVERFLOW : errno;
        return false;
    }
    error_ = 0;
    return true;
}

uint32_t RecordFile::Read(void *buffer, uint32_t count)
{
    if (fd_ < 0) {
        error_ = EBADF;
        return 0;
    }
    error_ = 0;
    const uint64_t total = static_cast<uint64_t>(count) * recordSize_;
    auto *p = static_cast<char *>(buffer);
    uint64_t done = 0;
    while (done < total) {
        const ssize_t n = ::read(fd_, p + done, total - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error_ = errno;
            break;
        }
        if (n == 0)
            break;  // end of file
        done += static_cast<uint64_t>(n);
    }
    // A record cut short by the end of the file is not counted; step back over
    // it so that the position stays on a record boundary.
    const uint64_t partial = done % recordSize_;
    if (partial != 0)
        ::lseek(fd_, -static_cast<off_t>(partial), SEEK_CUR);
    return static_cast<uint32_t>(done / recordSize_);
}

uint32_t RecordFile::Write(const void *buffer, uint32_t count)
{
    if (fd_ < 0) {
        error_ = EBADF;
        return 0;
    }
    error_ = 0;
    const uint64_t total = static_cast<uint64_t>(count) * recordSize_;
    const auto *p = static_cast<const char *>(buffer);
    uint64_t done = 0;
    while (done < total) {
        const ssize_t n = ::write(fd_, p + done, total - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error_ = errno;
            break;
        }
        if (n == 0) {
            error_ = ENOSPC;
            break;
        }
        done += static_cast<uint64_t>(n);
    }
    return static_cast<uint32_t>(done / recordSize_);
}

int RecordFile::Close()
{
    if (fd_ < 0) {
        error_ = EBADF;
        return error_;
    }
    const int fd = fd_;
    fd_ = -1;
    // close() must not be retried on EINTR: the descriptor is gone either way.
    error_ = ::close(fd) == 0 ? 0 : errno;
    return error_;
}
