#!/usr/bin/env python3
"""What `cmake --install` leaves in a fresh prefix.

Installs the build into a temporary prefix and checks the result as a
packager and a desktop would: every file in its place, the library under its
soname, the menu entry and the metainfo accepted by their validators, the
menu entry starting the program in the user's folder, and the manual pages of
the tools holding every command and option their --help shows today.
"""

import argparse
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import own_library  # noqa: E402

failures = []


def fail(text):
    failures.append(text)
    print("FAIL: " + text)


def run(argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, timeout=120, **kw)


def need(tool):
    if shutil.which(tool) is None:
        sys.exit("%s is not installed (scripts/setup-deps installs it)" % tool)


def desktop_entry(path):
    keys = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = re.match(r"([A-Za-z0-9\-]+(?:\[[^\]]+\])?)=(.*)$", line.rstrip("\n"))
            if m:
                keys[m.group(1)] = m.group(2)
    return keys


def help_words(tool_path, prefix_words=()):
    """Subcommand paths and option names of a CLI11 tool, from its --help."""
    env = dict(os.environ, LC_ALL="C.UTF-8")
    p = run([tool_path, *prefix_words, "--help"], env=env)
    if p.returncode != 0:
        fail("%s %s --help failed: %s" % (tool_path, " ".join(prefix_words), p.stderr))
        return set(), set()
    options = set(re.findall(r"(?<![\w-])(--[a-z][a-z0-9-]*)", p.stdout))
    commands = set()
    sub = re.search(r"^Subcommands:\n((?:  .*\n?)+)", p.stdout, re.M)
    if sub:
        for name in re.findall(r"^  ([a-z][a-z0-9_-]*)", sub.group(1), re.M):
            path = (*prefix_words, name)
            commands.add(" ".join(path))
            c, o = help_words(tool_path, path)
            commands |= c
            options |= o
    return commands, options


def rendered(page, width=200):
    env = dict(os.environ, MANWIDTH=str(width), LC_ALL="C.UTF-8")
    p = run(["man", "--warnings", "-l", page], env=env)
    if p.returncode != 0:
        fail("man -l %s failed: %s" % (page, p.stderr.strip()))
    if p.stderr.strip():
        fail("man -l %s warns: %s" % (page, p.stderr.strip()))
    return p.stdout


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--app-id", required=True, help="the AppStream id: menu entry, metainfo and icon")
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    for tool in ("cmake", "desktop-file-validate", "appstreamcli", "man", "readelf"):
        need(tool)

    tmp = tempfile.mkdtemp(prefix="tvq-install-")
    prefix = os.path.join(tmp, "prefix with blank")
    try:
        p = run(["cmake", "--install", args.build_dir, "--prefix", prefix])
        if p.returncode != 0:
            sys.exit("cmake --install failed:\n" + p.stdout + p.stderr)
        check(prefix, args.build_dir, args.app_id)
    finally:
        if args.keep:
            print("kept " + tmp)
        else:
            shutil.rmtree(tmp, ignore_errors=True)
    if failures:
        sys.exit("%d failures" % len(failures))
    print("install tree ok")


