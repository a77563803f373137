#!/usr/bin/env python3
"""The udev rule of the package: udevadm verify where this udev has it, and
always a check of what the rule grants: the uaccess tag, only on the SCSI
generic and whole-disk nodes of devices whose SCSI vendor is QEVRA."""
import re
import subprocess
import sys

rule = sys.argv[1]
failures = []

try:
    has_verify = subprocess.run(["udevadm", "verify", "--help"], capture_output=True).returncode == 0
except OSError:
    has_verify = False
if has_verify:
    p = subprocess.run(["udevadm", "verify", rule], capture_output=True, text=True)
    if p.returncode != 0:
        failures.append("udevadm verify: " + p.stdout + p.stderr)
else:
    print("udevadm verify is not available here; the rule's own check only")

PAIR = re.compile(r'\s*([A-Z_]+)(\{[^}]*\})?\s*(==|!=|\+=|=|:=)\s*"([^"]*)"\s*(,|$)')
granting = 0
with open(rule, encoding="utf-8") as f:
    for n, line in enumerate(f, 1):
        text = line.strip()
        if not text or text.startswith("#"):
            continue
        pairs, pos = [], 0
        while pos < len(text):
            m = PAIR.match(text, pos)
            if not m:
                failures.append("line %d: cannot read %r" % (n, text[pos:]))
                break
            pairs.append((m.group(1) + (m.group(2) or ""), m.group(3), m.group(4)))
            pos = m.end()
        assigns = [p for p in pairs if p[1] in ("=", "+=", ":=")]
        if any(p[0] not in ("TAG", "GOTO", "LABEL") for p in assigns):
            failures.append("line %d: assigns more than the uaccess tag: %r" % (n, assigns))
        if ("TAG", "+=", "uaccess") in pairs:
            granting += 1
            matches = {p[0]: p[2] for p in pairs if p[1] == "=="}
            if matches.get("ATTRS{vendor}") != "QEVRA":
                failures.append("line %d: uaccess without the QEVRA vendor match" % n)
            sub = matches.get("SUBSYSTEM")
            if sub == "block":
                if matches.get("ENV{DEVTYPE}") != "disk":
                    failures.append("line %d: block devices other than the whole disk" % n)
            elif sub != "scsi_generic":
                failures.append("line %d: uaccess on subsystem %r" % (n, sub))
if granting != 2:
    failures.append("%d lines grant uaccess; the sg and the disk node each need one" % granting)
for f in failures:
    print("FAIL:", f)
sys.exit(1 if failures else 0)
