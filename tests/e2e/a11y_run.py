#!/usr/bin/env python3
"""The running program as a screen reader sees it, through AT-SPI.

A private session bus (with its accessibility bus), the real program with
accessibility switched on, and a virtual TVQ-210CF.  Everything is done
through the accessibility tree, as a blind operator's screen reader does it:
the start-up box is answered with its OK button, slot 3's button is pressed
through its action, the read is started from the parameter dialog, and so on.
It checks:

- every lamp's and slot button's name through a card inserted, busy, pulled
  and replaced by an unusable one, and that each change is announced
  (object:property-change:accessible-name);
- the slot buttons are push buttons whose press opens the card access dialog;
- every input and status control has a name;
- the parameter dialog shows each operation's own file, also after a restart;
- every dialog and box is tied to the window it was opened from: on X11
  (--platform xcb, under openbox) its WM_TRANSIENT_FOR, and raising the main
  window leaves the dialog above it; on Wayland (--platform wayland, under a
  headless weston without any input device) the xdg_toplevel.set_parent of
  each window, read from the program's protocol log, by which the compositor
  keeps a dialog above its parent.  There the file dialog is opened too: a
  compositor without a seat must not crash the program.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

SYSTEM_PYTHON = "/usr/bin/python3"
try:
    import pyatspi  # noqa: E402
    from gi.repository import GLib  # noqa: E402
except ImportError:
    # The bindings are Debian's; another interpreter first on the PATH lacks them.
    if os.path.exists(SYSTEM_PYTHON) and os.path.realpath(sys.executable) != os.path.realpath(SYSTEM_PYTHON):
        os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON] + sys.argv)
    print("python3-pyatspi is not installed (scripts/setup-deps installs it)", file=sys.stderr)
    sys.exit(1)

from xsession import StepFailed, XSession, die_with_parent, end_process, private_env  # noqa: E402

MAIN_TITLE = "TVQ-206/210CF Card Utility Limit Edition"
APP_TITLE = "TVQ-206/210CF Card Utility "  # plain boxes, trailing blank included
UNIT = "a11y"
MB = 1024 * 1024
WAIT = 60.0  # a loaded CI machine starts the program slowly

READY, BUSY, EMPTY, UNUSABLE = "カードあり（使用可能）", "転送中", "カードなし", "使用できないカード"


def label(slot):
    return "VD" if slot == 0 else ("スロット 1（Master）" if slot == 1 else "スロット %d" % slot)


class Weston:
    """A headless weston: no output to look at, no input device at all."""

    def __init__(self, runtime, log):
        self.runtime = runtime
        self.socket = "tvq-wayland-%d" % os.getpid()
        self.log = log
        self.proc = None

    def start(self):
        if shutil.which("weston") is None:
            raise StepFailed("weston is not installed (scripts/setup-deps installs it)")
        self.proc = subprocess.Popen(
            ["weston", "--backend=headless-backend.so", "--socket=" + self.socket, "--idle-time=0"],
            env=dict(os.environ, XDG_RUNTIME_DIR=self.runtime), stdout=self.log, stderr=subprocess.STDOUT,
            preexec_fn=die_with_parent)
        deadline = time.monotonic() + WAIT
        while not os.path.exists(os.path.join(self.runtime, self.socket)):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise StepFailed("weston did not start")
            time.sleep(0.1)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()


class Run:
    def __init__(self, args):
        self.platform = args.platform
        self.bin_dir = os.path.abspath(args.bin_dir)
        self.artifacts = os.path.abspath(args.artifacts)
        self.tvqunit = os.path.join(self.bin_dir, "tvqunit")
        self.program = os.path.join(self.bin_dir, "tvqcrdut")
        self.tmp = tempfile.mkdtemp(prefix="tvq-a11y-")
        self.bus = os.path.join(self.tmp, "bus")
        self.cwd = os.path.join(self.tmp, "cwd")
        self.work = os.path.join(self.tmp, "work")
        self.runtime = os.path.join(self.tmp, "runtime")
        self.x = None
        self.weston = None
        self.app = None
        self.app_logs = 0
        self.log_path = None
        self.names_heard = []  # (name of the object, new name) from the events
        self.step = "setup"

    # ---- processes -------------------------------------------------------

    def env(self):
        e = dict(os.environ)
        e.update(private_env(self.tmp, self.bus))
        for k in ("QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS", "QT_FONT_DPI", "DISPLAY", "WAYLAND_DISPLAY"):
            e.pop(k, None)
        # Qt leaves its accessibility bridge off unless a screen reader is
        # announced; the test is one.
        e["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        e["QT_ACCESSIBILITY"] = "1"
        e["QT_QPA_PLATFORM"] = self.platform
        if self.platform == "xcb":
            e["DISPLAY"] = self.x.display
        else:
            e["WAYLAND_DISPLAY"] = self.weston.socket
            e["WAYLAND_DEBUG"] = "client"  # the protocol log shows each window's parent
        return e

    def unit(self, *argv):
        p = subprocess.run([self.tvqunit] + list(argv), env=self.env(), capture_output=True, text=True, timeout=30)
        if p.returncode != 0:
            raise StepFailed("tvqunit %s: %s" % (" ".join(argv), p.stderr.strip()))
        return p.stdout

    def start_program(self):
        self.app_logs += 1
        self.log_path = os.path.join(self.artifacts, "tvqcrdut-%d.log" % self.app_logs)
        log = open(self.log_path, "w")
        self.app = subprocess.Popen([self.program], cwd=self.cwd, env=self.env(), stdout=log,
                                    stderr=subprocess.STDOUT, preexec_fn=die_with_parent)

    def alive(self):
        if self.app is not None and self.app.poll() is not None:
            raise StepFailed("the program ended (status %s); see %s" % (self.app.returncode, self.log_path))

    # ---- the accessibility tree -------------------------------------------

    def pump(self):
        ctx = GLib.MainContext.default()
        while ctx.pending():
            ctx.iteration(False)

    def wait(self, what, probe, timeout=WAIT):
        deadline = time.monotonic() + timeout
        while True:
            self.alive()
            self.pump()
            try:
                got = probe()
            except Exception:  # an object that went away while being looked at
                got = None
            if got:
                return got
            if time.monotonic() > deadline:
                raise StepFailed("%s: not within %.0f s" % (what, timeout))
            time.sleep(0.1)

    def application(self):
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            a = desktop.getChildAtIndex(i)
            try:
                if a is not None and a.get_process_id() == self.app.pid:
                    return a
            except Exception:
                continue
        return None

    def windows(self):
        a = self.application()
        return [a.getChildAtIndex(i) for i in range(a.childCount)] if a else []

    def window(self, name):
        return self.wait("window %r" % name,
                         lambda: next((w for w in self.windows() if w is not None and w.name == name
                                       and w.getState().contains(pyatspi.STATE_SHOWING)), None))

    def gone(self, name):
        self.wait("window %r closed" % name,
                  lambda: not any(w is not None and w.name == name and w.getState().contains(pyatspi.STATE_SHOWING)
                                  for w in self.windows()))

    @staticmethod
    def find_all(root, pred):
        """Descendants for which pred holds; the rows of lists and tables are
        not entered (a folder view has many, some already gone)."""
        out, todo = [], [root]
        skip = (pyatspi.ROLE_LIST, pyatspi.ROLE_TABLE, pyatspi.ROLE_TREE, pyatspi.ROLE_TREE_TABLE)
        while todo:
            node = todo.pop(0)
            try:
                n = node.childCount
            except Exception:
                continue
            for i in range(n):
                try:
                    c = node.getChildAtIndex(i)
                    if c is None:
                        continue
                    if pred(c):
                        out.append(c)
                    if c.getRole() not in skip:
                        todo.append(c)
                except Exception:
                    continue
        return out

    def find(self, root, what, pred):
        return self.wait(what, lambda: next(iter(self.find_all(root, pred)), None))

    def button(self, root, name):
        return self.find(root, "button %r" % name,
                         lambda o: o.getRole() == pyatspi.ROLE_PUSH_BUTTON and o.name == name)

    @staticmethod
    def press(obj):
        act = obj.queryAction()
        names = [act.getName(i).lower() for i in range(act.nActions)]
        if "press" not in names:
            raise StepFailed("%r has no press action, only %s" % (obj.name, names))
        act.doAction(names.index("press"))

    def answer_box(self, title, text_part=""):
        box = self.window(title)
        if text_part:
            texts = [o.name for o in self.find_all(box, lambda o: o.getRole() == pyatspi.ROLE_LABEL)]
            if not any(text_part in t for t in texts):
                raise StepFailed("box %r says %s, not %r" % (title, texts, text_part))
        self.press(self.button(box, "OK"))
        self.gone(title)

    def lamps(self, main):
        """Slot number -> (lamp name, button name), from the names themselves."""
        out = {}
        for o in self.find_all(main, lambda o: o.name.startswith(("VD: ", "スロット ", "Master: "))):
            slot = 0 if o.name.startswith("VD") else int(re.match(r"スロット (\d+)", o.name).group(1))
            kind = "button" if o.getRole() == pyatspi.ROLE_PUSH_BUTTON else "lamp"
            out.setdefault(slot, {})[kind] = o
        return out

    def expect_slot(self, main, slot, state):
        """Polls the objects found once: a walk of the whole tree takes longer
        than a transfer, as the program answers between its blocks."""
        want = "%s: %s" % (label(slot), state)
        if getattr(self, "slot_objs_of", None) is not main:
            self.slot_objs, self.slot_objs_of = self.lamps(main), main

        def probe():
            s = self.slot_objs.get(slot, {})
            return s.get("lamp") is not None and s.get("button") is not None and \
                s["lamp"].name == want and s["button"].name == want
        try:
            self.wait("slot %d says %r" % (slot, want), probe, timeout=10)
        except StepFailed:
            s = self.slot_objs.get(slot, {})
            raise StepFailed("slot %d: lamp %r, button %r; want %r" % (
                slot, s.get("lamp") and s["lamp"].name, s.get("button") and s["button"].name, want))

    def heard(self, slot, state):
        want = "%s: %s" % (label(slot), state)
        self.wait("the change to %r announced" % want,
                  lambda: sum(1 for n in self.names_heard if n == want) >= 2, timeout=10)

    def on_name(self, event):
        self.names_heard.append(event.any_data if isinstance(event.any_data, str) else event.source.name)

    # ---- windows and their parents ------------------------------------------

    def x_transient_for(self, title):
        wid = self.x.find(title)
        if not wid:
            raise StepFailed("no X window %r" % title)
        p = self.x.x("xprop", "-id", wid[0], "WM_TRANSIENT_FOR", check=False)
        m = re.search(r"window id # (0x[0-9a-f]+)", p.stdout)
        return int(m.group(1), 16) if m else None

    def check_owner_x(self, title, owner_title):
        self.x.wait_window(title, timeout=10, settle=0.1)
        owner = self.x.find(owner_title)
        got = self.x_transient_for(title)
        if not owner or got != int(owner[0]):
            raise StepFailed("%r is transient for %s, not for %r (%s)" % (title, got, owner_title, owner))

    def check_raise_x(self, dialog_title):
        main = self.x.find(MAIN_TITLE)[0]
        self.x.x("xdotool", "windowraise", main)
        self.x.x("xdotool", "windowactivate", main, check=False)
        time.sleep(0.5)
        stack = self.x.x("xprop", "-root", "_NET_CLIENT_LIST_STACKING").stdout
        order = [int(h, 16) for h in re.findall(r"0x[0-9a-f]+", stack)]
        dlg = int(self.x.find(dialog_title)[0])
        top = order.index(dlg) > order.index(int(main)) if dlg in order and int(main) in order else False
        self.x.screenshot("raised-main")
        if not top:
            raise StepFailed("after raising the main window, %r is below it (%s)" % (dialog_title, stack.strip()))

    def wayland_parents(self):
        """Window title -> title of its parent, from the protocol log."""
        titles, parents = {}, {}
        with open(self.log_path, errors="replace") as f:
            for line in f:
                m = re.search(r"-> xdg_toplevel@(\d+)\.set_title\(\"(.*)\"\)", line)
                if m:
                    titles[m.group(1)] = m.group(2)
                m = re.search(r"-> xdg_toplevel@(\d+)\.set_parent\((?:xdg_toplevel@(\d+)|nil)\)", line)
                if m:
                    parents[m.group(1)] = m.group(2)
        return {titles.get(t, "?%s" % t): titles.get(p, "?%s" % p) if p else None for t, p in parents.items()}

    def check_owner(self, title, owner_title):
        if self.platform == "xcb":
            self.check_owner_x(title, owner_title)
            return
        got = self.wait("%r tied to %r" % (title, owner_title),
                        lambda: self.wayland_parents().get(title) == owner_title and owner_title, timeout=5)
        return got

    # ---- the run ---------------------------------------------------------

    def setup(self):
        for d in ("home", "config", "data", "cache", "cwd", "work"):
            os.makedirs(os.path.join(self.tmp, d))
        os.makedirs(self.runtime, mode=0o700)
        shutil.rmtree(self.artifacts, ignore_errors=True)
        os.makedirs(self.artifacts)
        if self.platform == "xcb":
            self.x = XSession(self.artifacts, wm=True)
            self.x.start()
        else:
            self.weston = Weston(self.runtime, open(os.path.join(self.artifacts, "weston.log"), "w"))
            self.weston.start()
        self.unit("create", UNIT, "--model", "TVQ-210CF")
        self.unit("insert", UNIT, "1", "--size", "4M")
        self.unit("insert", UNIT, "2", "--size", "4M")
        pyatspi.Registry.registerEventListener(self.on_name, "object:property-change:accessible-name")

    def start_and_greet(self):
        self.start_program()
        self.answer_box("情報", "Limit Edition")
        return self.window(MAIN_TITLE)

    def open_params(self, dialog, button, title):
        self.press(self.button(dialog, button))
        return self.window(title)

    def field(self, params, name):
        return self.find(params, "field %r" % name,
                         lambda o: o.getRole() == pyatspi.ROLE_TEXT and o.name == name)

    @staticmethod
    def text_of(obj):
        t = obj.queryText()
        return t.getText(0, t.characterCount)

    def main(self):
        self.setup()
        self.step = "start"
        main = self.start_and_greet()

        self.step = "lamps at start"
        self.expect_slot(main, 0, READY)
        self.expect_slot(main, 1, READY)
        self.expect_slot(main, 2, READY)
        for slot in range(3, 11):
            self.expect_slot(main, slot, EMPTY)
        lamps = self.lamps(main)
        for slot, objs in lamps.items():
            b = objs["button"]
            if b.getRole() != pyatspi.ROLE_PUSH_BUTTON:
                raise StepFailed("slot %d's button is a %s" % (slot, b.getRoleName()))
            act = b.queryAction()
            names = [act.getName(i).lower() for i in range(act.nActions)]
            if "press" not in names or "toggle" in names:
                raise StepFailed("slot %d's button offers %s" % (slot, names))
        print("lamp role: %s, button role: %s" % (lamps[1]["lamp"].getRoleName(), lamps[1]["button"].getRoleName()))

        self.step = "insert"
        self.names_heard.clear()
        self.unit("insert", UNIT, "3", "--size", "8M")
        self.expect_slot(main, 3, READY)
        self.heard(3, READY)

        self.step = "open slot 3 by its button's press action"
        self.press(self.lamps(main)[3]["button"])
        acc_title = self.wait("the card access dialog", lambda: next(
            (w.name for w in self.windows() if w is not None and w.name.startswith("SLOT#3 ")
             and w.getState().contains(pyatspi.STATE_SHOWING)), None))
        acc = self.window(acc_title)
        if not self.lamps(main)[3]["button"].getState().contains(pyatspi.STATE_PRESSED):
            raise StepFailed("slot 3's button is not down while its dialog is open")
        self.check_owner(acc_title, MAIN_TITLE)
        for name, role in (("状態", pyatspi.ROLE_TEXT), ("進行状況", pyatspi.ROLE_PROGRESS_BAR)):
            self.find(acc, "%s named %r" % (role, name), lambda o: o.getRole() == role and o.name == name)
        if self.platform == "xcb":
            self.check_raise_x(acc_title)

        self.step = "read slot 3 while its lamp says busy"
        # Slow enough to see the lamp busy: 2 MB in about 4 s.
        self.unit("throttle", UNIT, "--bytes-per-second", "512K")
        params = self.open_params(acc, "読み出し(R)", "読み出し設定")
        self.check_owner("読み出し設定", acc_title)
        for name in ("先頭セクタ (Hex)", "セクタ数    (Hex)", "保存ファイル名"):
            self.field(params, name)
        for role in (pyatspi.ROLE_TEXT, pyatspi.ROLE_RADIO_BUTTON, pyatspi.ROLE_PUSH_BUTTON):
            for o in self.find_all(params, lambda o, r=role: o.getRole() == r):
                if not o.name.strip():
                    raise StepFailed("an unnamed %s in the parameter dialog" % o.getRoleName())
        if self.text_of(self.field(params, "保存ファイル名")):
            raise StepFailed("the read's file field is not empty on the first start")
        if self.platform == "wayland":
            # The file dialog on a compositor without a seat: the program must live.
            self.press(self.button(params, "参照"))
            fd = self.window("名前を付けて保存")
            self.check_owner("名前を付けて保存", "読み出し設定")
            self.press(self.find(fd, "the file dialog's cancel button", lambda o: o.getRole() == pyatspi.ROLE_PUSH_BUTTON
                                 and o.name.replace("&", "").startswith(("キャンセル", "Cancel"))))
            self.gone("名前を付けて保存")
        read_file = os.path.join(self.work, "read3.bin")
        self.field(params, "保存ファイル名").queryEditableText().setTextContents(read_file)
        self.names_heard.clear()
        self.press(self.button(params, "開始(S)"))
        self.expect_slot(main, 3, BUSY)
        self.heard(3, BUSY)
        self.window(APP_TITLE)
        self.check_owner(APP_TITLE, acc_title)
        self.answer_box(APP_TITLE, "読み出しを完了しました")
        self.expect_slot(main, 3, READY)
        if os.path.getsize(read_file) != 2 * MB:
            raise StepFailed("the read wrote %d bytes" % os.path.getsize(read_file))
        self.unit("throttle", UNIT, "--off")

        self.step = "each operation its own file"
        params = self.open_params(acc, "書き込み(W)", "書き込み設定")
        got = self.text_of(self.field(params, "ソースファイル名"))
        if got:
            raise StepFailed("the write offers the read's file %r" % got)
        self.press(self.button(params, "キャンセル(C)"))
        self.gone("書き込み設定")
        params = self.open_params(acc, "読み出し(R)", "読み出し設定")
        got = self.text_of(self.field(params, "保存ファイル名"))
        if got != read_file:
            raise StepFailed("the read shows %r, not its own %r" % (got, read_file))
        self.press(self.button(params, "キャンセル(C)"))
        self.gone("読み出し設定")

        self.press(self.button(acc, "戻る(B)"))
        self.gone(acc_title)
        self.wait("slot 3's button up again", lambda: not self.lamps(main)[3]["button"].getState().contains(
            pyatspi.STATE_PRESSED))

        self.step = "pull, then an unusable card"
        self.names_heard.clear()
        self.unit("pull", UNIT, "3")
        self.expect_slot(main, 3, EMPTY)
        self.heard(3, EMPTY)
        self.names_heard.clear()
        self.unit("insert", UNIT, "3", "--size", "8M", "--heads", "0")
        self.expect_slot(main, 3, UNUSABLE)
        self.heard(3, UNUSABLE)

        if self.platform == "xcb":
            self.x.screenshot("main-window-a11y")

        self.step = "quit and start again"
        self.press(self.button(main, "終了(X)"))
        self.app.wait(WAIT)
        if self.app.returncode != 0:
            raise StepFailed("the program ended with status %d" % self.app.returncode)
        self.app = None
        main = self.start_and_greet()
        self.expect_slot(main, 3, UNUSABLE)
        self.press(self.lamps(main)[1]["button"])
        acc_title = self.wait("the card access dialog", lambda: next(
            (w.name for w in self.windows() if w is not None and w.name.startswith("SLOT#1 ")
             and w.getState().contains(pyatspi.STATE_SHOWING)), None))
        acc = self.window(acc_title)
        params = self.open_params(acc, "読み出し(R)", "読み出し設定")
        got = self.text_of(self.field(params, "保存ファイル名"))
        if got != read_file:
            raise StepFailed("after a restart the read shows %r, not the remembered %r" % (got, read_file))
        self.press(self.button(params, "キャンセル(C)"))
        self.gone("読み出し設定")
        params = self.open_params(acc, "コンペア(C)", "コンペア設定")
        got = self.text_of(self.field(params, "コンペア先ファイル名"))
        if got:
            raise StepFailed("after a restart the compare shows %r" % got)
        self.press(self.button(params, "キャンセル(C)"))
        self.gone("コンペア設定")
        self.press(self.button(acc, "戻る(B)"))
        self.gone(acc_title)
        self.press(self.button(main, "終了(X)"))
        self.app.wait(WAIT)
        self.app = None

    def cleanup(self):
        end_process(self.app)
        if self.x:
            self.x.stop()
        if self.weston:
            self.weston.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--bin-dir", required=True)
    ap.add_argument("--artifacts", required=True)
    ap.add_argument("--platform", choices=("xcb", "wayland"), default="xcb")
    ap.add_argument("--inner", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if not args.inner:
        # A session bus of its own: the accessibility bus is started on it.
        if shutil.which("dbus-run-session") is None:
            print("dbus-run-session is not installed (scripts/setup-deps installs dbus)", file=sys.stderr)
            return 1
        return subprocess.call(["dbus-run-session", "--", sys.executable, os.path.abspath(__file__), "--inner"]
                               + sys.argv[1:])
    run = Run(args)
    try:
        run.main()
        print("a11y run (%s): passed" % args.platform)
        return 0
    except StepFailed as e:
        print("a11y run (%s) failed at %s: %s" % (args.platform, run.step, e), file=sys.stderr)
        try:
            for w in run.windows():
                texts = [o.name for o in run.find_all(w, lambda o: o.getRole() == pyatspi.ROLE_LABEL)]
                print("  window %r (%s): %s" % (w.name, w.getRoleName(), texts[:6]), file=sys.stderr)
        except Exception:
            pass
        return 1
    finally:
        run.cleanup()


if __name__ == "__main__":
    sys.exit(main())
