#include "UDisks.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace blockdev {

namespace {

constexpr const char *kService = "org.freedesktop.UDisks2";
constexpr const char *kManager = "/org/freedesktop/UDisks2/Manager";
constexpr uint64_t kLookupTimeoutUs = 10ull * 1000 * 1000;
// The user may be typing a password into polkit's prompt meanwhile.
constexpr uint64_t kOpenTimeoutUs = 300ull * 1000 * 1000;

struct Bus {
    sd_bus *bus = nullptr;
    ~Bus() { sd_bus_flush_close_unref(bus); }
};

struct Message {
    sd_bus_message *m = nullptr;
    ~Message() { sd_bus_message_unref(m); }
};

struct Error {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    ~Error() { sd_bus_error_free(&e); }
};

void Say(std::string *why, const std::string &text)
{
    if (why) *why = text;
}

std::string Answer(const Error &err, int r)
{
    if (sd_bus_error_is_set(&err.e)) {
        if (sd_bus_error_has_name(&err.e, "org.freedesktop.DBus.Error.ServiceUnknown") ||
            sd_bus_error_has_name(&err.e, "org.freedesktop.DBus.Error.NameHasNoOwner"))
            return "UDisks2 is not running (package udisks2)";
        std::string name = err.e.name ? err.e.name : "";
        std::string text = err.e.message ? err.e.message : "";
        if (name.find("NotAuthorized") != std::string::npos) return "UDisks2 refused: not authorised" + (text.empty() ? "" : " (" + text + ")");
        return "UDisks2: " + (text.empty() ? name : text);
    }
    return std::string("UDisks2: ") + std::strerror(r < 0 ? -r : r);
}

bool Connect(Bus *bus, std::string *why)
{
    int r = sd_bus_open_system(&bus->bus);
    if (r < 0) {
        Say(why, std::string("no system bus to reach UDisks2: ") + std::strerror(-r));
        return false;
    }
    return true;
}

// The object UDisks2 keeps for the node (links followed by the service).
bool ObjectOf(sd_bus *bus, const std::string &node, std::string *object, std::string *why)
{
    Message call, reply;
    Error err;
    int r = sd_bus_message_new_method_call(bus, &call.m, kService, kManager, "org.freedesktop.UDisks2.Manager",
                                           "ResolveDevice");
    if (r >= 0) r = sd_bus_message_append(call.m, "a{sv}", 1, "path", "s", node.c_str());
    if (r >= 0) r = sd_bus_message_append(call.m, "a{sv}", 1, "auth.no_user_interaction", "b", 1);
    if (r < 0) {
        Say(why, std::string("UDisks2 request: ") + std::strerror(-r));
        return false;
    }
    r = sd_bus_call(bus, call.m, kLookupTimeoutUs, &err.e, &reply.m);
    if (r < 0) {
        Say(why, Answer(err, r));
        return false;
    }
    const char *path = nullptr;
    r = sd_bus_message_enter_container(reply.m, 'a', "o");
    if (r >= 0) r = sd_bus_message_read(reply.m, "o", &path);
    if (r <= 0 || path == nullptr) {
        Say(why, "UDisks2 does not know " + node);
        return false;
    }
    *object = path;
    return true;
}

}  // namespace

const char *AccessWayName(AccessWay way)
{
    switch (way) {
    case AccessWay::Direct: return "direct";
    case AccessWay::UDisks: return "udisks2";
    case AccessWay::None: return "no access";
    }
    return "?";
}

const char *NoAccessAdvice()
{
    return "permission denied; use it from a desktop session with udisks2 installed (polkit asks for a "
           "password once), or get read and write permission on the device node (a udev rule with "
           "TAG+=\"uaccess\" for the reader, or root)";
}

bool OwnOpenDenied()
{
    const char *v = std::getenv("QEVCRDIO_TEST_DENY_OWN_OPEN");
    return v && std::strcmp(v, "1") == 0;
}

int OpenThroughUDisks(const std::string &node, bool write, std::string *why)
{
    Bus bus;
    if (!Connect(&bus, why)) return -1;
    std::string object;
    if (!ObjectOf(bus.bus, node, &object, why)) return -1;

    Message call, reply;
    Error err;
    int flags = O_EXCL;
    int r = sd_bus_message_new_method_call(bus.bus, &call.m, kService, object.c_str(),
                                           "org.freedesktop.UDisks2.Block", "OpenDevice");
    if (r >= 0) r = sd_bus_message_append(call.m, "s", write ? "rw" : "r");
    if (r >= 0) r = sd_bus_message_append(call.m, "a{sv}", 1, "flags", "i", flags);
    if (r >= 0) r = sd_bus_message_set_allow_interactive_authorization(call.m, 1);
    if (r < 0) {
        Say(why, std::string("UDisks2 request: ") + std::strerror(-r));
        return -1;
    }
    r = sd_bus_call(bus.bus, call.m, kOpenTimeoutUs, &err.e, &reply.m);
    if (r < 0) {
        Say(why, Answer(err, r));
        return -1;
    }
    int fd = -1;
    r = sd_bus_message_read(reply.m, "h", &fd);
    if (r <= 0 || fd < 0) {
        Say(why, "UDisks2 handed over no file descriptor");
        return -1;
    }
    // The message owns its descriptor: keep a copy of our own.
    int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (own < 0) Say(why, std::string("UDisks2's descriptor: ") + std::strerror(errno));
    return own;
}

bool UDisksKnows(const std::string &node, std::string *why)
{
    Bus bus;
    if (!Connect(&bus, why)) return false;
    std::string object;
    return ObjectOf(bus.bus, node, &object, why);
}

AccessWay AccessWayOf(const std::string &node)
{
    if (!OwnOpenDenied() && ::faccessat(AT_FDCWD, node.c_str(), R_OK | W_OK, AT_EACCESS) == 0)
        return AccessWay::Direct;
    return UDisksKnows(node) ? AccessWay::UDisks : AccessWay::None;
}

}  // namespace blockdev
