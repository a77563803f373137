#!/usr/bin/env python3
"""The operator's run of tvqcrdut, end to end.

A private Xvfb, a private virtual bus with a TVQ-210CF holding cards of known
contents, the real program, and xdotool pressing the keys an operator presses:
open slot 1, read its first 2 MB, write a file back into a sector range,
compare (equal, then different), look at the drive list, eject a card, unplug
the unit, quit.  The bytes on disk are checked after each step; screenshots
are kept in the artefacts folder.

No window manager runs, so nothing hands the keyboard focus back when a box
closes: the test gives the focus to the window the operator would be looking
at before each key (what a window manager does on its own).
"""

import argparse
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

SECTOR = 512
MB = 1024 * 1024

MAIN_TITLE = "TVQ-206/210CF Card Utility Limit Edition"
# Plain boxes carry the application title, trailing blank included.
APP_TITLE = "TVQ-206/210CF Card Utility "
INFO, ERROR, WARNING = "情報", "エラー", "警告"
LIME, RED = (0, 255, 0), (255, 0, 0)  # 65280 and 255 as 0x00BBGGRR

UNIT = "e2e"
WAIT = 30.0  # seconds for a window to come or go; CI runs tests in parallel


class StepFailed(Exception):
    pass


def pattern(seed, size):
    """Bytes that differ in every sector and between seeds."""
    # 7 * (j + 183 c) = 7 j + c (mod 256): a slice of one table per sector.
    table = bytes((7 * j) & 0xFF for j in range(256 + SECTOR))
    out = bytearray()
    for s in range(-(-size // SECTOR)):
        head = (s.to_bytes(4, "little") + seed.to_bytes(2, "little")) * 2
        k = (183 * (s * 13 + seed * 101)) & 0xFF
        out += head + table[k:k + SECTOR - len(head)]
    return bytes(out[:size])


def die_with_parent():
    # Children go down with the test even if ctest kills it without warning.
    try:
        libc = ctypes.CDLL("libc.so.6", use_errno=True)
        libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except OSError:
        pass


class Run:
    def __init__(self, args):
        self.bin_dir = os.path.abspath(args.bin_dir)
        self.artifacts = os.path.abspath(args.artifacts)
        self.tvqunit = os.path.join(self.bin_dir, "tvqunit")
        self.program = os.path.join(self.bin_dir, "tvqcrdut")
        self.tmp = tempfile.mkdtemp(prefix="tvq-e2e-")
        self.bus = os.path.join(self.tmp, "bus")
        self.work = os.path.join(self.tmp, "work")
        self.cwd = os.path.join(self.tmp, "cwd")
        self.xvfb = None
        self.app = None
        self.app_log = os.path.join(self.artifacts, "tvqcrdut.log")
        self.display = None
        self.step = "setup"
        self.trace = args.trace
        self.shots = 0
        self.images = {}    # slot -> image file of the card
        self.contents = {}  # slot -> bytes the image must hold

    # ---- processes -------------------------------------------------------

    def env(self):
        e = dict(os.environ)
        e.update({
            "QEVCRDIO_BUS": self.bus,
            "HOME": os.path.join(self.tmp, "home"),
            "XDG_CONFIG_HOME": os.path.join(self.tmp, "config"),
            "XDG_DATA_HOME": os.path.join(self.tmp, "data"),
            "XDG_CACHE_HOME": os.path.join(self.tmp, "cache"),
            "XDG_RUNTIME_DIR": os.path.join(self.tmp, "runtime"),
            "QT_QPA_PLATFORM": "xcb",
            "LANG": "C.UTF-8",
        })
        if self.display:
            e["DISPLAY"] = self.display
        for k in ("QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS", "QT_FONT_DPI", "WAYLAND_DISPLAY"):
            e.pop(k, None)
        # Qt, xcb and fontconfig keep caches to the end of the process; leaks
        # are the unit tests' business, every other sanitizer report fails here.
        asan = e.get("ASAN_OPTIONS", "")
        e["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "detect_leaks=0"
        return e

    def run(self, *argv, check=True, timeout=30):
        p = subprocess.run(list(argv), env=self.env(), capture_output=True, text=True, timeout=timeout)
        if check and p.returncode != 0:
            raise StepFailed("%s failed (%d): %s" % (" ".join(argv), p.returncode, p.stderr.strip()))
        return p

    def unit(self, *argv):
        return self.run(self.tvqunit, *argv).stdout

    def x(self, *argv, check=True, timeout=10):
        return self.run(*argv, check=check, timeout=timeout)

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

    def start_program(self):
        self.log_file = open(self.app_log, "w")
        self.app = subprocess.Popen([self.program], cwd=self.cwd, env=self.env(), stdout=self.log_file,
                                    stderr=subprocess.STDOUT, preexec_fn=die_with_parent)

    def stop_all(self):
        for p in (self.app, self.xvfb):
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

    def app_alive(self):
        if self.app.poll() is not None:
            raise StepFailed("the program ended unexpectedly (exit status %s)" % self.app.returncode)

    def wait_window(self, title, timeout=WAIT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.app_alive()
            hit = self.find(title)
            if hit:
                time.sleep(0.3)  # let it settle: painted, default button set
                return hit
            time.sleep(0.2)
        raise StepFailed("no window %r within %.0f s; on screen: %s"
                         % (getattr(title, "pattern", title), timeout, self.windows()))

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

    def focus(self, wid):
        try:
            self.x("xdotool", "windowfocus", "--sync", wid, check=False, timeout=5)
        except subprocess.TimeoutExpired:
            raise StepFailed("window %s did not take the keyboard focus; on screen: %s" % (wid, self.windows()))
        time.sleep(0.1)

    def keys(self, wid, *keys):
        self.focus(wid)
        for k in keys:
            self.x("xdotool", "key", "--delay", "40", k)
            time.sleep(0.15)
            self.trace_shot(k)

    def trace_shot(self, what):
        if self.trace:
            self.shots += 1
            name = "trace-%03d-%s.png" % (self.shots, re.sub(r"[^A-Za-z0-9+]", "_", what)[:20])
            self.x("import", "-window", "root", os.path.join(self.artifacts, name), timeout=30)

    def type(self, text):
        self.x("xdotool", "type", "--delay", "15", text, timeout=30)
        time.sleep(0.15)
        self.trace_shot("type")

    def answer(self, title, key="Return"):
        """Waits for a box titled title, answers it, waits for it to close."""
        wid, _ = self.wait_window(title)
        self.keys(wid, key)
        self.wait_gone(wid, "the box %r" % title)

    def pixels(self, wid, rgb):
        """How many pixels of the window have exactly this colour."""
        raw = subprocess.run(["import", "-window", wid, "-depth", "8", "rgb:-"], env=self.env(),
                             capture_output=True, timeout=30).stdout
        r, g, b = rgb
        return sum(1 for i in range(0, len(raw) - 2, 3) if raw[i] == r and raw[i + 1] == g and raw[i + 2] == b)

    def wait_pixels(self, wid, rgb, want, what, timeout=WAIT):
        deadline = time.monotonic() + timeout
        while True:
            got = self.pixels(wid, rgb)
            if got == want:
                return
            if time.monotonic() > deadline:
                raise StepFailed("%s: %d pixels of colour %s, expected %d" % (what, got, rgb, want))
            time.sleep(0.3)

    def screenshot(self, name, wid=None):
        """Whole screen into the artefacts; with wid, also the window alone."""
        full = os.path.join(self.artifacts, name + "-screen.png")
        self.x("import", "-window", "root", full, timeout=30)
        if wid is not None:
            info = self.x("xwininfo", "-id", wid).stdout
            geo = {k: int(re.search(k + r":\s+(-?\d+)", info).group(1))
                   for k in ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height")}
            self.x("convert", full, "-crop", "%dx%d+%d+%d" % (
                geo["Width"], geo["Height"], geo["Absolute upper-left X"], geo["Absolute upper-left Y"]),
                "+repage", "-strip", os.path.join(self.artifacts, name + ".png"), timeout=30)

    # ---- bytes on disk ---------------------------------------------------

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def check_cards(self, skip=()):
        for slot, want in self.contents.items():
            if slot in skip:
                continue
            got = self.read(self.images[slot])
            if got != want:
                raise StepFailed("image of slot %d changed: %s" % (slot, first_difference(got, want)))

    # ---- the run ---------------------------------------------------------

    def setup(self):
        for tool in ("Xvfb", "xdotool", "import", "convert", "xwininfo"):
            if shutil.which(tool) is None:
                raise StepFailed("%s is not installed (scripts/setup-deps installs it)" % tool)
        for d in ("home", "config", "data", "cache", "cwd", "work"):
            os.makedirs(os.path.join(self.tmp, d))
        os.makedirs(os.path.join(self.tmp, "runtime"), mode=0o700)
        shutil.rmtree(self.artifacts, ignore_errors=True)
        os.makedirs(self.artifacts)

        self.unit("create", UNIT, "--model", "TVQ-210CF", "--product-code", "0x00210001")
        for slot, seed, size in ((1, 1, 4 * MB), (2, 2, 8 * MB), (5, 5, 4 * MB)):
            src = os.path.join(self.work, "card%d.src" % slot)
            data = pattern(seed, size)
            with open(src, "wb") as f:
                f.write(data)
            out = self.unit("insert", UNIT, str(slot), "--image", src)
            m = re.search(r"slot %d of %s: (.+)$" % (slot, UNIT), out, re.M)
            if not m:
                raise StepFailed("tvqunit insert did not name the card image: %r" % out)
            self.images[slot] = m.group(1).strip()
            self.contents[slot] = data
        self.check_cards()

    def main(self):
        self.step = "setup: virtual bus, Xvfb"
        self.setup()
        self.start_xvfb()

        self.step = "start: the 2 MB information box"
        self.start_program()
        self.answer(INFO)

        self.step = "start: main window"
        main, _ = self.wait_window(MAIN_TITLE)
        time.sleep(1.2)  # one slot monitor tick, so the lamps are final
        self.screenshot("main-window", main)
        # Lamps are the only lime (65280) in the main window: VD, 1, 2 and 5.
        lime4 = self.pixels(main, LIME)
        if lime4 == 0 or lime4 % 4:
            raise StepFailed("%d lime pixels in the main window for four lit lamps" % lime4)
        lamp = lime4 // 4

        # The lock lives in the private runtime folder; a second copy sees it
        # and ends without a word (one that ran on would wait in its 2 MB box).
        self.step = "a second copy ends silently"
        if not os.path.exists(os.path.join(self.tmp, "runtime", "TvqcrdApp.lock")):
            raise StepFailed("no TvqcrdApp.lock in the program's runtime folder")
        second = subprocess.Popen([self.program], cwd=self.cwd, env=self.env(), stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, preexec_fn=die_with_parent)
        try:
            rc = second.wait(WAIT)
        except subprocess.TimeoutExpired:
            second.kill()
            second.wait()
            raise StepFailed("the second copy still runs after %.0f s; on screen: %s" % (WAIT, self.windows()))
        if rc != 0:
            raise StepFailed("the second copy ended with status %d" % rc)

        self.step = "open slot 1 with Ctrl+F1"
        self.keys(main, "ctrl+F1")
        dlg, caption = self.wait_window(re.compile(r"SLOT#1 .*"))
        if not re.fullmatch(r"SLOT#1 （[A-Z]: ドライブ）", caption):
            raise StepFailed("card access dialog caption %r" % caption)
        self.screenshot("card-access", dlg)

        # Read: first showing, focus on the first radio button; Tab reaches the
        # file name because the range fields are disabled in whole-card mode.
        self.step = "read the first 2 MB (Alt+R)"
        # Names relative to the program's current directory, as typed.
        read_file = "card1-2mb.bin"
        self.keys(dlg, "alt+r")
        params, _ = self.wait_window("読み出し設定")
        self.keys(params, "Tab", "ctrl+a")
        self.type(read_file)
        # Slowed to a few seconds, so the red lamp of the running read shows.
        self.unit("throttle", UNIT, "--bytes-per-second", "512K")
        self.keys(params, "alt+s")
        self.wait_gone(params, "the read parameters dialog")
        self.wait_pixels(main, RED, lamp, "the lamp of slot 1 while it is read", timeout=4.0)
        self.answer(APP_TITLE)  # "読み出しを完了しました。"
        self.unit("throttle", UNIT, "--off")
        self.wait_pixels(main, RED, 0, "lamps after the read")
        self.wait_pixels(main, LIME, lime4, "lamps after the read")
        read_path = os.path.join(self.cwd, read_file)
        got = self.read(read_path) if os.path.exists(read_path) else None
        if got is None:
            raise StepFailed("the read wrote no file")
        if got != self.contents[1][:2 * MB]:
            raise StepFailed("read file against the card's first 2 MB: %s"
                             % first_difference(got, self.contents[1][:2 * MB]))
        self.check_cards()

        # Write: sector range 0x100, 0x800 sectors, from a file of 0x600
        # sectors and 300 bytes, so the last sector is merged.
        self.step = "write a file into sectors 100-8FF (Alt+W)"
        write_file = "write.bin"
        wdata = pattern(9, 0x600 * SECTOR + 300)
        with open(os.path.join(self.cwd, write_file), "wb") as f:
            f.write(wdata)
        self.keys(dlg, "alt+w")
        params, _ = self.wait_window("書き込み設定")
        self.fill_range(params, "100", "800", write_file)
        self.screenshot("access-params", params)
        self.keys(params, "alt+s")
        self.wait_gone(params, "the write parameters dialog")
        self.answer(APP_TITLE)  # "書き込みを完了しました。"
        start = 0x100 * SECTOR
        want = bytearray(self.contents[1])
        want[start:start + len(wdata)] = wdata
        self.contents[1] = bytes(want)
        self.check_cards()

        self.step = "compare the written range with the file (Alt+C)"
        self.keys(dlg, "alt+c")
        params, _ = self.wait_window("コンペア設定")
        self.fill_range(params, "100", "800", write_file)
        self.keys(params, "alt+s")
        self.wait_gone(params, "the compare parameters dialog")
        # The file ends inside the range, then the verdict.
        hit = self.wait_window(re.compile("|".join(map(re.escape, (INFO, WARNING, APP_TITLE)))))
        if hit[1] != INFO:
            raise StepFailed("compare of equal data: %r box instead of the end-of-file information" % hit[1])
        self.answer(INFO)
        self.answer(APP_TITLE)  # "相違はありませんでした．"
        self.expect_no_window(WARNING, 1.0)

        # The read file is the card as it was: the same range now differs.
        self.step = "compare the old read file: a difference is reported"
        self.keys(dlg, "alt+c")
        params, _ = self.wait_window("コンペア設定")
        self.keys(params, "ctrl+a")  # the focus is still in the file name
        self.type(read_file)
        self.keys(params, "alt+s")
        self.wait_gone(params, "the compare parameters dialog")
        hit = self.wait_window(re.compile("|".join(map(re.escape, (INFO, WARNING, APP_TITLE)))))
        if hit[1] != WARNING:
            raise StepFailed("compare of different data: %r box instead of a difference warning" % hit[1])
        self.answer(WARNING, "alt+n")  # No: stop, no closing message
        self.expect_no_window(APP_TITLE, 1.5)
        self.check_cards()

        self.step = "close the card access dialog (Alt+B)"
        self.keys(dlg, "alt+b")
        self.wait_gone(dlg, "the card access dialog")

        self.step = "drive list (menu カード, 一覧)"
        self.keys(main, "alt+f", "v")
        lst, _ = self.wait_window("ドライブ諸元情報一覧")
        self.screenshot("drive-list", lst)
        self.keys(lst, "alt+c")
        self.wait_gone(lst, "the drive list")

        self.step = "eject slot 2 (Alt+F2)"
        self.keys(main, "alt+F2")
        deadline = time.monotonic() + WAIT
        while not re.search(r"^\s*slot 2: empty\s*$", self.unit("show", UNIT), re.M):
            if time.monotonic() > deadline:
                raise StepFailed("slot 2 still holds its card after Alt+F2")
            time.sleep(0.2)
        if not os.path.exists(self.images[2]):
            raise StepFailed("the ejected card's image %s is gone" % self.images[2])
        self.check_cards()  # the ejected image included, every byte
        self.wait_pixels(main, LIME, 3 * lamp, "lamps after the eject of slot 2", timeout=2.0)

        self.step = "after the eject: Ctrl+F5 opens slot 5, Ctrl+F2 opens nothing"
        self.keys(main, "ctrl+F5")
        d5, _ = self.wait_window(re.compile(r"SLOT#5 .*"))
        self.keys(d5, "alt+b")
        self.wait_gone(d5, "the card access dialog of slot 5")
        self.keys(main, "ctrl+F2")
        self.expect_no_window(re.compile(r"SLOT#2 .*"), 2.0)

        self.step = "unplug the unit: the error box"
        self.unit("unplug", UNIT)
        self.wait_window(ERROR)
        self.screenshot("unit-unplugged", main)
        self.answer(ERROR)  # "ユニットの接続が切断されました。"
        self.wait_pixels(main, LIME, 0, "lamps once the unit is gone")
        self.keys(main, "ctrl+F1")
        self.expect_no_window(re.compile(r"SLOT#.*"), 1.5)

        self.step = "quit (Alt+X)"
        self.keys(main, "alt+x")
        try:
            rc = self.app.wait(WAIT)
        except subprocess.TimeoutExpired:
            raise StepFailed("the program is still running %.0f s after Alt+X" % WAIT)
        if rc != 0:
            raise StepFailed("the program ended with status %d" % rc)
        self.check_cards()

        self.step = "remembered file names"
        conf = os.path.join(self.tmp, "config", "QEVRA LABS", "TVQCRDUT.conf")
        if not os.path.exists(conf):
            raise StepFailed("no settings file %s after the program ended" % conf)
        text = open(conf, encoding="utf-8").read()
        for group, name in (("ReadFile", read_file), ("WriteFile", write_file), ("CompFile", read_file)):
            m = re.search(r"^\[%s\]\s*^FileName=(.*)$" % group, text, re.M)
            if not m or m.group(1) != name:
                raise StepFailed("[%s] FileName is %r, expected %r" % (group, m and m.group(1), name))

        self.step = "sanitizer reports"
        self.log_file.close()
        log = open(self.app_log, encoding="utf-8", errors="replace").read()
        if "ERROR: AddressSanitizer" in log or "runtime error:" in log:
            raise StepFailed("the program's output holds a sanitizer report (see %s)" % self.app_log)

    def fill_range(self, params, start, count, path):
        """Sector-range mode, from a dialog whose focus is in the file name and
        whose range fields are off. Shift+Tab lands on one of the two radio
        buttons (Qt picks the checked one or the one last focused); Down
        moves to the second and checks it when the first was checked; Space
        clicks it, which checks it at the latest and puts the focus into the
        start field."""
        self.keys(params, "shift+Tab", "Down", "space", "ctrl+a")
        self.type(start)
        self.keys(params, "Tab", "ctrl+a")
        self.type(count)
        self.keys(params, "Tab", "ctrl+a")
        self.type(path)


def first_difference(got, want):
    if len(got) != len(want):
        return "length %d, expected %d" % (len(got), len(want))
    for i, (a, b) in enumerate(zip(got, want)):
        if a != b:
            return "first difference at byte 0x%X (sector 0x%X): %02X, expected %02X" % (i, i // SECTOR, a, b)
    return "equal"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin-dir", required=True, help="folder of tvqcrdut, tvqunit and the library")
    ap.add_argument("--artifacts", required=True, help="folder for screenshots and the program's output")
    ap.add_argument("--keep", action="store_true", help="keep the temporary folder")
    ap.add_argument("--trace", action="store_true", help="a screenshot after every key")
    args = ap.parse_args()

    run = Run(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
    ok = False
    try:
        run.main()
        ok = True
    except StepFailed as e:
        print("e2e_operator: FAILED at step \"%s\": %s" % (run.step, e), file=sys.stderr)
    except Exception as e:  # a fault of the harness itself still names the step
        print("e2e_operator: FAILED at step \"%s\": %s: %s" % (run.step, type(e).__name__, e), file=sys.stderr)
    finally:
        if not ok and run.xvfb is not None and run.xvfb.poll() is None:
            try:
                run.x("import", "-window", "root", os.path.join(run.artifacts, "failure-screen.png"), timeout=30)
                print("e2e_operator: screen at the failure: %s" % os.path.join(run.artifacts, "failure-screen.png"),
                      file=sys.stderr)
            except Exception:
                pass
        run.stop_all()
        if not ok and os.path.exists(run.app_log):
            tail = open(run.app_log, errors="replace").read()[-2000:]
            if tail.strip():
                print("e2e_operator: program output:\n" + tail, file=sys.stderr)
        if args.keep or not ok:
            print("e2e_operator: files kept in %s" % run.tmp, file=sys.stderr)
        else:
            shutil.rmtree(run.tmp, ignore_errors=True)
    if ok:
        print("e2e_operator: passed; screenshots in %s" % run.artifacts)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
