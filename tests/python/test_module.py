"""The Python module against the codec's reference cases, and its files, bytes and remote checks."""
import json
import os
import stat
import tempfile
import unittest

import fsspec
from fsspec.implementations.memory import MemoryFileSystem

import quorvane

# The trailers of "abc" at seeds 0 and 0x12345678, as the codec's tests pin them.
ABC_SEED_0 = bytes.fromhex("a79b30e4 b97030e4 276d30e4 ba0e30e4 00000000 55bfe1cb 4c66e1cb")
ABC_SEED_12345678 = bytes.fromhex(
    "940d78bb 590778bb 8aec78bb 936978bb 78563412 3b6286b8 46ba86b8")


class CountingFileSystem(MemoryFileSystem):
    """A memory file system that counts the range reads and the bytes they return."""

    reads = 0
    bytes_read = 0

    def cat_file(self, path, start=None, end=None, **kwargs):
        data = super().cat_file(path, start=start, end=end, **kwargs)
        type(self).reads += 1
        type(self).bytes_read += len(data)
        return data


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


if __name__ == "__main__":
    unittest.main()
