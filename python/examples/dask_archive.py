#!/usr/bin/python3
"""Signs, then checks, a tree of files on a Dask `distributed` cluster, one task per batch.

    dask_archive.py sign --scheduler ADDRESS (--text TEXT | --text-file FILE) --out DIR
                    [--existing replace|keep] [--batch N] [--jobs N] TREE...
    dask_archive.py check --scheduler ADDRESS [--batch N] [--jobs N] TREE...

Paths are made absolute, as the workers run elsewhere. `sign` writes the copies exactly where
`quorvane-cli sign --force -r --out DIR TREE...` writes them (`--existing keep`: as with --no-clobber) and prints the same lines on standard error:
what the folder walk skipped, each file refused or failed and why, in the order of the files,
and the summary. `check` prints on standard output what `quorvane-cli check --json -r TREE...`
prints, line for line: the engine's JSON line for each file, in the order of their paths. The
exit statuses are quorvane-cli's.

Each task signs its batch with the engine of quorvane-cli (the quorvane module), and each copy
gets its name only once complete. When a worker dies, Dask runs its tasks again on another:
the copies the lost attempt committed are replaced by whole new ones (or kept, with
--existing keep), so no file is lost and none is left half-written.
"""
import argparse
import logging
import os
import sys

import quorvane
from distributed import Client


def sign_batch(items, out, text, existing, jobs):
    """One task: signs `items` (path, subfolder) into `out`; quorvane-cli's lines per file."""
    count, messages = quorvane.sign_batch(items, out, text, existing=existing, jobs=jobs)
    return count, [(index, line) for index, _status, line in messages if index >= 0]


def check_batch(paths, jobs):
    """One task: quorvane-cli check --json's line for each path, and whether it is signed."""
    return [(found.json_line, found.text is not None)
            for found in quorvane.check_batch(paths, jobs=jobs)]


def batches(items, size):
    return [items[i:i + size] for i in range(0, len(items), size)]


def walk(trees, out):
    """The files of the trees as quorvane-cli -r takes them, and the lines of what it skips."""
    items, problems = [], []
    for tree in trees:
        files, skipped = quorvane.list_files(tree, out)
        items += files
        problems += ["quorvane-cli: " + line for line in skipped]
    return items, problems


def sign(client, args):
    if args.text_file is not None:
        with open(args.text_file, encoding="utf-8-sig") as f:
            text = f.read().removesuffix("\n")
    else:
        text = args.text
    # Line breaks as CR LF, as quorvane-cli and the desktop program store them.
    text = text.replace("\r\n", "\n").replace("\r", "\n").replace("\n", "\r\n")
    if not os.path.isdir(args.out):
        print(quorvane.INVALID_OUTPUT_FOLDER, file=sys.stderr)
        return 2
    items, problems = walk(args.trees, args.out)
    for line in problems:
        print(line, file=sys.stderr)
    existing = quorvane.REPLACE if args.existing == "replace" else quorvane.KEEP_QUIETLY
    parts = batches(items, args.batch)
    futures = client.map(sign_batch, parts, out=args.out, text=text, existing=existing,
                         jobs=args.jobs, pure=False)
    signed = 0
    failed = False
    for future in futures:
        count, lines = future.result()
        signed += count
        for _index, line in lines:
            print(line, file=sys.stderr)
            failed = True
    print(quorvane.summary(signed), file=sys.stderr)
    return 1 if failed or problems else 0


def check(client, args):
    # The entries as quorvane-cli check -r takes them: the files go to the workers, and what
    # cannot be checked (a FIFO, a folder that cannot be listed) keeps its line and its place.
    entries = []
    for tree in args.trees:
        entries += quorvane.list_check_entries(tree)
    paths = [path for path, line in entries if line is None]
    futures = client.map(check_batch, batches(paths, args.batch), jobs=args.jobs, pure=False)
    checked = (result for future in futures for result in future.result())
    all_signed = True
    for _path, line in entries:
        signed = False
        if line is None:
            line, signed = next(checked)
        print(line)
        all_signed = all_signed and signed
    return 0 if all_signed else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("command", choices=["sign", "check"])
    parser.add_argument("--scheduler", required=True, help="the scheduler's address")
    parser.add_argument("--text")
    parser.add_argument("--text-file")
    parser.add_argument("--out")
    parser.add_argument("--existing", choices=["replace", "keep"], default="replace")
    parser.add_argument("--batch", type=int, default=500, help="files per task")
    parser.add_argument("--jobs", type=int, default=1, help="files at once within a task")
    parser.add_argument("trees", nargs="+")
    args = parser.parse_args()
    if args.command == "sign" and (args.out is None or (args.text is None) == (args.text_file is None)):
        parser.error("sign needs --out and one of --text and --text-file")
    # The workers run in folders of their own: every path they see is absolute, and the report
    # names files as quorvane-cli does when given the same absolute paths.
    args.trees = [os.path.abspath(tree) for tree in args.trees]
    if args.out is not None:
        args.out = os.path.abspath(args.out)
    # The report on standard error is quorvane-cli's, line for line: Dask's notes on the tasks
    # it runs again (a worker lost) are its own business, and only its errors show.
    # Dask's own loggers below "distributed" set their levels themselves: the handlers it writes
    # to standard error through are what takes only errors.
    for handler in logging.getLogger("distributed").handlers + logging.getLogger().handlers:
        handler.setLevel(logging.ERROR)
    with Client(args.scheduler) as client:
        return sign(client, args) if args.command == "sign" else check(client, args)


if __name__ == "__main__":
    sys.exit(main())
