"""Quorvane's signature trailer for Python.

A signed file is an exact copy of a file followed by a small encoded trailer that carries a
text. This module signs, checks and strips files with the same care as quorvane-cli (a copy
appears whole or not at all), works on bytes in memory, checks files on any fsspec file system
with two small range reads per file whatever its size, and runs quorvane-cli's batches with
its lines.

Paths are str, bytes or path-like objects (os.fspath, os.fsencode), so any name the file system
holds works; a NUL in one raises ValueError, as open() does. Texts are str and travel exactly,
both ways: U+0000, and an unpaired surrogate ('\\ud800') too. Data is any bytes-like object
(bytes, bytearray, memoryview), read in place. Calls that read or write files, or more than a
few KiB of memory, release the GIL.

Every failure raises Error or one of its subclasses, carrying the library's message (str(error))
and its status; a failure about a file is also the matching OSError subclass
(FileNotFoundError, PermissionError, ...), with errno and filename.
"""

import builtins
import collections
import operator
import os
import warnings

from . import _quorvane
from ._remote import FIRST_READ_BYTES, check_remote

# Named as the package's own, as every public name is.
check_remote.__module__ = __name__

__all__ = [
    # Exceptions
    "Error", "NotSignedError", "AlreadySignedError", "NeedMoreBytesError",
    "InvalidArgumentError", "TextError", "ReadError", "WriteError", "OutputExistsError",
    "NoMemoryError", "KindWarning",
    # Constants
    "ASK", "REPLACE", "KEEP_QUIETLY", "MAX_TRAILER_BYTES", "MAX_TEXT_UNITS",
    "MAX_TEXT_FILE_BYTES", "MAX_JOBS", "FIRST_READ_BYTES", "INVALID_OUTPUT_FOLDER", "OK", "NOT_SIGNED",
    "ALREADY_SIGNED", "NEED_MORE", "INVALID_ARGUMENT", "INVALID_TEXT", "CANNOT_READ",
    "CANNOT_WRITE", "OUTPUT_EXISTS", "NO_MEMORY", "FAILED", "__version__",
    # Files, bytes, texts
    "sign", "check", "strip", "trailer", "read_trailer", "sign_bytes", "strip_bytes",
    "check_remote", "text_from_file_bytes", "with_crlf", "text_to_sign", "time_text", "file_kind",
    # Batches
    "sign_batch", "check_batch", "strip_batch", "list_files", "list_sign_items",
    "list_sign_entries", "list_check_entries", "plan_sign_batch", "strip_output", "summary", "Checked", "SignPlan",
]

__version__ = _quorvane.version

# The statuses of the C library (quorvane.h), as batches report them per file.
OK = 0
NOT_SIGNED = 1
ALREADY_SIGNED = 2
NEED_MORE = 3
INVALID_ARGUMENT = 4
INVALID_TEXT = 5
CANNOT_READ = 6
CANNOT_WRITE = 7
OUTPUT_EXISTS = 8
NO_MEMORY = 9
FAILED = 10

#: The most bytes a trailer occupies: 4 x 32,767 + 16.
MAX_TRAILER_BYTES = _quorvane.MAX_TRAILER_BYTES
#: The longest text, in UTF-16 code units.
MAX_TEXT_UNITS = _quorvane.MAX_TEXT_UNITS
#: The most bytes a text file can hold for the longest text (quorvane-cli --text-file reads no
#: more).
MAX_TEXT_FILE_BYTES = _quorvane.MAX_TEXT_FILE_BYTES
#: The most files a batch reads and writes at once; more jobs are taken as this many.
MAX_JOBS = _quorvane.MAX_JOBS
#: What a batch into a folder that is not one says.
INVALID_OUTPUT_FOLDER = "Please select a valid output folder."

#: An output that exists is kept, with quorvane-cli's message (its default).
ASK = "ask"
#: An output that existed before the run is replaced, as quorvane-cli --force does.
REPLACE = "replace"
#: An output that exists is kept without a message, as quorvane-cli --no-clobber does.
KEEP_QUIETLY = "keep-quietly"
_FLAGS = {ASK: 0, REPLACE: 1, KEEP_QUIETLY: 2}


