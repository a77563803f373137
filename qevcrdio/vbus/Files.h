// File access of the virtual bus. The bus's own files (descriptions, counts,
// the call record) are opened without blocking and without following a
// symlink, and used only when they are regular files: a FIFO, socket, device
// node or directory in their place reads as "wrong file", never as a hang.
// Replacing a file is always write-temporary-then-rename, so a reader sees the
// old or the new file, never half of one.
#pragma once

#include <string>
#include <vector>

namespace vbus {

enum class ReadResult {
    Ok,
    Missing,  // no such file
    Wrong,    // there, but not a regular file (or a symlink, or too large)
    Failed,   // there, but reading it failed
};

// Whole file into *out (at most 1 MiB). *why (if given) names the path and the fault.
ReadResult ReadBusFile(const std::string &path, std::string *out, std::string *why = nullptr);

// What sits at path, for messages: "a FIFO", "a directory", "a symlink" ...; "" for a regular file or nothing.
std::string WrongKind(const std::string &path);

// Writes content to a temporary file beside path, flushes it to disk and
// renames it over path. False with errno on failure (path untouched).
// Without durable the flush is left out (for counters that may lag a crash).
bool WriteFileAtomic(const std::string &path, const std::string &content, bool durable = true);
// Same, but fails with EEXIST when path exists already.
bool WriteFileExclusive(const std::string &path, const std::string &content);

// Appends one line to a regular file (created when missing) in one write, so
// the lines of several writers never interleave. Anything else there: nothing.
void AppendLine(const std::string &path, const std::string &line);

// fdatasync of a regular file by path (its dirty pages, whoever wrote them).
// True when there is nothing to flush or the flush worked.
bool FlushFile(const std::string &path, std::string *why = nullptr);

// The exclusive lock of one unit's folder, held while a read-modify-write
// runs. A lock held elsewhere is waited for until the timeout, then Locked()
// stays false (errno EWOULDBLOCK); a folder that is no folder fails at once.
class UnitLock {
public:
    UnitLock(const std::string &unitDir, int timeoutMs);
    ~UnitLock();
    UnitLock(const UnitLock &) = delete;
    UnitLock &operator=(const UnitLock &) = delete;
    bool Locked() const { return locked_; }
    int Error() const { return error_; }

private:
    int fd_ = -1;
    bool locked_ = false;
    int error_ = 0;
};

// The user's home folder: $HOME, else the password database; "" when neither knows.
std::string HomeDir();

// The unit folders of a bus in name order (hidden names left out). Links are
// never followed; withLinks lists them too, so that a listing can say so.
std::vector<std::string> UnitFolders(const std::string &busDir, bool withLinks = false);

}  // namespace vbus
