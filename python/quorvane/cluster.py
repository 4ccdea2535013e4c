"""quorvane-cli's sign, check and strip on a Dask cluster.

    python3 -m quorvane.cluster sign (--text TEXT | --text-file FILE) --out DIR
        [--force | --no-clobber] [-r [-L]] [--skip-kinds] [--files-from LIST [-0]] [CLUSTER] PATH...
    python3 -m quorvane.cluster check --json [-r [-L]] [--files-from LIST [-0]] [CLUSTER] PATH...
    python3 -m quorvane.cluster strip --out DIR [--force | --no-clobber]
        [--files-from LIST [-0]] [CLUSTER] PATH...
    CLUSTER: [--scheduler ADDRESS | --scheduler-file FILE] [--jobs N] [--batch N]
             [--in-flight N] [--progress | --no-progress]

Each command does what quorvane-cli's does with the same options, with its lines on standard
output and error, in its order, and its exit status. The files are signed, checked or stripped
by the workers of the Dask scheduler at ADDRESS, or the one whose FILE `dask scheduler
--scheduler-file FILE` writes (waited for); Dask's security settings, TLS and its certificates,
come from Dask's configuration. Without either, a cluster of this process's own on the loopback
address does the work, reached over TLS with credentials only this process holds. Workers must
see the files under the same paths: with a scheduler, paths are made absolute (joined to the
current folder) and the lines name them so.

The client walks the PATHs and reads the LIST lazily, and hands the files to the workers in
chunks of --batch files (500), at most --in-flight chunks (8) at once, each task reading --jobs
files at once (1). An output written earlier in the run is never replaced, whichever chunks
the two files fall in; when a worker is lost, Dask runs its chunk again, and the copies the
lost attempt committed count as done. With a terminal as standard error, or --progress, a
progress bar of the chunks shows on standard error; a pipe or a file gets only the lines.
check prints quorvane-cli check --json's lines (--json is required); --out - and the PATH - are
quorvane-cli's own.
"""
import os
import sys
import time

import quorvane
from . import _cluster_run as run
from . import _quorvane, _walk_flags

USAGE = __doc__.split("\n\n")[1]
PROGRAM = "quorvane-cli"
# Options per command: flags, and options with a value (quorvane-cli's, then the cluster's).
FLAGS = {
    "sign": ["--force", "--no-clobber", "-r", "--recursive", "-L", "--follow-links",
             "--skip-kinds", "--progress", "--no-progress", "-0", "--null"],
    "check": ["--json", "-r", "--recursive", "-L", "--follow-links", "--progress",
              "--no-progress", "-0", "--null"],
    "strip": ["--force", "--no-clobber", "--progress", "--no-progress", "-0", "--null"],
}
CLUSTER_VALUED = ["--jobs", "--files-from", "--scheduler", "--scheduler-file", "--batch",
                  "--in-flight"]
VALUED = {"sign": ["--text", "--text-file", "--out"] + CLUSTER_VALUED,
          "check": CLUSTER_VALUED, "strip": ["--out"] + CLUSTER_VALUED}
# quorvane-cli's limits on a list of files.
LONGEST_PATH, LONGEST_PATH_TEXT = 4096, "4096 bytes"
MOST_LIST_BYTES = 1 << 30


def usage():
    return "usage:" + USAGE[3:] + "\n"


class UsageError(Exception):
    """A problem with the command line, in quorvane-cli's words."""


class OutputFailed(Exception):
    """Standard output cannot take the lines: the run ends, as quorvane-cli's does."""


def say(line, stream):
    """One line on `stream` as quorvane-cli writes it: the bytes of the paths it names as the
    file system holds them. On standard error a broken pipe stops the messages and the work
    goes on; standard output that fails ends the run (OutputFailed)."""
    try:
        stream.buffer.write(os.fsencode(line) + b"\n")
        stream.buffer.flush()
    except OSError as error:
        if stream is sys.stdout:
            raise OutputFailed(error.strerror) from None


