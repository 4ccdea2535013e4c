#!/usr/bin/env python3
"""Checks the portable zip: exactly the expected files in one top folder, and the programs are
the ones just built."""
import sys
import zipfile
from pathlib import Path

zip_path, version, *built = sys.argv[1:]
top = f"Quorvane-{version}/"
expected = {top + name for name in
            ("Quorvane.exe", "quorvane-cli.exe", "help.html", "README.txt", "LICENSE.txt")}

with zipfile.ZipFile(zip_path) as archive:
    names = {info.filename for info in archive.infolist() if not info.is_dir()}
    problems = []
    if names != expected:
        problems.append(f"missing {sorted(expected - names)}, unexpected {sorted(names - expected)}")
    for path in map(Path, built):
        member = top + path.name
        if member in names and archive.read(member) != path.read_bytes():
            problems.append(f"{member} differs from {path}")
    if top + "Quorvane.exe" in names and archive.read(top + "Quorvane.exe")[:2] != b"MZ":
        problems.append("Quorvane.exe is not a Windows program")
    if top + "help.html" in names and b"<html" not in archive.read(top + "help.html"):
        problems.append("help.html is not a page")

for problem in problems:
    print(problem)
print("zip contents: " + ("FAILED" if problems else "ok"))
sys.exit(1 if problems else 0)
