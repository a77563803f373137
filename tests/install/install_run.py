#!/usr/bin/env python3
"""The package installed for real, used, and purged.

Needs root: it installs the package into this system with dpkg, so it runs in
CI (scripts/test with CI=true) and by hand only when asked (scripts/test
--install). Steps:

 1. list the files of the system's folders;
 2. dpkg -i the package;
 3. the installed tools: tvqunit --help, tvqcard list on a virtual unit (it
    loads the package's library), man -w for each manual page, the library in
    ld.so's cache;
 4. the same build installed with cmake --install into a temporary prefix
    beside the package: its tvqcard and its program (offscreen) each load the
    prefix's library, the package's programs the package's;
 5. tvqcrdut started as the desktop's menu would start it (the installed menu
    entry's Exec, which sets no working folder) under
    Xvfb with openbox, on a virtual unit: the start-up box, the main window
    (screenshot), a read of slot 1 whose file is named in the Save As dialog
    with no name remembered: the file lands in $HOME, not in the desktop's
    folder; then the exit button;
 6. tvqcrdut started from a terminal in a folder of the user's without any
    help: the help opens the installed TVQCRDUT.chm in the CHM viewer when
    one is installed (screenshot), else the described box;
 7. dpkg --purge, and the file list again: nothing left, nothing lost, and
    nothing written under /usr by the runs.

Every step prints a line starting with "install-run:".
"""

import argparse
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "packaging"))
import xsession  # noqa: E402  (the X desktop of the end-to-end runs)
import own_library  # noqa: E402

PACKAGE = "tvqcrdut"
MAIN_TITLE = "TVQ-206/210CF Card Utility Limit Edition"
APP_TITLE = "TVQ-206/210CF Card Utility "
INFO = "情報"
HELP = "/usr/share/tvqcrdut/TVQCRDUT.chm"
MB = 1024 * 1024
UNIT = "installed"
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
# tvqcard joins the package once its sources are in the tree.
HAS_TVQCARD = os.path.exists(os.path.join(SOURCE, "tools", "tvqcard", "CMakeLists.txt"))
# Folders a package writes to; the rest of the system is not its business.
WATCHED = ("/usr", "/etc", "/opt", "/var/lib")
# Files dpkg itself rewrites on every run; they exist before and after.
DPKG_CHURN = re.compile(r"^/var/lib/dpkg/(updates/|lock|triggers/Lock|.*-old$)")


class Failed(Exception):
    pass


def say(text):
    print("install-run: " + text, flush=True)


def run(argv, check=True, timeout=120, **kw):
    p = subprocess.run(argv, capture_output=True, text=True, timeout=timeout, **kw)
    if check and p.returncode != 0:
        raise Failed("%s failed (%d):\n%s%s" % (" ".join(argv), p.returncode, p.stdout, p.stderr))
    return p


def file_list():
    found = set()
    for top in WATCHED:
        for root, dirs, files in os.walk(top):
            for name in dirs + files:
                path = os.path.join(root, name)
                if not DPKG_CHURN.match(path):
                    found.add(path)
    return found


def desktop_entry(path):
    keys, group = {}, None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("["):
                group = line
            elif group == "[Desktop Entry]" and "=" in line and not line.startswith("#"):
                k, v = line.split("=", 1)
                keys[k.strip()] = v.strip()
    return keys


def exec_argv(value):
    """The Exec key as the menu runs it: quoted arguments, no field codes."""
    argv = [a for a in shlex.split(value) if not re.fullmatch(r"%[fFuUdDnNickvm]", a)]
    if not argv:
        raise Failed("the menu entry's Exec is empty")
    return argv


