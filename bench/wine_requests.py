#!/usr/bin/python3
"""Wine server requests per signed file, for the desktop batch and for quorvane-cli.exe.

Every request a Windows program makes of Wine (opening a file, asking the mount manager for a
volume's serial number, a message between threads) is a round trip to the wineserver, which
is single-threaded and shared by every process of the session. This runs
`desktop_bench.exe --requests FILES` under a wineserver started with -d1, whose trace names
each request, and counts the requests between the marks the program leaves around a batch of
one file and one of FILES on each side (the desktop program in-process; quorvane-cli.exe with
--files-from, its whole process). Requests per file is the difference of the two batches over
the files added: what one more file costs, without the start of a process or a window. The
figures count every process of the session (the mount manager's included).

    wine_requests.py BUILD [FILES]      (BUILD: build/windows; FILES: 200 unless given)

It ends the build's Wine session first (its server must be one started with -d1): run nothing
else under that build's Wine meanwhile.

Fails (status 1) when a run fails, a mark is missing, or a side needs more than the aim.
"""
import collections
import os
import re
import subprocess
import sys
import tempfile

AIM = 40
SERVER = "/usr/lib/wine/wineserver64"
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
REQUEST = re.compile(r"^[0-9a-f]{4}: ([a-z_0-9]+)\( ")
MARK = re.compile(r'name=L"quorvane-requests (\S+ \d+) (begin|end)"')


def fail(why):
    sys.exit("wine_requests: %s: no figures" % why)


def count_marked(trace):
    """Requests between each pair of marks, by the mark's label; and by request, per label."""
    counts, kinds, open_labels = {}, {}, set()
    for line in trace:
        mark = MARK.search(line)
        if mark and REQUEST.match(line):
            label, where = mark.groups()
            if where == "begin":
                open_labels.add(label)
                counts[label] = 0
                kinds[label] = collections.Counter()
            else:
                open_labels.discard(label)
            continue
        request = REQUEST.match(line)
        if request:
            for label in open_labels:
                counts[label] += 1
                kinds[label][request.group(1)] += 1
    if open_labels:
        fail("no end mark for " + ", ".join(sorted(open_labels)))
    return counts, kinds


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    files = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    bench = os.path.join(build, "bench", "desktop_bench.exe")
    wine_run = os.path.join(ROOT, "scripts", "wine-run")
    if not os.path.exists(bench):
        fail("no %s: build the target desktop_bench" % bench)
    env = dict(os.environ, WINEPREFIX=os.path.join(build, "wine", "prefix"), WINEARCH="win64",
               WINEDEBUG="-all", LC_ALL="C.UTF-8")
    # The build's Wine session, its prefix and display ready; then its server ended, so that
    # the next one is ours.
    subprocess.run([wine_run, os.path.join(build, "cli", "quorvane-cli.exe"), "--version"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run([SERVER, "-k"], env=env, stderr=subprocess.DEVNULL)
    subprocess.run([SERVER, "-w"], env=env, check=True)

    with tempfile.TemporaryFile("w+", errors="replace") as trace:
        server = subprocess.Popen([SERVER, "-f", "-d1", "-p2"], env=env, stderr=trace)
        try:
            run = subprocess.run([wine_run, bench, "--requests", str(files)],
                                 stdout=subprocess.PIPE, text=True)
            sys.stdout.write(run.stdout)
            if run.returncode != 0:
                fail("desktop_bench.exe --requests exited with status %d" % run.returncode)
            # The server ends on its own once the session's last process has.
            server.wait(timeout=120)
        finally:
            if server.poll() is None:
                subprocess.run([SERVER, "-k"], env=env)
                server.wait()
        trace.seek(0)
        counts, kinds = count_marked(trace)

    print("Wine server requests (wineserver -d1), %d files of 100 B to 20 KB" % files)
    over = []
    for side in ("desktop", "cli"):
        one, many = "%s 1" % side, "%s %d" % (side, files)
        if one not in counts or many not in counts:
            fail("no marks for %s" % side)
        per_file = (counts[many] - counts[one]) / (files - 1)
        name = "desktop batch" if side == "desktop" else "quorvane-cli.exe"
        print("%-18s %7.1f per file (aim: at most %d); batch of 1: %d, of %d: %d, %.1f per file"
              % (name, per_file, AIM, counts[one], files, counts[many], counts[many] / files))
        growth = kinds[many] - kinds[one]
        print("    most per file: " + ", ".join(
            "%s %.1f" % (request, number / (files - 1))
            for request, number in growth.most_common(6)))
        if per_file > AIM:
            over.append(name)
    if over:
        sys.exit("wine_requests: over the aim of %d requests per file: %s" % (AIM, ", ".join(over)))


if __name__ == "__main__":
    main()