class Error(Exception):
    """A call of quorvane failed. str(error) is the library's message; status is the C
    library's status code (quorvane.FAILED here, each subclass its own); filename is the file
    the failure is about (None when it is about none: a text, an argument)."""

    status = FAILED

    def __str__(self):
        message = self.__dict__.get("_message")
        return message if message is not None else super().__str__()

    def __reduce__(self):
        # Rebuilt by the factory, so that the class made for an errno needs no name of its own
        # (exceptions travel between the processes of a cluster).
        return (_error, (self.status, str(self), getattr(self, "errno", None) or 0,
                         getattr(self, "filename", None), getattr(self, "needed", 0)))


class NotSignedError(Error):
    """The file or bytes hold no signature (strip, strip_bytes)."""

    status = NOT_SIGNED


class AlreadySignedError(Error):
    """The file or bytes already carry a signature, and a signed file is not signed again."""

    status = ALREADY_SIGNED


class NeedMoreBytesError(Error):
    """read_trailer needs more of the file's last bytes: `needed` says how many settle it."""

    status = NEED_MORE
    needed = 0


class InvalidArgumentError(Error, ValueError):
    """An argument the library cannot take: a path holding a NUL, an unknown `existing`, a
    signing time outside 0 to 2**32 - 1, a single path where a list of them is asked for."""

    status = INVALID_ARGUMENT


class TextError(Error, ValueError):
    """A text that a trailer cannot carry: empty or over 32,767 UTF-16 code units; or bytes
    that are no text file quorvane-cli reads (neither UTF-8 nor UTF-16 with a byte order mark)."""

    status = INVALID_TEXT


class ReadError(Error, OSError):
    """A file cannot be opened or read (or is not a regular file, or changed while it was
    read). Raised as a class that is also the OSError subclass of its errno
    (FileNotFoundError, PermissionError, ...), with errno and filename set; errno is None for
    Quorvane's own reasons (not a regular file, changed while it was read)."""

    status = CANNOT_READ


class WriteError(Error, OSError):
    """An output cannot be created or written, or may not be replaced (read-only, the source
    itself, an output of the same run); or an output folder is not a folder. Raised as a class
    that is also the OSError subclass of its errno, with errno and filename set (the output;
    errno None for Quorvane's own reasons)."""

    status = CANNOT_WRITE


class OutputExistsError(Error, FileExistsError):
    """The output exists and was kept, as replacing it was not asked for (errno EEXIST)."""

    status = OUTPUT_EXISTS


class NoMemoryError(Error, MemoryError):
    """Memory ran short."""

    status = NO_MEMORY


class KindWarning(UserWarning):
    """sign_bytes signed data of a kind whose own programs object to bytes after its end, as
    quorvane-cli warns about such a file: `kind` is its id ("gzip", as file_kind gives it),
    `consequence` what its programs do with the signed bytes. strip_bytes gives the original
    back. It is a warning (warnings.warn), so the usual filters apply: "error" raises it,
    "ignore" drops it."""

    def __init__(self, kind, consequence):
        super().__init__(kind, consequence)
        self.kind = kind
        self.consequence = consequence

    def __str__(self):
        return "signed data of kind %s: %s; strip_bytes gives the original back" % (
            self.kind, self.consequence)


_BY_STATUS = {kind.status: kind for kind in (
    NotSignedError, AlreadySignedError, NeedMoreBytesError, InvalidArgumentError, TextError,
    ReadError, WriteError, OutputExistsError, NoMemoryError)}
_WITH_OS_KIND = {}


def _with_os_kind(kind, os_kind):
    """`kind` (ReadError, WriteError) made also an `os_kind` (FileNotFoundError, ...)."""
    if os_kind is OSError or issubclass(kind, os_kind):
        return kind
    made = _WITH_OS_KIND.get((kind, os_kind))
    if made is None:
        made = type(kind.__name__, (kind, os_kind), {"__doc__": kind.__doc__,
                                                      "__module__": __name__})
        made.__qualname__ = kind.__qualname__
        _WITH_OS_KIND[(kind, os_kind)] = made
    return made


