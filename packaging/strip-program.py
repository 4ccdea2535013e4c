#!/usr/bin/env python3
"""Writes a copy of a program without its symbols for shipping; the build keeps the original for
crash reports.

    strip-program.py STRIP PROGRAM OUTPUT

A Windows program keeps its link time stamp, which ties it to the original (strip would put
the current time there). A Linux program is stripped as Debian's packaging tools strip one."""
import os
import struct
import subprocess
import sys

strip, program, output = sys.argv[1:]
with open(program, "rb") as f:
    head = f.read(4096)

env = dict(os.environ)
if head[:2] == b"MZ":
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    if head[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{program}: not a Windows program")
    env["SOURCE_DATE_EPOCH"] = str(struct.unpack_from("<I", head, pe + 8)[0])
    options = ["--strip-all"]
elif head[:4] == b"\x7fELF":
    options = ["--strip-unneeded", "--remove-section=.comment", "--remove-section=.note"]
else:
    sys.exit(f"{program}: neither a Windows nor a Linux program")

if os.path.exists(output):
    os.remove(output)
subprocess.run([strip, *options, "-o", output, program], env=env, check=True)
