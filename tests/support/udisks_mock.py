#!/usr/bin/env python3
"""A stand-in for UDisks2 on a private D-Bus bus, written from its published
D-Bus interface: Manager.ResolveDevice and Block.OpenDevice, nothing else.

    udisks_mock.py --address ADDR --answer grant|refuse --log FILE --ready FILE

grant:  OpenDevice opens the node itself (the tests run as root) with the
        mode and flags asked for and hands the descriptor over;
refuse: OpenDevice answers as UDisks2 does when polkit says no.
Every call is checked field by field (a malformed one is answered with an
error and logged as such) and written to the log as one JSON line.
"""

import argparse
import json
import os
import re
import sys

sys.dont_write_bytecode = True

import dbus  # noqa: E402
import dbus.service  # noqa: E402
from dbus.mainloop.glib import DBusGMainLoop  # noqa: E402
from gi.repository import GLib  # noqa: E402

SERVICE = "org.freedesktop.UDisks2"
MANAGER = "/org/freedesktop/UDisks2/Manager"
BLOCKS = "/org/freedesktop/UDisks2/block_devices/"
# The flags UDisks2 documents for OpenDevice; anything else is an error there.
ALLOWED_FLAGS = os.O_EXCL | os.O_DIRECT | os.O_SYNC | os.O_CLOEXEC | os.O_NONBLOCK
STANDARD_OPTIONS = {"auth.no_user_interaction"}


class Failed(dbus.DBusException):
    _dbus_error_name = "org.freedesktop.UDisks2.Error.Failed"


class NotAuthorized(dbus.DBusException):
    _dbus_error_name = "org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain"


def escape(name):
    return "".join(c if c.isalnum() else "_%02x" % ord(c) for c in name)


class Service:
    def __init__(self, args, bus):
        self.args = args
        self.bus = bus
        self.blocks = {}

    def log(self, **entry):
        with open(self.args.log, "a") as f:
            f.write(json.dumps(entry) + "\n")

    def reject(self, call, why):
        self.log(call=call, error=why)
        raise Failed(why)

    def block(self, node):
        if node not in self.blocks:
            self.blocks[node] = Block(self, node)
        return self.blocks[node]


class Manager(dbus.service.Object):
    def __init__(self, service):
        super().__init__(service.bus, MANAGER)
        self.service = service

    @dbus.service.method("org.freedesktop.UDisks2.Manager", in_signature="a{sv}a{sv}", out_signature="ao")
    def ResolveDevice(self, devspec, options):
        s = self.service
        if set(devspec.keys()) != {"path"} or not isinstance(devspec["path"], dbus.String):
            s.reject("ResolveDevice", "devspec must hold exactly a string path: %r" % dict(devspec))
        if not set(options.keys()) <= STANDARD_OPTIONS:
            s.reject("ResolveDevice", "unknown options %r" % sorted(options.keys()))
        path = str(devspec["path"])
        if not re.fullmatch(r"/dev/[A-Za-z0-9_./-]+", path):
            s.reject("ResolveDevice", "not a device path: %r" % path)
        node = os.path.realpath(path)
        s.log(call="ResolveDevice", path=path, options=sorted(options.keys()))
        if not os.path.exists(node):
            return dbus.Array([], signature="o")
        return dbus.Array([s.block(node).path], signature="o")


class Block(dbus.service.Object):
    def __init__(self, service, node):
        self.path = BLOCKS + escape(os.path.basename(node))
        super().__init__(service.bus, self.path)
        self.service = service
        self.node = node

    @dbus.service.method("org.freedesktop.UDisks2.Block", in_signature="sa{sv}", out_signature="h")
    def OpenDevice(self, mode, options):
        s = self.service
        if mode not in ("r", "w", "rw"):
            s.reject("OpenDevice", "mode %r" % str(mode))
        if not set(options.keys()) <= STANDARD_OPTIONS | {"flags"}:
            s.reject("OpenDevice", "unknown options %r" % sorted(options.keys()))
        flags = options.get("flags", 0)
        if "flags" in options and not isinstance(flags, dbus.Int32):
            s.reject("OpenDevice", "flags must be an int32, not %s" % type(flags).__name__)
        if int(flags) & ~ALLOWED_FLAGS:
            s.reject("OpenDevice", "flags 0x%x beyond those allowed" % int(flags))
        entry = dict(call="OpenDevice", node=self.node, mode=str(mode), flags=int(flags))
        if s.args.answer == "refuse":
            s.log(answer="refused", **entry)
            raise NotAuthorized("Not authorized to perform operation")
        access = {"r": os.O_RDONLY, "w": os.O_WRONLY, "rw": os.O_RDWR}[str(mode)]
        try:
            fd = os.open(self.node, access | int(flags) | os.O_CLOEXEC)
        except OSError as e:
            s.log(answer="open failed: %s" % e.strerror, **entry)
            raise Failed("Error opening %s: %s" % (self.node, e.strerror))
        s.log(answer="granted", **entry)
        try:
            return dbus.types.UnixFd(fd)
        finally:
            os.close(fd)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--address", required=True)
    ap.add_argument("--answer", choices=("grant", "refuse"), required=True)
    ap.add_argument("--log", required=True)
    ap.add_argument("--ready", required=True)
    args = ap.parse_args()
    DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(args.address)
    service = Service(args, bus)
    Manager(service)
    name = dbus.service.BusName(SERVICE, bus, do_not_queue=True)  # noqa: F841
    with open(args.ready, "w") as f:
        f.write(str(os.getpid()))
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