def _error(status, message, errno=0, filename=None, needed=0, os_kind=None):
    """The exception for a failure of the library (also the one made in check_remote)."""
    kind = _BY_STATUS.get(status, Error)
    if issubclass(kind, OSError):
        if os_kind is None and errno:
            os_kind = type(builtins.OSError(errno, ""))
        kind = _with_os_kind(kind, os_kind or OSError)
        if errno or filename is not None:
            error = kind(errno or None, os.strerror(errno) if errno else message, filename)
        else:
            error = kind(message)
    else:
        error = kind(message)
        # Not signed, already signed: named as an OSError names its file.
        error.filename = filename
    error._message = message
    error.status = status
    if status == NEED_MORE:
        error.needed = needed
    return error


_quorvane.set_error_factory(_error)


def sign(src, dst, text, *, replace=False):
    """Writes `dst`: the bytes of `src` followed by a trailer carrying `text`, whole or not at
    all, through the engine of quorvane-cli. An existing `dst` is kept (OutputExistsError)
    unless `replace`; a read-only one, and `src` itself, are refused even then (WriteError). A
    signed `src` is refused (AlreadySignedError); one that changes while it is copied fails
    (ReadError) and nothing is written. `dst` keeps the permission bits of `src`."""
    _quorvane.sign(src, dst, text, bool(replace))


def check(path, *, with_time=False):
    """The text signed into the file at `path`, or None when it holds no signature.

    With `with_time`, the pair of the text and its signing time as ISO 8601 UTC
    ("2026-12-08T03:04:05Z": the signer's clock, it proves nothing); (None, None) when not
    signed. A file that cannot be read raises ReadError."""
    return _quorvane.check(path, bool(with_time))


def strip(src, dst, *, replace=False):
    """Writes `dst`: `src` without its trailer, whole or not at all. An unsigned `src` raises
    NotSignedError; an existing `dst` is treated as by sign."""
    _quorvane.strip(src, dst, bool(replace))


def trailer(text, time):
    """The trailer carrying `text`, as bytes, with the code table of `time` (the signing time,
    whole seconds since 1970 UTC, 0 to 2**32 - 1)."""
    return _quorvane.trailer(text, operator.index(time))


def read_trailer(tail_bytes, file_size=None, *, with_time=False):
    """The text of the trailer in a file's last bytes `tail_bytes` (any bytes-like object), or
    None when they end in none; `file_size` is the whole file's size when known.

    Too few bytes raise NeedMoreBytesError, whose `needed` says how many last bytes settle it:
    given exactly those (or the whole file, with its size, when it is shorter), it answers.
    With `with_time`: as check."""
    return _quorvane.read_trailer(tail_bytes, None if file_size is None
                                  else operator.index(file_size), bool(with_time))


def sign_bytes(data, text, *, skip_kinds=False):
    """`data` (any bytes-like object) followed by a trailer carrying `text`, as bytes; signed
    data is refused (AlreadySignedError). The bytes are copied once, without the GIL.

    Data of a kind whose own programs object to a signature (see file_kind) is judged whole as
    a file is: signed after a KindWarning, or, with `skip_kinds`, refused with Error (status
    FAILED, "left out for its kind (gzip): ..."), as sign_batch leaves such a file out."""
    signed, kind = _quorvane.sign_bytes(data, text, _SKIP_KINDS if skip_kinds else 0)
    if kind is not None:
        warnings.warn(KindWarning(*kind), stacklevel=2)
    return signed


def strip_bytes(data):
    """`data` (any bytes-like object) without its trailer, as bytes; NotSignedError when it
    carries none."""
    return _quorvane.strip_bytes(data)


