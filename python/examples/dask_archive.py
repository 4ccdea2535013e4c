#!/usr/bin/python3
"""Signs, then checks, trees of files on a Dask `distributed` cluster, one task per part.

    dask_archive.py sign (--scheduler ADDRESS | --scheduler-file FILE | --local THREADS)
                    (--text TEXT | --text-file FILE) --out DIR
                    [--existing replace|keep] [-L] [--batch N] [--jobs N] PATH...
    dask_archive.py check (--scheduler ADDRESS | --scheduler-file FILE | --local THREADS)
                    [-L] [--batch N] [--jobs N] PATH...

`sign` does what `quorvane-cli sign --force -r --out DIR PATH...` does (`--existing keep`: with
--no-clobber instead of --force): the same copies, and on standard error the same lines in the
same order (what the folder walk skipped, each file refused or failed and why, the summary),
with the same exit status. The scheduler is reached at its address, or through the file that
`dask scheduler --scheduler-file FILE` writes (waited for up to a minute); Dask's security
settings (TLS and its certificates) come from Dask's configuration. `--local THREADS` starts a
cluster of its own instead (local_cluster): THREADS worker threads in this process, reached over
TLS with credentials that only this process holds, on the loopback address alone. A PATH that
is a folder stands for the regular files below it; any other PATH for itself. Links below it are
reported and not followed, unless -L (--follow-links), as with quorvane-cli. `check` prints on
standard output what `quorvane-cli check --json -r PATH...` prints, line for line, with its exit
status. Usage errors give quorvane-cli's message, then this usage, and exit status 2.

The client walks the trees and plans every copy before any task runs (quorvane.plan_sign_batch):
sources that would share a copy (folders of one name in two trees) run in one task, in their
order, so the later one is refused as quorvane-cli refuses it and no copy replaces another. Each
task signs its part with the engine of quorvane-cli (quorvane.sign_batch); each copy gets its
name only once complete. When a worker dies, Dask runs its tasks again on another: the copies
the lost attempt made are replaced by whole new ones (or kept, with --existing keep), so no file
is lost and none is left half-written. Paths are made absolute, as the workers run elsewhere;
they must see the files under the same paths.
"""
import argparse
import json
import logging
import os
import sys
import time

import quorvane

USAGE = __doc__.split("\n\n")[1]


class UsageError(Exception):
    """A problem with the command line: quorvane-cli's words for it."""


def say(line, stream):
    """One line on `stream` as quorvane-cli writes it: the bytes of the paths it names as the
    file system holds them."""
    stream.buffer.write(os.fsencode(line) + b"\n")
    stream.buffer.flush()


def sign_part(items, out, text, existing, jobs):
    """One task: signs `items` ((path, subfolder) pairs) into `out`; the lines of its items (a
    file refused or failed, a warning about a file's kind), each with the item's place in
    `items` and its status."""
    count, messages = quorvane.sign_batch(items, out, text, existing=existing, jobs=jobs)
    return count, [message for message in messages if message[0] >= 0]


def check_part(paths, jobs):
    """One task: quorvane-cli check --json's line for each path, and whether it is signed."""
    return [(found.json_line, found.text is not None)
            for found in quorvane.check_batch(paths, jobs=jobs)]


def parts(items, size):
    return [items[i:i + size] for i in range(0, len(items), size)]


def read_text_file(name):
    """The text in a --text-file (- for standard input), as quorvane-cli reads it."""
    shown = "standard input" if name == "-" else name
    try:
        if name == "-":
            data = sys.stdin.buffer.read(quorvane.MAX_TEXT_FILE_BYTES + 1)
        else:
            with open(name, "rb") as f:
                data = f.read(quorvane.MAX_TEXT_FILE_BYTES + 1)
    except OSError as error:
        raise UsageError("cannot read the text from %s: %s" % (shown, error.strerror)) from None
    if len(data) > quorvane.MAX_TEXT_FILE_BYTES:
        raise UsageError("the text in %s is longer than %d UTF-16 code units"
                         % (shown, quorvane.MAX_TEXT_UNITS))
    try:
        return quorvane.text_from_file_bytes(data)
    except quorvane.TextError as error:
        raise UsageError("cannot read the text from %s: %s" % (shown, error)) from None


def text_to_sign(args):
    """The text as quorvane-cli stores it: line breaks as CR LF, 1 to 32767 UTF-16 code units."""
    if args.text is not None:
        try:
            text = os.fsencode(args.text).decode("utf-8")
        except UnicodeDecodeError:
            raise UsageError("the text is not valid UTF-8") from None
    else:
        text = read_text_file(args.text_file)
    try:
        return quorvane.text_to_sign(text)
    except quorvane.TextError as problem:
        raise UsageError(str(problem)) from None


def sign(client, args):
    text = args.signature
    # The paths as quorvane-cli sign -r takes them, what the walk skips reported at once.
    items, skipped = [], False
    for path in args.paths:
        found, problems = quorvane.list_sign_items(path, args.out,
                                                   follow_links=args.follow_links)
        items += found
        for line in problems:
            say("quorvane-cli: " + line, sys.stderr)
            skipped = True
    existing = quorvane.REPLACE if args.existing == "replace" else quorvane.KEEP_QUIETLY
    # The engine's own test of the output folder, before any task: an empty batch.
    try:
        quorvane.sign_batch([], args.out, text, existing=existing)
    except quorvane.WriteError as error:
        say(str(error), sys.stderr)
        return 2
    plan = quorvane.plan_sign_batch(items, args.out, args.batch)
    futures = client.map(sign_part, [[items[i] for i in part] for part in plan.parts],
                         out=args.out, text=text, existing=existing, jobs=args.jobs, pure=False)
    # The lines of every part, back in the order of the items.
    lines = []
    signed = 0
    for part, future in zip(plan.parts, futures):
        count, reported = future.result()
        signed += count
        lines += [(part[index], order, status, line)
                  for order, (index, status, line) in enumerate(reported)]
    for _index, _order, _status, line in sorted(lines):
        say(line, sys.stderr)
    say(quorvane.summary(signed), sys.stderr)
    failed = any(status != quorvane.OK for _, _, status, _ in lines)
    return 1 if failed or skipped else 0