class Args:
    """The command line, parsed as quorvane-cli parses it."""

    def __init__(self, command, argv):
        self.command, self.options, self.operands = command, {}, []
        flags, valued = FLAGS[command], VALUED[command]
        ended, i = False, 0
        while i < len(argv):
            text = argv[i]
            i += 1
            if ended or len(text) < 2 or not text.startswith("-"):
                self.operands.append(text)
                continue
            if text == "--":
                ended = True
                continue
            name, equals, value = text.partition("=")
            if name in flags and not equals:
                self.options.setdefault(name, []).append(None)
            elif name in valued:
                if not equals:
                    if i == len(argv):
                        raise UsageError("option %s needs a value" % name)
                    value, i = argv[i], i + 1
                self.options.setdefault(name, []).append(value)
            else:
                raise UsageError("unknown option %s" % text)
        for name in valued:
            if len(self.options.get(name, [])) > 1:
                raise UsageError("option %s given twice" % name)
        if self.has("-0", "--null") and not self.has("--files-from"):
            raise UsageError("-0 goes with --files-from")
        if self.has("-L", "--follow-links") and not self.has("-r", "--recursive"):
            raise UsageError("-L goes with -r")
        if self.value("--files-from") == "-" and self.value("--text-file") == "-":
            raise UsageError("standard input cannot give both the text and the list of files")
        if self.has("--progress") and self.has("--no-progress"):
            raise UsageError("--progress and --no-progress exclude each other")

    def has(self, *names):
        return any(name in self.options for name in names)

    def value(self, name, default=None):
        return self.options.get(name, [default])[0]

    def number(self, name, default, most, what):
        value = self.value(name, str(default))
        if not value.isdigit() or not 1 <= int(value) <= most:
            raise UsageError("%s takes a number of %s from 1 to %d" % (name, what, most))
        return int(value)


def listed_paths(name, nul):
    """The paths in the list `name` (- for standard input), read lazily a block at a time, as
    quorvane-cli reads --files-from; UsageError for a list it refuses."""
    shown = "standard input" if name == "-" else name
    try:
        stream = sys.stdin.buffer if name == "-" else open(name, "rb")
    except OSError as error:
        raise UsageError("cannot read the list of files from %s: %s"
                         % (shown, error.strerror)) from None
    separator = b"\0" if nul else b"\n"
    entry, total = b"", 0
    try:
        while True:
            try:
                block = stream.read(64 << 10)
            except OSError as error:
                raise UsageError("cannot read the list of files from %s: %s"
                                 % (shown, error.strerror)) from None
            total += len(block)
            if total > MOST_LIST_BYTES:
                raise UsageError("the list of files from %s is longer than 1 GiB" % shown)
            if not nul and b"\0" in block:
                raise UsageError("the list of files from %s holds a NUL byte; give -0 for a "
                                 "list separated by NUL bytes" % shown)
            parts = (entry + block).split(separator) if block else [entry]
            entry = parts.pop() if block else b""
            if len(entry) > LONGEST_PATH or any(len(p) > LONGEST_PATH for p in parts):
                raise UsageError("an entry of the list of files from %s is longer than the "
                                 "longest path (%s)" % (shown, LONGEST_PATH_TEXT))
            for part in parts:
                if part:
                    yield os.fsdecode(part)
            if not block:
                return
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()


def text_to_sign(args):
    """The text as quorvane-cli signs it, or UsageError in its words."""
    name = args.value("--text-file")
    if name is None:
        try:
            text = os.fsencode(args.value("--text")).decode("utf-8")
        except UnicodeDecodeError:
            raise UsageError("the text is not valid UTF-8") from None
    else:
        shown = "standard input" if name == "-" else name
        try:
            if name == "-":
                data = sys.stdin.buffer.read(quorvane.MAX_TEXT_FILE_BYTES + 1)
            else:
                with open(name, "rb") as f:
                    data = f.read(quorvane.MAX_TEXT_FILE_BYTES + 1)
        except OSError as error:
            raise UsageError("cannot read the text from %s: %s" % (shown, error.strerror)) \
                from None
        if len(data) > quorvane.MAX_TEXT_FILE_BYTES:
            raise UsageError("the text in %s is longer than %d UTF-16 code units"
                             % (shown, quorvane.MAX_TEXT_UNITS))
        try:
            text = quorvane.text_from_file_bytes(data)
        except quorvane.TextError as error:
            raise UsageError("cannot read the text from %s: %s" % (shown, error)) from None
    try:
        return quorvane.text_to_sign(text)
    except quorvane.TextError as problem:
        raise UsageError(str(problem)) from None


