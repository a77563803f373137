#!/usr/bin/env python3
"""The program end to end on the emulated TVQ-210CF, the unit itself as the
library sees it through SCSI generic.

The emulated unit (preloaded, see tests/support/EmuPreload.cpp) stands in for
the kernel: it answers SG_IO and the program's udev monitor.  Slot 1 holds an
8 MB card, slot 2 a blank one.  The operator reads 2 MB of slot 1 (checked
with cmp), writes an image to slot 2 (the card's bytes checked), and then the
unit's cable is pulled: the removal notice comes and the lamps turn grey.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from operator_run import first_difference, pattern  # noqa: E402
from xsession import StepFailed, XSession, private_env  # noqa: E402

MB = 1024 * 1024
CARD = 8 * MB
MAIN_TITLE = "TVQ-206/210CF Card Utility Limit Edition"
APP_TITLE = "TVQ-206/210CF Card Utility "
INFO = "情報"
ERROR = "エラー"
LIME, GREY = (0, 255, 0), (128, 128, 128)


class Run:
    def __init__(self, args):
        self.bin_dir = os.path.abspath(args.bin_dir)
        self.artifacts = os.path.abspath(args.artifacts)
        self.program = os.path.join(self.bin_dir, "tvqcrdut")
        self.preload = os.path.abspath(args.preload)
        self.tmp = tempfile.mkdtemp(prefix="sg-unit-")
        self.cwd = os.path.join(self.tmp, "cwd")
        self.unit_dir = os.path.join(self.tmp, "unit")
        self.x = XSession(self.artifacts, wm=not args.no_wm, trace=args.trace)
        env = private_env(self.tmp, os.path.join(self.tmp, "bus"))
        asan = os.environ.get("ASAN_OPTIONS", "")
        env.update({
            "QEVCRDIO_BACKEND": "sg",
            "TVQ_EMU": "210CF:last:" + self.unit_dir,
            "ASAN_OPTIONS": env["ASAN_OPTIONS"] + ":verify_asan_link_order=0",
        })
        self.x.base_env = env
        self.x.alive = self.app_alive
        self.app = None
        self.app_log = os.path.join(self.artifacts, "tvqcrdut.log")
        self.step = "setup"

    def app_alive(self):
        if self.app is not None and self.app.poll() is not None:
            raise StepFailed("the program ended unexpectedly (exit status %s)" % self.app.returncode)

    def card(self, slot):
        with open(os.path.join(self.unit_dir, "slot%d.img" % slot), "rb") as f:
            return f.read()

    def main(self):
        x = self.x
        self.step = "setup: the emulated unit's cards, Xvfb, window manager"
        for d in ("home", "config", "data", "cache", "cwd", "unit"):
            os.makedirs(os.path.join(self.tmp, d))
        os.makedirs(os.path.join(self.tmp, "runtime"), mode=0o700)
        shutil.rmtree(self.artifacts, ignore_errors=True)
        os.makedirs(self.artifacts)
        with open(os.path.join(self.unit_dir, "slot1.img"), "wb") as f:
            f.write(pattern(1, CARD))
        with open(os.path.join(self.unit_dir, "slot2.img"), "wb") as f:
            f.write(bytes(CARD))
        x.start()

        self.step = "start: the unit found, the 2 MB information box"
        self.log_file = open(self.app_log, "w")
        env = dict(x.env())
        env["LD_PRELOAD"] = self.preload
        self.app = x.popen([self.program], cwd=self.cwd, stdout=self.log_file, stderr=subprocess.STDOUT, env=env)
        x.answer(INFO)

        self.step = "main window: three lamps lit (VD, 1, 2)"
        main, _ = x.wait_window(MAIN_TITLE)
        x.move(main, 8, 8)
        time.sleep(1.2)
        lime_all = x.pixels(main, LIME)
        if lime_all == 0 or lime_all % 3:
            raise StepFailed("%d lime pixels in the main window for three lit lamps" % lime_all)
        x.screenshot("sg-unit-main", main)

        self.step = "read 2 MB of slot 1 (Ctrl+F1, Alt+R)"
        x.keys(main, "ctrl+F1")
        dlg, _ = x.wait_window(re.compile(r"SLOT#1 .*"))
        x.move(dlg, 470, 8)
        read_file = "slot1-2mb.bin"
        x.keys(dlg, "alt+r")
        x.start_with_file("読み出し設定", read_file, ("Tab", "ctrl+a"), "the read parameters dialog")
        x.answer(APP_TITLE)
        with open(os.path.join(self.cwd, read_file), "rb") as f:
            got = f.read()
        if got != self.card(1)[:2 * MB]:
            raise StepFailed("the 2 MB read: %s" % first_difference(got, self.card(1)[:2 * MB]))
        x.keys(dlg, "alt+b")
        x.wait_gone(dlg, "the card access dialog of slot 1")

        self.step = "write an image to slot 2 (Ctrl+F2, Alt+W)"
        write_file = "image.bin"
        wdata = pattern(7, MB + 300)  # within the Limit Edition's 2 MB; the last sector merged
        with open(os.path.join(self.cwd, write_file), "wb") as f:
            f.write(wdata)
        x.keys(main, "ctrl+F2")
        dlg, _ = x.wait_window(re.compile(r"SLOT#2 .*"))
        x.move(dlg, 470, 8)
        x.keys(dlg, "alt+w")
        # The parameters dialog is the same form as for the read: the focus is still in the file name.
        x.start_with_file("書き込み設定", write_file, what="the write parameters dialog")
        x.answer(APP_TITLE)
        card2 = self.card(2)
        if card2[:len(wdata)] != wdata:
            raise StepFailed("slot 2's card after the write: %s" % first_difference(card2[:len(wdata)], wdata))
        if card2[len(wdata):] != bytes(CARD - len(wdata)):
            raise StepFailed("slot 2's card changed past the image")
        x.keys(dlg, "alt+b")
        x.wait_gone(dlg, "the card access dialog of slot 2")

        self.step = "pull the unit's cable: the error box within a second, lamps grey"
        open(os.path.join(self.unit_dir, "unplugged"), "w").close()
        pulled = time.monotonic()
        x.wait_window(ERROR)
        seen = time.monotonic() - pulled
        x.screenshot("sg-unit-unplugged", main)
        x.answer(ERROR)  # "ユニットの接続が切断されました。"
        x.wait_pixels(main, LIME, 0, "lamps once the unit is gone")
        if x.pixels(main, GREY) == 0:
            raise StepFailed("no grey lamp once the unit is gone")
        print("sg_unit: the removal box %.2f s after the cable was pulled" % seen)
        if seen > 1.5:
            raise StepFailed("the removal box came %.2f s after the cable was pulled" % seen)

        self.step = "quit (Alt+X)"
        x.keys(main, "alt+x")
        try:
            rc = self.app.wait(30)
        except subprocess.TimeoutExpired:
            raise StepFailed("the program is still running 30 s after Alt+X")
        if rc != 0:
            raise StepFailed("the program ended with status %d" % rc)
        self.log_file.close()
        log = open(self.app_log, encoding="utf-8", errors="replace").read()
        if "emulated unit saw" in log:
            raise StepFailed("the emulated unit was sent fields it does not expect (see %s)" % self.app_log)
        if "ERROR: AddressSanitizer" in log or "runtime error:" in log:
            raise StepFailed("the program's output holds a sanitizer report (see %s)" % self.app_log)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin-dir", required=True)
    ap.add_argument("--preload", required=True, help="the emulated unit's library")
    ap.add_argument("--artifacts", required=True)
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("--trace", action="store_true")
    ap.add_argument("--no-wm", action="store_true")
    args = ap.parse_args()
    run = Run(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
    ok = False
    try:
        run.main()
        ok = True
    except StepFailed as e:
        print("sg_unit: FAILED at step \"%s\": %s" % (run.step, e), file=sys.stderr)
    except Exception as e:
        print("sg_unit: FAILED at step \"%s\": %s: %s" % (run.step, type(e).__name__, e), file=sys.stderr)
    finally:
        if not ok:
            try:
                run.x.screenshot("failure")
            except Exception:
                pass
        run.x.stop(*([run.app] if run.app is not None else []))
        if not ok and os.path.exists(run.app_log):
            tail = open(run.app_log, errors="replace").read()[-2000:]
            if tail.strip():
                print("sg_unit: program output:\n" + tail, file=sys.stderr)
        if args.keep or not ok:
            print("sg_unit: files kept in %s" % run.tmp, file=sys.stderr)
        else:
            shutil.rmtree(run.tmp, ignore_errors=True)
    if ok:
        print("sg_unit: passed; screenshots in %s" % run.artifacts)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
