#!/usr/bin/python3
"""Signs, then checks, trees of files on a Dask `distributed` cluster: the options of an earlier
example, run by python3 -m quorvane.cluster (see docs/dask.md), which takes quorvane-cli's own.

    dask_archive.py sign (--scheduler ADDRESS | --scheduler-file FILE | --local THREADS)
                    (--text TEXT | --text-file FILE) --out DIR
                    [--existing replace|keep] [-L] [--batch N] [--jobs N] PATH...
    dask_archive.py check (--scheduler ADDRESS | --scheduler-file FILE | --local THREADS)
                    [-L] [--batch N] [--jobs N] PATH...

`sign` is `python3 -m quorvane.cluster sign --force -r` (`--existing keep`: --no-clobber
instead of --force), `check` is `python3 -m quorvane.cluster check --json -r`.
`--local THREADS` runs the module's own cluster with THREADS worker threads.
"""
import sys

from quorvane import cluster
from quorvane.cluster import local_cluster  # noqa: F401  (the example's own cluster)


def main(argv):
    command, rest, args = (argv[0] if argv else None), argv[1:], []
    options = {"sign": ["--force", "-r"], "check": ["--json", "-r"]}.get(command)
    if options is None:
        return cluster.main(argv)
    threads, i = None, 0
    while i < len(rest):
        name, equals, value = rest[i].partition("=")
        takes = name in ("--existing", "--local")
        if takes and not equals and i + 1 < len(rest):
            value, i = rest[i + 1], i + 1
        i += 1
        if name == "--existing" and takes:
            if value == "keep":
                options[0] = "--no-clobber"
        elif name == "--local" and takes:
            threads = value
        else:
            args.append(rest[i - 1])
    if threads is not None:
        original = cluster.local_cluster
        cluster.local_cluster = lambda: original(int(threads) if threads.isdigit() else None)
    return cluster.main([command] + options + args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
