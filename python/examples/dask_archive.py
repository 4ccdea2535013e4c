#!/usr/bin/python3
"""Signs, then checks, a tree of files on a Dask `distributed` cluster, one task per batch.

    dask_archive.py sign --scheduler ADDRESS (--text TEXT | --text-file FILE) --out DIR
                    [--existing replace|keep] [--batch N] [--jobs N] TREE...
    dask_archive.py check --scheduler ADDRESS [--batch N] TREE...

Paths are made absolute, as the workers run elsewhere. `sign` writes the copies exactly where
`quorvane-cli sign --force -r --out DIR TREE...` writes them (`--existing keep`: as with --no-clobber) and prints the same lines on standard error:
what the folder walk skipped, each file refused or failed and why, in the order of the files,
and the summary. `check` prints on standard output what `quorvane-cli check --json -r TREE...`
prints: one JSON object per file. The exit statuses are quorvane-cli's.

Each task signs its batch with the engine of quorvane-cli (the quorvane module), and each copy
gets its name only once complete. When a worker dies, Dask runs its tasks again on another:
the copies the lost attempt committed are replaced by whole new ones (or kept, with
--existing keep), so no file is lost and none is left half-written.
"""
import argparse
import datetime
import logging
import os
import sys

import quorvane
from distributed import Client


def sign_batch(items, out, text, existing, jobs):
    """One task: signs `items` (path, subfolder) into `out`; quorvane-cli's lines per file."""
    count, messages = quorvane.sign_batch(items, out, text, existing=existing, jobs=jobs)
    return count, [(index, line) for index, _status, line in messages if index >= 0]


def signed_at(path):
    """The signing time a signed file's trailer records (its seed, the four bytes before the
    last eight, little-endian seconds since 1970), in ISO 8601 UTC as quorvane-cli writes it."""
    with open(path, "rb") as file:
        file.seek(-12, os.SEEK_END)
        seconds = int.from_bytes(file.read(4), "little")
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime(
        "%Y-%m-%dT%H:%M:%SZ")


def check_batch(paths):
    """One task: for each path, its text and signing time, None when unsigned, or the reason
    it cannot be read."""
    results = []
    for path in paths:
        try:
            text = quorvane.check(path)
            results.append((path, text, signed_at(path) if text is not None else None, None))
        except (quorvane.ReadError, OSError) as error:
            results.append((path, None, None, str(error).rsplit(": ", 1)[-1]))
    return results


def json_string(text):
    """A JSON string as quorvane-cli writes it: only what JSON requires is escaped."""
    out = ['"']
    for char in text:
        code = ord(char)
        if char in '"\\':
            out.append("\\" + char)
        elif char in "\n\r\t":
            out.append({"\n": "\\n", "\r": "\\r", "\t": "\\t"}[char])
        elif code < 0x20 or 0xD800 <= code <= 0xDFFF:
            out.append("\\u%04x" % code)
        else:
            out.append(char)
    return "".join(out) + '"'


def json_line(path, text, when, reason):
    if reason is not None:
        return ('{"path": %s, "signed": false, "error": "cannot be read", "reason": %s}'
                % (json_string(path), json_string(reason)))
    return '{"path": %s, "signed": %s, "text": %s, "signed_at": %s}' % (
        json_string(path), "true" if text is not None else "false",
        json_string(text) if text is not None else "null",
        json_string(when) if when is not None else "null")


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
    paths, problems = [], []
    for tree in args.trees:
        files, skipped = quorvane.list_files(tree)
        paths += [path for path, _sub in files]
        problems += skipped
    for line in problems:
        print("quorvane-cli: " + line, file=sys.stderr)
    futures = client.map(check_batch, batches(paths, args.batch), pure=False)
    all_signed = not problems
    for future in futures:
        for path, text, when, reason in future.result():
            print(json_line(path, text, when, reason))
            all_signed = all_signed and text is not None
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