def check(prefix, build_dir, app_id):
    cache = open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8").read()
    libdir = re.search(r"^CMAKE_INSTALL_LIBDIR:PATH=(.*)$", cache, re.M).group(1)
    has_tvqcard = os.path.exists(os.path.join(build_dir, "bin", "tvqcard"))
    tools = ["tvqunit"] + (["tvqcard"] if has_tvqcard else [])

    want = ["bin/tvqcrdut", "bin/tvqunit", libdir + "/libqevcrdio.so.1",
            "share/tvqcrdut/TVQCRDUT.chm", "share/tvqcrdut/html/index.html",
            "share/applications/%s.desktop" % app_id, "share/metainfo/%s.metainfo.xml" % app_id,
            "share/icons/hicolor/scalable/apps/%s.svg" % app_id,
            "share/icons/hicolor/48x48/apps/%s.png" % app_id, "share/icons/hicolor/256x256/apps/%s.png" % app_id,
            "share/man/man1/tvqcrdut.1.gz", "share/doc/tvqcrdut/copyright", "share/doc/tvqcrdut/changelog.gz"]
    want += ["bin/" + t for t in tools] + ["share/man/man1/%s.1.gz" % t for t in tools]
    for rel in want:
        if not os.path.exists(os.path.join(prefix, rel)):
            fail("not installed: " + rel)
    # Nothing links against the library, so no development link goes out.
    if os.path.lexists(os.path.join(prefix, libdir, "libqevcrdio.so")):
        fail("the development link libqevcrdio.so is installed")

    lib = os.path.join(prefix, libdir, "libqevcrdio.so.1")
    if os.path.exists(lib):
        dyn = run(["readelf", "-d", lib]).stdout
        if "Library soname: [libqevcrdio.so.1]" not in dyn:
            fail("libqevcrdio.so.1 does not carry its soname:\n" + dyn)

    # Icons at the size their folder names.
    for size in (48, 256):
        png = os.path.join(prefix, "share/icons/hicolor/%dx%d/apps/%s.png" % (size, size, app_id))
        if os.path.exists(png):
            with open(png, "rb") as f:
                head = f.read(24)
            w, h = int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")
            if head[:8] != b"\x89PNG\r\n\x1a\n" or (w, h) != (size, size):
                fail("%s is not a %d pixel PNG (%dx%d)" % (png, size, w, h))

    # Reverse DNS, as AppStream wants it, and one name for the three files.
    if not re.fullmatch(r"[a-z][a-z0-9]*(\.[a-zA-Z_][a-zA-Z0-9_]*){2,}", app_id):
        fail("the AppStream id %r is not in reverse-DNS form" % app_id)
    for rel in ("share/applications", "share/metainfo", "share/icons/hicolor/scalable/apps"):
        stray = [f for f in os.listdir(os.path.join(prefix, rel)) if not f.startswith(app_id + ".")] \
            if os.path.isdir(os.path.join(prefix, rel)) else []
        if stray:
            fail("%s holds files not named after %s: %s" % (rel, app_id, stray))

    desktop = os.path.join(prefix, "share/applications/%s.desktop" % app_id)
    if os.path.exists(desktop):
        p = run(["desktop-file-validate", desktop])
        if p.returncode != 0 or p.stdout.strip():
            fail("desktop-file-validate: " + p.stdout + p.stderr)
        keys = desktop_entry(desktop)
        # The program starts in the desktop's folder (the user's), where a
        # bare file name lands; it finds its installed help on its own.
        if "Path" in keys:
            fail("the menu entry sets Path=%r" % keys["Path"])
        if keys.get("Exec", "").split()[:1] != ["tvqcrdut"]:
            fail("Exec=%r does not start tvqcrdut" % keys.get("Exec"))
        for k in ("Name[ja]", "Comment[ja]", "Icon", "Categories"):
            if not keys.get(k):
                fail("the menu entry has no " + k)
        if keys.get("Icon") != app_id:
            fail("the menu entry's Icon=%r is not the id %s" % (keys.get("Icon"), app_id))

    metainfo = os.path.join(prefix, "share/metainfo/%s.metainfo.xml" % app_id)
    if os.path.exists(metainfo):
        p = run(["appstreamcli", "validate", "--no-net", "--no-color", metainfo])
        # Errors and warnings fail; so does any note but the one about the
        # reserved top-level domain .example of the id, which appstream does
        # not know.
        notes = [l for l in p.stdout.splitlines() if re.match(r"^[EWIP]: ", l)
                 and not (l.startswith("I: ") and "cid-maybe-not-rdns" in l and app_id.startswith("example."))]
        if p.returncode != 0 or notes or "Validation was successful" not in p.stdout:
            fail("appstreamcli validate (%d): %s%s" % (p.returncode, p.stdout, p.stderr))
        text = open(metainfo, encoding="utf-8").read()
        for tag, want in (("id", app_id), ("launchable", app_id + ".desktop"), ("icon", app_id)):
            if not re.search(r"<%s[^>]*>%s</%s>" % (tag, re.escape(want), tag), text):
                fail("the metainfo's <%s> is not %s" % (tag, want))
        for shot in re.findall(r"!\[[^\]]*\]\((docs/screenshots/[^)]+)\)",
                               open(os.path.join(os.path.dirname(__file__), "../../README.md"),
                                    encoding="utf-8").read()):
            if not text.count(shot):
                fail("the metainfo lacks the README screenshot " + shot)

    # The library is installed with the programs, never beside them: no page
    # of the help may send the operator to the program's folder for it.
    pages = os.path.join(prefix, "share/tvqcrdut/html")
    for name in sorted(os.listdir(pages)) if os.path.isdir(pages) else []:
        text = open(os.path.join(pages, name), encoding="utf-8", errors="replace").read()
        if "プログラムと同じフォルダ" in text:
            fail("the help page %s sends the operator to the program's folder" % name)

    page = os.path.join(prefix, "share/man/man1/tvqcrdut.1.gz")
    if os.path.exists(page):
        text = rendered(page)
        if "@" in gzip.open(page, "rt", encoding="utf-8").read():
            fail("tvqcrdut.1 has an unreplaced @placeholder@")
        if os.path.join(prefix, "share/tvqcrdut/TVQCRDUT.chm") not in text:
            fail("tvqcrdut.1 does not name the installed help file")

    # A terminal of 80 columns shows every page without a line running over.
    for name in ["tvqcrdut"] + tools:
        page = os.path.join(prefix, "share/man/man1/%s.1.gz" % name)
        if os.path.exists(page):
            wide = [l for l in rendered(page, 80).splitlines() if len(l) > 80]
            if wide:
                fail("%s.1 has %d lines wider than 80 columns, up to %d: %r"
                     % (name, len(wide), max(map(len, wide)), wide[0]))

    for tool in tools:
        page = os.path.join(prefix, "share/man/man1/%s.1.gz" % tool)
        if not os.path.exists(page):
            continue
        text = rendered(page)
        commands, options = help_words(os.path.join(build_dir, "bin", tool))
        if not commands:
            fail("%s --help lists no commands" % tool)
        sections = set(re.findall(r"^ {3}(\S.*)$", text, re.M))
        for c in sorted(commands - sections):
            fail("%s.1 has no section for the command '%s'" % (tool, c))
        for o in sorted(o for o in options if o not in text):
            fail("%s.1 does not mention the option %s" % (tool, o))
        if build_dir in text or "./" + tool in text:
            fail("%s.1 shows a build path" % tool)

    version = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", cache, re.M).group(1)
    check_programs_run(prefix, libdir, has_tvqcard, version)


