"""Quorvane's signature trailer for Python.

A signed file is an exact copy of a file followed by a small encoded trailer that carries a
text. This module signs, checks and strips files with the same care as quorvane-cli (a copy
appears whole or not at all), works on bytes in memory, and checks files on any fsspec file
system with two small range reads per file, whatever its size. Texts travel exactly: U+0000,
and an unpaired surrogate ('\ud800') too.
"""

import collections
import os

from ._quorvane import (  # noqa: F401
    MAX_TRAILER_BYTES,
    AlreadySignedError,
    Error,
    InvalidArgumentError,
    NeedMoreBytesError,
    NoMemoryError,
    NotSignedError,
    OutputExistsError,
    ReadError,
    TextError,
    WriteError,
    __version__,
    check,
    read_trailer,
    sign,
    sign_bytes,
    strip,
    strip_bytes,
    summary,
    trailer,
)
from . import _quorvane

__all__ = [
    "Error", "AlreadySignedError", "NeedMoreBytesError", "NotSignedError", "OutputExistsError",
    "ReadError", "WriteError", "TextError", "InvalidArgumentError", "NoMemoryError",
    "MAX_TRAILER_BYTES", "sign", "check", "strip", "trailer", "read_trailer", "sign_bytes",
    "strip_bytes", "check_remote", "sign_batch", "list_files", "summary", "check_batch",
    "strip_batch", "list_check_entries", "Checked", "REPLACE", "KEEP_QUIETLY", "ASK",
]

# Most texts fit in the first read: a text of up to 1,020 UTF-16 code units.
FIRST_READ_BYTES = 4096

# What a batch into a folder that is not one says.
INVALID_OUTPUT_FOLDER = "Please select a valid output folder."

REPLACE = "replace"
KEEP_QUIETLY = "keep-quietly"
ASK = "ask"
_FLAGS = {ASK: 0, REPLACE: 1, KEEP_QUIETLY: 2}

# One file of check_batch: its path as given, its text and signing time (ISO 8601 UTC), both
# None when it is not signed, why it cannot be read (else None), and quorvane-cli check
# --json's line for it.
Checked = collections.namedtuple("Checked", "path text signed_at reason json_line")


def check_remote(fs, path, first_read=FIRST_READ_BYTES, *, with_time=False):
    """The text signed into `path` on the fsspec file system `fs`, or None (with_time: as
    check).

    Reads only the file's last bytes, with at most two range reads whatever its size: its last
    `first_read` bytes, and when the text is longer, the trailer's own length.
    """
    tail = fs.cat_file(path, start=-first_read)
    size = len(tail) if len(tail) < first_read else None
    try:
        return read_trailer(tail, size, with_time=with_time)
    except NeedMoreBytesError as more:
        tail = fs.cat_file(path, start=-more.needed)
        # A shorter answer is the whole file: too short for the trailer it seemed to end in.
        return read_trailer(tail, len(tail) if len(tail) < more.needed else None,
                            with_time=with_time)


def sign_batch(items, output_folder, text, existing=ASK, jobs=1):
    """Signs a batch as quorvane-cli does: `items` are source paths or (source, subfolder)
    pairs, each copy `<name>_signed<ext>` goes into output_folder (below it in subfolder).
    `existing` is ASK (kept with quorvane-cli's message), REPLACE or KEEP_QUIETLY.

    Returns (signed_count, messages): each message as (index of its item or -1 for the
    summary, status, the line quorvane-cli writes), in quorvane-cli's order.
    """
    pairs = []
    for item in items:
        source, subfolder = (item, None) if isinstance(item, (str, bytes, os.PathLike)) else item
        pairs.append((source, subfolder))
    return _quorvane._sign_batch(pairs, output_folder, text, _FLAGS[existing], jobs)


def check_batch(paths, jobs=1):
    """Checks the files at `paths` as quorvane-cli check does, `jobs` files read at once: a
    list of Checked(path, text, signed_at, reason, json_line), in the order of `paths`."""
    paths = list(paths)
    return [Checked(path, *found) for path, found in zip(paths, _quorvane._check_batch(paths, jobs))]


def strip_batch(sources, output_folder, existing=ASK, jobs=1):
    """Strips a batch as quorvane-cli strip does: each source's unsigned part into
    output_folder, named without _signed. `existing` as for sign_batch.

    Returns (stripped_count, messages): each source not stripped as (its index, status, the
    line quorvane-cli writes after "quorvane-cli: "), in order; an output folder that is not a
    folder raises WriteError.
    """
    count, messages = _quorvane._strip_batch(list(sources), output_folder, _FLAGS[existing], jobs)
    return count, messages


def list_files(folder, output_folder=None):
    """The regular files below `folder` as `quorvane-cli sign -r` takes them, in the order of
    their paths: ([(path, subfolder), ...], [problem line, ...]). Paths are str (decoded with
    os.fsdecode)."""
    files, problems = _quorvane._list_files(folder, output_folder)
    return [(os.fsdecode(path), os.fsdecode(sub)) for path, sub in files], problems


def list_check_entries(path):
    """What `quorvane-cli check -r` takes for `path`, in its order: [(path, json_line), ...],
    json_line None for a file to check, or quorvane-cli check --json's line for an entry that
    cannot be checked (not a regular file, a folder that cannot be listed, a link to a folder).
    A folder stands for the entries below it, anything else for itself."""
    return [(os.fsdecode(entry), line) for entry, line in _quorvane._list_check_entries(path)]
