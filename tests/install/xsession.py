"""A private X display for a test: Xvfb, optionally openbox, and xdotool.

Session(artifacts).start() picks a free display; windows are found by title,
keys are sent to the window that must have the focus, screenshots go into the
artefacts folder. Every wait raises StepFailed with what is on screen.
"""

import ctypes
import os
import re
import select
import shutil
import signal
import subprocess
import time

WAIT = 30.0  # seconds for a window to come or go


class StepFailed(Exception):
    pass


def die_with_parent():
    # Children go down with the test even if it is killed without warning.
    try:
        libc = ctypes.CDLL("libc.so.6", use_errno=True)
        libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except OSError:
        pass


class Session:
    def __init__(self, artifacts):
        self.artifacts = artifacts
        self.display = None
        self.xvfb = None
        self.wm = None

    def env(self):
        e = {"DISPLAY": self.display, "QT_QPA_PLATFORM": "xcb"}
        return e

    def x(self, *argv, check=True, timeout=10):
        e = dict(os.environ)
        for k in ("QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS", "QT_FONT_DPI", "WAYLAND_DISPLAY"):
            e.pop(k, None)
        e.update(self.env())
        p = subprocess.run(list(argv), env=e, capture_output=True, text=True, timeout=timeout)
        if check and p.returncode != 0:
            raise StepFailed("%s failed (%d): %s" % (" ".join(argv), p.returncode, p.stderr.strip()))
        return p

    def start(self, window_manager=True):
        tools = ["Xvfb", "xdotool", "import", "convert", "xwininfo"] + (["openbox"] if window_manager else [])
        for tool in tools:
            if shutil.which(tool) is None:
                raise StepFailed("%s is not installed (scripts/setup-deps installs it)" % tool)
        r, w = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"],
            pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=die_with_parent)
        os.close(w)
        # Xvfb picks a free display itself and writes its number here.
        number = b""
        deadline = time.monotonic() + WAIT
        while not number.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or self.xvfb.poll() is not None:
                raise StepFailed("Xvfb did not start")
            ready, _, _ = select.select([r], [], [], left)
            if ready:
                chunk = os.read(r, 16)
                if not chunk:
                    raise StepFailed("Xvfb closed its display pipe without a number")
                number += chunk
        os.close(r)
        self.display = ":" + number.decode().strip()
        if window_manager:
            e = dict(os.environ, **self.env())
            self.wm = subprocess.Popen(["openbox"], env=e, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                       preexec_fn=die_with_parent)
            # openbox owns the WM_S0 selection once it manages the screen.
            deadline = time.monotonic() + WAIT
            while self.x("xprop", "-root", "_NET_SUPPORTING_WM_CHECK", check=False).stdout.find("window id") < 0:
                if time.monotonic() > deadline or self.wm.poll() is not None:
                    raise StepFailed("openbox did not start")
                time.sleep(0.1)

    def stop(self):
        for p in (self.wm, self.xvfb):
            if p is not None and p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait(5)

    # ---- windows ---------------------------------------------------------

    def windows(self):
        """Visible top-level windows: [(id, title)]."""
        p = self.x("xdotool", "search", "--onlyvisible", "--name", ".", check=False)
        out = []
        for wid in p.stdout.split():
            n = self.x("xdotool", "getwindowname", wid, check=False)
            if n.returncode == 0:
                out.append((wid, n.stdout.rstrip("\n")))
        return out

    def find(self, title):
        """The window whose title equals title, or matches it when it is a regex."""
        for wid, name in self.windows():
            if (title.fullmatch(name) if isinstance(title, re.Pattern) else name == title):
                return wid, name
        return None

    def wait_window(self, title, alive=None, timeout=WAIT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if alive:
                alive()
            hit = self.find(title)
            if hit:
                time.sleep(0.3)  # let it settle: painted, default button set
                return hit
            time.sleep(0.2)
        raise StepFailed("no window %r within %.0f s; on screen: %s"
                         % (getattr(title, "pattern", title), timeout, self.windows()))

    def wait_new_window(self, before, alive=None, timeout=WAIT):
        """A visible window with a title that was not among the ids in before."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if alive:
                alive()
            for wid, name in self.windows():
                if wid not in before and name.strip():
                    time.sleep(0.3)
                    return wid, name
            time.sleep(0.2)
        raise StepFailed("no new window within %.0f s; on screen: %s" % (timeout, self.windows()))

    def wait_gone(self, wid, what, timeout=WAIT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if wid not in [w for w, _ in self.windows()]:
                return
            time.sleep(0.2)
        raise StepFailed("%s still on screen after %.0f s" % (what, timeout))

    def window_pid(self, wid):
        p = self.x("xdotool", "getwindowpid", wid, check=False)
        return int(p.stdout) if p.returncode == 0 and p.stdout.strip().isdigit() else None

    def focus(self, wid):
        try:
            self.x("xdotool", "windowactivate", "--sync", wid, check=False, timeout=5)
            self.x("xdotool", "windowfocus", "--sync", wid, check=False, timeout=5)
        except subprocess.TimeoutExpired:
            raise StepFailed("window %s did not take the keyboard focus; on screen: %s" % (wid, self.windows()))
        time.sleep(0.1)

    def keys(self, wid, *keys):
        self.focus(wid)
        for k in keys:
            self.x("xdotool", "key", "--delay", "40", k)
            time.sleep(0.15)

    def answer(self, title, key="Return", alive=None):
        """Waits for a box titled title, answers it, waits for it to close."""
        wid, _ = self.wait_window(title, alive=alive)
        self.keys(wid, key)
        self.wait_gone(wid, "the box %r" % title)

    def screenshot(self, name, wid=None, frame=False):
        """Whole screen into the artefacts; with wid, also the window alone
        (with its window manager frame when frame is set)."""
        full = os.path.join(self.artifacts, name + "-screen.png")
        self.x("import", "-window", "root", full, timeout=30)
        if wid is not None:
            info = self.x("xwininfo", "-id", self.frame_of(wid) if frame else wid).stdout
            geo = {k: int(re.search(k + r":\s+(-?\d+)", info).group(1))
                   for k in ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height")}
            self.x("convert", full, "-crop", "%dx%d+%d+%d" % (
                geo["Width"], geo["Height"], geo["Absolute upper-left X"], geo["Absolute upper-left Y"]),
                "+repage", "-strip", os.path.join(self.artifacts, name + ".png"), timeout=30)

    def frame_of(self, wid):
        """The top-level ancestor of a client window (the frame under a window manager)."""
        current = wid
        for _ in range(8):
            tree = self.x("xwininfo", "-children", "-id", current).stdout
            m = re.search(r"Parent window id: (0x[0-9a-f]+)( \(the root window\))?", tree)
            if not m or m.group(2):
                return current
            current = m.group(1)
        return current