def check_programs_run(prefix, libdir, has_tvqcard, version):
    """The installed programs, started from the prefix, find its library."""
    own = os.path.realpath(os.path.join(prefix, libdir, "libqevcrdio.so.1"))
    home = os.path.join(os.path.dirname(prefix), "home")
    runtime = os.path.join(os.path.dirname(prefix), "runtime")
    os.makedirs(home, exist_ok=True)
    os.makedirs(runtime, mode=0o700, exist_ok=True)
    env = {"PATH": "/usr/bin:/bin", "HOME": home, "XDG_RUNTIME_DIR": runtime,
           "XDG_CONFIG_HOME": os.path.join(home, ".config"),
           "QEVCRDIO_BUS": os.path.join(home, "bus"), "LANG": "C.UTF-8"}
    bindir = os.path.join(prefix, "bin")
    p = run([os.path.join(bindir, "tvqunit"), "create", "u"], env=env)
    if p.returncode != 0:
        fail("the installed tvqunit create failed: " + p.stderr)
    run([os.path.join(bindir, "tvqunit"), "insert", "u", "1", "--size", "1M"], env=env)
    if has_tvqcard:
        p, lib = own_library.tool_library([os.path.join(bindir, "tvqcard"), "list"], env)
        if p.returncode != 0 or "TVQ-210CF" not in p.stdout:
            fail("the installed tvqcard list failed (%d): %s%s" % (p.returncode, p.stdout, p.stderr))
        if lib != own:
            fail("the installed tvqcard loaded %s, not %s" % (lib, own))
    # Asked on a machine without any display, as a packager's script would.
    p = run([os.path.join(bindir, "tvqcrdut"), "--version"], env=env)
    if p.returncode != 0 or p.stdout != "tvqcrdut %s\n" % version:
        fail("tvqcrdut --version without a display: status %d, %r %r" % (p.returncode, p.stdout, p.stderr))
    lib, out, ended = own_library.program_library([os.path.join(bindir, "tvqcrdut")], env, cwd=home)
    if lib != own:
        fail("the installed tvqcrdut mapped %s, not %s (status %s): %s" % (lib, own, ended, out))


if __name__ == "__main__":
    main()