def operands(args, absolute):
    """The PATHs, then the LIST's, lazily; absolute when the workers run elsewhere."""
    paths = iter(args.operands)
    if args.has("--files-from"):
        paths = _chain(paths, listed_paths(args.value("--files-from"),
                                           args.has("-0", "--null")))
    for path in paths:
        yield os.path.join(os.getcwd(), path) if absolute else path


def _chain(*parts):
    for part in parts:
        yield from part


def prepare(args):
    """quorvane-cli's checks of the command line, in its order, before anything is read."""
    command = args.command
    if command == "sign" and args.has("--text") == args.has("--text-file"):
        raise UsageError("give the signature with one of --text and --text-file")
    if command != "check":
        if not args.has("--out"):
            raise UsageError("give the output folder with --out")
        if args.has("--force") and args.has("--no-clobber"):
            raise UsageError("--force and --no-clobber exclude each other")
        if args.value("--out") == "-":
            raise UsageError("--out - writes one stream: give it to quorvane-cli")
    elif not args.has("--json"):
        raise UsageError("check on a cluster prints check --json's lines: give --json")
    args.jobs = args.number("--jobs", 1, quorvane.MAX_JOBS, "files")
    args.batch = args.number("--batch", 500, 10 ** 6, "files")
    args.in_flight = args.number("--in-flight", 8, 10 ** 4, "chunks")
    if args.value("--files-from") == "-" and "-" in args.operands:
        raise UsageError("standard input cannot hold both the list of files and a file")
    if not args.operands and not args.has("--files-from"):
        raise UsageError("give the files to %s" % command)
    if "-" in args.operands:
        raise UsageError("standard input has no name to %s into a folder: give --out -"
                         % command if command != "check" else
                         "standard input is checked by quorvane-cli, not on a cluster")


def existing_of(args):
    return (quorvane.REPLACE if args.has("--force") else
            quorvane.KEEP_QUIETLY if args.has("--no-clobber") else quorvane.ASK)


def sign(client, args, absolute, progress):
    out = os.path.join(os.getcwd(), args.value("--out")) if absolute else args.value("--out")
    recursive = args.has("-r", "--recursive")
    follow = args.has("-L", "--follow-links")
    # The walk first, as quorvane-cli's: its items to a spool on disk, its lines held back
    # until the list of files is known to be good.
    spool, problems, text_problem = run.Spool(), [], None
    try:
        try:
            text = text_to_sign(args)
        except UsageError as problem:
            text, text_problem = None, problem
        given = 0
        for path in operands(args, absolute):
            given += 1
            # The files straight to the spool: Python never holds them as one list.
            items, found = _quorvane.walk_sign_items(path, out, _walk_flags(follow, recursive))
            # Each problem where quorvane-cli says it: after the files before it.
            problems += [(len(spool) + at, "%s: %s" % (PROGRAM, line)) for at, line in found]
            for source, subfolder in items:
                spool.add(source, subfolder)
        if given == 0:
            raise UsageError("give the files to sign")
        if text_problem is not None:
            raise text_problem
        try:
            quorvane.sign_batch([], out, text)
        except quorvane.WriteError as error:
            say(str(error), sys.stderr)
            return 2
        # The run's start: a retried task's copies from since then are the run's.
        since = time.time()
        existing, skip = existing_of(args), args.has("--skip-kinds")
        count, statuses = run.run_writes(
            client, spool, args.batch, args.in_flight, run.sign_chunk,
            lambda chunk: (chunk, out, text, existing, args.jobs, skip, since),
            lambda chunk: quorvane.plan_sign_batch(chunk, out, len(chunk)).outputs,
            lambda line: say(line, sys.stderr), progress, problems)
    finally:
        spool.close()
    say(quorvane.summary(count), sys.stderr)
    return 1 if problems or any(s != quorvane.OK for s in statuses) else 0