def check(client, args):
    # The entries as quorvane-cli check -r takes them: the files go to the workers, and what
    # cannot be checked (a FIFO, a folder that cannot be listed, a link) keeps its
    # line and its place.
    entries = []
    for path in args.paths:
        entries += quorvane.list_check_entries(path, follow_links=args.follow_links)
    paths = [path for path, line in entries if line is None]
    futures = client.map(check_part, parts(paths, args.batch), jobs=args.jobs, pure=False)
    checked = (result for future in futures for result in future.result())
    all_signed = True
    for _path, line in entries:
        signed = False
        if line is None:
            line, signed = next(checked)
        say(line, sys.stdout)
        all_signed = all_signed and signed
    return 0 if all_signed else 1


def number(value, name, most, what):
    """A count option's value, refused in quorvane-cli's words."""
    if not value.isdigit() or not 1 <= int(value) <= most:
        raise UsageError("%s takes a number of %s from 1 to %d" % (name, what, most))
    return int(value)


def local_cluster(threads):
    """A Dask cluster in this process with `threads` worker threads. Its scheduler, its
    dashboard and its worker's HTTP server listen on the loopback address alone (Dask puts the
    dashboards on every interface unless told otherwise, whatever the scheduler's host), and
    every connection needs TLS with the temporary credentials that security=True makes: other
    users of this machine reach 127.0.0.1 too, and a scheduler runs what it is sent."""
    from distributed import LocalCluster
    return LocalCluster(n_workers=1, threads_per_worker=threads, processes=False,
                        host="127.0.0.1", dashboard_address="127.0.0.1:0",
                        worker_dashboard_address="127.0.0.1:0", security=True)


def scheduler_written(name):
    """True once `name` holds the scheduler's address, whole."""
    try:
        with open(name) as f:
            return "address" in json.load(f)
    except (OSError, ValueError):
        return False


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(message)


def main():
    parser = Parser(usage=USAGE, add_help=False)
    parser.add_argument("command", choices=["sign", "check"])
    parser.add_argument("--scheduler", help="the scheduler's address")
    parser.add_argument("--scheduler-file", help="the file the scheduler wrote")
    parser.add_argument("--local", help="worker threads of a cluster of its own")
    parser.add_argument("--text")
    parser.add_argument("--text-file")
    parser.add_argument("--out")
    parser.add_argument("--existing", choices=["replace", "keep"], default="replace")
    parser.add_argument("-L", "--follow-links", action="store_true")
    parser.add_argument("--batch", default="500", help="files per task")
    parser.add_argument("--jobs", default="1", help="files at once within a task")
    parser.add_argument("paths", nargs="*")
    try:
        args = parser.parse_intermixed_args()
        if [args.scheduler, args.scheduler_file, args.local].count(None) != 2:
            raise UsageError("give the scheduler with one of --scheduler, --scheduler-file and "
                             "--local")
        if args.command == "sign":
            if (args.text is None) == (args.text_file is None):
                raise UsageError("give the signature with one of --text and --text-file")
            if args.out is None:
                raise UsageError("give the output folder with --out")
        args.jobs = number(args.jobs, "--jobs", quorvane.MAX_JOBS, "files")
        args.batch = number(args.batch, "--batch", 10 ** 9, "files")
        if args.local is not None:
            args.local = number(args.local, "--local", 64, "threads")
        if not args.paths:
            raise UsageError("give the files to %s" % args.command)
        if args.command == "sign":
            args.signature = text_to_sign(args)
    except UsageError as problem:
        say("quorvane-cli: %s" % problem, sys.stderr)
        sys.stderr.write("usage: " + USAGE.strip() + "\n")
        return 2
    # The workers run in folders of their own: every path they see is absolute, and the report
    # names files as quorvane-cli does when given the same absolute paths.
    # Joined to the current folder, not normalised: "x/.." stays what quorvane-cli takes it for.
    args.paths = [os.path.join(os.getcwd(), path) for path in args.paths]
    if args.out is not None:
        args.out = os.path.join(os.getcwd(), args.out)
    # The report on standard error is quorvane-cli's, line for line: Dask's notes on the tasks
    # it runs again (a worker lost) are its own business, and only its errors show. Dask's own
    # loggers below "distributed" set their levels themselves: the handlers it writes to
    # standard error through (made when it is imported) are what takes only errors.
    from distributed import Client
    for handler in logging.getLogger("distributed").handlers + logging.getLogger().handlers:
        handler.setLevel(logging.ERROR)
    # A comm that Dask's client times out while it closes leaves asyncio a future whose error
    # no one asked for ("Future exception was never retrieved"): Dask's business, not the run's.
    logging.getLogger("asyncio").setLevel(logging.CRITICAL)
    if args.scheduler_file is not None:
        # A scheduler just started writes its file when it listens.
        deadline = time.monotonic() + 60
        while not scheduler_written(args.scheduler_file) and time.monotonic() < deadline:
            time.sleep(0.1)
    run = sign if args.command == "sign" else check
    if args.local is not None:
        # The client takes the cluster's credentials from the cluster.
        with local_cluster(args.local) as cluster, Client(cluster) as client:
            return run(client, args)
    with Client(args.scheduler, scheduler_file=args.scheduler_file) as client:
        return run(client, args)


if __name__ == "__main__":
    sys.exit(main())
