#!/usr/bin/env python3
"""The operator's run of tvqcrdut, end to end.

A private Xvfb with a window manager (openbox, as a desktop runs it), a
private virtual bus with a TVQ-210CF holding cards of known contents, the
real program, and xdotool pressing the keys an operator presses: open slot 1,
read its first 2 MB, back out of a write by tabbing to キャンセル and pressing
Enter, write a file into a sector range, compare (equal, then different),
look at the drive list, eject one card with its shortcut and one through the
Eject menu, unplug the unit, quit.  The bytes on disk are checked after each
step; screenshots, window frames included, are kept in the artefacts folder.

The window manager hands the keyboard focus back when a box closes; the test
counts the times it still had to hand it over itself, as a click would.
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

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from xsession import (APP_TITLE, ERROR, INFO, LIME, RED, WAIT, WARNING,  # noqa: E402
                      StepFailed, XSession, check_program_output, private_env, run_steps)

SECTOR = 512
MB = 1024 * 1024

ANY_BOX = re.compile("|".join(map(re.escape, (INFO, ERROR, WARNING, APP_TITLE, "確認"))))

UNIT = "e2e"
CARDS = ((1, 1, 4 * MB), (2, 2, 8 * MB), (4, 4, 4 * MB), (5, 5, 4 * MB))  # slot, seed, size


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
        self.x = XSession(self.artifacts, wm=not args.no_wm, trace=args.trace)
        self.x.base_env = self.program_env()
        self.app = None
        self.app_log = os.path.join(self.artifacts, "tvqcrdut.log")
        self._step = "setup"
        self.started = time.monotonic()
        self.times = []  # (step, seconds)
        self.images = {}    # slot -> image file of the card
        self.contents = {}  # slot -> bytes the image must hold

    @property
    def step(self):
        return self._step

    @step.setter
    def step(self, name):
        now = time.monotonic()
        self.times.append((self._step, now - self.started))
        self._step, self.started = name, now

    # ---- processes -------------------------------------------------------

    def program_env(self):
        return private_env(self.tmp, self.bus)

    def unit(self, *argv):
        return self.x.run(self.tvqunit, *argv).stdout

    def stop_all(self):
        self.x.stop(*([self.app] if self.app is not None else []))

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

    def fault_hits(self, rule_id):
        m = re.search(r"^%s\t.*\thits (\d+)\t" % rule_id, self.unit("fault", "list", UNIT), re.M)
        if not m:
            raise StepFailed("fault rule %s not listed" % rule_id)
        return int(m.group(1))

    def wait_slot_empty(self, slot, what):
        deadline = time.monotonic() + WAIT
        while not re.search(r"^\s*slot %d: empty\s*$" % slot, self.unit("show", UNIT), re.M):
            if time.monotonic() > deadline:
                raise StepFailed("slot %d still holds its card after %s" % (slot, what))
            time.sleep(0.2)
        if not os.path.exists(self.images[slot]):
            raise StepFailed("the ejected card's image %s is gone" % self.images[slot])

    # ---- the run ---------------------------------------------------------

    def setup(self):
        for d in ("home", "config", "data", "cache", "cwd", "work"):
            os.makedirs(os.path.join(self.tmp, d))
        os.makedirs(os.path.join(self.tmp, "runtime"), mode=0o700)
        shutil.rmtree(self.artifacts, ignore_errors=True)
        os.makedirs(self.artifacts)

        self.unit("create", UNIT, "--model", "TVQ-210CF", "--product-code", "0x00210001")
        for slot, seed, size in CARDS:
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
        x = self.x
        self.step = "setup: virtual bus, Xvfb, window manager"
        self.setup()
        x.start()

        self.step = "start: the 2 MB information box"
        self.app = x.launch([self.program], self.cwd, self.app_log)
        x.answer(INFO)

        self.step = "start: main window"
        # The window manager centres dialogs on the main window; the operator
        # keeps them side by side so the lamps stay in sight. The VD and every card lit.
        lit = 1 + len(CARDS)
        main, lamp = x.main_window(lit, "main-window")
        lime_all = lit * lamp

        # The lock lives in the private runtime folder; a second copy sees it
        # and ends without a word (one that ran on would wait in its 2 MB box).
        self.step = "a second copy ends silently"
        if not os.path.exists(os.path.join(self.tmp, "runtime", "TvqcrdApp.lock")):
            raise StepFailed("no TvqcrdApp.lock in the program's runtime folder")
        second = x.popen([self.program], cwd=self.cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            rc = second.wait(WAIT)
        except subprocess.TimeoutExpired:
            second.kill()
            second.wait()
            raise StepFailed("the second copy still runs after %.0f s; on screen: %s" % (WAIT, x.windows()))
        if rc != 0:
            raise StepFailed("the second copy ended with status %d" % rc)

        self.step = "open slot 1 with Ctrl+F1"
        dlg, caption = x.open_card_access(main, "ctrl+F1", re.compile(r"SLOT#1 .*"))
        if not re.fullmatch(r"SLOT#1 （[A-Z]: ドライブ）", caption):
            raise StepFailed("card access dialog caption %r" % caption)
        x.screenshot("card-access", dlg)

        # Read: first showing, focus on the first radio button; Tab reaches the
        # file name because the range fields are disabled in whole-card mode.
        self.step = "read the first 2 MB (Alt+R)"
        # Names relative to the program's current directory, as typed.
        read_file = "card1-2mb.bin"
        x.keys(dlg, "alt+r")
        params, _ = x.wait_window("読み出し設定")
        x.keys(params, "Tab", "ctrl+a")
        x.type(read_file)
        # Slowed to a few seconds, so the red lamp of the running read shows.
        self.unit("throttle", UNIT, "--bytes-per-second", "512K")
        x.keys(params, "alt+s")
        x.wait_gone(params, "the read parameters dialog")
        # A busy lamp is red inside a heavy dark ring: fewer red pixels than a
        # lit one has lime, and more than none; the other lamps stay as they were.
        x.wait_pixels(main, RED, range(1, lamp), "the lamp of slot 1 while it is read", timeout=4.0)
        x.wait_pixels(main, LIME, lime_all - lamp, "the other lamps while slot 1 is read", timeout=4.0)
        x.answer(APP_TITLE)  # "読み出しを完了しました。"
        self.unit("throttle", UNIT, "--off")
        x.wait_pixels(main, RED, 0, "lamps after the read")
        x.wait_pixels(main, LIME, lime_all, "lamps after the read")
        read_path = os.path.join(self.cwd, read_file)
        got = self.read(read_path) if os.path.exists(read_path) else None
        if got is None:
            raise StepFailed("the read wrote no file")
        if got != self.contents[1][:2 * MB]:
            raise StepFailed("read file against the card's first 2 MB: %s"
                             % first_difference(got, self.contents[1][:2 * MB]))
        self.check_cards()

        # Keyboard only: the write's parameters come up with the focus in the
        # file name (where the read's check left it); three Tabs pass 参照 and
        # 開始 and land on キャンセル, and Enter there cancels. A rule that only
        # counts proves that no transfer reached any card.
        self.step = "write: Tab to キャンセル, Enter cancels (Alt+W)"
        write_file = "write.bin"
        wdata = pattern(9, 0x600 * SECTOR + 300)
        with open(os.path.join(self.cwd, write_file), "wb") as f:
            f.write(wdata)
        before = os.path.join(self.work, "card1-before-cancel.img")
        shutil.copyfile(self.images[1], before)
        watch = self.unit("fault", "set", UNIT, "slot=any", "op=read,write", "count=always", "effect=delay:0").strip()
        x.keys(dlg, "alt+w")
        params, _ = x.wait_window("書き込み設定")
        x.keys(params, "ctrl+a")
        x.type(write_file)  # a valid source: 開始 would really write it
        x.keys(params, "Tab", "Tab", "Tab")
        x.screenshot("access-params-cancel-focused", params)
        x.keys(params, "Return")
        x.wait_gone(params, "the write parameters dialog after Enter on キャンセル")
        x.expect_no_window(ANY_BOX, 2.0)
        if x.pixels(main, RED):
            raise StepFailed("a lamp is red after the cancelled write")
        hits = self.fault_hits(watch)
        if hits:
            raise StepFailed("%d reads or writes reached the unit after Enter on キャンセル" % hits)
        p = subprocess.run(["cmp", before, self.images[1]], capture_output=True, text=True)
        if p.returncode != 0:
            raise StepFailed("the card changed after Enter on キャンセル: %s" % (p.stdout + p.stderr).strip())
        self.unit("fault", "clear", UNIT, "--all")
        self.check_cards()

        # Write: sector range 0x100, 0x800 sectors, from a file of 0x600
        # sectors and 300 bytes, so the last sector is merged.
        self.step = "write a file into sectors 100-8FF (Alt+W)"
        x.keys(dlg, "alt+w")
        params, _ = x.wait_window("書き込み設定")
        x.keys(params, "shift+Tab", "shift+Tab", "shift+Tab")  # back into the file name
        self.fill_range(params, "100", "800", write_file)
        x.screenshot("access-params", params)
        x.keys(params, "alt+s")
        x.wait_gone(params, "the write parameters dialog")
        x.answer(APP_TITLE)  # "書き込みを完了しました。"
        start = 0x100 * SECTOR
        want = bytearray(self.contents[1])
        want[start:start + len(wdata)] = wdata
        self.contents[1] = bytes(want)
        self.check_cards()

        self.step = "compare the written range with the file (Alt+C)"
        x.keys(dlg, "alt+c")
        params, _ = x.wait_window("コンペア設定")
        self.fill_range(params, "100", "800", write_file)
        x.keys(params, "alt+s")
        x.wait_gone(params, "the compare parameters dialog")
        # The file ends inside the range, then the verdict.
        hit = x.wait_window(re.compile("|".join(map(re.escape, (INFO, WARNING, APP_TITLE)))))
        if hit[1] != INFO:
            raise StepFailed("compare of equal data: %r box instead of the end-of-file information" % hit[1])
        x.answer(INFO)
        x.answer(APP_TITLE)  # "相違はありませんでした．"
        x.expect_no_window(WARNING, 1.0)

        # The read file is the card as it was: the same range now differs.
        self.step = "compare the old read file: a difference is reported"
        x.keys(dlg, "alt+c")
        # The focus is still in the file name.
        x.start_with_file("コンペア設定", read_file, what="the compare parameters dialog")
        hit = x.wait_window(re.compile("|".join(map(re.escape, (INFO, WARNING, APP_TITLE)))))
        if hit[1] != WARNING:
            raise StepFailed("compare of different data: %r box instead of a difference warning" % hit[1])
        x.answer(WARNING, "alt+n")  # No: stop, no closing message
        x.expect_no_window(APP_TITLE, 1.5)
        self.check_cards()

        self.step = "close the card access dialog (Alt+B)"
        x.close_card_access(dlg, "the card access dialog")

        self.step = "drive list (menu カード, 一覧)"
        x.keys(main, "alt+f", "v")
        lst, _ = x.wait_window("ドライブ諸元情報一覧")
        x.screenshot("drive-list", lst)
        x.keys(lst, "alt+c")
        x.wait_gone(lst, "the drive list")

        self.step = "eject slot 2 (Alt+F2)"
        x.keys(main, "alt+F2")
        self.wait_slot_empty(2, "Alt+F2")
        self.check_cards()  # the ejected image included, every byte
        x.wait_pixels(main, LIME, (lit - 1) * lamp, "lamps after the eject of slot 2", timeout=2.0)

        # Alt+F4 belongs to the window manager on most desktops; the Eject menu
        # is the way to slot 4: its enabled items are VD, Slot 1, Slot 4, Slot 5.
        self.step = "eject slot 4 through the menu カード, 取り出し"
        x.keys(main, "alt+f", "e", "Down", "Down")
        x.screenshot("eject-menu")
        x.keys(main, "Return")
        self.wait_slot_empty(4, "the Eject menu's Slot 4")
        self.check_cards()
        x.wait_pixels(main, LIME, (lit - 2) * lamp, "lamps after the eject of slot 4", timeout=2.0)

        self.step = "after the ejects: Ctrl+F5 opens slot 5, Ctrl+F2 opens nothing"
        x.keys(main, "ctrl+F5")
        d5, _ = x.wait_window(re.compile(r"SLOT#5 .*"))
        x.close_card_access(d5, "the card access dialog of slot 5")
        x.keys(main, "ctrl+F2")
        x.expect_no_window(re.compile(r"SLOT#2 .*"), 2.0)

        self.step = "unplug the unit: the error box"
        self.unit("unplug", UNIT)
        x.unit_gone(main, "unit-unplugged")
        x.keys(main, "ctrl+F1")
        x.expect_no_window(re.compile(r"SLOT#.*"), 1.5)

        self.step = "quit (Alt+X)"
        x.quit(main, self.app)
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
        check_program_output(self.app_log)

    def fill_range(self, params, start, count, path):
        """Sector-range mode, from a dialog whose focus is in the file name and
        whose range fields are off. Shift+Tab lands on one of the two radio
        buttons (Qt picks the checked one or the one last focused); Down
        moves to the second and checks it when the first was checked; Space
        clicks it, which checks it at the latest and puts the focus into the
        start field."""
        x = self.x
        x.keys(params, "shift+Tab", "Down", "space", "ctrl+a")
        x.type(start)
        x.keys(params, "Tab", "ctrl+a")
        x.type(count)
        x.keys(params, "Tab", "ctrl+a")
        x.type(path)


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
    ap.add_argument("--no-wm", action="store_true", help="bare Xvfb, no window manager")
    args = ap.parse_args()

    run = Run(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
    ok = run_steps("e2e_operator", run, args.keep)
    if ok:
        run.step = "end"
        for name, secs in run.times[1:]:
            print("  %5.1f s  %s" % (secs, name))
        print("e2e_operator: passed under %s; the focus was handed over %d times; screenshots in %s"
              % ("openbox" if run.x.use_wm else "bare Xvfb", run.x.handed_focus, run.artifacts))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
