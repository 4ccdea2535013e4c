"""The Python module against the codec's reference cases, and its files, bytes and remote checks."""
import ast
import errno
import http.server
import inspect
import json
import os
import pathlib
import pickle
import resource
import signal
import stat
import sys
import tempfile
import threading
import unittest
import warnings

import fsspec
from fsspec.implementations.memory import MemoryFileSystem

import quorvane

# The trailers of "abc" at seeds 0 and 0x12345678, as the codec's tests pin them.
ABC_SEED_0 = bytes.fromhex("a79b30e4 b97030e4 276d30e4 ba0e30e4 00000000 55bfe1cb 4c66e1cb")
ABC_SEED_12345678 = bytes.fromhex(
    "940d78bb 590778bb 8aec78bb 936978bb 78563412 3b6286b8 46ba86b8")


def as_another_user(call):
    """`call` run by the user nobody in a child process when this one is root (root reads and
    writes past any permission); what it raised is raised here, pickled across."""
    if os.geteuid() != 0:
        return call

    def in_child():
        reader, writer = os.pipe()
        child = os.fork()
        if child == 0:
            try:
                os.close(reader)
                os.setgroups([])
                os.setgid(65534)
                os.setuid(65534)
                try:
                    call()
                    raised = None
                except Exception as error:
                    raised = error
                os.write(writer, pickle.dumps(raised))
            finally:
                os._exit(0)
        os.close(writer)
        with os.fdopen(reader, "rb") as f:
            raised = pickle.loads(f.read())
        os.waitpid(child, 0)
        if raised is not None:
            raise raised
    return in_child


def under_file_size_limit(call):
    """`call` with the files this process writes limited to 64 KiB (a write past it fails with
    EFBIG)."""
    def limited():
        before = resource.getrlimit(resource.RLIMIT_FSIZE)
        previous = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (64 << 10, before[1]))
        try:
            call()
        finally:
            resource.setrlimit(resource.RLIMIT_FSIZE, before)
            signal.signal(signal.SIGXFSZ, previous)
    return limited


class CountingFileSystem(MemoryFileSystem):
    """A memory file system that counts the range reads and the bytes they return."""

    reads = 0
    bytes_read = 0

    def cat_file(self, path, start=None, end=None, **kwargs):
        data = super().cat_file(path, start=start, end=end, **kwargs)
        type(self).reads += 1
        type(self).bytes_read += len(data)
        return data


class Server(http.server.ThreadingHTTPServer):
    """A web server on 127.0.0.1 in a thread, each path one way of answering a Range request;
    it counts the body bytes it manages to send per path and keeps each request's headers."""

    BIG = 256 << 20

    def __init__(self, signed):
        super().__init__(("127.0.0.1", 0), Answer)
        self.signed = signed
        self.sent, self.seen, self.ended = {}, [], {}
        threading.Thread(target=self.serve_forever, daemon=True).start()
        self.url = "http://127.0.0.1:%d/" % self.server_address[1]

    def finished(self, path):
        """Set once the answer to `path` has ended, whole or cut short."""
        return self.ended.setdefault(path, threading.Event())


class Answer(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, headers, body):
        """`body` (bytes, or a count of zeros sent on the fly) after the status and headers."""
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        self.end_headers()
        sent = 0
        try:
            if isinstance(body, int):
                chunk = bytes(1 << 20)
                while sent < body:
                    self.wfile.write(chunk)
                    sent += len(chunk)
            else:
                self.wfile.write(body)
                sent = len(body)
        except OSError:
            self.close_connection = True  # the client hung up
        self.server.sent[self.path] = self.server.sent.get(self.path, 0) + sent

    def do_GET(self):
        server, port = self.server, self.server.server_address[1]
        server.seen.append((self.path, self.headers.get("Host"),
                            self.headers.get("Authorization")))
        big, asked = Server.BIG, int(self.headers["Range"][len("bytes=-"):])
        try:
            if self.path == "/signed":
                tail = server.signed[-asked:]
                self.answer(206, {"Content-Length": len(tail), "Content-Range": "bytes %d-%d/%d"
                                  % (len(server.signed) - len(tail), len(server.signed) - 1,
                                     len(server.signed))}, tail)
            elif self.path == "/ignores-range":
                self.answer(200, {"Content-Length": big}, big)
            elif self.path == "/ignores-range-no-length":
                self.close_connection = True
                self.answer(200, {"Connection": "close"}, big)
            elif self.path == "/longer-part":
                self.close_connection = True
                self.answer(206, {"Connection": "close", "Content-Range": "bytes %d-%d/%d"
                                  % (big - asked, big - 1, big)}, big)
            elif self.path == "/first-part":
                self.answer(206, {"Content-Length": asked,
                                  "Content-Range": "bytes 0-%d/%d" % (asked - 1, big)},
                            bytes(asked))
            elif self.path == "/unnamed-part":
                self.answer(206, {"Content-Length": asked}, bytes(asked))
            elif self.path == "/empty":
                self.answer(416, {"Content-Length": 0, "Content-Range": "bytes */0"}, b"")
            else:
                moves = {"/to-localhost": "http://localhost:%d/signed" % port,
                         "/to-other-port": "http://127.0.0.1:%d/signed" % (port + 1),
                         "/to-same-host": "/signed", "/in-a-loop": "/in-a-loop"}
                self.answer(302, {"Location": moves[self.path], "Content-Length": 0}, b"")
        finally:
            server.finished(self.path).set()

