"""Quorvane's signature trailer for Python.

A signed file is an exact copy of a file followed by a small encoded trailer that carries a
text. This module signs, checks and strips files with the same care as quorvane-cli (a copy
appears whole or not at all), works on bytes in memory, and checks files on any fsspec file
system with two small range reads per file, whatever its size.
"""

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
    "strip_bytes", "check_remote", "sign_batch", "list_files", "summary",
]

# Most texts fit in the first read: a text of up to 1,020 UTF-16 code units.
FIRST_READ_BYTES = 4096

# What a batch into a folder that is not one says.
INVALID_OUTPUT_FOLDER = "Please select a valid output folder."

REPLACE = "replace"
KEEP_QUIETLY = "keep-quietly"
ASK = "ask"


def check_remote(fs, path, first_read=FIRST_READ_BYTES):
    """The text signed into `path` on the fsspec file system `fs`, or None.

    Reads only the file's last bytes, with at most two range reads whatever its size: its last
    `first_read` bytes, and when the text is longer, the trailer's own length.
    """
    tail = fs.cat_file(path, start=-first_read)
    size = len(tail) if len(tail) < first_read else None
    try:
        return read_trailer(tail, size)
    except NeedMoreBytesError as more:
        tail = fs.cat_file(path, start=-more.needed)
        # A shorter answer is the whole file: too short for the trailer it seemed to end in.
        return read_trailer(tail, len(tail) if len(tail) < more.needed else None)


def sign_batch(items, output_folder, text, existing=ASK, jobs=1):
    """Signs a batch as quorvane-cli does: `items` are source paths or (source, subfolder)
    pairs, each copy `<name>_signed<ext>` goes into output_folder (below it in subfolder).
    `existing` is ASK (kept with quorvane-cli's message), REPLACE or KEEP_QUIETLY.

    Returns (signed_count, messages): each message as (index of its item or -1 for the
    summary, status, the line quorvane-cli writes), in quorvane-cli's order.
    """
    flags = {ASK: 0, REPLACE: 1, KEEP_QUIETLY: 2}[existing]
    pairs = []
    for item in items:
        source, subfolder = (item, None) if isinstance(item, (str, bytes, os.PathLike)) else item
        pairs.append((os.fsencode(source), None if subfolder is None else os.fsencode(subfolder)))
    return _quorvane._sign_batch(pairs, output_folder, text, flags, jobs)


def list_files(folder, output_folder=None):
    """The regular files below `folder` as `quorvane-cli sign -r` takes them, in the order of
    their paths: ([(path, subfolder), ...], [problem line, ...]). Paths are str (decoded with
    os.fsdecode)."""
    files, problems = _quorvane._list_files(folder, output_folder)
    return [(os.fsdecode(path), os.fsdecode(sub)) for path, sub in files], problems