class InstallRun:
    def __init__(self, args):
        self.deb = os.path.abspath(args.deb)
        self.build_dir = os.path.abspath(args.build_dir)
        self.artifacts = os.path.abspath(args.artifacts)
        self.tmp = tempfile.mkdtemp(prefix="tvq-install-run-")
        self.bus = os.path.join(self.tmp, "bus")
        self.session = None
        self.app = None
        self.viewer_pids = []
        self.installed = False

    def env(self):
        """A clean user's environment, with the X display once there is one."""
        e = {
            "PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
            "QEVCRDIO_BUS": self.bus,
            "HOME": self.home(),
            "XDG_CONFIG_HOME": os.path.join(self.tmp, "config"),
            "XDG_DATA_HOME": os.path.join(self.tmp, "data"),
            "XDG_CACHE_HOME": os.path.join(self.tmp, "cache"),
            "XDG_RUNTIME_DIR": os.path.join(self.tmp, "runtime"),
            "LANG": "C.UTF-8",
        }
        if self.session is not None and self.session.display:
            e.update({"DISPLAY": self.session.display, "QT_QPA_PLATFORM": "xcb"})
        return e

    def home(self):
        return os.path.join(self.tmp, "home")

    # ---- steps -----------------------------------------------------------

    def install(self):
        status = run(["dpkg-query", "-W", "-f=${Status}", PACKAGE], check=False).stdout
        if "installed" in status and "not-installed" not in status:
            raise Failed("%s is installed already (%s); purge it before the install run" % (PACKAGE, status))
        self.before = file_list()
        say("%d files and folders under %s before the install" % (len(self.before), " ".join(WATCHED)))
        p = run(["dpkg", "-i", self.deb], check=False, timeout=300)
        self.installed = True
        if p.returncode != 0:
            raise Failed("dpkg -i %s failed (%d):\n%s%s" % (self.deb, p.returncode, p.stdout, p.stderr))
        version = run(["dpkg-query", "-W", "-f=${Version}", PACKAGE]).stdout
        say("dpkg -i %s: installed version %s" % (os.path.basename(self.deb), version))
        owned = run(["dpkg", "-L", PACKAGE]).stdout.split()
        wanted = ["/usr/bin/tvqcrdut", "/usr/bin/tvqunit", "/usr/share/tvqcrdut/TVQCRDUT.chm",
                  "/usr/lib/udev/rules.d/70-tvqcrdut.rules"] + (["/usr/bin/tvqcard"] if HAS_TVQCARD else [])
        for want in wanted:
            if want not in owned:
                raise Failed("the package does not hold " + want)

    def tools(self):
        for d in ("home", "config", "data", "cache"):
            os.makedirs(os.path.join(self.tmp, d), exist_ok=True)
        os.makedirs(os.path.join(self.tmp, "runtime"), mode=0o700, exist_ok=True)

        p = run(["tvqunit", "--help"], env=self.env())
        if not p.stdout.startswith("tvqunit:") or "Usage: tvqunit" not in p.stdout:
            raise Failed("tvqunit --help printed:\n" + p.stdout)
        say("tvqunit --help: %d lines" % len(p.stdout.splitlines()))

        run(["tvqunit", "create", UNIT], env=self.env())
        for slot in (1, 2):
            run(["tvqunit", "insert", UNIT, str(slot), "--size", "8M"], env=self.env())
        if HAS_TVQCARD:
            p, lib = own_library.tool_library(["tvqcard", "list"], self.env())
            if p.returncode != 0 or "TVQ-210CF" not in p.stdout:
                raise Failed("tvqcard list does not show the unit (%d):\n%s%s" % (p.returncode, p.stdout, p.stderr))
            for line in p.stdout.strip().splitlines():
                say("tvqcard list: " + line)
            self.package_library = self.library_of_package()
            if lib != self.package_library:
                raise Failed("the package's tvqcard loaded %s, not %s" % (lib, self.package_library))
            say("the package's tvqcard loaded " + lib)

        for page in ("tvqcrdut", "tvqunit") + (("tvqcard",) if HAS_TVQCARD else ()):
            p = run(["man", "-w", page], env=self.env())
            say("man -w %s: %s" % (page, p.stdout.strip()))

        cache = run(["ldconfig", "-p"]).stdout
        line = next((l.strip() for l in cache.splitlines() if "libqevcrdio.so.1 " in l), None)
        if line is None:
            raise Failed("libqevcrdio.so.1 is not in ld.so's cache after the install")
        say("ldconfig -p: " + line)

    def library_of_package(self):
        owned = run(["dpkg", "-L", PACKAGE]).stdout.split()
        libs = [f for f in owned if os.path.basename(f) == "libqevcrdio.so.1"]
        if len(libs) != 1:
            raise Failed("the package holds %d libqevcrdio.so.1: %s" % (len(libs), libs))
        return os.path.realpath(libs[0])

    def prefix_install(self):
        """The same build installed by hand beside the package: every program
        loads the library of its own install, never the other one."""
        prefix = os.path.join(self.tmp, "prefix")
        run(["cmake", "--install", self.build_dir, "--prefix", prefix], timeout=300)
        found = [os.path.join(d, f) for d, _, files in os.walk(prefix) for f in files if f == "libqevcrdio.so.1"]
        if len(found) != 1:
            raise Failed("cmake --install put %d libqevcrdio.so.1 into %s" % (len(found), prefix))
        own = os.path.realpath(found[0])
        say("cmake --install --prefix %s: library %s" % (prefix, own))
        env = self.env()
        if HAS_TVQCARD:
            p, lib = own_library.tool_library([os.path.join(prefix, "bin", "tvqcard"), "list"], env)
            if p.returncode != 0 or "TVQ-210CF" not in p.stdout:
                raise Failed("%s/bin/tvqcard list failed (%d):\n%s%s" % (prefix, p.returncode, p.stdout, p.stderr))
            if lib != own:
                raise Failed("%s/bin/tvqcard loaded %s, not %s" % (prefix, lib, own))
            say("the prefix's tvqcard list loaded " + lib)
        for program, want in ((os.path.join(prefix, "bin", "tvqcrdut"), own),
                              ("/usr/bin/tvqcrdut", self.library_of_package())):
            lib, out, ended = own_library.program_library([program], env, cwd=self.home())
            if lib != want:
                raise Failed("%s mapped %s, not %s (status %s):\n%s" % (program, lib, want, ended, out))
            say("%s (offscreen) mapped %s" % (program, lib))
        shutil.rmtree(prefix)

    def desktop(self):
        owned = run(["dpkg", "-L", PACKAGE]).stdout.split()
        entries = [f for f in owned if f.startswith("/usr/share/applications/") and f.endswith(".desktop")]
        if len(entries) != 1:
            raise Failed("the package holds %d menu entries: %s" % (len(entries), entries))
        entry = entries[0]
        run(["desktop-file-validate", entry])
        keys = desktop_entry(entry)
        argv = exec_argv(keys.get("Exec", ""))
        if "Path" in keys:
            raise Failed("the menu entry sets Path=%s: the program would start in a folder not the user's"
                         % keys["Path"])
        say("menu entry: Exec=%s Icon=%s, no Path" % (keys["Exec"], keys.get("Icon")))
        return argv

    def start(self, argv, cwd, how):
        s = self.session
        log = open(os.path.join(self.artifacts, "tvqcrdut-%s.log" % how), "w")
        self.app = s.popen(argv, cwd=cwd, env=self.env(), stdout=log, stderr=subprocess.STDOUT)
        s.alive = self.app_alive
        say("started %s from %s in %s (pid %d)" % (" ".join(argv), how, cwd, self.app.pid))
        s.answer(INFO)
        say("the 2 MB information box came and was answered")
        main, _ = s.wait_window(MAIN_TITLE)
        time.sleep(1.2)  # a slot monitor tick, so the lamps are final
        return main

    def exit_program(self, main):
        self.session.keys(main, "alt+x")
        try:
            rc = self.app.wait(30)
        except subprocess.TimeoutExpired:
            raise Failed("the program did not end after its exit button")
        if rc != 0:
            raise Failed("the program ended with status %d" % rc)
        say("closed with its exit button, status 0")

    def gui(self, argv):
        self.session = s = xsession.XSession(self.artifacts, wm=True)
        s.start()
        say("Xvfb %s with openbox" % s.display)

        # The menu: a desktop starts its programs in a folder of its own.
        launcher = os.path.join(self.tmp, "desktop")
        os.makedirs(launcher)
        main = self.start(argv, launcher, "the menu entry")
        s.screenshot("installed-main-window", main)
        say("main window shown; screenshot installed-main-window.png")

        # Read slot 1 into a file named in the Save As dialog, which has no
        # name remembered yet: a bare name there lands in the user's home.
        s.keys(main, "ctrl+F1")
        dlg, _ = s.wait_window(re.compile(r"SLOT#1 .*"))
        s.keys(dlg, "alt+r")
        params, _ = s.wait_window("読み出し設定")
        s.keys(params, "Tab", "Tab", "space")  # the file name, 参照, pressed
        save, _ = s.wait_window("名前を付けて保存")
        s.screenshot("installed-save-dialog", save)
        s.type("probe")
        s.keys(save, "Return")
        s.wait_gone(save, "the Save As dialog")
        s.keys(params, "alt+s")
        s.wait_gone(params, "the read parameters dialog")
        s.answer(APP_TITLE)  # "読み出しを完了しました。"
        s.keys(dlg, "Escape")
        s.wait_gone(dlg, "the card access dialog")
        probe = os.path.join(self.home(), "probe.bin")
        if not os.path.isfile(probe):
            found = [os.path.join(d, f) for d, _, files in os.walk(self.tmp) for f in files if f == "probe.bin"]
            raise Failed("the read's file is not in $HOME (%s); found: %s" % (self.home(), found or "nowhere"))
        size = os.path.getsize(probe)
        if size != 2 * MB:
            raise Failed("%s holds %d bytes, not the 2 MB read" % (probe, size))
        say("the Save As dialog with no remembered name opened in $HOME: %s, %d bytes" % (probe, size))
        self.exit_program(main)

        # A terminal in a folder of the user's, without any help of its own.
        work = os.path.join(self.home(), "work")
        os.makedirs(work, exist_ok=True)
        main = self.start(["tvqcrdut"], work, "a terminal")
        before = {w for w, _ in s.windows()}
        # Alt+H is shared by the Help menu and the Help button: it puts the
        # focus on the button, and Space presses it.
        s.keys(main, "alt+h", "space")
        viewer = shutil.which("xchm")
        if viewer:
            wid, title = self.wait_new_window(before)
            pid = self.window_pid(wid)
            if pid:
                self.viewer_pids.append(pid)
            exe = os.path.realpath("/proc/%d/exe" % pid) if pid else ""
            if os.path.basename(exe) != "xchm":
                raise Failed("the help opened in %r (%s), not in the CHM viewer" % (title, exe or "unknown"))
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                cmdline = [a.decode(errors="replace") for a in f.read().split(b"\0") if a]
            if not any(os.path.realpath(a) == HELP for a in cmdline):
                raise Failed("the viewer was given %s, not the installed %s" % (cmdline, HELP))
            time.sleep(1.5)  # let it draw the first page
            s.screenshot("installed-help", wid)
            say("help opened in %s on %s: window %r; screenshot installed-help.png" % (exe, HELP, title))
            self.stop_viewers()
        else:
            wid, _ = s.wait_window(INFO)
            s.screenshot("installed-help-missing-viewer", wid)
            s.keys(wid, "Return")
            s.wait_gone(wid, "the box about the help")
            say("no CHM viewer installed: the described information box came")
        self.exit_program(main)

    def purge(self):
        p = run(["dpkg", "--purge", PACKAGE], check=False, timeout=300)
        self.installed = p.returncode != 0
        if p.returncode != 0:
            raise Failed("dpkg --purge failed (%d):\n%s%s" % (p.returncode, p.stdout, p.stderr))
        after = file_list()
        left = sorted(after - self.before)
        lost = sorted(self.before - after)
        for path in left:
            say("left behind: " + path)
        for path in lost:
            say("gone since the install: " + path)
        if left or lost:
            raise Failed("%d files left behind, %d gone after the purge" % (len(left), len(lost)))
        say("dpkg --purge: no file left behind (%d files and folders, as before)" % len(after))

    # ---- helpers ---------------------------------------------------------

    def app_alive(self):
        if self.app is not None and self.app.poll() is not None:
            raise Failed("the program ended unexpectedly (status %s)" % self.app.returncode)

    def wait_new_window(self, before, timeout=xsession.WAIT):
        """A visible window with a title that is not one of the ids in before."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.session.check_alive()
            for wid, name in self.session.windows():
                if wid not in before and name.strip():
                    time.sleep(0.3)
                    return wid, name
            time.sleep(0.2)
        raise Failed("no new window within %.0f s; on screen: %s" % (timeout, self.session.windows()))

    def window_pid(self, wid):
        p = self.session.x("xdotool", "getwindowpid", wid, check=False)
        return int(p.stdout) if p.returncode == 0 and p.stdout.strip().isdigit() else None

    def stop_viewers(self):
        for pid in self.viewer_pids:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        self.viewer_pids = []

    def cleanup(self):
        self.stop_viewers()
        if self.app is not None and self.app.poll() is None:
            self.app.kill()
            self.app.wait(10)
        if self.session is not None:
            self.session.stop()
        if self.installed:
            run(["dpkg", "--purge", PACKAGE], check=False, timeout=300)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def main(self):
        if os.geteuid() != 0:
            raise Failed("the install run installs a package into this system and needs root")
        shutil.rmtree(self.artifacts, ignore_errors=True)
        os.makedirs(self.artifacts)
        self.install()
        self.tools()
        self.prefix_install()
        argv = self.desktop()
        self.gui(argv)
        self.purge()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--deb", required=True, help="the package to install")
    ap.add_argument("--artifacts", required=True, help="folder for screenshots and the program's output")
    ap.add_argument("--build-dir", default=os.path.join(SOURCE, "build", "test"),
                    help="the build the package came from, installed once more into a temporary prefix")
    args = ap.parse_args()
    r = InstallRun(args)
    start = time.monotonic()
    try:
        r.main()
    except (Failed, xsession.StepFailed) as e:
        say("FAILED: %s" % e)
        return 1
    finally:
        r.cleanup()
    say("passed in %.0f s" % (time.monotonic() - start))
    return 0


if __name__ == "__main__":
    sys.exit(main())
