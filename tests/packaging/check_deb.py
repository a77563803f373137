#!/usr/bin/env python3
"""The Debian package as a maintainer checks it before it goes out.

  check_deb.py --deb PACKAGE.deb --app-id ID

- Depends is exactly what dpkg-shlibdeps finds for every program and library
  in the package, plus the Japanese font the window cannot do without; and the
  Qt platform plugin that shows the window on X11 comes from one of them (so
  no plugin package is needed beside them);
- Recommends holds the help viewer and its opener, UDisks2 and the Wayland plugin;
- the menu entry passes desktop-file-validate without a message, the metainfo
  appstreamcli validate --no-net without an error or warning;
- lintian reports no tag beyond those the package overrides (with the reason
  beside each, in packaging/debian/lintian-overrides).
Exits non-zero, with every finding printed, when any of these fails.
"""

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

FONTS = "fonts-ipafont-gothic | fonts-noto-cjk"
RECOMMENDS = {"xchm", "xdg-utils", "udisks2", "qt6-wayland", "qt6-translations-l10n"}

failures = []


def fail(text):
    failures.append(text)
    print("check_deb: FAIL: " + text)


def run(argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, timeout=300, **kw)


def items(field):
    return {i.strip() for i in field.split(",") if i.strip()}


def is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def check_depends(deb, root):
    depends = items(run(["dpkg-deb", "-f", deb, "Depends"]).stdout)
    elves = [os.path.join(d, f) for d, _, files in os.walk(root) for f in files
             if not os.path.islink(os.path.join(d, f)) and is_elf(os.path.join(d, f))]
    if not elves:
        fail("the package holds no program")
        return
    work = tempfile.mkdtemp(prefix="tvq-shlibdeps-")
    try:
        os.makedirs(os.path.join(work, "debian"))
        with open(os.path.join(work, "debian", "control"), "w") as f:
            f.write("Source: tvqcrdut\n\nPackage: tvqcrdut\nArchitecture: any\n")
        libdirs = sorted({os.path.dirname(e) for e in elves if ".so" in os.path.basename(e)})
        p = run(["dpkg-shlibdeps", "-O"] + ["-l" + d for d in libdirs] + elves, cwd=work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    m = re.search(r"^shlibs:Depends=(.*)$", p.stdout, re.M)
    if p.returncode != 0 or not m:
        fail("dpkg-shlibdeps failed (%d): %s%s" % (p.returncode, p.stdout, p.stderr))
        return
    want = items(m.group(1)) | {FONTS}
    for dep in sorted(want - depends):
        fail("Depends lacks %s" % dep)
    for dep in sorted(depends - want):
        fail("Depends holds %s, which neither dpkg-shlibdeps nor the font asks for" % dep)
    print("check_deb: Depends = dpkg-shlibdeps of %d files + %s" % (len(elves), FONTS))

    # The X11 platform plugin: its package must be one Depends names already.
    names = {re.match(r"[^ (]+", d).group(0) for dep in depends for d in dep.split("|") for d in [d.strip()]}
    plugins = glob.glob("/usr/lib/*/qt6/plugins/platforms/libqxcb.so")
    if not plugins:
        fail("the Qt X11 platform plugin is not installed here; cannot tell its package")
        return
    owner = run(["dpkg", "-S", plugins[0]]).stdout.split(":")[0]
    if owner not in names:
        fail("the X11 platform plugin %s is in %s, which Depends does not name" % (plugins[0], owner))
    else:
        print("check_deb: the X11 platform plugin comes with %s, a dependency already" % owner)


def check_recommends(deb):
    got = items(run(["dpkg-deb", "-f", deb, "Recommends"]).stdout)
    if got != RECOMMENDS:
        fail("Recommends is %s, not %s" % (sorted(got), sorted(RECOMMENDS)))


def check_validators(root, app_id):
    desktop = os.path.join(root, "usr/share/applications/%s.desktop" % app_id)
    metainfo = os.path.join(root, "usr/share/metainfo/%s.metainfo.xml" % app_id)
    for path in (desktop, metainfo):
        if not os.path.exists(path):
            fail("the package lacks " + path[len(root):])
            return
    p = run(["desktop-file-validate", desktop])
    if p.returncode != 0 or (p.stdout + p.stderr).strip():
        fail("desktop-file-validate: %s%s" % (p.stdout, p.stderr))
    p = run(["appstreamcli", "validate", "--no-net", "--no-color", metainfo])
    bad = [l for l in p.stdout.splitlines() if l.startswith(("E:", "W:"))]
    if p.returncode != 0 or bad:
        fail("appstreamcli validate --no-net (%d): %s" % (p.returncode, p.stdout))
    print("check_deb: desktop-file-validate and appstreamcli validate --no-net clean")


def check_lintian(deb):
    p = run(["lintian", "--fail-on", "error,warning", deb])
    report = [l for l in p.stdout.splitlines() + p.stderr.splitlines()
              if l.strip() and not l.startswith("running with root privileges")]
    for line in report:
        print("check_deb: lintian: " + line)
    unexpected = [l for l in report if re.match(r"^[EW]: ", l)]
    if p.returncode != 0 or unexpected:
        fail("lintian reports %d errors or warnings beyond the overridden ones" % len(unexpected))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--deb", required=True)
    ap.add_argument("--app-id", required=True)
    args = ap.parse_args()
    root = tempfile.mkdtemp(prefix="tvq-deb-")
    try:
        run(["dpkg-deb", "-x", args.deb, root])
        check_depends(args.deb, root)
        check_recommends(args.deb)
        check_validators(root, args.app_id)
        check_lintian(args.deb)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    if failures:
        sys.exit("check_deb: %d findings" % len(failures))
    print("check_deb: %s ok" % os.path.basename(args.deb))


if __name__ == "__main__":
    main()
