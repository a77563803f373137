"""Which libqevcrdio an installed program really loads.

Shared by the install tree test and the install run: a program installed under
one prefix must load the library of that prefix, never another one that the
system's search path happens to offer (an older package, say).
"""

import os
import re
import subprocess
import time

LIBRARY = "libqevcrdio.so"
# ld.so's trace of a dlopen: "file=/p/lib/libqevcrdio.so.1 [0];  dynamically loaded by ..."
LOADED = re.compile(r"file=(.+?" + re.escape(LIBRARY) + r"[^ ]*) \[\d+\];\s+dynamically loaded by")


def tool_library(argv, env, timeout=60):
    """Runs a command-line tool under ld.so's file trace.

    Returns (completed process, the library file it loaded or None)."""
    e = dict(env, LD_DEBUG="files")
    p = subprocess.run(argv, capture_output=True, text=True, timeout=timeout, env=e)
    found = [m.group(1) for m in LOADED.finditer(p.stderr)]
    # The trace is noise for whoever reads the tool's own messages.
    p.stderr = "\n".join(l for l in p.stderr.splitlines() if not re.match(r"^\s*\d+:\s", l))
    return p, (os.path.realpath(found[-1]) if found else None)


def mapped_library(pid):
    """The libqevcrdio file mapped into a running process, or None."""
    try:
        with open("/proc/%d/maps" % pid, encoding="utf-8", errors="replace") as f:
            for line in f:
                parts = line.rstrip("\n").split(None, 5)
                if len(parts) == 6 and os.path.basename(parts[5]).startswith(LIBRARY):
                    return os.path.realpath(parts[5])
    except FileNotFoundError:
        pass
    return None


def program_library(argv, env, cwd=None, timeout=20):
    """Starts the program offscreen and waits until the library is mapped.

    Returns (the library file or None, the program's output so far, its exit
    status if it ended). The program is stopped before returning."""
    e = dict(env, QT_QPA_PLATFORM="offscreen")
    p = subprocess.Popen(argv, env=e, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         text=True)
    found = None
    deadline = time.monotonic() + timeout
    try:
        while time.monotonic() < deadline and p.poll() is None:
            found = mapped_library(p.pid)
            if found:
                break
            time.sleep(0.1)
    finally:
        ended = p.poll()
        if ended is None:
            p.kill()
        out, _ = p.communicate(timeout=30)
    return found, out, ended