class Trailers(unittest.TestCase):
    def test_reference_trailers_byte_for_byte(self):
        self.assertEqual(quorvane.trailer("abc", 0), ABC_SEED_0)
        self.assertEqual(quorvane.trailer("abc", 0x12345678), ABC_SEED_12345678)
        self.assertEqual(quorvane.read_trailer(ABC_SEED_12345678), "abc")

    def test_texts_the_trailer_cannot_hold_raise_with_the_message(self):
        for text in ["", "x" * 32768]:
            with self.assertRaises(quorvane.TextError) as raised:
                quorvane.trailer(text, 0)
            self.assertTrue(str(raised.exception))
            self.assertEqual(raised.exception.status, 5)
        longest = quorvane.trailer("\U0001F600" * 16383 + "x", 7)
        self.assertEqual(len(longest), quorvane.MAX_TRAILER_BYTES)
        # A typed text: its line breaks become CR LF before its length is judged.
        self.assertEqual(quorvane.text_to_sign("a\nb\rc"), "a\r\nb\r\nc")
        for text, words in [("", "empty"), ("\n" * 16384, "longer than 32767")]:
            with self.assertRaisesRegex(quorvane.TextError, words):
                quorvane.text_to_sign(text)

    def test_damaged_short_and_overlong_trailers_hold_no_signature(self):
        signed = b"content" + quorvane.trailer("proof", 99)
        self.assertEqual(quorvane.read_trailer(signed, len(signed)), "proof")
        for i in range(len(signed) - 36, len(signed)):
            if 4 * 5 + 4 <= i - (len(signed) - 36) < 4 * 5 + 8:
                continue  # the seed is not encoded: another seed is another table
            damaged = bytearray(signed)
            damaged[i] ^= 0x5A
            self.assertIsNone(quorvane.read_trailer(bytes(damaged), len(damaged)), i)
        # 19 bytes are too few, and so is a length reaching before the file's first byte.
        self.assertIsNone(quorvane.read_trailer(ABC_SEED_0[-19:], 19))
        self.assertIsNone(quorvane.read_trailer(ABC_SEED_0[1:], len(ABC_SEED_0) - 1))
        # Of two trailers, the last counts.
        twice = quorvane.sign_bytes(quorvane.sign_bytes(b"x" * 30, "first")[:-1], "second")
        self.assertEqual(quorvane.read_trailer(twice, len(twice)), "second")

    def test_the_last_bytes_tell_how_many_more_they_need(self):
        text = "é" * 3000
        signed = bytes(50) + quorvane.trailer(text, 12345)
        with self.assertRaises(quorvane.NeedMoreBytesError) as raised:
            quorvane.read_trailer(signed[-16:])
        self.assertEqual(raised.exception.needed, 4 * 3000 + 16)
        self.assertEqual(quorvane.read_trailer(signed[-(4 * 3000 + 16):]), text)


