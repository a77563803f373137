// File access of the virtual bus. The bus's own files (descriptions, counts,
// the call record) are opened without blocking and without following a
// symlink, and used only when they are regular files: a FIFO, socket, device
// node or directory in their place reads as "wrong file", never as a hang.
// Replacing a file is always write-temporary-then-rename, so a reader sees the
// old or the new file, never half of one; a new file is written in full, and
// flushed, before it gets the name a reader looks for, and the folder is
// flushed after it. A writer killed half-way leaves at most a hidden
// temporary (".tmp-", ".part-", ".new-"), which no reader takes for a unit or
// a card and which the next change of that unit sweeps away.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace vbus {

// No description or counts file is larger: a reader takes no more.
constexpr size_t kMaxBusFile = 1u << 20;

enum class ReadResult {
    Ok,
    Missing,  // no such file
    Wrong,    // there, but not a regular file (or a symlink, or too large)
    Failed,   // there, but reading it failed
};

// Whole file into *out (at most maxBytes). *why (if given) names the path and the fault.
ReadResult ReadBusFile(const std::string &path, std::string *out, std::string *why = nullptr,
                       size_t maxBytes = kMaxBusFile);

// What sits at path, for messages: "a FIFO", "a directory", "a symlink" ...; "" for a regular file or nothing.
std::string WrongKind(const std::string &path);

// Writes content to a temporary file beside path, flushes it to disk,
// renames it over path and flushes the folder. False with errno on failure:
// path is untouched then, unless *replaced (if given) says that only the
// folder's flush failed. Without durable no flush at all (for counters that
// may lag a crash).
bool WriteFileAtomic(const std::string &path, const std::string &content, bool durable = true,
                     bool *replaced = nullptr);
// Same, but never replaces: fails with EEXIST when path exists already.
bool WriteFileExclusive(const std::string &path, const std::string &content);

// A file being made, invisible (or under a hidden temporary name where the
// file system has no unnamed files) until it is named; locked while it is
// open, so that a sweep never takes a file still being written.
class NewFile {
public:
    NewFile() = default;
    ~NewFile();  // closes; a temporary name never given out is removed
    NewFile(const NewFile &) = delete;
    NewFile &operator=(const NewFile &) = delete;
    // Opens a new file in dir; base goes into a temporary name. False with errno.
    bool Open(const std::string &dir, const std::string &base);
    int Fd() const { return fd_; }
    // Data and size on stable storage. False with errno.
    bool Flush();
    // Gives it the name path, never replacing anything (EEXIST). False with errno.
    bool LinkTo(const std::string &path);
    // Puts it in place of path, replacing what is there. False with errno.
    bool RenameOver(const std::string &path);

private:
    bool NameTemp();
    int fd_ = -1;
    std::string dir_, base_, temp_;  // temp_: the hidden name it has, if any
};

// Flushes a folder's entries (after a rename, link or mkdir in it). EINVAL
// (a file system that cannot) counts as done. False with errno.
bool SyncDir(const std::string &dir);

// Removes in dir what killed writers left: files whose names begin with one
// of the prefixes and that no live writer holds. rescue (if given) is asked
// first about each, and may put it to use instead (true: leave it).
// Returns how many went.
int SweepLeftovers(const std::string &dir, const std::vector<std::string> &prefixes,
                   const std::function<bool(const std::string &name)> &rescue = nullptr);
// Removes the hidden folders in which a killed create of unit name was
// building it (".new-<name>-..."; every unit's with name ""), when no create
// holds them any more.
void SweepNewUnitFolders(const std::string &busDir, const std::string &name);

// A random word for temporary names (kRandomWordSize hexadecimal digits):
// never the process id alone, which a process killed earlier may have used too.
std::string RandomWord();
constexpr size_t kRandomWordSize = 16;

// Test hook: with TVQ_TEST_KILL_AT=<step> in the environment the process
// kills itself with SIGKILL at that step, as kill -9 or a power cut would.
void KillPoint(const char *step);

// Appends one line to a regular file (created when missing) in one write, so
// the lines of several writers never interleave. Anything else there: nothing.
void AppendLine(const std::string &path, const std::string &line);

// fdatasync of a regular file by path (its dirty pages, whoever wrote them).
// True when there is nothing to flush or the flush worked.
bool FlushFile(const std::string &path, std::string *why = nullptr);

enum class FlushResult {
    Done,
    Absent,  // no image that opens (missing, a socket, a link loop, no permission): a card that reads as absent
    Failed,  // the flush itself failed
};
// Why a card's image does not open as the library opens it (a link followed
// only for an image used in place): "'<path>' is missing", "... is a
// socket", "... cannot be opened: Permission denied"; "" when it opens.
std::string ImageAbsence(const std::string &path, bool followLinks);
// fdatasync of a card's image, opened as the library opens it (a link
// followed only for an image used in place). *why says what is wrong.
FlushResult FlushImage(const std::string &path, bool followLinks, std::string *why);

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