def strip(client, args, absolute, progress):
    out = os.path.join(os.getcwd(), args.value("--out")) if absolute else args.value("--out")
    spool = run.Spool()
    try:
        for path in operands(args, absolute):
            spool.add(path)
        if len(spool) == 0:
            raise UsageError("give the files to strip")
        try:
            quorvane.strip_batch([], out)
        except quorvane.WriteError as error:
            say(str(error), sys.stderr)
            return 2
        since = time.time()
        existing = existing_of(args)
        _count, statuses = run.run_writes(
            client, spool, args.batch, args.in_flight, run.strip_chunk,
            lambda chunk: ([source for source, in chunk], out, existing, args.jobs, since),
            lambda chunk: [quorvane.strip_output(source, out) for source, in chunk],
            lambda line: say("%s: %s" % (PROGRAM, line), sys.stderr), progress)
    finally:
        spool.close()
    return 1 if statuses else 0


def check(client, args, absolute, progress):
    recursive = args.has("-r", "--recursive")
    follow = args.has("-L", "--follow-links")

    # The paths first, as quorvane-cli reads its list whole before anything is checked: on disk.
    spool = run.Spool()

    def entries():
        for (path,) in spool.items():
            yield from _quorvane.walk_check_entries(path, _walk_flags(follow, recursive))
    try:
        for path in operands(args, absolute):
            spool.add(path)
        if len(spool) == 0:
            raise UsageError("give the files to check")
        signed = run.run_check(client, entries(), args.batch, args.in_flight, args.jobs,
                               lambda line: say(line, sys.stdout), progress)
    finally:
        spool.close()
    return 0 if signed else 1


def local_cluster(threads=None):
    """A Dask cluster in this process: its scheduler, its dashboard and its worker's HTTP
    server on the loopback address alone (Dask puts dashboards on every interface unless told
    otherwise), every connection over TLS with the temporary credentials that security=True
    makes: other users of this machine reach 127.0.0.1 too, and a scheduler runs what it is
    sent."""
    from distributed import LocalCluster
    return LocalCluster(n_workers=1, threads_per_worker=threads or min(os.cpu_count() or 1, 8),
                        processes=False, host="127.0.0.1", dashboard_address="127.0.0.1:0",
                        worker_dashboard_address="127.0.0.1:0", security=True)


def quiet_dask():
    """Dask's notes (a worker lost, its tasks run again) are its own business: only its errors
    show, so standard error holds quorvane-cli's lines."""
    import logging
    import distributed  # noqa: F401  (makes Dask's handlers)
    for handler in logging.getLogger("distributed").handlers + logging.getLogger().handlers:
        handler.setLevel(logging.ERROR)
    logging.getLogger("asyncio").setLevel(logging.CRITICAL)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if not argv or argv[0] not in FLAGS:
        if argv and argv[0] in ("-h", "--help"):
            sys.stdout.write(__doc__)
            return 0
        say("%s: %s" % (PROGRAM, "no command given" if not argv else
                        "unknown command " + argv[0]), sys.stderr)
        sys.stderr.write(usage())
        return 2
    if any(arg in ("-h", "--help") for arg in argv[1:argv.index("--") if "--" in argv
                                                    else len(argv)]):
        sys.stdout.write(__doc__)
        return 0
    runs = {"sign": sign, "check": check, "strip": strip}
    try:
        args = Args(argv[0], argv[1:])
        prepare(args)
        if args.has("--scheduler") and args.has("--scheduler-file"):
            raise UsageError("--scheduler and --scheduler-file exclude each other")
        absolute = args.has("--scheduler", "--scheduler-file")
        shown = args.has("--progress") or (sys.stderr.isatty() and not args.has("--no-progress"))
        quiet_dask()
        from distributed import Client
        progress = run.Progress(lines=not sys.stderr.isatty()) if shown else None
        try:
            if absolute:
                with Client(args.value("--scheduler"),
                            scheduler_file=args.value("--scheduler-file")) as client:
                    return runs[args.command](client, args, absolute, progress)
            with local_cluster() as cluster, Client(cluster) as client:
                return runs[args.command](client, args, absolute, progress)
        finally:
            if progress is not None:
                progress.close()
    except UsageError as problem:
        say("%s: %s" % (PROGRAM, problem), sys.stderr)
        sys.stderr.write(usage())
        return 2
    except OutputFailed as problem:
        say("%s: cannot write to standard output: %s" % (PROGRAM, problem), sys.stderr)
        return 2
    except KeyboardInterrupt:
        # The tasks in flight are dropped with the client; each copy is whole or absent.
        return 130


if __name__ == "__main__":
    sys.exit(main())
