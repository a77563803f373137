// Block devices the process may not open itself, opened by UDisks2 on its
// behalf: org.freedesktop.UDisks2.Block.OpenDevice over the system bus hands
// over a file descriptor, after polkit has asked the desktop user (once for a
// while: the desktop's policy keeps the answer some minutes).
//
// The bus is the one sd-bus finds: $DBUS_SYSTEM_BUS_ADDRESS when set (tests
// run a private bus with a stand-in service there), else the system's.
// Nothing here decides whether a device may be written: the caller has made
// its safety checks before it asks. Calls block until the answer comes (a
// password prompt included); not thread-safe.
#pragma once

#include <string>

namespace blockdev {

// How a device node would be opened by this process.
enum class AccessWay {
    Direct,   // the process may open the node itself
    UDisks,   // through UDisks2 (polkit may ask)
    None,     // neither: no permission, and no UDisks2 that knows the device
};
const char *AccessWayName(AccessWay way);

// Asks UDisks2 for the node opened read-only or read-write, always with
// O_EXCL (direct I/O is the caller's to switch on: fcntl takes O_DIRECT). The
// new descriptor (close-on-exec), or -1 with *why saying what UDisks2 (or its
// absence) answered.
int OpenThroughUDisks(const std::string &node, bool write, std::string *why);

// Whether UDisks2 knows the node, without asking for any authorisation.
bool UDisksKnows(const std::string &node, std::string *why = nullptr);

// Which way the node would be opened for reading and writing.
AccessWay AccessWayOf(const std::string &node);

// For the tests only: with QEVCRDIO_TEST_DENY_OWN_OPEN=1 in the environment
// the library's own open of a device node fails with EACCES, as it does for a
// user without permission, so that tests running as root reach the UDisks2 way.
bool OwnOpenDenied();

// The user's two ways to a device the process may not open, for messages.
const char *NoAccessAdvice();

}  // namespace blockdev
