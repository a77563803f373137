#!/usr/bin/env python3
"""Starts tvqcrdut many times in a row on a desktop and checks every start.

One private Xvfb with openbox, one private virtual bus with a TVQ-210CF
holding a card, and then, --count times: start the program, the information
box about the 2 MB limit must be on screen within --limit seconds; Enter
closes it; the main window must follow within --limit seconds; Alt+X ends
the program, which must exit with status 0 within a few seconds, leaving the
single-instance lock free for the next start.

Every fifth start the unit is pulled out while the box is open, and the
next one it is plugged in while the box is open: once the box closes the
window must tell of the removal (the error box, then no lamp lit) or show
the unit that came (lamps lit), as a unit noticed at any other time.

A start that fails is recorded with a screenshot and, when gdb is there, the
program's stacks; the run goes on, and the summary names every failure.
"""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from xsession import StepFailed, XSession, private_env  # noqa: E402

MAIN_TITLE = "TVQ-206/210CF Card Utility Limit Edition"
INFO, ERROR = "情報", "エラー"
LIME = (0, 255, 0)
UNIT = "rep"


class Repeat:
    def __init__(self, args):
        self.args = args
        self.bin_dir = os.path.abspath(args.bin_dir)
        self.artifacts = os.path.abspath(args.artifacts)
        self.program = os.path.join(self.bin_dir, "tvqcrdut")
        self.tvqunit = os.path.join(self.bin_dir, "tvqunit")
        self.tmp = tempfile.mkdtemp(prefix="tvq-repeat-")
        self.x = XSession(self.artifacts, wm=not args.no_wm)
        self.x.base_env = private_env(self.tmp, os.path.join(self.tmp, "bus"))
        self.app = None
        self.failures = []  # (start number, what)
        self.box_times = []
        self.main_times = []

    def unit(self, *argv):
        return self.x.run(self.tvqunit, *argv).stdout

    def alive(self):
        if self.app is not None and self.app.poll() is not None:
            raise StepFailed("the program ended by itself (exit status %s)" % self.app.returncode)

    def setup(self):
        for d in ("home", "config", "data", "cache", "cwd"):
            os.makedirs(os.path.join(self.tmp, d))
        os.makedirs(os.path.join(self.tmp, "runtime"), mode=0o700)
        shutil.rmtree(self.artifacts, ignore_errors=True)
        os.makedirs(self.artifacts)
        self.unit("create", UNIT, "--model", "TVQ-210CF")
        self.unit("insert", UNIT, "1", "--size", "4M")
        self.x.alive = self.alive
        self.x.start()

    def wait_for(self, title, limit, what):
        t0 = time.monotonic()
        try:
            wid, _ = self.x.wait_window(title, timeout=limit, settle=0)
        except StepFailed:
            raise StepFailed("%s not on screen within %.1f s; on screen: %s" % (what, limit, self.x.windows()))
        return wid, time.monotonic() - t0

    def one_start(self, n, kind):
        """kind: "plain", "pulled" (unit pulled out during the box) or "plugged"."""
        limit = self.args.limit
        if kind == "plugged":
            self.unit("unplug", UNIT)
        t0 = time.monotonic()
        self.app = self.x.popen([self.program], cwd=os.path.join(self.tmp, "cwd"),
                                stdout=self.log, stderr=subprocess.STDOUT)
        box, _ = self.wait_for(INFO, limit, "the information box")
        self.box_times.append(time.monotonic() - t0)
        if kind == "pulled":
            self.unit("unplug", UNIT)
        elif kind == "plugged":
            self.unit("plug", UNIT)
        if kind != "plain":
            time.sleep(0.3)  # the bus watch sees it while the box is open
        self.x.keys(box, "Return")
        t1 = time.monotonic()
        main, _ = self.wait_for(MAIN_TITLE, limit, "the main window")
        self.main_times.append(time.monotonic() - t1)

        if kind == "pulled":
            err, _ = self.wait_for(ERROR, limit, "the removal's error box after the information box")
            self.x.keys(err, "Return")
            self.x.wait_gone(err, "the removal's error box", timeout=limit)
            # The window is put back to "no unit" once the box has closed.
            deadline = time.monotonic() + limit
            while self.x.pixels(main, LIME):
                if time.monotonic() > deadline:
                    raise StepFailed("lamps still lit %.1f s after the removal's box" % limit)
                time.sleep(0.1)
            self.unit("plug", UNIT)
        elif kind == "plugged":
            deadline = time.monotonic() + limit
            while not self.x.pixels(main, LIME):
                if time.monotonic() > deadline:
                    raise StepFailed("the unit plugged in during the box is not shown within %.1f s" % limit)
                time.sleep(0.1)

        self.x.keys(main, "alt+x")
        try:
            rc = self.app.wait(self.args.exit_limit)
        except subprocess.TimeoutExpired:
            raise StepFailed("still running %.0f s after Alt+X" % self.args.exit_limit)
        if rc != 0:
            raise StepFailed("ended with status %d" % rc)
        self.app = None

    def record_failure(self, n, kind, what):
        self.failures.append((n, kind, what))
        print("start %d (%s): FAILED: %s" % (n, kind, what), file=sys.stderr, flush=True)
        if len(self.failures) <= 5:
            try:
                self.x.x("import", "-window", "root",
                         os.path.join(self.artifacts, "failure-%03d-screen.png" % n), timeout=30)
            except Exception:
                pass
            if self.app is not None and self.app.poll() is None and shutil.which("gdb"):
                p = subprocess.run(["gdb", "-p", str(self.app.pid), "-batch", "-ex", "thread apply all bt"],
                                   capture_output=True, text=True, timeout=60)
                with open(os.path.join(self.artifacts, "failure-%03d-stacks.txt" % n), "w") as f:
                    f.write(p.stdout + p.stderr)
        # Clean slate for the next start: the program gone, the unit plugged in.
        if self.app is not None and self.app.poll() is None:
            self.app.kill()
            self.app.wait(10)
        self.app = None
        deadline = time.monotonic() + 5
        while any(title in (INFO, ERROR, MAIN_TITLE) for _, title in self.x.windows()):
            if time.monotonic() > deadline:
                raise StepFailed("windows of a killed copy are still on screen: %s" % self.x.windows())
            time.sleep(0.1)
        self.unit("plug", UNIT)

    def main(self):
        self.setup()
        self.log = open(os.path.join(self.artifacts, "tvqcrdut.log"), "w")
        for n in range(1, self.args.count + 1):
            kind = {3: "pulled", 4: "plugged"}.get(n % 5, "plain")
            try:
                self.one_start(n, kind)
            except StepFailed as e:
                self.record_failure(n, kind, str(e))
            if n % 20 == 0:
                print("%d starts, %d failed" % (n, len(self.failures)), flush=True)
        self.log.close()

    def summary(self):
        def stats(v):
            if not v:
                return "none"
            return "median %.2f s, max %.2f s" % (statistics.median(v), max(v))
        print("startup_repeat: %d starts under %s, %d failed; information box after %s; main window after %s"
              % (self.args.count, "openbox" if self.x.use_wm else "bare Xvfb", len(self.failures),
                 stats(self.box_times), stats(self.main_times)))
        for n, kind, what in self.failures:
            print("  start %d (%s): %s" % (n, kind, what))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin-dir", required=True, help="folder of tvqcrdut, tvqunit and the library")
    ap.add_argument("--artifacts", required=True, help="folder for failure screenshots and the program's output")
    ap.add_argument("--count", type=int, default=200, help="starts (default 200)")
    ap.add_argument("--limit", type=float, default=3.0, help="seconds a window may take to come (default 3)")
    ap.add_argument("--exit-limit", type=float, default=10.0, help="seconds the program may take to end")
    ap.add_argument("--no-wm", action="store_true", help="bare Xvfb, no window manager")
    ap.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = ap.parse_args()

    rep = Repeat(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
    ok = False
    try:
        rep.main()
        ok = not rep.failures
    except StepFailed as e:
        print("startup_repeat: FAILED: %s" % e, file=sys.stderr)
    except Exception as e:  # a fault of the harness itself
        print("startup_repeat: FAILED: %s: %s" % (type(e).__name__, e), file=sys.stderr)
    finally:
        if rep.app is not None and rep.app.poll() is None:
            rep.app.kill()
        rep.x.stop()
        rep.summary()
        if args.keep or not ok:
            print("startup_repeat: files kept in %s" % rep.tmp, file=sys.stderr)
        else:
            shutil.rmtree(rep.tmp, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
