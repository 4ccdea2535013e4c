#!/usr/bin/env python3
"""Checks the portable zip: exactly the expected files in one top folder, and the programs are
the ones just built, without their symbols.

    check_zip.py ZIP VERSION STRIP-PROGRAM STRIP BUILT-PROGRAM..."""
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

zip_path, version, strip_program, strip, *built = sys.argv[1:]


def symbol_count(program):
    """The number of entries in a Windows program's symbol table."""
    pe = int.from_bytes(program[0x3C:0x40], "little")
    return int.from_bytes(program[pe + 16:pe + 20], "little")


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
        if member not in names:
            continue
        with tempfile.TemporaryDirectory() as scratch:
            stripped = Path(scratch) / path.name
            subprocess.run([sys.executable, strip_program, strip, str(path), str(stripped)],
                           check=True)
            shipped = archive.read(member)
            if shipped != stripped.read_bytes() and shutil.which("osslsigncode"):
                # A signed release: compared without its Authenticode signature.
                (Path(scratch) / "signed.exe").write_bytes(shipped)
                removed = subprocess.run(["osslsigncode", "remove-signature", "-in",
                                          str(Path(scratch) / "signed.exe"), "-out",
                                          str(Path(scratch) / "unsigned.exe")],
                                         capture_output=True)
                if removed.returncode == 0:
                    shipped = (Path(scratch) / "unsigned.exe").read_bytes()
            if shipped != stripped.read_bytes():
                problems.append(f"{member} is not {path} stripped")
            print(f"{path.name}: {path.stat().st_size} bytes built, "
                  f"{archive.getinfo(member).file_size} bytes shipped")
        if symbol_count(archive.read(member)) != 0:
            problems.append(f"{member} still carries symbols")
        if symbol_count(path.read_bytes()) == 0:
            problems.append(f"the build's {path.name} has no symbols left for crash reports")
    if top + "Quorvane.exe" in names and archive.read(top + "Quorvane.exe")[:2] != b"MZ":
        problems.append("Quorvane.exe is not a Windows program")
    if top + "help.html" in names and b"<html" not in archive.read(top + "help.html"):
        problems.append("help.html is not a page")

for problem in problems:
    print(problem)
print("zip contents: " + ("FAILED" if problems else "ok"))
sys.exit(1 if problems else 0)
