"""A private X desktop for the end-to-end runs of the real program.

An Xvfb that picks its own display, a light window manager (openbox, with
Debian's default configuration, as a desktop would run it), and the helpers
that find, focus, type into, photograph and read the colours of the windows,
through xdotool, xwininfo, xprop and ImageMagick.  Every end-to-end script
builds on it:

    x = XSession(artifacts, wm=True)
    x.start()
    app = x.popen([program], cwd=..., env=x.env(extra))
    wid, title = x.wait_window("情報")
    x.keys(wid, "Return")
    ...
    x.stop()
"""

import ctypes
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

WAIT = 30.0  # seconds for a window to come or go; CI runs tests in parallel
TOOLS = ("Xvfb", "xdotool", "import", "convert", "xwininfo", "xprop")
WM_TOOL = "openbox"

# The program's windows and boxes.
MAIN_TITLE = "TVQ-206/210CF Card Utility Limit Edition"
APP_TITLE = "TVQ-206/210CF Card Utility "  # plain boxes: the application title, trailing blank included
INFO, ERROR, WARNING = "情報", "エラー", "警告"
# The lamps' colours, 65280, 255 and 8421504 as 0x00BBGGRR; no other part of the main window has them.
LIME, RED, GREY = (0, 255, 0), (255, 0, 0), (128, 128, 128)


class StepFailed(Exception):
    pass


def die_with_parent():
    """preexec_fn: the child goes down with the test even if ctest kills it without warning."""
    try:
        libc = ctypes.CDLL("libc.so.6", use_errno=True)
        libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except OSError:
        pass


def end_process(p):
    """Ends p (a Popen, or None): asked first, killed when it does not go within 5 s."""
    if p is not None and p.poll() is None:
        p.terminate()
        try:
            p.wait(5)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait(5)


def private_env(tmp, bus):
    """A user of their own under tmp, on the virtual bus in bus.

    Qt, xcb and fontconfig keep caches to the end of the process; leaks are
    the unit tests' business, every other sanitizer report fails a run."""
    asan = os.environ.get("ASAN_OPTIONS", "")
    return {
        "QEVCRDIO_BUS": bus,
        "HOME": os.path.join(tmp, "home"),
        "XDG_CONFIG_HOME": os.path.join(tmp, "config"),
        "XDG_DATA_HOME": os.path.join(tmp, "data"),
        "XDG_CACHE_HOME": os.path.join(tmp, "cache"),
        "XDG_RUNTIME_DIR": os.path.join(tmp, "runtime"),
        "LANG": "C.UTF-8",
        "ASAN_OPTIONS": (asan + ":" if asan else "") + "detect_leaks=0",
    }


def missing_tools(wm=True):
    return [t for t in TOOLS + ((WM_TOOL,) if wm else ()) if shutil.which(t) is None]