def text_from_file_bytes(data):
    """The text in the bytes of a text file, as quorvane-cli --text-file reads it: UTF-8 (a byte
    order mark is skipped) or UTF-16 with its byte order mark (FF FE or FE FF); one line break
    at the end is the file's and is dropped. Line breaks stay as they are (see with_crlf).
    TextError for anything else."""
    return _quorvane.text_from_file_bytes(data)


def with_crlf(text):
    """`text` with every line break (CR LF, a lone CR, a lone LF) as CR LF, the way Quorvane's
    programs store a text."""
    return _quorvane.with_crlf(text)


def text_to_sign(text):
    """`text` as Quorvane's programs sign what a user typed or a text file held: every line
    break as CR LF, then 1 to MAX_TEXT_UNITS UTF-16 code units; TextError otherwise."""
    return _quorvane.text_to_sign(text)


def time_text(seconds):
    """A signing time (seconds since 1970 UTC) as quorvane-cli check --json writes it:
    "2009-02-13T23:31:30Z"."""
    return _quorvane.time_text(operator.index(seconds))


# quorvane.h's QUORVANE_SKIP_KINDS.
_SKIP_KINDS = 4


def _flags(existing):
    try:
        return _FLAGS[existing]
    except (KeyError, TypeError):
        raise _error(INVALID_ARGUMENT, "existing is quorvane.ASK, quorvane.REPLACE or "
                     "quorvane.KEEP_QUIETLY, not %r" % (existing,)) from None


def _jobs(jobs):
    jobs = operator.index(jobs)
    if jobs < 1 or jobs > 0xFFFFFFFF:
        raise _error(INVALID_ARGUMENT, "jobs is a number of files from 1, not %d" % jobs)
    return jobs


def _many(paths, what):
    """`paths` as a list, refusing one path given where a list of them is asked for."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise _error(INVALID_ARGUMENT, "%s is one path, not a list of them: give [%r]"
                     % (what, paths))
    return list(paths)


def _pairs(items):
    """Sign batch items as (source, subfolder or None) pairs."""
    pairs = []
    for item in _many(items, "items"):
        if isinstance(item, (str, bytes, os.PathLike)):
            pairs.append((item, None))
        else:
            source, subfolder = item
            pairs.append((source, subfolder))
    return pairs


def file_kind(path):
    """For a file of a kind whose own programs object to bytes after its end (xz, gzip, MP3 and
    its end tags, programs with an Authenticode signature, ...): (its kind, what its programs
    do with a signed copy), such as ("xz", "xz will report the signed copy as corrupt");
    None for any other file. Reads a few KiB of the file."""
    return _quorvane.file_kind(path)


def _each(paths, what):
    """An iterator over `paths`, pulled as a batch comes to each (a generator is not turned into
    a list), refusing one path given where a list of them is asked for; with how many there are
    when that is known ahead (0 when not)."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise _error(INVALID_ARGUMENT, "%s is one path, not a list of them: give [%r]"
                     % (what, paths))
    return iter(paths), max(0, operator.length_hint(paths, 0))


def _pair(item):
    """A sign batch item as a (source, subfolder or None) pair."""
    if isinstance(item, (str, bytes, os.PathLike)):
        return item, None
    source, subfolder = item
    return source, subfolder


def _callback(function, what, otherwise=None):
    """`function`, a callable given for `what`, or `otherwise` when it is None."""
    if function is None:
        return otherwise
    if not callable(function):
        raise _error(INVALID_ARGUMENT, "%s is a function or None, not %r" % (what, function))
    return function


