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
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from operator_run import first_difference, pattern  # noqa: E402
from xsession import (APP_TITLE, GREY, INFO, StepFailed, XSession,  # noqa: E402
                      check_program_output, private_env, run_steps)

MB = 1024 * 1024
CARD = 8 * MB


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
        self.app = None
        self.app_log = os.path.join(self.artifacts, "tvqcrdut.log")
        self.step = "setup"

    def stop_all(self):
        self.x.stop(*([self.app] if self.app is not None else []))

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
        env = dict(x.env())
        env["LD_PRELOAD"] = self.preload
        self.app = x.launch([self.program], self.cwd, self.app_log, env)
        x.answer(INFO)

        self.step = "main window: three lamps lit (VD, 1, 2)"
        main, _ = x.main_window(3, "sg-unit-main")

        self.step = "read 2 MB of slot 1 (Ctrl+F1, Alt+R)"
        dlg, _ = x.open_card_access(main, "ctrl+F1", re.compile(r"SLOT#1 .*"))
        read_file = "slot1-2mb.bin"
        x.keys(dlg, "alt+r")
        x.start_with_file("読み出し設定", read_file, ("Tab", "ctrl+a"), "the read parameters dialog")
        x.answer(APP_TITLE)
        with open(os.path.join(self.cwd, read_file), "rb") as f:
            got = f.read()
        if got != self.card(1)[:2 * MB]:
            raise StepFailed("the 2 MB read: %s" % first_difference(got, self.card(1)[:2 * MB]))
        x.close_card_access(dlg, "the card access dialog of slot 1")

        self.step = "write an image to slot 2 (Ctrl+F2, Alt+W)"
        write_file = "image.bin"
        wdata = pattern(7, MB + 300)  # within the Limit Edition's 2 MB; the last sector merged
        with open(os.path.join(self.cwd, write_file), "wb") as f:
            f.write(wdata)
        dlg, _ = x.open_card_access(main, "ctrl+F2", re.compile(r"SLOT#2 .*"))
        x.keys(dlg, "alt+w")
        # The parameters dialog is the same form as for the read: the focus is still in the file name.
        x.start_with_file("書き込み設定", write_file, what="the write parameters dialog")
        x.answer(APP_TITLE)
        card2 = self.card(2)
        if card2[:len(wdata)] != wdata:
            raise StepFailed("slot 2's card after the write: %s" % first_difference(card2[:len(wdata)], wdata))
        if card2[len(wdata):] != bytes(CARD - len(wdata)):
            raise StepFailed("slot 2's card changed past the image")
        x.close_card_access(dlg, "the card access dialog of slot 2")

        self.step = "pull the unit's cable: the error box within a second, lamps grey"
        open(os.path.join(self.unit_dir, "unplugged"), "w").close()
        pulled = time.monotonic()
        seen = x.unit_gone(main, "sg-unit-unplugged") - pulled
        if x.pixels(main, GREY) == 0:
            raise StepFailed("no grey lamp once the unit is gone")
        print("sg_unit: the removal box %.2f s after the cable was pulled" % seen)
        if seen > 1.5:
            raise StepFailed("the removal box came %.2f s after the cable was pulled" % seen)

        self.step = "quit (Alt+X)"
        x.quit(main, self.app)
        check_program_output(self.app_log)


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
    ok = run_steps("sg_unit", run, args.keep)
    if ok:
        print("sg_unit: passed; screenshots in %s" % run.artifacts)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
