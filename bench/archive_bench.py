#!/usr/bin/python3
"""Benchmarks beyond one machine, each against a reference run in the same script, each side's
median of several runs:

  stream   quorvane-cli sign - --out - in a pipe of 1 GiB, against cat in the same pipe
  python   quorvane.sign on 2,000 small files, one call each, against quorvane-cli sign of
           the same files in one process (--jobs 1)
  dask     python3 -m quorvane.cluster on a scheduler and two workers of this machine, against
           quorvane-cli sign -r --jobs 2, on a tree of 5,000 small files
  bytes    quorvane.sign_bytes of 200 MB in memory, against `data + trailer` in Python (the
           least any signing in memory costs: one new object holding both)

Every run of either side must succeed (every command of a pipe exits with status 0) and leave
what it should (every output counted, streams measured, texts read back), or the benchmark
stops with an error instead of figures.

    archive_bench.py BUILD [stream|python|dask|bytes]...      (BUILD: build/native)
"""
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

BUILD = os.path.abspath(sys.argv[1])
CLI = os.path.join(BUILD, "cli", "quorvane-cli")
sys.path.insert(0, os.path.join(BUILD, "python"))
import quorvane  # noqa: E402

RUNS = 5


class Failed(Exception):
    pass


def median_seconds(run, prepare=None, check=None, runs=RUNS):
    """The median seconds of `run`; `check(result)`, untimed, raises Failed when the run left
    other results than it should."""
    times = []
    for _ in range(runs):
        if prepare:
            prepare()
        os.sync()
        start = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - start)
        if check:
            check(result)
    return statistics.median(times)


def expect(what, found, wanted):
    if found != wanted:
        raise Failed("%s: %r, not %r" % (what, found, wanted))


def files_in(folder):
    return sum(len(names) for _, _, names in os.walk(folder))


def row(name, ours, reference_name, reference):
    print("| %s | %.3f s | %s: %.3f s | %.2f |" % (name, ours, reference_name, reference,
                                                   ours / reference))


def shell(command):
    """Runs `command` through bash; fails unless every command of its pipes exits with 0.
    Its output, as text."""
    return subprocess.run(["/bin/bash", "-o", "pipefail", "-c", command], check=True,
                          stdout=subprocess.PIPE, text=True).stdout


def stream(work):
    big = os.path.join(work, "big.bin")
    with open(big, "wb") as f:
        block = os.urandom(1 << 20)
        for _ in range(1024):
            f.write(block)
    size = 1 << 30
    signed_size = size + len(quorvane.trailer("T", 0))
    ours = median_seconds(
        lambda: shell("cat %s | %s sign --text T - --out - 2>/dev/null | wc -c" % (big, CLI)),
        check=lambda out: expect("bytes out of sign", int(out), signed_size))
    reference = median_seconds(lambda: shell("cat %s | cat | wc -c" % big),
                               check=lambda out: expect("bytes out of cat", int(out), size))
    row("`quorvane-cli sign - --out -` in a pipe of 1 GiB", ours, "`cat` in its place", reference)
    signed = big + ".signed"
    shell("%s sign --text T - --out - <%s >%s 2>/dev/null" % (CLI, big, signed))
    ours = median_seconds(lambda: shell("cat %s | %s check -" % (signed, CLI)),
                          check=lambda out: expect("text found by check", out.strip(), "T"))
    reference = median_seconds(lambda: shell("cat %s | cat >/dev/null" % signed))
    row("`quorvane-cli check -` of a signed pipe of 1 GiB", ours, "`cat` in its place", reference)
    os.remove(big)
    os.remove(signed)


def small_files(folder, count):
    os.makedirs(folder)
    names = []
    for number in range(count):
        name = os.path.join(folder, "f%05d.txt" % number)
        with open(name, "wb") as f:
            f.write(os.urandom(100 + number % 4000))
        names.append(name)
    return names