class XSession:
    def __init__(self, artifacts, wm=True, trace=False):
        self.artifacts = artifacts
        self.use_wm = wm
        self.trace = trace
        self.shots = 0
        self.display = None
        self.xvfb = None
        self.wm = None
        self.wm_home = None
        self.base_env = {}
        self.handed_focus = 0  # times the keyboard focus had to be handed to a window
        self.alive = None      # called while waiting; raises when the program is gone

    # ---- processes -------------------------------------------------------

    def env(self, extra=None):
        e = dict(os.environ)
        e.update(self.base_env)
        if extra:
            e.update(extra)
        if self.display:
            e["DISPLAY"] = self.display
        for k in ("QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS", "QT_FONT_DPI", "WAYLAND_DISPLAY"):
            e.pop(k, None)
        e["QT_QPA_PLATFORM"] = "xcb"
        return e

    def run(self, *argv, check=True, timeout=30, env=None):
        p = subprocess.run(list(argv), env=env or self.env(), capture_output=True, text=True, timeout=timeout)
        if check and p.returncode != 0:
            raise StepFailed("%s failed (%d): %s" % (" ".join(argv), p.returncode, p.stderr.strip()))
        return p

    def x(self, *argv, check=True, timeout=10):
        return self.run(*argv, check=check, timeout=timeout)

    def popen(self, argv, **kw):
        kw.setdefault("preexec_fn", die_with_parent)
        kw.setdefault("env", self.env())
        return subprocess.Popen(argv, **kw)

    def start(self):
        missing = missing_tools(self.use_wm)
        if missing:
            raise StepFailed("%s not installed (scripts/setup-deps installs them)" % ", ".join(missing))
        self.start_xvfb()
        if self.use_wm:
            self.start_wm()

    def start_xvfb(self):
        r, w = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"],
            pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=die_with_parent)
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

    def start_wm(self):
        # Debian's default configuration, whatever the user running the test has.
        self.wm_home = tempfile.mkdtemp(prefix="tvq-wm-")
        home = self.wm_home
        env = self.env({"HOME": home, "XDG_CONFIG_HOME": os.path.join(home, "config")})
        self.wm = subprocess.Popen([WM_TOOL, "--sm-disable"], env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, preexec_fn=die_with_parent)
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            if self.wm.poll() is not None:
                raise StepFailed("the window manager ended at start (status %d)" % self.wm.returncode)
            p = self.x("xprop", "-root", "_NET_SUPPORTING_WM_CHECK", check=False)
            if "window id" in p.stdout:
                return
            time.sleep(0.1)
        raise StepFailed("the window manager did not come up")

    def stop(self, *others):
        for p in tuple(others) + (self.wm, self.xvfb):
            end_process(p)
        if self.wm_home:
            shutil.rmtree(self.wm_home, ignore_errors=True)
            self.wm_home = None

    # ---- windows ---------------------------------------------------------

    def windows(self):
        """Visible top-level windows of clients: [(id, title)]."""
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

    def check_alive(self):
        if self.alive:
            self.alive()

    def wait_window(self, title, timeout=WAIT, settle=0.3):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.check_alive()
            hit = self.find(title)
            if hit:
                time.sleep(settle)  # let it settle: painted, default button set
                return hit
            time.sleep(0.05 if timeout < 5 else 0.2)
        raise StepFailed("no window %r within %.1f s; on screen: %s"
                         % (getattr(title, "pattern", title), timeout, self.windows()))

    def start_with_file(self, title, path, to_file=("ctrl+a",), what="the parameters dialog"):
        """In the parameter dialog titled title: the keys to_file into the file
        name (all of it selected), path typed over it, 開始 (Alt+S); waits until
        the dialog is gone."""
        params, _ = self.wait_window(title)
        self.keys(params, *to_file)
        self.type(path)
        self.keys(params, "alt+s")
        self.wait_gone(params, what)

    def wait_gone(self, wid, what, timeout=WAIT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if wid not in [w for w, _ in self.windows()]:
                return
            time.sleep(0.2)
        raise StepFailed("%s still on screen after %.0f s" % (what, timeout))

    def expect_no_window(self, title, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            hit = self.find(title)
            if hit:
                raise StepFailed("unexpected window %r" % (hit[1],))
            time.sleep(0.2)

    def active(self):
        p = self.x("xdotool", "getactivewindow", check=False) if self.use_wm else \
            self.x("xdotool", "getwindowfocus", check=False)
        return p.stdout.strip() if p.returncode == 0 else None

    def wait_active(self, wid, timeout=3.0):
        """True once wid holds the focus by itself (as the window manager gives it)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.active() == wid:
                return True
            time.sleep(0.05)
        return False

    def focus(self, wid):
        """Makes wid the window the keys go to. Under the window manager that is
        normally so already; otherwise the test does what a click on the window
        would do, and counts it."""
        if self.active() == wid:
            return
        self.handed_focus += 1
        argv = ["xdotool", "windowactivate", "--sync", wid] if self.use_wm else \
               ["xdotool", "windowfocus", "--sync", wid]
        try:
            self.x(*argv, check=False, timeout=5)
        except subprocess.TimeoutExpired:
            raise StepFailed("window %s did not take the keyboard focus; on screen: %s" % (wid, self.windows()))
        time.sleep(0.1)

    def client_geometry(self, wid):
        """(x, y, width, height) of the window's client area on the screen."""
        info = self.x("xwininfo", "-id", wid).stdout
        return tuple(int(re.search(k + r":\s+(-?\d+)", info).group(1))
                     for k in ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))

    def frame_geometry(self, wid):
        """(x, y, width, height) of the window with the window manager's frame."""
        cx, cy, w, h = self.client_geometry(wid)
        left, right, top, bottom = self.frame_extents(wid)
        return cx - left, cy - top, w + left + right, h + top + bottom

    def move(self, wid, x, y):
        """Puts the window's frame corner at x, y, as a drag of its title bar would."""
        for _ in range(3):
            fx, fy, _, _ = self.frame_geometry(wid)
            if (fx, fy) == (x, y):
                return
            # Where a move request lands depends on the window manager's reading
            # of it; correct by what it did.
            cx, cy, _, _ = self.client_geometry(wid)
            self.x("xdotool", "windowmove", "--sync", wid, str(cx + x - fx), str(cy + y - fy),
                   check=False, timeout=5)
            time.sleep(0.1)
        raise StepFailed("window %s did not move to %d,%d" % (wid, x, y))

    def keys(self, wid, *keys):
        self.focus(wid)
        for k in keys:
            self.x("xdotool", "key", "--delay", "40", k)
            time.sleep(0.15)
            self.trace_shot(k)

    def type(self, text):
        self.x("xdotool", "type", "--delay", "15", text, timeout=30)
        time.sleep(0.15)
        self.trace_shot("type")

    def answer(self, title, key="Return"):
        """Waits for a box titled title, answers it, waits for it to close."""
        wid, _ = self.wait_window(title)
        self.keys(wid, key)
        self.wait_gone(wid, "the box %r" % (getattr(title, "pattern", title),))

    # ---- pixels and pictures ---------------------------------------------

    def trace_shot(self, what):
        if self.trace:
            self.shots += 1
            name = "trace-%03d-%s.png" % (self.shots, re.sub(r"[^A-Za-z0-9+]", "_", what)[:20])
            self.x("import", "-window", "root", os.path.join(self.artifacts, name), timeout=30)

    def pixels(self, wid, rgb):
        """How many pixels of the window's client area have exactly this colour."""
        raw = subprocess.run(["import", "-window", wid, "-depth", "8", "rgb:-"], env=self.env(),
                             capture_output=True, timeout=30).stdout
        r, g, b = rgb
        return sum(1 for i in range(0, len(raw) - 2, 3) if raw[i] == r and raw[i + 1] == g and raw[i + 2] == b)

    def wait_pixels(self, wid, rgb, want, what, timeout=WAIT):
        """want: a count, or a range of counts."""
        deadline = time.monotonic() + timeout
        while True:
            got = self.pixels(wid, rgb)
            if got == want or (isinstance(want, range) and got in want):
                return
            if time.monotonic() > deadline:
                raise StepFailed("%s: %d pixels of colour %s, expected %s" % (what, got, rgb, want))
            time.sleep(0.3)

    # ---- the program's own windows and checks -----------------------------

    def launch(self, argv, cwd, log, env=None):
        """Starts the program with its output (stdout and stderr) in the file
        log, and watches it: waiting fails once it has ended."""
        with open(log, "w") as out:
            program = self.popen(argv, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, env=env or self.env())
        self.watch(program)
        return program

    def main_window(self, lit, shot):
        """The main window put at the top left, after a tick of the slot
        monitor, photographed; lit lamps must be lime. Returns the window and
        one lamp's count of pixels."""
        main, _ = self.wait_window(MAIN_TITLE)
        self.move(main, 8, 8)  # the operator keeps dialogs beside it, the lamps in sight
        time.sleep(1.2)
        self.screenshot(shot, main)
        return main, self.lit_lamps(main, lit)

    def open_card_access(self, main, key, title):
        """The card access dialog by its shortcut key, put beside the main
        window: (window, caption)."""
        self.keys(main, key)
        dlg, caption = self.wait_window(title)
        self.move(dlg, 470, 8)
        return dlg, caption

    def close_card_access(self, dlg, what):
        """閉じる (Alt+B) closes it."""
        self.keys(dlg, "alt+b")
        self.wait_gone(dlg, what)

    def watch(self, program):
        """While waiting, the program (a Popen) must still run."""
        def alive():
            if program.poll() is not None:
                raise StepFailed("the program ended unexpectedly (exit status %s)" % program.returncode)
        self.alive = alive

    def lit_lamps(self, main, lit):
        """The main window shows lit lime lamps; returns one lamp's pixel count."""
        lime = self.pixels(main, LIME)
        if lime == 0 or lime % lit:
            raise StepFailed("%d lime pixels in the main window for %d lit lamps" % (lime, lit))
        return lime // lit

    def unit_gone(self, main, shot):
        """The unit went: the error box comes (photographed with the main
        window), is answered, and every lamp goes out. Returns the moment the
        box was seen."""
        self.wait_window(ERROR)
        seen = time.monotonic()
        self.screenshot(shot, main)
        self.answer(ERROR)  # "ユニットの接続が切断されました。"
        self.wait_pixels(main, LIME, 0, "lamps once the unit is gone")
        return seen

    def quit(self, main, program):
        """Alt+X on the main window ends the program, with status 0."""
        self.keys(main, "alt+x")
        try:
            rc = program.wait(WAIT)
        except subprocess.TimeoutExpired:
            raise StepFailed("the program is still running %.0f s after Alt+X" % WAIT)
        if rc != 0:
            raise StepFailed("the program ended with status %d" % rc)

    def frame_extents(self, wid):
        """(left, right, top, bottom) of the window manager's frame, zeros without one."""
        p = self.x("xprop", "-id", wid, "_NET_FRAME_EXTENTS", check=False)
        m = re.search(r"=\s*(\d+),\s*(\d+),\s*(\d+),\s*(\d+)", p.stdout)
        return tuple(int(v) for v in m.groups()) if m else (0, 0, 0, 0)

    def screenshot(self, name, wid=None):
        """Whole screen into the artefacts; with wid, also the window alone, with its frame."""
        full = os.path.join(self.artifacts, name + "-screen.png")
        self.x("import", "-window", "root", full, timeout=30)
        if wid is not None:
            x0, y0, w, h = self.frame_geometry(wid)
            self.x("convert", full, "-crop", "%dx%d%+d%+d" % (w, h, x0, y0),
                   "+repage", "-strip", os.path.join(self.artifacts, name + ".png"), timeout=30)


def check_program_output(path):
    """The program's output (stdout and stderr in one file) holds no sanitizer
    report and nothing the emulated unit did not expect."""
    log = open(path, encoding="utf-8", errors="replace").read()
    if "ERROR: AddressSanitizer" in log or "runtime error:" in log:
        raise StepFailed("the program's output holds a sanitizer report (see %s)" % path)
    if "emulated unit saw" in log:
        raise StepFailed("the emulated unit was sent fields it does not expect (see %s)" % path)


def run_steps(tag, run, keep):
    """Runs run.main() and says how it ended: a failure names run.step, keeps
    a picture of the screen and the tail of the program's output
    (run.app_log); run.stop_all() ends every process; run.tmp is removed
    unless kept or failed. Returns True when every step passed."""
    ok = False
    try:
        run.main()
        ok = True
    except StepFailed as e:
        print("%s: FAILED at step \"%s\": %s" % (tag, run.step, e), file=sys.stderr)
    except Exception as e:  # a fault of the harness itself still names the step
        print("%s: FAILED at step \"%s\": %s: %s" % (tag, run.step, type(e).__name__, e), file=sys.stderr)
    finally:
        if not ok and run.x.xvfb is not None and run.x.xvfb.poll() is None:
            try:
                run.x.screenshot("failure")
                print("%s: screen at the failure: %s" % (tag, os.path.join(run.x.artifacts, "failure-screen.png")),
                      file=sys.stderr)
            except Exception:
                pass
        run.stop_all()
        if not ok and os.path.exists(run.app_log):
            tail = open(run.app_log, errors="replace").read()[-2000:]
            if tail.strip():
                print("%s: program output:\n%s" % (tag, tail), file=sys.stderr)
        if keep or not ok:
            print("%s: files kept in %s" % (tag, run.tmp), file=sys.stderr)
        else:
            shutil.rmtree(run.tmp, ignore_errors=True)
    return ok
