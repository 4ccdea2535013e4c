"""The runs of python3 -m quorvane.cluster: the tasks the workers run, one chunk of files each,
and the client's side, which walks the operands lazily, hands out chunks with a bounded number
in flight and reports the results in the order of the files.

Every line, verdict and count comes from the library (quorvane-cli's own lines); this module
only cuts a run into chunks and puts their reports back together. Chunks run apart, so what one
run decides among its files is carried across chunks by the client: a compact set of keys of
the outputs and sources met so far (8-byte hashes, not paths). A chunk whose files meet an
earlier chunk's output or source waits for that chunk, and runs knowing what it wrote
(written_earlier), so the engine refuses a later source of one copy exactly as one run does and
no task replaces another's copy.

A task whose worker is lost runs again elsewhere. The copies it committed before (each gets its
name only once whole) are recognised as this run's: the source's bytes with a trailer of this
run's text, signed since the run began. Those count as done, not as "exists, kept".
"""
import array
import collections
import hashlib
import os
import sys
import tempfile
import time

import quorvane

# The seam of the tests: a worker started with this variable set to a FIFO signs half its
# first chunk, says so through the FIFO, and waits to be killed.
_SEAM = "QUORVANE_CLUSTER_TEST_SEAM"
# A copy signed this long before the run began is no copy of the run (clocks of other hosts).
_CLOCK_SLACK = 60