def sign_batch(items, output_folder, text, existing=ASK, jobs=1, skip_kinds=False,
               written_earlier=(), *, on_result=None, progress=None):
    """Signs a batch as quorvane-cli sign does: `items` are source paths or (source, subfolder)
    pairs; each copy `<name>_signed<ext>` goes into `output_folder` (below it in subfolder).
    `existing` is ASK (kept with quorvane-cli's message), REPLACE (as --force) or KEEP_QUIETLY
    (as --no-clobber); an output written earlier in the batch is never replaced. `jobs` files
    are copied at once, with the results of one at a time.

    A file of a kind whose own programs object to a signature (see file_kind) is signed after a
    warning message (status OK); with `skip_kinds` it is left out as a refused file, as
    quorvane-cli sign --skip-kinds does.

    For one part of a run cut into parts that run apart (tasks of a cluster),
    `written_earlier` gives the (output, source) pairs that earlier parts wrote: none is
    replaced, and an item whose copy would go to one is refused as in one batch of the whole
    run.

    Returns (signed_count, messages): each message as (index of its item, or -1 for the
    summary, status, the line quorvane-cli writes), in quorvane-cli's order. An output folder
    that is not a folder raises WriteError.

    `items` may be any iterable (a generator too): it is pulled one item at a time as the run
    comes to it, never turned into a list. With `on_result`, each message goes to
    on_result(message) as it comes instead of into the list returned, which is then empty, so
    that the batch's memory stays the same however many items there are. `progress` is called
    as progress(files_done, files_known, bytes_copied) after each file and as a copy goes;
    files_known is the number of items given so far (or len(items) when larger). Both are
    called on the calling thread. What the iterator or a callback raises ends the run at once
    (the copy under way is dropped; copies written whole stay) and is raised here."""
    messages = []
    pairs, known = _each(items, "items")
    count = _quorvane.sign_batch(
        (_pair(item) for item in pairs), known, output_folder, text,
        _flags(existing) | (_SKIP_KINDS if skip_kinds else 0), _jobs(jobs),
        [(output, source) for output, source in written_earlier],
        _callback(on_result, "on_result", messages.append), _callback(progress, "progress"))
    return count, messages


#: One file of check_batch: its path as given, its text and signing time (ISO 8601 UTC), both
#: None when it is not signed, why it cannot be read (else None), and quorvane-cli check
#: --json's line for it.
Checked = collections.namedtuple("Checked", "path text signed_at reason json_line")
Checked.__doc__ = ("One file of check_batch: path (as given), text and signed_at (None when not "
                   "signed), reason (why it cannot be read, else None), json_line (quorvane-cli "
                   "check --json's line).")


def check_batch(paths, jobs=1, *, on_result=None, progress=None):
    """Checks the files at `paths` as quorvane-cli check does, `jobs` files read at once: a
    list of Checked(path, text, signed_at, reason, json_line), in the order of `paths`.

    `paths` may be any iterable, pulled one path at a time as the run comes to it. With
    `on_result`, each Checked goes to on_result(checked) as it comes instead of into the list
    returned, which is then empty. `progress`, and what the iterator or a callback raises: as
    for sign_batch (bytes_copied stays 0: checking copies nothing)."""
    found = []
    given, known = _each(paths, "paths")
    report = _callback(on_result, "on_result", found.append)
    _quorvane.check_batch(given, known, _jobs(jobs), lambda *checked: report(Checked(*checked)),
                          _callback(progress, "progress"))
    return found


def strip_batch(sources, output_folder, existing=ASK, jobs=1, written_earlier=(), *,
                on_result=None, progress=None):
    """Strips a batch as quorvane-cli strip does: each source's unsigned part into
    `output_folder`, named without _signed. `existing` as for sign_batch.

    Returns (stripped_count, messages): each source not stripped as (its index, status, the
    line quorvane-cli writes after "quorvane-cli: "), in order. `written_earlier` as for
    sign_batch. An output folder that is not a folder raises WriteError. `sources` may be any
    iterable; `on_result` and `progress` as for sign_batch."""
    messages = []
    given, known = _each(sources, "sources")
    count = _quorvane.strip_batch(given, known, output_folder, _flags(existing), _jobs(jobs),
                                  [(output, source) for output, source in written_earlier],
                                  _callback(on_result, "on_result", messages.append),
                                  _callback(progress, "progress"))
    return count, messages


# quorvane.h's QUORVANE_FOLLOW_LINKS.
_FOLLOW_LINKS = 8


