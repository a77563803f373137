// Untyped files of fixed-size records (1 or 512 bytes), as the transfers use
// them. Every step reports its error; nothing is buffered, so a write error
// shows at the write that caused it.
#pragma once

#include <QString>
#include <cstdint>

// An existing file that may not be opened for writing: no write permission
// bit at all (the read-only attribute of the system), or none for this user.
bool IsReadOnlyFile(const QString &path);

class RecordFile {
public:
    RecordFile() = default;
    ~RecordFile();  // closes, ignoring the result
    RecordFile(const RecordFile &) = delete;
    RecordFile &operator=(const RecordFile &) = delete;

    // Creates the file, or truncates an existing one, for reading and writing.
    // A directory, pipe or socket in its place is refused (EISDIR, ESPIPE)
    // without waiting for a peer.
    bool Create(const QString &path, uint32_t recordSize);
    // Opens an existing file for reading and writing; refuses the same.
    bool OpenExisting(const QString &path, uint32_t recordSize);
    bool IsOpen() const { return fd_ >= 0; }
    uint32_t RecordSize() const { return recordSize_; }

    // Moves to record number record.
    bool Seek(uint64_t record);
    // Whole records moved; fewer than count at the end of the file or on an
    // error (then LastError() is non-zero).
    uint32_t Read(void *buffer, uint32_t count);
    uint32_t Write(const void *buffer, uint32_t count);
    // 0, or the error of closing (also of a file that was not open: EBADF).
    int Close();

    // errno of the last failed step, 0 when the last step succeeded.
    int LastError() const { return error_; }

private:
    bool open(const QString &path, uint32_t recordSize, int flags);

    int fd_ = -1;
    uint32_t recordSize_ = 1;
    int error_ = 0;
};