def _seam(chunk, run_half):
    fifo = os.environ.pop(_SEAM, None)
    if fifo is None:
        return
    run_half(chunk[:len(chunk) // 2])
    with open(fifo, "wb") as said:
        said.write(b"%d\n" % os.getpid())
    while True:
        os.read(os.open(fifo, os.O_RDONLY), 1)  # until the test kills this worker


def _ours(output, size, since, trailer=None):
    """True when `output` may be a copy this run committed: made since the run began at `since`
    (seconds since 1970, by the file system's clock) and `size` bytes long; with `trailer` (the
    text to sign), the unsigned part's `size` bytes and a trailer carrying that text, signed
    since then."""
    try:
        stat = os.lstat(output)
        if stat.st_ctime < since:
            return False
        if trailer is None:
            return stat.st_size == size and quorvane.check(output) is None
        if stat.st_size != size + len(quorvane.trailer(trailer, 0)):
            return False
        found, signed_at = quorvane.check(output, with_time=True)
    except (OSError, quorvane.Error):
        return False
    return found == trailer and signed_at >= quorvane.time_text(max(0, int(since) - _CLOCK_SLACK))


def _committed(items, outputs, first_of, written_earlier, ours):
    """The items whose copies a lost attempt of this chunk committed (`ours` of an item's
    index), and the others. Only the first item of an output may have written it, and never
    one that an earlier chunk wrote."""
    others = {os.path.normpath(os.fsencode(output)) for output, _ in written_earlier}
    done, rest = [], []
    for index in range(len(items)):
        eligible = (first_of[index] is None and
                    os.path.normpath(os.fsencode(outputs[index])) not in others)
        (done if eligible and ours(index) else rest).append(index)
    return done, rest


def sign_chunk(items, out, text, existing, jobs, skip_kinds, since, written_earlier=()):
    """One task: signs `items` into `out` as one part of a run. Returns (signed count,
    [(index in items, status, line)], the indices written)."""
    plan = quorvane.plan_sign_batch(items, out, len(items) or 1)
    written_earlier = list(written_earlier)

    def ours(index):
        try:
            size = os.stat(items[index][0]).st_size
        except OSError:
            return False
        return _ours(plan.outputs[index], size, since, text)
    done, rest = _committed(items, plan.outputs, plan.earlier, written_earlier, ours)
    # A copy committed by a lost attempt of this task: done, and an output of the run.
    written_earlier += [(plan.outputs[i], items[i][0]) for i in done]
    # Kept quietly is asked as kept with a line, to know which outputs were kept.
    mode = quorvane.ASK if existing == quorvane.KEEP_QUIETLY else existing

    def run(indices):
        return quorvane.sign_batch([items[i] for i in indices], out, text, mode, jobs, skip_kinds,
                                   written_earlier)
    _seam(rest, run)
    count, messages = run(rest)
    lines, failed = [], set()
    for index, status, line in messages:
        if index < 0:
            continue
        if status != quorvane.OK:
            failed.add(rest[index])
        if not (status == quorvane.OUTPUT_EXISTS and existing == quorvane.KEEP_QUIETLY):
            lines.append((rest[index], status, line))
    written = sorted(done + [i for i in rest if i not in failed])
    return count + len(done), lines, written


def strip_chunk(sources, out, existing, jobs, since, written_earlier=()):
    """One task: strips `sources` into `out` as one part of a run: (stripped count,
    [(index, status, line)], the indices written)."""
    outputs = [quorvane.strip_output(source, out) for source in sources]
    # Of two sources of one output, only the first may have written it.
    first_of, seen = [], set()
    for output in outputs:
        key = os.path.normpath(os.fsencode(output)).lower()
        first_of.append(0 if key in seen else None)
        seen.add(key)
    written_earlier = list(written_earlier)

    def ours(index):
        try:
            text = quorvane.check(sources[index])
            if text is None:
                return False
            size = os.stat(sources[index]).st_size - len(quorvane.trailer(text, 0))
        except (OSError, quorvane.Error):
            return False
        return _ours(outputs[index], size, since)
    done, rest = _committed(sources, outputs, first_of, written_earlier, ours)
    written_earlier += [(outputs[i], sources[i]) for i in done]
    mode = quorvane.ASK if existing == quorvane.KEEP_QUIETLY else existing

    def run(indices):
        return quorvane.strip_batch([sources[i] for i in indices], out, mode, jobs,
                                    written_earlier)
    _seam(rest, run)
    count, messages = run(rest)
    lines, failed = [], set()
    for index, status, line in messages:
        failed.add(rest[index])
        if not (status == quorvane.OUTPUT_EXISTS and existing == quorvane.KEEP_QUIETLY):
            lines.append((rest[index], status, line))
    return count + len(done), lines, sorted(done + [i for i in rest if i not in failed])


def check_chunk(paths, jobs):
    """One task: quorvane-cli check --json's line for each path, and whether it is signed."""
    return [(found.json_line, found.text is not None)
            for found in quorvane.check_batch(paths, jobs=jobs)]


def _key(path):
    """8 bytes standing for a path as a run compares them (letters folded)."""
    folded = os.path.normpath(os.fsencode(path)).lower()
    return int.from_bytes(hashlib.blake2b(folded, digest_size=8).digest(), "little")


_FOLDERS = {}


def _source_key(path):
    """A source's key: its folder resolved (links, "." and ".."), as a run compares sources;
    the folders met last are remembered, as a walk gives the files of a folder together."""
    folder, name = os.path.split(os.fsencode(path))
    resolved = _FOLDERS.get(folder)
    if resolved is None:
        if len(_FOLDERS) > 64:
            _FOLDERS.clear()
        try:
            resolved = _FOLDERS[folder] = os.path.realpath(folder or b".")
        except (OSError, ValueError):
            resolved = folder
    return _key(os.path.join(resolved, name))


class Spool:
    """Items on disk in the order met, with their offsets: the client holds 8 bytes per item
    and reads an item back only when a later one meets it."""

    def __init__(self):
        self._file = tempfile.TemporaryFile(prefix="quorvane-cluster-")
        self._offsets = array.array("Q")
        self._end = 0

    def add(self, *fields):
        record = b"".join(os.fsencode(field or "") + b"\0" for field in fields)
        self._offsets.append(self._end)
        self._file.seek(self._end)
        self._file.write(record)
        self._end += len(record)

    def __len__(self):
        return len(self._offsets)

    def item(self, index):
        self._file.seek(self._offsets[index])
        end = (self._offsets[index + 1] if index + 1 < len(self._offsets) else self._end)
        fields = self._file.read(end - self._offsets[index]).split(b"\0")[:-1]
        return tuple(os.fsdecode(field) for field in fields)

    def chunks(self, size):
        """The items in chunks of `size`, read lazily."""
        for first in range(0, len(self), size):
            yield first, [self.item(i) for i in range(first, min(first + size, len(self)))]

    def items(self):
        for _first, chunk in self.chunks(256):
            yield from chunk

    def close(self):
        self._file.close()


class Runner:
    """Chunks handed to the cluster, at most `in_flight` at once, their reports taken in order.
    `report(first, chunk, result)` takes each chunk's result in the order of the chunks."""

    def __init__(self, client, in_flight, report, progress=None):
        self.client, self.in_flight, self.report = client, in_flight, report
        self.progress = progress
        self.pending = collections.deque()
        self.reported = 0  # chunks reported so far

    def submit(self, number, task, *args, **kwargs):
        while len(self.pending) >= self.in_flight:
            self.take()
        self.pending.append((number, self.client.submit(task, *args, pure=False, **kwargs)))

    def take(self):
        number, future = self.pending.popleft()
        self.report(number, future.result())
        self.reported = number + 1
        if self.progress is not None:
            self.progress.done(1)

    def wait_for(self, number):
        """Until chunk `number` is reported."""
        while self.reported <= number and self.pending:
            self.take()

    def finish(self):
        while self.pending:
            self.take()


def run_writes(client, spool, batch, in_flight, task, task_args, output_of, say,
               progress=None, problems=()):
    """Signs or strips the spool's items chunk by chunk, each chunk's lines through `say` in
    order: (count done, the statuses of the lines). `task_args(chunk)` gives a chunk's task its
    arguments, `output_of(chunk)` the outputs of its items. `problems`: the walk's lines, each
    with the number of items before it, said in their places among the items' lines."""
    waiting = collections.deque(problems)

    def say_problems(before):
        while waiting and waiting[0][0] <= before:
            say(waiting.popleft()[1])
    outputs_claimed, sources_claimed = {}, {}
    written = bytearray()
    totals = {"count": 0, "statuses": []}
    chunk_keys = {}

    def report(number, result):
        count, lines, wrote = result
        first, keys = chunk_keys.pop(number)
        totals["count"] += count
        for index in wrote:
            written[first + index] = 1
            outputs_claimed[keys[index][0]] = first + index  # the writer stays the claim
        if (lines or waiting) and progress is not None:
            progress.erase()
        for index, status, line in lines:
            say_problems(first + index)
            totals["statuses"].append(status)
            say(line)

    if progress is not None:
        progress.total = -(-len(spool) // batch)
    runner = Runner(client, in_flight, report, progress)
    for number, (first, chunk) in enumerate(spool.chunks(batch)):
        keys = [(_key(output), _source_key(item[0]))
                for output, item in zip(output_of(chunk), chunk)]
        # The earlier chunks this one meets (an output or a source of theirs): reported first.
        need = -1
        for key, source_key in keys:
            for claims, found in ((outputs_claimed, key), (sources_claimed, key),
                                  (outputs_claimed, source_key)):
                earlier = claims.get(found)
                if earlier is not None and earlier < first:
                    need = max(need, earlier // batch)
        if need >= 0:
            runner.wait_for(need)
        earlier_written = []
        for index, (key, source_key) in enumerate(keys):
            earlier = outputs_claimed.get(key)
            if earlier is not None and earlier < first and written[earlier]:
                item = spool.item(earlier)
                earlier_written.append((output_of([item])[0], item[0]))
            elif earlier is None or earlier < first:
                outputs_claimed[key] = first + index
            sources_claimed.setdefault(source_key, first + index)
        written.extend(bytes(len(chunk)))
        chunk_keys[number] = (first, keys)
        runner.submit(number, task, *task_args(chunk), written_earlier=earlier_written)
    runner.finish()
    if waiting and progress is not None:
        progress.erase()
    say_problems(float("inf"))
    return totals["count"], totals["statuses"]


def run_check(client, entries, batch, in_flight, jobs, say, progress=None):
    """Checks `entries` ((path, line or None) pairs, lazily) chunk by chunk, printing each
    line in order; True when every file was signed."""
    state = {"signed": True}
    chunks = {}

    def report(number, results):
        if progress is not None:
            progress.erase()
        found = iter(results)
        for _path, line in chunks.pop(number):
            signed = False
            if line is None:
                line, signed = next(found)
            say(line)
            state["signed"] = state["signed"] and signed

    runner = Runner(client, in_flight, report, progress)
    chunk, number = [], 0
    for entry in entries:
        chunk.append(entry)
        if len(chunk) == batch:
            chunks[number] = chunk
            runner.submit(number, check_chunk, [p for p, line in chunk if line is None], jobs)
            chunk, number = [], number + 1
    if chunk:
        chunks[number] = chunk
        runner.submit(number, check_chunk, [p for p, line in chunk if line is None], jobs)
    runner.finish()
    return state["signed"]


class Progress:
    """Dask's text progress bar (distributed.diagnostics.progressbar.TextProgressBar's look) of
    the chunks done, on standard error: redrawn in place on a terminal, as lines at most once a
    second otherwise (--progress). `total` chunks when known."""

    def __init__(self, lines):
        from dask.utils import format_time
        self.format_time, self.lines, self.total = format_time, lines, None
        self.count, self.start, self.shown, self.drawn = 0, time.monotonic(), None, None

    def done(self, chunks):
        self.count += chunks
        now = time.monotonic()
        last = self.total is not None and self.count >= self.total
        if self.shown is not None and now - self.shown < (1 if self.lines else 0.1) and not last:
            return
        self.shown, self.drawn = now, self.count
        elapsed = self.format_time(now - self.start)
        if self.total:
            fraction = min(1.0, self.count / self.total)
            bar = "[{0:<40}] | {1}% Completed | {2}".format(
                "#" * int(40 * fraction), int(100 * fraction), elapsed)
        else:
            bar = "[{0:<40}] | {1} chunks done | {2}".format("", self.count, elapsed)
        try:
            sys.stderr.write(bar + "\n" if self.lines else "\r" + bar)
            sys.stderr.flush()
        except BrokenPipeError:
            pass

    def erase(self):
        """Before a line of the report, on a terminal: the bar goes, to be drawn again."""
        if not self.lines and self.shown is not None:
            sys.stderr.write("\33[2K\r")
            sys.stderr.flush()
            self.shown = None

    def close(self):
        """At the end: the last count as a line (--progress), or the bar erased."""
        if self.lines and self.count != self.drawn:
            self.total = self.total or self.count
            self.shown = None
            self.count -= 1
            self.done(1)
        self.erase()