class Files(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def test_kinds_whose_programs_object_are_told_warned_about_or_left_out(self):
        with open(self.path("logs.gz"), "wb") as f:
            f.write(b"\x1f\x8b\x08\x00" + os.urandom(200))
        with open(self.path("notes.txt"), "wb") as f:
            f.write(b"plain")
        kind, consequence = quorvane.file_kind(self.path("logs.gz"))
        self.assertEqual(kind, "gzip")
        self.assertIn("trailing garbage", consequence)
        self.assertIsNone(quorvane.file_kind(self.path("notes.txt")))
        os.mkdir(self.path("out"))
        items = [self.path("logs.gz"), self.path("notes.txt")]
        count, messages = quorvane.sign_batch(items, self.path("out"), "me")
        self.assertEqual(count, 2)
        self.assertEqual(messages[0][:2], (0, quorvane.OK))
        self.assertTrue(messages[0][2].startswith("Warning: File " + items[0] + " (gzip): "))
        count, messages = quorvane.sign_batch(items, self.path("out"), "me",
                                              existing=quorvane.REPLACE, skip_kinds=True)
        self.assertEqual(count, 1)
        self.assertTrue(messages[0][2].endswith("Left out."), messages)

    def test_bytes_of_a_kind_warned_about_or_left_out_as_files_are(self):
        frame = b"\xff\xfb\x90\x00".ljust(417, b"\0")
        gzip = b"\x1f\x8b\x08\x00" + os.urandom(200)
        cases = [(gzip, "gzip", None),
                 (b"\xff\xfe" + "Hello, world. ".ljust(95).encode("utf-16-le"), None, None),
                 (frame * 3 + b"TAG".ljust(128, b"\0"), "mp3-end-tags", None),
                 (gzip + quorvane.trailer("t", 0), None, quorvane.AlreadySignedError)]
        for data, kind, refused in cases:
            for skip in (False, True):
                with self.subTest(kind=kind, skip=skip), warnings.catch_warnings(record=True) as told:
                    warnings.simplefilter("always")
                    if refused or (skip and kind):
                        with self.assertRaises(refused or quorvane.Error) as raised:
                            quorvane.sign_bytes(data, "t", skip_kinds=skip)
                        self.assertEqual(raised.exception.status,
                                         quorvane.ALREADY_SIGNED if refused else quorvane.FAILED)
                        self.assertIn("(%s)" % kind if kind else "already signed",
                                      str(raised.exception))
                    else:
                        out = quorvane.sign_bytes(data, "t", skip_kinds=skip)
                        self.assertEqual((out[:len(data)], quorvane.read_trailer(out)), (data, "t"))
                    # Told once, as the caller's own line.
                    self.assertEqual([(w.category, w.message.kind, w.filename) for w in told],
                                     [(quorvane.KindWarning, kind, __file__)]
                                     * (kind is not None and not skip and not refused))

    def test_sign_check_strip_round_trip_keeps_bytes_and_mode(self):
        data = os.urandom(200_000)
        with open(self.path("a.bin"), "wb") as f:
            f.write(data)
        os.chmod(self.path("a.bin"), 0o640)
        quorvane.sign(self.path("a.bin"), self.path("a_signed.bin"), "Zoë\r\nline 2")
        self.assertEqual(quorvane.check(self.path("a_signed.bin")), "Zoë\r\nline 2")
        self.assertIsNone(quorvane.check(self.path("a.bin")))
        self.assertEqual(stat.S_IMODE(os.stat(self.path("a_signed.bin")).st_mode),
                         0o640 & ~0o022)
        quorvane.strip(os.fsencode(self.path("a_signed.bin")), self.path("back.bin"))
        with open(self.path("back.bin"), "rb") as f:
            self.assertEqual(f.read(), data)

    def test_refusals_raise_with_the_reason_and_leave_the_output_alone(self):
        with open(self.path("a.txt"), "wb") as f:
            f.write(b"hello")
        quorvane.sign(self.path("a.txt"), self.path("a_signed.txt"), "one")
        with self.assertRaises(quorvane.OutputExistsError):
            quorvane.sign(self.path("a.txt"), self.path("a_signed.txt"), "two")
        self.assertEqual(quorvane.check(self.path("a_signed.txt")), "one")
        quorvane.sign(self.path("a.txt"), self.path("a_signed.txt"), "two", replace=True)
        self.assertEqual(quorvane.check(self.path("a_signed.txt")), "two")
        with self.assertRaises(quorvane.AlreadySignedError):
            quorvane.sign(self.path("a_signed.txt"), self.path("b.txt"), "x")
        self.assertFalse(os.path.exists(self.path("b.txt")))
        with self.assertRaises(quorvane.ReadError) as raised:
            quorvane.check(self.path("missing"))
        self.assertIn("No such file or directory", str(raised.exception))
        with self.assertRaises(quorvane.NotSignedError):
            quorvane.strip(self.path("a.txt"), self.path("c.txt"))
        self.assertEqual(sorted(os.listdir(self.dir.name)), ["a.txt", "a_signed.txt"])

    def test_a_batch_gives_quorvane_clis_lines(self):
        os.makedirs(self.path("tree/sub"))
        os.makedirs(self.path("out"))
        for name, data in [("tree/a.txt", b"a"), ("tree/sub/b.txt", ABC_SEED_0)]:
            with open(self.path(name), "wb") as f:
                f.write(data)
        os.mkfifo(self.path("tree/fifo"))
        files, problems = quorvane.list_files(self.path("tree"), self.path("out"))
        self.assertEqual(files, [(self.path("tree/a.txt"), "tree"),
                                 (self.path("tree/sub/b.txt"), "tree/sub")])
        self.assertEqual(problems, [self.path("tree/fifo") + ": not a regular file, skipped"])
        count, messages = quorvane.sign_batch(files, self.path("out"), "t", jobs=2)
        self.assertEqual(count, 1)
        self.assertEqual(messages, [
            (1, 2, "File %s is already digitally signed, cannot re-sign!"
             % self.path("tree/sub/b.txt")),
            (-1, 0, "File encrypted succesfully!")])
        self.assertEqual(quorvane.check(self.path("out/tree/a_signed.txt")), "t")

        # A link planted in the output folder leads nowhere: the file is refused.
        os.symlink(self.path("tree/sub"), self.path("out/linked"))
        count, messages = quorvane.sign_batch([(self.path("tree/a.txt"), "linked")],
                                              self.path("out"), "t")
        self.assertEqual((count, messages), (0, [
            (0, quorvane.CANNOT_WRITE,
             "Could not open file %s for writing! (%s: a link inside the output folder, not "
             "followed)" % (self.path("tree/a.txt"), self.path("out/linked/a_signed.txt"))),
            (-1, 0, "No files were encrypted!")]))
        self.assertFalse(os.path.exists(self.path("tree/sub/a_signed.txt")))

    def test_parts_of_one_run_keep_what_earlier_parts_wrote(self):
        os.makedirs(self.path("t1"))
        os.makedirs(self.path("t2"))
        os.makedirs(self.path("out"))
        for name in ("t1/a.txt", "t2/a.txt", "t2/b.txt"):
            with open(self.path(name), "wb") as f:
                f.write(name.encode())
        out = self.path("out")
        self.assertEqual(quorvane.sign_batch([self.path("t1/a.txt")], out, "t")[0], 1)
        earlier = [(os.path.join(out, "a_signed.txt"), self.path("t1/a.txt"))]
        # Replacing is asked for, yet the copy of the earlier part stays: the later source is
        # refused as in one batch; an output of the list that is gone refuses nothing.
        count, messages = quorvane.sign_batch(
            [self.path("t2/a.txt"), self.path("t2/b.txt")], out, "t", existing=quorvane.REPLACE,
            written_earlier=earlier + [(os.path.join(out, "gone.txt"), self.path("t1/a.txt"))])
        self.assertEqual((count, messages[0]), (1, (
            0, quorvane.CANNOT_WRITE, "Could not open file %s for writing! (%s was written from %s "
            "earlier in this run)" % (self.path("t2/a.txt"), earlier[0][0], earlier[0][1]))))
        with open(earlier[0][0], "rb") as f:
            self.assertEqual(quorvane.strip_bytes(f.read()), b"t1/a.txt")
        # Stripping: the original of a_signed.txt goes to out/a.txt, named by the library.
        os.mkdir(self.path("plain"))
        stripped = quorvane.strip_output(earlier[0][0], self.path("plain"))
        self.assertEqual(stripped, self.path("plain/a.txt"))
        self.assertEqual(quorvane.strip_batch([earlier[0][0]], self.path("plain"))[0], 1)
        count, messages = quorvane.strip_batch(
            [os.path.join(out, "b_signed.txt"), earlier[0][0]], self.path("plain"),
            existing=quorvane.REPLACE, written_earlier=[(stripped, earlier[0][0])])
        self.assertEqual((count, messages), (1, [
            (1, quorvane.CANNOT_WRITE, "%s: %s was written from %s earlier in this run, kept"
             % (earlier[0][0], stripped, earlier[0][0]))]))


# What NUL-terminated UTF-8 cannot carry: U+0000 and unpaired surrogates, beside a pair.
EXACT = "a\0b\ud800\u00e9\U0001F600\udfff"


class ExactTexts(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def test_nul_and_unpaired_surrogates_travel_both_ways(self):
        trailer = quorvane.trailer(EXACT, 1234567890)
        self.assertEqual(len(trailer), 4 * 8 + 16)
        self.assertEqual(quorvane.read_trailer(trailer, with_time=True),
                         (EXACT, "2009-02-13T23:31:30Z"))
        self.assertEqual(quorvane.read_trailer(quorvane.sign_bytes(b"data", EXACT)), EXACT)
        with open(self.path("a.txt"), "wb") as f:
            f.write(b"data")
        quorvane.sign(self.path("a.txt"), self.path("a_signed.txt"), EXACT)
        text, when = quorvane.check(self.path("a_signed.txt"), with_time=True)
        self.assertEqual(text, EXACT)
        self.assertRegex(when, r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.assertEqual(quorvane.check(self.path("a.txt"), with_time=True), (None, None))
        os.mkdir(self.path("out"))
        count, _ = quorvane.sign_batch([self.path("a.txt")], self.path("out"), EXACT)
        self.assertEqual((count, quorvane.check(self.path("out/a_signed.txt"))), (1, EXACT))
        # The halves of a pair written apart are that pair: UTF-16 cannot tell them apart.
        self.assertEqual(quorvane.read_trailer(quorvane.trailer("\ud83d\ude00", 0)), "\U0001F600")
        with self.assertRaises(quorvane.InvalidArgumentError):
            quorvane.check(self.path("a") + "\0")

    def test_check_and_strip_batches_as_quorvane_cli_in_order_with_any_jobs(self):
        os.mkdir(self.path("dup"))
        signed = b"original" + quorvane.trailer(EXACT, 1234567890)
        for name, data in [("one_signed.txt", signed), ("dup/one_signed.txt", signed),
                           ("plain.txt", b"plain")]:
            with open(self.path(name), "wb") as f:
                f.write(data)
        paths = [self.path(name) for name in
                 ["one_signed.txt", "plain.txt", "missing_signed.txt", "dup", "dup/one_signed.txt"]]
        checked = quorvane.check_batch(paths, jobs=4)
        self.assertEqual(checked, quorvane.check_batch(paths))
        self.assertEqual([c.path for c in checked], paths)
        self.assertEqual(checked[0][:4], (paths[0], EXACT, "2009-02-13T23:31:30Z", None))
        self.assertEqual(json.loads(checked[0].json_line),
                         {"path": paths[0], "signed": True, "text": EXACT,
                          "signed_at": "2009-02-13T23:31:30Z"})
        self.assertEqual(checked[1][1:4], (None, None, None))
        self.assertIn("No such file or directory", checked[2].reason)
        self.assertEqual(json.loads(checked[3].json_line)["reason"], checked[3].reason)

        os.mkdir(self.path("out"))
        count, messages = quorvane.strip_batch(paths[:3] + paths[4:], self.path("out"), jobs=3)
        self.assertEqual(count, 1)
        self.assertEqual([(index, status) for index, status, _ in messages],
                         [(1, 1), (2, 6), (3, 7)])
        self.assertEqual(messages[0][2], paths[1] + ": holds no signature, skipped")
        with open(self.path("out/one.txt"), "rb") as f:
            self.assertEqual(f.read(), b"original")
        self.assertEqual(quorvane.strip_batch(paths[:1], self.path("out"), quorvane.KEEP_QUIETLY),
                         (0, []))
        with self.assertRaises(quorvane.WriteError):
            quorvane.strip_batch(paths[:1], self.path("nowhere"))

    def test_check_entries_are_quorvane_clis_with_what_cannot_be_read_in_place(self):
        os.makedirs(self.path("tree/b"))
        for name in ["tree/a.txt", "tree/b/c.txt"]:
            with open(self.path(name), "wb") as f:
                f.write(b"x")
        os.mkfifo(self.path("tree/b/fifo"))
        entries = quorvane.list_check_entries(self.path("tree"))
        self.assertEqual([(path, line is None) for path, line in entries],
                         [(self.path("tree/a.txt"), True), (self.path("tree/b/c.txt"), True),
                          (self.path("tree/b/fifo"), False)])
        self.assertEqual(json.loads(entries[2][1])["error"], "cannot be read")
        self.assertEqual(quorvane.list_check_entries(self.path("tree/a.txt")),
                         [(self.path("tree/a.txt"), None)])


class PythonWays(unittest.TestCase):
    """Paths, errors, bytes and the GIL as Python's own functions have them."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def test_paths_of_every_kind_and_a_nul_refused_as_open_refuses_it(self):
        with open(self.path("a.bin"), "wb") as f:
            f.write(b"data")
        latin = os.fsencode(self.path("")) + b"lat\xe9.bin"
        quorvane.sign(pathlib.Path(self.path("a.bin")), latin, "t")
        self.assertEqual(quorvane.check(os.fsdecode(latin)), "t")
        quorvane.strip(latin, pathlib.PurePath(self.path("back.bin")))
        for call in [lambda: quorvane.sign(self.path("a.bin\0junk"), self.path("n1.bin"), "t"),
                     lambda: quorvane.sign(self.path("a.bin"), self.path("n2.bin\0junk"), "t"),
                     lambda: quorvane.check(os.fsencode(self.path("back.bin")) + b"\0x"),
                     lambda: quorvane.strip(latin, self.path("n3.bin\0"))]:
            with self.assertRaises(ValueError) as raised:
                call()
            self.assertIsInstance(raised.exception, quorvane.InvalidArgumentError)
        self.assertEqual(sorted(os.listdir(os.fsencode(self.dir.name))),
                         [b"a.bin", b"back.bin", b"lat\xe9.bin"])
        with self.assertRaises(quorvane.InvalidArgumentError):
            quorvane.sign_batch(self.path("a.bin"), self.dir.name, "t")
        self.assertEqual(len(os.listdir(self.dir.name)), 3)
        # A folder holding names that are not UTF-8: each is signed or reported, as bytes give;
        # a message shows such a byte as an escape, as quorvane-cli's do.
        os.makedirs(self.path("tree"))
        os.mkdir(self.path("out"))
        tree = os.fsencode(self.path("tree"))
        for name, data in [(b"old-lat\xe9.bin", quorvane.sign_bytes(b"x", "old")),
                           (b"new-lat\xe9.bin", b"new")]:
            with open(tree + b"/" + name, "wb") as f:
                f.write(data)
        items, problems = quorvane.list_sign_items(self.path("tree"), self.path("out"))
        count, messages = quorvane.sign_batch(items, self.path("out"), "t")
        self.assertEqual((count, problems), (1, []))
        self.assertEqual(os.fsencode(messages[0][2]), b"File " + tree +
                         b"/old-lat\\xe9.bin is already digitally signed, cannot re-sign!")
        self.assertEqual(os.listdir(os.fsencode(self.path("out/tree"))), [b"new-lat\xe9_signed.bin"])

    def test_failures_are_the_os_errors_python_raises_with_errno_and_filename(self):
        """Each failure made for real: the class raised (also the OSError subclass of its errno
        where the system gave one; exactly the class where the reason is Quorvane's own), its
        errno and the file it names: the source, the output, or none for a text or argument."""
        for name, data in [("a.txt", b"a"), ("b.txt", b"b"), ("locked.txt", b"x"),
                           ("big.bin", bytes(200_000))]:
            with open(self.path(name), "wb") as f:
                f.write(data)
        quorvane.sign(self.path("a.txt"), self.path("signed.txt"), "t")
        os.mkdir(self.path("dir"))
        os.mkdir(self.path("closed"), 0o555)
        os.mkfifo(self.path("fifo"))
        # Another user reaches the folder and writes in it, but not in closed/, nor reads
        # locked.txt, nor writes over b.txt.
        os.chmod(self.dir.name, 0o777)
        os.chmod(self.path("locked.txt"), 0)
        os.chmod(self.path("b.txt"), 0o444)
        p, out = self.path, self.path("out.txt")
        cases = [
            (lambda: quorvane.check(p("gone")), quorvane.ReadError, FileNotFoundError,
             errno.ENOENT, p("gone")),
            # A name that would drive a terminal is exact as the filename, escaped in the text.
            (lambda: quorvane.check(p("\x1b[2Jgone")), quorvane.ReadError, FileNotFoundError,
             errno.ENOENT, p("\x1b[2Jgone")),
            (lambda: quorvane.check(pathlib.Path(p("a.txt/x"))), quorvane.ReadError,
             NotADirectoryError, errno.ENOTDIR, p("a.txt/x")),
            (lambda: quorvane.check(p("dir")), quorvane.ReadError, None, None, p("dir")),
            (as_another_user(lambda: quorvane.check(p("locked.txt"))), quorvane.ReadError,
             PermissionError, errno.EACCES, p("locked.txt")),
            (lambda: quorvane.file_kind(p("fifo")), quorvane.ReadError, None, None, p("fifo")),
            (lambda: quorvane.sign(p("gone"), out, "t"), quorvane.ReadError, FileNotFoundError,
             errno.ENOENT, p("gone")),
            (lambda: quorvane.sign(p("dir"), out, "t"), quorvane.ReadError, None, None, p("dir")),
            (lambda: quorvane.sign(p("fifo"), out, "t"), quorvane.ReadError, None, None,
             p("fifo")),
            (as_another_user(lambda: quorvane.sign(p("locked.txt"), out, "t")),
             quorvane.ReadError, PermissionError, errno.EACCES, p("locked.txt")),
            (lambda: quorvane.sign(p("signed.txt"), out, "t"), quorvane.AlreadySignedError, None,
             None, p("signed.txt")),
            (lambda: quorvane.sign(p("a.txt"), p("no/a_signed.txt"), "t"), quorvane.WriteError,
             FileNotFoundError, errno.ENOENT, p("no/a_signed.txt")),
            (lambda: quorvane.sign(p("a.txt"), p("b.txt"), "t"), quorvane.OutputExistsError,
             FileExistsError, errno.EEXIST, p("b.txt")),
            (as_another_user(lambda: quorvane.sign(p("a.txt"), p("b.txt"), "t", replace=True)),
             quorvane.WriteError, PermissionError, errno.EACCES, p("b.txt")),
            (as_another_user(lambda: quorvane.sign(p("a.txt"), p("closed/a.txt"), "t")),
             quorvane.WriteError, PermissionError, errno.EACCES, p("closed/a.txt")),
            (lambda: quorvane.sign(p("a.txt"), p("dir"), "t", replace=True), quorvane.WriteError,
             IsADirectoryError, errno.EISDIR, p("dir")),
            (lambda: quorvane.sign(p("a.txt"), p("./a.txt"), "t", replace=True),
             quorvane.WriteError, None, None, p("./a.txt")),
            (under_file_size_limit(lambda: quorvane.sign(p("big.bin"), out, "t")),
             quorvane.WriteError, None, errno.EFBIG, out),
            (lambda: quorvane.sign(p("a.txt"), out, "x" * 32768), quorvane.TextError, None, None,
             None),
            (lambda: quorvane.strip(p("gone"), out), quorvane.ReadError, FileNotFoundError,
             errno.ENOENT, p("gone")),
            (lambda: quorvane.strip(p("a.txt"), out), quorvane.NotSignedError, None, None,
             p("a.txt")),
            (lambda: quorvane.strip(p("signed.txt"), p("b.txt")), quorvane.OutputExistsError,
             FileExistsError, errno.EEXIST, p("b.txt")),
            (lambda: quorvane.strip_batch([p("a.txt")], p("gone")), quorvane.WriteError,
             FileNotFoundError, errno.ENOENT, p("gone")),
            (lambda: quorvane.sign_batch([p("a.txt")], p("dir"), "t", "always"),
             quorvane.InvalidArgumentError, None, None, None),
            (lambda: quorvane.trailer("\ud800" * 32768, 0), quorvane.TextError, None, None, None),
            (lambda: quorvane.sign_bytes(b"x", ""), quorvane.TextError, None, None, None),
            (lambda: quorvane.trailer("t", 2 ** 32), quorvane.InvalidArgumentError, None, None,
             None)]
        for row, (call, kind, os_kind, number, filename) in enumerate(cases):
            with self.assertRaises(kind, msg=row) as raised:
                call()
            error = raised.exception
            if os_kind is None:
                self.assertIs(type(error), kind, row)
            else:
                self.assertIsInstance(error, os_kind, row)
            self.assertEqual((getattr(error, "errno", None), error.filename, error.status),
                             (number, filename, kind.status), row)
            self.assertNotIn("\x1b", str(error), row)
            # As a cluster ships it from a worker.
            again = pickle.loads(pickle.dumps(error))
            self.assertIs(type(again), type(error), row)
            self.assertEqual((str(again), getattr(again, "errno", None), again.filename),
                             (str(error), number, filename), row)
        self.assertEqual(sorted(os.listdir(self.dir.name)),
                         ["a.txt", "b.txt", "big.bin", "closed", "dir", "fifo", "locked.txt",
                          "signed.txt"])
        with open(self.path("b.txt"), "rb") as f:
            self.assertEqual(f.read(), b"b")

    def test_check_remote_gives_the_file_systems_failures_as_read_errors(self):
        class Refusing(MemoryFileSystem):
            def cat_file(self, path, start=None, end=None, **kwargs):
                raise RuntimeError("503 Service Unavailable")
        with self.assertRaises(quorvane.ReadError) as raised:
            quorvane.check_remote(MemoryFileSystem(), "/no/such/object")
        self.assertIsInstance(raised.exception, FileNotFoundError)
        self.assertEqual(raised.exception.filename, "/no/such/object")
        with self.assertRaises(quorvane.ReadError) as raised:
            quorvane.check_remote(Refusing(), "/x")
        self.assertIn("503 Service Unavailable", str(raised.exception))

    def test_bytes_like_objects_in_place_and_the_gil_released_for_big_ones(self):
        data = os.urandom(1000)
        signed = quorvane.sign_bytes(data, EXACT)
        for kind in (bytearray, memoryview, lambda b: memoryview(b"xx" + b + b"yy")[2:-2]):
            self.assertEqual(quorvane.sign_bytes(kind(data), EXACT)[:1000], data)
            self.assertEqual(quorvane.strip_bytes(kind(signed)), data)
            self.assertEqual(quorvane.read_trailer(kind(signed)), EXACT)
        with self.assertRaises(quorvane.AlreadySignedError):
            quorvane.sign_bytes(bytearray(signed), "again")
        # With a switch interval of 100 s the GIL changes hands only when its holder waits: the
        # prober gets it only while a call has let it go, and the call takes it back only after
        # the prober is done, the bytearray still lent to the call. A call that kept the GIL
        # would leave the prober no moment until the join, when nothing is lent any more.
        big = bytearray(8 << 20)
        go, probes = threading.Event(), []

        def probe():
            go.wait()
            try:
                big.append(0)  # a lent bytearray cannot be resized
            except BufferError:
                probes.append("lent")
            else:
                del big[-1]
                probes.append("free")
        interval = sys.getswitchinterval()
        sys.setswitchinterval(100)
        self.addCleanup(sys.setswitchinterval, interval)
        thread = threading.Thread(target=probe)
        thread.start()
        go.set()
        # The prober needs to be scheduled while a call runs: each call is another chance.
        for _ in range(300):
            out = quorvane.sign_bytes(big, "t")
            if probes:
                break
        thread.join()
        self.assertEqual(probes, ["lent"])
        self.assertEqual(out, bytes(8 << 20) + out[-20:])

    def test_every_public_name_documented_with_its_signature(self):
        for name in quorvane.__all__:
            value = getattr(quorvane, name)
            if callable(value) and not isinstance(value, type):
                inspect.signature(value)
            if callable(value):
                self.assertTrue(value.__doc__, name)
                self.assertEqual(value.__module__, "quorvane", name)
        self.assertEqual(list(inspect.signature(quorvane.sign_batch).parameters),
                         ["items", "output_folder", "text", "existing", "jobs", "skip_kinds",
                          "written_earlier", "on_result", "progress"])
        for batch in quorvane.sign_batch, quorvane.check_batch, quorvane.strip_batch:
            for name in "on_result", "progress":
                self.assertEqual(inspect.signature(batch).parameters[name].kind,
                                 inspect.Parameter.KEYWORD_ONLY)
        self.assertEqual(list(inspect.signature(quorvane.sign_bytes).parameters),
                         ["data", "text", "skip_kinds"])
        self.assertTrue({"ASK", "REPLACE", "KEEP_QUIETLY", "MAX_TRAILER_BYTES"}
                        <= set(quorvane.__all__))
        # The type stub declares every public name.
        with open(os.path.join(os.path.dirname(quorvane.__file__), "__init__.pyi")) as f:
            stub = ast.parse(f.read())
        declared = {node.name for node in stub.body if hasattr(node, "name")}
        declared |= {node.target.id for node in stub.body if isinstance(node, ast.AnnAssign)}
        self.assertEqual(set(quorvane.__all__) - declared, set())


# Counts the Checked results given to it, keeping none.
STREAMED_CHECK = """
import resource, sys, quorvane
folder = sys.argv[1]
def peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
def run(count):
    seen = [0]
    def counted(checked):
        seen[0] += 1
        assert checked.reason is not None
    quorvane.check_batch((folder + "/missing-%d.txt" % i for i in range(count)),
                         on_result=counted, progress=lambda done, known, copied: None)
    assert seen[0] == count
run(2000)
before = peak()
run(200000)
print(peak() - before)
"""


class Streamed(unittest.TestCase):
    """Batches over iterators pulled as the run goes, results and progress as they come."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.out = os.path.join(self.dir.name, "out")
        os.mkdir(self.out)
        self.a = self.write("a.txt", b"aaaa")

    def write(self, name, data, at=0):
        with open(os.path.join(self.dir.name, name), "wb") as f:
            f.seek(at)
            f.write(data)
        return f.name

    def test_a_generator_pulled_as_the_run_goes_with_results_and_progress_in_order(self):
        pulled, events = [], []

        def paths():
            for path in [self.a, "missing.txt", self.a]:
                pulled.append(path)
                yield path
        count, messages = quorvane.sign_batch(
            paths(), self.out, "t", on_result=lambda m: events.append((len(pulled), m)),
            progress=lambda *p: events.append(p))
        self.assertEqual((count, messages), (1, []))
        lines = [event for event in events if len(event) == 2]
        self.assertEqual([(m[0], m[1]) for _, m in lines], [(1, 6), (2, 7), (-1, 0)])
        # Each file's line comes before the next file is pulled (one job), then its progress.
        self.assertEqual([pulled for pulled, _ in lines], [2, 3, 3])
        told = [event for event in events if len(event) == 3]
        self.assertEqual(told[-1], (3, 3, 8))  # the refused copy counted too
        self.assertEqual(sorted(set(done for done, _, _ in told)), [0, 1, 2, 3])
        self.assertLess(events.index(told[-1]), events.index(lines[-1]))

        checked = []
        copy = os.path.join(self.out, "a_signed.txt")
        found = quorvane.check_batch(iter([copy, self.a]), jobs=3, on_result=checked.append,
                                     progress=lambda *p: checked.append(p))
        self.assertEqual(found, [])
        self.assertEqual([c if len(c) == 3 else c.text for c in checked],
                         ["t", (1, 2, 0), None, (2, 2, 0)])  # two known ahead
        # A list is known ahead; what is not stripped comes as it is met.
        told, stripped = [], os.path.join(self.dir.name, "stripped")
        os.mkdir(stripped)
        self.assertEqual(quorvane.strip_batch([copy, self.a], stripped, progress=lambda *p:
                                              told.append(p))[0], 1)
        self.assertEqual(told, [(0, 2, 4), (1, 2, 4), (2, 2, 4)])

    def test_a_raise_in_the_iterator_or_a_callback_ends_the_run_and_propagates(self):
        def failing():
            yield self.a
            raise KeyError("from the iterator")
        for jobs in 1, 4:
            with self.assertRaisesRegex(KeyError, "from the iterator"):
                quorvane.sign_batch(failing(), self.out, "t", existing=quorvane.REPLACE,
                                    jobs=jobs)
            self.assertEqual(os.listdir(self.out), ["a_signed.txt"])
        # The progress callback raises while a copy is under way (told when its hole of 65 MiB
        # is passed): the copy is dropped, the one before it stays, the next is not made.
        big = self.write("big.bin", b"x", at=65 << 20)
        other = self.write("other.txt", b"o")

        def stop(done, known, copied):
            if copied > 1 << 20:
                raise InterruptedError("stopped in the copy")
        with self.assertRaisesRegex(InterruptedError, "stopped in the copy"):
            quorvane.sign_batch([self.a, big, other], self.out, "t", existing=quorvane.REPLACE,
                                progress=stop)
        self.assertEqual(os.listdir(self.out), ["a_signed.txt"])
        seen = []

        def refuse(message):
            seen.append(message)
            raise ValueError("from on_result")
        with self.assertRaisesRegex(ValueError, "from on_result"):
            quorvane.strip_batch(["missing_signed.txt", os.path.join(self.out, "a_signed.txt")],
                                 self.out, on_result=refuse)
        self.assertEqual((len(seen), os.listdir(self.out)), (1, ["a_signed.txt"]))
        with self.assertRaises(quorvane.InvalidArgumentError):
            quorvane.check_batch([self.a], progress="not callable")

    def test_memory_stays_flat_over_a_generator_of_200000_paths(self):
        # In a process of its own, whose peak resident memory no other test raised first.
        import subprocess
        grown = subprocess.run([sys.executable, "-c", STREAMED_CHECK, self.dir.name],
                               check=True, capture_output=True, text=True).stdout
        # Listing the paths or the results would take some 40 MiB.
        self.assertLess(int(grown), 8 << 10)


class Remote(unittest.TestCase):
    def setUp(self):
        CountingFileSystem.store.clear()
        CountingFileSystem.reads = CountingFileSystem.bytes_read = 0
        self.fs = CountingFileSystem()

    def test_two_small_reads_at_most_whatever_the_size(self):
        cases = [("/small", b"x" * 10, None), ("/tiny-signed", b"", "a"),
                 ("/short-text", bytes(3_000_000), "Ada"),
                 ("/long-text", bytes(1_000_000), "é" * 32767),
                 ("/unsigned", bytes(5_000_000), None)]
        for path, data, text in cases:
            content = quorvane.sign_bytes(data, text) if text else data
            self.fs.pipe(path, content)
            CountingFileSystem.reads = CountingFileSystem.bytes_read = 0
            self.assertEqual(quorvane.check_remote(self.fs, path), text, path)
            self.assertLessEqual(CountingFileSystem.reads, 2, path)
            self.assertLess(CountingFileSystem.bytes_read, 140_000, path)
        self.assertEqual(quorvane.check_remote(fsspec.filesystem("memory"), "/short-text"), "Ada")

    def test_first_read_from_1_to_the_longest_trailer_and_never_more_taken(self):
        longest = "é" * 32767
        self.fs.pipe("/long-text", quorvane.sign_bytes(b"x", longest))
        for first_read, reads in [(1, 2), (quorvane.FIRST_READ_BYTES, 2),
                                  (quorvane.MAX_TRAILER_BYTES, 1)]:
            CountingFileSystem.reads = 0
            self.assertEqual(quorvane.check_remote(self.fs, "/long-text", first_read), longest)
            self.assertEqual(CountingFileSystem.reads, reads, first_read)
        CountingFileSystem.reads = 0
        for bad in [0, -1, -4096, quorvane.MAX_TRAILER_BYTES + 1, 2 ** 64, 4096.0, "4096", None,
                    True]:
            with self.assertRaises(quorvane.InvalidArgumentError, msg=repr(bad)) as raised:
                quorvane.check_remote(self.fs, "/long-text", bad)
            self.assertEqual(str(raised.exception), "first_read is a number of bytes from 1 to "
                             "131084, not %r" % (bad,))
        self.assertEqual(CountingFileSystem.reads, 0)

        class Careless(MemoryFileSystem):
            def cat_file(self, path, start=None, end=None, **kwargs):
                return super().cat_file(path)  # the whole object, whatever was asked
        with self.assertRaises(quorvane.ReadError) as raised:
            quorvane.check_remote(Careless(), "/long-text")
        self.assertEqual(str(raised.exception), "cannot read /long-text: the file system sent "
                         "more than the 4096 bytes asked for")

    def test_http_reads_no_more_than_asked_and_follows_no_redirect_to_another_host(self):
        text = "© 2026 Ada Example"
        server = Server(quorvane.sign_bytes(os.urandom(10_000), text))
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        port = server.server_address[1]
        # A credential for 127.0.0.1, which must not travel to localhost.
        fs = fsspec.filesystem("http", headers={"Authorization": "Bearer t"},
                               skip_instance_cache=True)
        too_much = "the server sent more than the 4096 bytes asked for"
        cases = [("signed", {}, text), ("empty", {}, None), ("to-same-host", {}, text),
                 ("to-localhost", {"follow_other_hosts": True}, text),
                 ("ignores-range", {}, too_much), ("ignores-range-no-length", {}, too_much),
                 ("longer-part", {}, too_much),
                 ("first-part", {}, "the server sent other bytes than the last 4096 asked for"),
                 ("unnamed-part", {}, "the server sent a part without saying which"),
                 ("to-localhost", {}, "the server redirects it to another host "
                  "(http://localhost:%d/signed), which follow_other_hosts=True allows" % port),
                 ("to-other-port", {}, "the server redirects it to another host "
                  "(http://127.0.0.1:%d/signed), which follow_other_hosts=True allows"
                  % (port + 1)),
                 ("in-a-loop", {}, "more than 10 redirects")]
        for path, options, expected in cases:
            url = server.url + path
            if expected in (None, text):
                self.assertEqual(quorvane.check_remote(fs, url, **options), expected, path)
                continue
            with self.assertRaises(quorvane.ReadError, msg=path) as raised:
                quorvane.check_remote(fs, url, **options)
            self.assertEqual((str(raised.exception), raised.exception.filename),
                             ("cannot read %s: %s" % (url, expected), url))
        # Each 256 MiB answer cut short: what it sent is what the sockets' buffers took.
        for path in ["/ignores-range", "/ignores-range-no-length", "/longer-part"]:
            self.assertTrue(server.finished(path).wait(120), path)
            self.assertLess(server.sent[path], 64 << 20, path)
        self.assertEqual({(host == "localhost:%d" % port, token) for _, host, token in server.seen},
                         {(False, "Bearer t"), (True, None)})
        self.assertEqual(server.seen.count(("/signed", "localhost:%d" % port, None)), 1)
        self.assertEqual([path for path, _, _ in server.seen].count("/in-a-loop"), 11)


if __name__ == "__main__":
    unittest.main()