def python(work):
    names = small_files(os.path.join(work, "small"), 2000)
    out = os.path.join(work, "out")

    def fresh():
        shutil.rmtree(out, ignore_errors=True)
        os.mkdir(out)

    def module():
        for name in names:
            quorvane.sign(name, os.path.join(out, os.path.basename(name) + ".signed"), "T")

    def batch():
        return quorvane.sign_batch(names, out, "T", jobs=1)[0]

    def every_output(_=None):
        expect("outputs", files_in(out), len(names))

    listed = os.path.join(work, "files.txt")
    with open(listed, "w") as f:
        f.write("".join(name + "\n" for name in names))
    reference = median_seconds(lambda: subprocess.run(
        [CLI, "sign", "--jobs", "1", "--text", "T", "--out", out, "--files-from", listed],
        check=True, stderr=subprocess.DEVNULL), fresh, every_output)
    row("Python `quorvane.sign` on 2,000 small files, one call each",
        median_seconds(module, fresh, every_output), "`quorvane-cli sign --jobs 1` of them",
        reference)

    def batch_signed_all(count):
        expect("files signed by sign_batch", count, len(names))
        every_output()
    row("Python `quorvane.sign_batch` of the same files",
        median_seconds(batch, fresh, batch_signed_all), "`quorvane-cli sign --jobs 1` of them",
        reference)


def scheduler_address(path):
    """The address in the scheduler's file, or None until it has written it whole."""
    try:
        with open(path) as f:
            return json.load(f)["address"]
    except (OSError, ValueError, KeyError):
        return None


def dask(work):
    tree = os.path.join(work, "tree")
    for folder in range(50):
        small_files(os.path.join(tree, "d%02d" % folder), 100)
    out = os.path.join(work, "out")
    scheduler_file = os.path.join(work, "scheduler.json")
    logs = open(os.path.join(work, "cluster.log"), "wb")
    env = dict(os.environ, PYTHONPATH=os.path.join(BUILD, "python"))
    processes = [subprocess.Popen(
        ["/usr/bin/dask", "scheduler", "--host", "127.0.0.1", "--port", "0",
         "--dashboard-address", "127.0.0.1:0", "--scheduler-file", scheduler_file],
        stdout=logs, stderr=logs)]
    try:
        for _ in range(2):
            processes.append(subprocess.Popen(
                ["/usr/bin/dask", "worker", "--scheduler-file", scheduler_file, "--nthreads", "1",
                 "--no-nanny", "--no-dashboard", "--host", "127.0.0.1"],
                stdout=logs, stderr=logs, env=env))
        address = None
        while address is None:
            time.sleep(0.05)
            address = scheduler_address(scheduler_file)
        from distributed import Client
        with Client(address) as client:
            client.wait_for_workers(2, timeout=120)

        def fresh():
            shutil.rmtree(out, ignore_errors=True)
            os.mkdir(out)

        def every_output(_):
            expect("outputs", files_in(out), 5000)
        ours = median_seconds(lambda: subprocess.run(
            [sys.executable, "-m", "quorvane.cluster", "sign", "-r", "--scheduler", address,
             "--text", "T", "--out", out, "--batch", "250", tree], check=True,
            stderr=subprocess.DEVNULL, env=env), fresh, every_output)
        reference = median_seconds(lambda: subprocess.run(
            [CLI, "sign", "-r", "--jobs", "2", "--text", "T", "--out", out, tree], check=True,
            stderr=subprocess.DEVNULL), fresh, every_output)
        row("`python3 -m quorvane.cluster sign -r`, two workers, on 5,000 small files (chunks of "
            "250)", ours,
            "`quorvane-cli sign -r --jobs 2` of them", reference)
    finally:
        for process in processes:
            process.terminate()
            process.wait()
        logs.close()


def bytes_in_memory(work):
    data = os.urandom(200 << 20)
    trailer = quorvane.trailer("© 2026 Ada Example", 0)
    # What is timed gives what it should: the data, then a trailer carrying the text.
    signed = quorvane.sign_bytes(data, "© 2026 Ada Example")
    if signed[:len(data)] != data or quorvane.read_trailer(signed[len(data):]) != \
            "© 2026 Ada Example" or len(signed) != len(data) + len(trailer):
        raise SystemExit("sign_bytes gave other bytes")
    del signed
    ours = median_seconds(lambda: quorvane.sign_bytes(data, "© 2026 Ada Example"))
    reference = median_seconds(lambda: data + trailer)
    row("Python `quorvane.sign_bytes` of 200 MB", ours, "`data + trailer` in Python", reference)


def main():
    chosen = sys.argv[2:] or ["stream", "python", "dask", "bytes"]
    print("| Benchmark | Ours | Reference | Ratio |\n|---|---|---|---|")
    for name in chosen:
        with tempfile.TemporaryDirectory(dir=os.environ.get("QUORVANE_BENCH_DIR")) as work:
            try:
                globals()["bytes_in_memory" if name == "bytes" else name](work)
            except (Failed, subprocess.CalledProcessError) as failure:
                sys.exit("archive_bench: %s: %s: no figures" % (name, failure))


if __name__ == "__main__":
    main()
