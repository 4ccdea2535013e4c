#!/usr/bin/python3
"""Memory and the first copy of runs over many files: quorvane-cli against cp on the same tree.

For each size (files of one byte, a thousand to a folder):
  sign -r          the peak resident memory of `quorvane-cli sign -r` of the tree, against
                   that of `cp -r`; and the seconds from the start to the first copy, against
                   cp -r's to its first
  sign --files-from  the same files listed (find's order), against the same cp -r
  check -r         of the signed copies, against the same cp -r
  strip --files-from of the signed copies (into one folder, so that all but the first of each
                   name are kept as written earlier in the run), against the same cp -r

Every run must exit with status 0 and leave every output: the copies are counted, and
`check -r` of them must find every one signed (its JSON lines counted), or the benchmark stops
with an error instead of figures. It writes into QUORVANE_BENCH_DIR (default: the system's
temporary folder); a million files take some 8 GB there, so a tmpfs is best.

    memory_bench.py BUILD [FILES...]        (BUILD: build/native; FILES: 100000 1000000)
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

BUILD = os.path.abspath(sys.argv[1])
CLI = os.path.join(BUILD, "cli", "quorvane-cli")
SIZES = [int(n) for n in sys.argv[2:]] or [100000, 1000000]
PER_FOLDER = 1000


class Failed(Exception):
    pass


def make_tree(root, count):
    """`count` files of one byte in folders of PER_FOLDER; the path of the first in order."""
    for folder in range((count + PER_FOLDER - 1) // PER_FOLDER):
        path = os.path.join(root, "d%04d" % folder)
        os.mkdir(path)
        for i in range(min(PER_FOLDER, count - folder * PER_FOLDER)):
            with open(os.path.join(path, "f%04d.bin" % i), "wb") as f:
                f.write(b"x")


def count_files(root):
    return sum(len(files) for _, _, files in os.walk(root))


def peak_run(args, first=None, stdout=subprocess.DEVNULL):
    """Runs `args` alone under GNU time; its exit status, peak resident KiB, the seconds until
    `first` exists (None when not asked), its output and its errors."""
    with tempfile.NamedTemporaryFile() as measured:
        start = time.perf_counter()
        process = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", measured.name] + args,
                                   stdout=stdout, stderr=subprocess.PIPE)
        seen = None
        while first is not None and seen is None and process.poll() is None:
            if os.path.exists(first):
                seen = time.perf_counter() - start
            else:
                time.sleep(0.002)
        if first is not None and seen is None and os.path.exists(first):
            seen = time.perf_counter() - start
        out, err = process.communicate()
        peak = int(open(measured.name).read().split()[-1])
    return process.returncode, peak, seen, out, err


def expect(what, found, wanted):
    if found != wanted:
        raise Failed("%s: %r, not %r" % (what, found, wanted))


def mib(kib):
    return "%.1f MiB" % (kib / 1024)


def bench(base, count):
    tree, copies, out = (os.path.join(base, n) for n in ("tree", "cp", "out"))
    os.mkdir(tree)
    make_tree(tree, count)
    first_source = "d0000/f0000.bin"
    # cp -r first: the reference of every row.
    status, cp_peak, cp_first, _, err = peak_run(
        ["cp", "-r", tree, copies], os.path.join(copies, first_source))
    expect("cp -r status " + err.decode(errors="replace"), status, 0)
    expect("cp -r copies", count_files(copies), count)
    shutil.rmtree(copies)
    rows = []

    os.mkdir(out)
    status, peak, first, _, err = peak_run(
        [CLI, "sign", "--text", "x", "-r", "--out", out, tree],
        os.path.join(out, "tree", "d0000", "f0000_signed.bin"))
    expect("sign -r status " + err.decode(errors="replace")[-300:], status, 0)
    expect("sign -r copies", count_files(out), count)
    rows.append(("`quorvane-cli sign -r`", peak, first))

    status, peak, _, lines, err = peak_run([CLI, "check", "--json", "-r", out],
                                           stdout=subprocess.PIPE)
    expect("check -r status " + err.decode(errors="replace")[-300:], status, 0)
    expect("check -r signed", lines.count(b'"signed": true'), count)
    rows.append(("`quorvane-cli check -r` of the copies", peak, None))

    listed = os.path.join(base, "list")
    with open(listed, "wb") as f:
        for folder, _, files in os.walk(out):
            for name in sorted(files):
                f.write(os.path.join(folder, name).encode() + b"\0")
    back = os.path.join(base, "back")
    os.mkdir(back)
    status, peak, _, _, err = peak_run(
        [CLI, "strip", "--out", back, "--files-from", listed, "-0"])
    # Into one folder: each name is stripped once, every later file of that name is kept.
    expect("strip status", status, 1)
    expect("strip kept", err.count(b"earlier in this run, kept"), count - PER_FOLDER)
    expect("strip outputs", count_files(back), PER_FOLDER)
    rows.append(("`quorvane-cli strip --files-from` of the copies", peak, None))
    shutil.rmtree(back)
    shutil.rmtree(out)

    with open(listed, "wb") as f:
        for folder, _, files in os.walk(tree):
            for name in sorted(files):
                f.write(os.path.join(folder, name).encode() + b"\n")
    os.mkdir(out)
    status, peak, first, _, err = peak_run(
        [CLI, "sign", "--text", "x", "--out", out, "--files-from", listed],
        os.path.join(out, "f0000_signed.bin"))
    # Every folder holds an f0000.bin: all but the first are refused as written earlier in
    # the run, each with its message.
    expect("sign --files-from status", status, 1)
    expect("sign --files-from refused", err.count(b"earlier in this run"), count - PER_FOLDER)
    expect("sign --files-from copies", count_files(out), PER_FOLDER)
    rows.append(("`quorvane-cli sign --files-from`", peak, first))
    shutil.rmtree(out)
    shutil.rmtree(tree)
    os.remove(listed)

    for what, peak, first in rows:
        print("| %s of %s one-byte files | %s%s | `cp -r` of the tree: %s%s | %.2f |" % (
            what, format(count, ","), mib(peak),
            "" if first is None else ", first copy after %.3f s" % first,
            mib(cp_peak), "" if first is None else ", first copy after %.3f s" % cp_first,
            peak / cp_peak))
    sys.stdout.flush()


def main():
    if not os.access(CLI, os.X_OK):
        sys.exit("no quorvane-cli in %s: build it first" % BUILD)
    status = 0
    for count in SIZES:
        base = tempfile.mkdtemp(prefix="quorvane-memory-",
                                dir=os.environ.get("QUORVANE_BENCH_DIR"))
        try:
            bench(base, count)
        except Failed as failure:
            print("| %s files | error: %s |" % (format(count, ","), failure))
            status = 1
        finally:
            shutil.rmtree(base, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