# quorvane.h's QUORVANE_NOT_RECURSIVE.
_NOT_RECURSIVE = 16


def _walk_flags(follow_links, recursive=True):
    return (_FOLLOW_LINKS if follow_links else 0) | (0 if recursive else _NOT_RECURSIVE)


def list_files(folder, output_folder=None, *, follow_links=False):
    """The regular files below `folder` as quorvane-cli sign -r takes them, in the order of
    their paths: ([(path, subfolder), ...], [problem line, ...]), paths as os.fsdecode gives
    them. `output_folder` is left out. Links below `folder` (to files or folders) are problem
    lines and not followed, unless `follow_links` (quorvane-cli -L). A path that is no folder
    raises ReadError."""
    return _quorvane.list_files(folder, output_folder, _walk_flags(follow_links))


def list_sign_items(path, output_folder=None, *, follow_links=False, recursive=True):
    """What quorvane-cli sign -r takes for `path`: for a folder, as list_files; anything else
    stands for itself, [(path, "")], its copy directly in the output folder (a missing file is
    then refused by the batch with quorvane-cli's message). Not `recursive` (quorvane-cli sign
    without -r), a folder gives no files and quorvane-cli's line ("PATH is a folder; -r signs
    the files in it")."""
    return _quorvane.list_sign_items(path, output_folder, _walk_flags(follow_links, recursive))


def list_sign_entries(path, output_folder=None, *, follow_links=False, recursive=True):
    """What list_sign_items gives, in the walk's order: (path, subfolder) for each file, and
    quorvane-cli's line (a str) for each entry that is not signed, in its place among the
    files, where quorvane-cli sign reports it."""
    return _quorvane.list_sign_entries(path, output_folder, _walk_flags(follow_links, recursive))


def list_check_entries(path, *, follow_links=False, recursive=True):
    """What quorvane-cli check -r takes for `path`, in its order: [(path, json_line), ...],
    json_line None for a file to check, or quorvane-cli check --json's line for an entry that
    cannot be checked (not a regular file, a folder that cannot be listed, a link below `path`
    unless `follow_links`). A folder stands for the entries below it (not `recursive`, as
    quorvane-cli check without -r: for itself), anything else for itself."""
    return _quorvane.list_check_entries(path, _walk_flags(follow_links, recursive))


#: plan_sign_batch's plan: per item its output path and the index of the first earlier item
#: with the same output (or None), and the parts: lists of item indices, in order.
SignPlan = collections.namedtuple("SignPlan", "outputs earlier parts")
SignPlan.__doc__ = ("plan_sign_batch's plan: outputs (each item's copy), earlier (the first "
                    "earlier item with the same copy, or None), parts (lists of item indices).")


def plan_sign_batch(items, output_folder, part_size=500):
    """Plans a sign batch that runs in parts (tasks of a cluster), before any part runs.

    Items whose copies or sources are the same file land in one part, in their order, so that
    each part run as sign_batch(items of the part, ...) gives exactly what one sign_batch of
    all the items gives: the later of two sources of one copy is refused as quorvane-cli
    refuses it, and no copy of the batch replaces another. Returns SignPlan(outputs, earlier,
    parts); parts hold about `part_size` items, more when a group of items must stay whole."""
    pairs = _pairs(items)
    size = operator.index(part_size)
    if size < 1:
        raise _error(INVALID_ARGUMENT, "part_size is a number of items from 1, not %d" % size)
    outputs, earlier, part_of, count = _quorvane.plan_sign_batch(pairs, output_folder, size)
    parts = [[] for _ in range(count)]
    for index, part in enumerate(part_of):
        parts[part].append(index)
    return SignPlan(outputs, earlier, parts)


def strip_output(source, output_folder):
    """Where strip_batch puts the original of `source`: in `output_folder`, named without
    _signed."""
    return _quorvane.strip_output(source, output_folder)


def summary(signed_count):
    """The summary quorvane-cli gives after signing `signed_count` files ("2 files encrypted
    succesfully!")."""
    return _quorvane.summary(operator.index(signed_count))
