"""One corpus of hostile inputs through every door of Quorvane: quorvane-cli, the C library
(through ctypes), the Python module, and python3 -m quorvane.cluster and the Dask example on a
scheduler and two real workers.
Each door signs, checks and strips as `quorvane-cli sign --force -r`, `check --json -r` and
`strip --force` do, and must give quorvane-cli's exit status, standard output and standard
error line for line (the output folders' names aside; for a usage error its first line), and
the same files: the same bytes before each trailer and the same texts.

Usage: test_parity.py QUORVANE_CLI LIBQUORVANE DASK_EXAMPLE"""
import ctypes
import gzip
import os
import re
import subprocess
import sys
import tempfile
import unittest
import warnings

import quorvane
from test_cluster import Cluster

CLI = LIBRARY = EXAMPLE = None


def lines(items):
    return b"".join(item + b"\n" for item in items)


class PythonApi:
    """The Python module, as a door calls it."""

    def text(self, data):
        try:
            return quorvane.with_crlf(quorvane.text_from_file_bytes(data)), None
        except quorvane.TextError as error:
            return None, str(error)

    @staticmethod
    def units(text):
        return len(text.encode("utf-16-le", "surrogatepass")) // 2

    def list_sign_items(self, path, out):
        """The files, and each problem with the number of files before it."""
        items, problems = [], []
        for entry in quorvane.list_sign_entries(path, out):
            if isinstance(entry, str):
                problems.append((len(items), os.fsencode(entry)))
            else:
                items.append(entry)
        return items, problems

    def sign_batch(self, items, out, text):
        try:
            return quorvane.sign_batch(items, out, text, quorvane.REPLACE)[1]
        except quorvane.WriteError as error:
            return [(-1, quorvane.CANNOT_WRITE, str(error))]

    def list_check_entries(self, path):
        return [(entry, line) for entry, line in quorvane.list_check_entries(path)]

    def check_batch(self, paths):
        return [(found.json_line, found.text is not None)
                for found in quorvane.check_batch(paths, jobs=3)]

    def strip_batch(self, sources, out):
        try:
            return quorvane.strip_batch(sources, out, quorvane.REPLACE, jobs=2)[1]
        except quorvane.WriteError as error:
            return [(-1, quorvane.CANNOT_WRITE, str(error))]


class CheckResult(ctypes.Structure):
    _fields_ = [("index", ctypes.c_size_t), ("status", ctypes.c_int),
                ("text", ctypes.c_char_p), ("text_size", ctypes.c_size_t),
                ("signed_at", ctypes.c_int64), ("reason", ctypes.c_char_p),
                ("json_line", ctypes.c_char_p)]


class Kind(ctypes.Structure):
    _fields_ = [("id", ctypes.c_char_p), ("consequence", ctypes.c_char_p)]


class Item(ctypes.Structure):
    _fields_ = [("source", ctypes.c_char_p), ("subfolder", ctypes.c_char_p)]


PAIR = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p)
ONE = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p)
REPORT = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_int, ctypes.c_char_p)
CHECKED = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.POINTER(CheckResult))


class CApi:
    """libquorvane through ctypes, as a C program calls it: texts in WTF-8, paths as bytes."""

    def __init__(self, library):
        self.c = ctypes.CDLL(library)

    def given(self, call, *args):
        """A text the library hands out, freed."""
        text, size = ctypes.c_void_p(), ctypes.c_size_t()
        status = call(*args, ctypes.byref(text), ctypes.byref(size))
        found = ctypes.string_at(text, size.value) if status == 0 else None
        self.c.quorvane_free(text)
        return found, None if status == 0 else self.c_error()

    def c_error(self):
        self.c.quorvane_last_error.restype = ctypes.c_char_p
        return self.c.quorvane_last_error().decode()

    def text(self, data):
        text, problem = self.given(self.c.quorvane_text_from_file_bytes, data,
                                   ctypes.c_size_t(len(data)))
        return (self.given(self.c.quorvane_with_crlf, text, ctypes.c_size_t(len(text)))[0]
                if text is not None else None), problem

    @staticmethod
    def units(text):
        return PythonApi.units(text.decode("utf-8", "surrogatepass"))

    def list_sign_items(self, path, out):
        items, problems = [], []
        self.c.quorvane_list_sign_items(os.fsencode(path), os.fsencode(out),
                                        PAIR(lambda _, p, s: items.append((p, s))),
                                        ONE(lambda _, line: problems.append((len(items), line))),
                                        None)
        return items, problems

    def sign_batch(self, items, out, text):
        array = (Item * len(items))(*[Item(source, sub) for source, sub in items])
        reported = []
        self.c.quorvane_sign_batch_n(array, ctypes.c_size_t(len(items)), os.fsencode(out), text,
                                     ctypes.c_size_t(len(text)), 1, 2,
                                     REPORT(lambda _, i, s, line: reported.append((i, s, line))),
                                     None, None)
        return reported

    def list_check_entries(self, path):
        entries = []
        self.c.quorvane_list_check_entries(os.fsencode(path),
                                           PAIR(lambda _, p, line: entries.append((p, line))),
                                           None)
        return entries

    def check_batch(self, paths):
        found = []
        array = (ctypes.c_char_p * len(paths))(*paths)
        self.c.quorvane_check_batch(array, ctypes.c_size_t(len(paths)), 3, CHECKED(
            lambda _, r: found.append((r.contents.json_line, r.contents.status == 0))), None, None)
        return found

    def strip_batch(self, sources, out):
        array = (ctypes.c_char_p * len(sources))(*[os.fsencode(s) for s in sources])
        reported = []
        self.c.quorvane_strip_batch(array, ctypes.c_size_t(len(sources)), os.fsencode(out), 1, 2,
                                    REPORT(lambda _, i, s, line: reported.append((i, s, line))),
                                    None, None)
        return reported


def as_bytes(line):
    return line if isinstance(line, bytes) else os.fsencode(line)


def run_api(api, command, text_file, out, operands):
    """What quorvane-cli prints for the command, composed from `api`'s calls as a door does:
    (status, stdout, stderr)."""
    if command == "sign":
        with open(text_file, "rb") as f:
            data = f.read(quorvane.MAX_TEXT_FILE_BYTES + 1)
        text, problem = api.text(data)
        if len(data) > quorvane.MAX_TEXT_FILE_BYTES:
            problem = "the text in %s is longer than 32767 UTF-16 code units" % text_file
        elif problem:
            problem = "cannot read the text from %s: %s" % (text_file, problem)
        elif api.units(text) > quorvane.MAX_TEXT_UNITS:
            problem = "the text is longer than 32767 UTF-16 code units"
        if problem:
            return 2, b"", lines([b"quorvane-cli: " + problem.encode()])
        # What the walks skip is said in its place among the files' lines.
        items, skipped = [], []
        for path in operands:
            found, problems = api.list_sign_items(path, out)
            skipped += [(len(items) + at, b"quorvane-cli: " + as_bytes(problem))
                        for at, problem in problems]
            items += found
        reported = api.sign_batch(items, out, text)
        if reported[-1][1] == quorvane.CANNOT_WRITE:
            return 2, b"", lines([as_bytes(reported[-1][2])])
        said, skipped_any = [], bool(skipped)
        for index, _, line in reported:
            while skipped and skipped[0][0] <= (index if index >= 0 else len(items)):
                said.append(skipped.pop(0)[1])
            said.append(as_bytes(line))
        status = 1 if skipped_any or any(s != quorvane.OK for _, s, _ in reported) else 0
        return status, b"", lines(said)
    if command == "check":
        entries = [entry for path in operands for entry in api.list_check_entries(path)]
        checked = iter(api.check_batch([path for path, line in entries if line is None]))
        found = [next(checked) if line is None else (line, False) for _, line in entries]
        return (0 if all(signed for _, signed in found) else 1), \
            lines([as_bytes(line) for line, _ in found]), b""
    reported = api.strip_batch(operands, out)
    if reported and reported[-1][0] == -1:
        return 2, b"", lines([as_bytes(reported[-1][2])])
    return (1 if reported else 0), b"", lines([b"quorvane-cli: " + as_bytes(line)
                                               for _, _, line in reported])


class Parity(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.addClassCleanup(cls.dir.cleanup)
        cls.address = Cluster(cls.dir.name, cls).address
        cls.root = os.path.join(cls.dir.name, "corpus")
        cls.make_corpus(cls.root)
        cls.apis = {"c": CApi(LIBRARY), "python": PythonApi()}

    HOSTILE_NAME = b"t2/photos/esc\x1b]0;PWNED\x07\x1b[2J\n\xc2\x9b.bin"

    @classmethod
    def make_corpus(cls, root):
        def write(name, data):
            path = os.path.join(os.fsencode(root), os.fsencode(name))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        for tree, names in [("t1", ["a.jpg", "b.jpg"]), ("t2", ["a.jpg", "c.jpg"])]:
            for name in names:
                write("%s/photos/%s" % (tree, name), os.urandom(300) + name.encode())
        write(b"t2/photos/lat\xe9.bin", b"latin name")
        write("t2/photos/signed.bin", quorvane.sign_bytes(b"signed before", "earlier"))
        # A stranger's tree: a name that would drive a terminal, a file named like a copy in
        # the making, and a link to another file of the user's, which is not followed.
        write(cls.HOSTILE_NAME, quorvane.sign_bytes(b"signed before", "earlier"))
        write("t1/photos/.quorvane-0123456789ab.tmp", b"hidden")
        os.symlink("../../file.txt", os.path.join(root, "t1/photos/notes-link.txt"))
        # A kind whose own tools object to a signed copy: signed after a warning; signed
        # before, refused as signed and not named. A text in UTF-16 that begins as an MPEG
        # Layer I frame as long as itself is no kind.
        write("t1/photos/notes.gz", gzip.compress(b"compressed notes"))
        write("t2/photos/old.gz", gzip.compress(b"old notes") + quorvane.trailer("earlier", 0))
        write("t1/photos/u.txt", b"\xff\xfe" + "Hello, world".ljust(95).encode("utf-16-le"))
        write("file.txt", b"a file given by name")
        for fifo in ("t2/photos/fifo", "fifo"):
            os.mkfifo(os.path.join(root, fifo))
        for link, target in [("t2/photos/dangling", "nowhere"), ("dangling", "nowhere"),
                             ("t2/photos/up", ".."), ("t2/photos/mem", "/proc/self/mem")]:
            os.symlink(target, os.path.join(root, link))  # mem: a file no read succeeds on
        units = "a\u0000b\udfff\ud800é😀\r\n"  # U+0000, two unpaired surrogates
        write("texts/utf16le.txt", "\ufeff".encode("utf-16-le") + ("A" + units + "line\n")
              .encode("utf-16-le", "surrogatepass"))
        write("texts/utf16be.txt", "\ufeff".encode("utf-16-be") + "Z\rmixed\nbreaks"
              .encode("utf-16-be"))
        write("texts/longest.txt", ("é" * 32765 + "😀").encode() + b"\n")
        write("texts/too-long.txt", b"x" * (quorvane.MAX_TEXT_FILE_BYTES + 1))
        write("texts/breaks-too-long.txt", b"\n" * 20000)
        write("texts/latin1.txt", "Zoë".encode("latin-1"))

    def path(self, *names):
        return os.path.join(self.root, *names)

    def run_doors(self, command, operands, text_file=None):
        """Each door's (status, stdout, stderr) with its output folder named OUT, and the
        copies it made: {name below OUT: (bytes before the trailer, text)}."""
        results = {}
        for door in ["cli", "c", "python", "cluster"] + (["dask"] if command != "strip" else []):
            out = tempfile.mkdtemp(dir=self.dir.name)
            sources = list(operands)
            if door == "cli":
                args = [CLI, command] + {"sign": ["--force", "-r", "--text-file", text_file],
                                         "check": ["--json", "-r", "--jobs", "3"],
                                         "strip": ["--force"]}[command]
            elif door == "dask":
                args = [sys.executable, EXAMPLE, command, "--scheduler", self.address,
                        "--batch", "1", "--jobs", "2"]
                args += ["--text-file", text_file] if command == "sign" else []
            elif door == "cluster":
                # quorvane-cli's own options, one file per task: every decision of the run
                # crosses tasks.
                args = [sys.executable, "-m", "quorvane.cluster", command,
                        "--scheduler", self.address, "--batch", "1"] + {
                    "sign": ["--force", "-r", "--text-file", text_file],
                    "check": ["--json", "-r", "--jobs", "3"], "strip": ["--force"]}[command]
            if door in ("cli", "dask", "cluster"):
                args += ["--out", out] if command != "check" else []
                run = subprocess.run(args + sources, cwd=self.root, capture_output=True,
                                     timeout=300)
                found = (run.returncode, run.stdout, run.stderr)
            else:
                found = run_api(self.apis[door], command, text_file, out, sources)
            status, stdout, stderr = (found[0], found[1].replace(os.fsencode(out), b"OUT"),
                                      found[2].replace(os.fsencode(out), b"OUT"))
            if status == 2:
                stderr = stderr.split(b"\n")[0]
            results[door] = (status, stdout, stderr), self.copies(out)
        for door, result in results.items():
            with self.subTest(door=door):
                self.assertEqual(result[0], results["cli"][0])
                self.assertEqual(result[1], results["cli"][1])
        return results["cli"]

    @staticmethod
    def copies(top):
        found = {}
        for folder, _, names in os.walk(os.fsencode(top)):
            for name in names:
                with open(os.path.join(folder, name), "rb") as f:
                    data = f.read()
                try:
                    found[os.path.relpath(os.path.join(folder, name), os.fsencode(top))] = (
                        quorvane.strip_bytes(data), quorvane.read_trailer(data))
                except quorvane.NotSignedError:
                    found[os.path.relpath(os.path.join(folder, name), os.fsencode(top))] = data
        return found

    def test_signing_with_hostile_texts_trees_and_paths(self):
        operands = [self.path(p) for p in ["t1/photos", "t2/photos", "file.txt", "fifo",
                                           "dangling", "missing", "t2/photos/up"]]
        for text in ["utf16le", "utf16be", "longest"]:
            (status, _, stderr), copies = self.run_doors("sign", operands,
                                                         self.path("texts", text + ".txt"))
            self.assertEqual(status, 1)
            self.assertIn(b"earlier in this run", stderr)
            self.assertIn(b"Warning: File %s (gzip)" % os.fsencode(self.path("t1/photos/notes.gz")),
                          stderr)
            old = os.fsencode(self.path("t2/photos/old.gz"))
            self.assertIn(b"File %s is already digitally signed, cannot re-sign!\n" % old, stderr)
            self.assertNotIn(b"old.gz (", stderr)
            self.assertNotIn(b"u.txt", stderr)
            self.assertIn(b"photos/u_signed.txt", b"".join(copies))
            self.assertIn(b"photos/lat\xe9_signed.bin", b"".join(copies))
            self.assertNotIn(b"notes-link", b"".join(copies))
            self.assertNotIn(b"\x1b", stderr)
            for line in [b"esc\\x1b]0;PWNED\\x07\\x1b[2J\\n\\u009b.bin is already digitally signed",
                         b"photos/notes-link.txt: a link to a file, not followed",
                         b"photos/.quorvane-0123456789ab.tmp: named like an unfinished copy"]:
                self.assertIn(line, stderr)
        self.assertEqual(copies[b"file_signed.txt"][1], "\u00e9" * 32765 + "😀")
        for text in ["too-long", "breaks-too-long", "latin1"]:
            (status, _, stderr), copies = self.run_doors("sign", operands,
                                                         self.path("texts", text + ".txt"))
            self.assertEqual((status, copies), (2, {}), stderr)

    def test_streams_and_bytes_judge_kinds_as_standard_input_does(self):
        # quorvane-cli's standard input, a descriptor through the C library and Python's bytes:
        # the same outcome, kind and bytes out.
        c = self.apis["c"].c
        for name, kinds, refused in [("t1/photos/notes.gz", ["gzip"], False),
                                     ("t1/photos/u.txt", [], False),
                                     ("t2/photos/old.gz", [], True)]:
            with open(self.path(name), "rb") as f:
                data = f.read()
            for skip in (False, True):
                found = {}
                run = subprocess.run([CLI, "sign", "--text", "t", *["--skip-kinds"] * skip,
                                      "-", "--out", "-"], input=data, capture_output=True)
                found["cli"] = (run.returncode, run.stdout, run.stderr.decode())
                kind = Kind()
                with open(self.path(name), "rb") as source, tempfile.TemporaryFile() as out:
                    status = c.quorvane_sign_fd_with(source.fileno(), out.fileno(), b"t",
                                                     ctypes.c_size_t(1), 4 * skip,
                                                     ctypes.byref(kind))
                    out.seek(0)
                    found["c"] = (int(status != 0), out.read(),
                                  "(%s): " % kind.id.decode() if kind.id else "")
                with warnings.catch_warnings(record=True) as told:
                    warnings.simplefilter("always")
                    try:
                        signed = quorvane.sign_bytes(data, "t", skip_kinds=skip)
                        found["python"] = (0, signed, "".join("(%s): " % w.message.kind
                                                              for w in told))
                    except quorvane.Error as error:
                        found["python"] = (1, b"", str(error))
                # Each door's status, bytes out, their text and the kinds it named.
                said = {door: (status, out[:len(data)], quorvane.read_trailer(out, len(out)),
                               re.findall(r"\((\w+)\): ", words))
                        for door, (status, out, words) in found.items()}
                with self.subTest(name=name, skip=skip):
                    self.assertEqual((said["cli"][0], said["cli"][3]),
                                     (int(refused or (skip and kinds != [])), kinds))
                    self.assertEqual(said["c"], said["cli"])
                    self.assertEqual(said["python"], said["cli"])

    def test_checking_and_stripping_what_was_signed(self):
        signed = tempfile.mkdtemp(dir=self.dir.name)
        subprocess.run([CLI, "sign", "-r", "--text-file", self.path("texts", "utf16le.txt"),
                        "--out", signed, self.path("t1"), self.path("t2")], capture_output=True)
        os.mkfifo(os.path.join(signed, "t2", "photos", "fifo"))
        os.symlink(self.path("t1"), os.path.join(signed, "t2", "link"))
        os.symlink(self.path("file.txt"), os.path.join(signed, "t2", "file-link"))
        with open(os.path.join(signed, "t2", ".quorvane-0123456789ab.tmp"), "wb") as f:
            f.write(b"not signed, not passed over")
        (status, stdout, _), _ = self.run_doors(
            "check", [signed, self.path("fifo"), self.path("dangling"), self.path("missing")])
        self.assertEqual(status, 1)
        self.assertIn(b'"text": "Aa\\u0000b\\udfff\\ud800\xc3\xa9\xf0\x9f\x98\x80\\r\\nline"',
                      stdout)
        self.assertIn(b'file-link", "signed": false, "error": "cannot be read", "reason": '
                      b'"a link to a file, not followed"', stdout)
        self.assertIn(b'.quorvane-0123456789ab.tmp", "signed": false, "text": null', stdout)
        copies = [os.path.join(signed, "t1", "photos", "a_signed.jpg"),
                  os.path.join(signed, "t2", "photos", "a_signed.jpg"),
                  os.path.join(os.fsencode(signed), b"t2/photos/lat\xe9_signed.bin"),
                  self.path("file.txt"), self.path("missing"), self.path("fifo")]
        (status, _, stderr), stripped = self.run_doors("strip", copies)
        self.assertEqual(status, 1)
        self.assertEqual(stripped[b"a.jpg"][:300], open(self.path("t1/photos/a.jpg"), "rb")
                         .read()[:300])

    def test_outputs_of_other_runs_and_of_this_one_across_tasks(self):
        # Without --force and with --no-clobber, one file per task: outputs of an earlier run
        # are kept (with quorvane-cli's line, or quietly), and an output written by another
        # task of this run refuses its later source, for signing and stripping alike.
        sources = [self.path("t1/photos"), self.path("t2/photos"), self.path("file.txt")]
        for command, operands, options in [
                ("sign", sources, ["-r", "--text", "T"]),
                ("strip", [self.path("t2/photos/signed.bin"), self.path("t2/photos/old.gz"),
                           self.path("t2/photos/signed.bin")], [])]:
            for existing in ([], ["--no-clobber"]):
                found = {}
                for door in ("cli", "cluster"):
                    out = tempfile.mkdtemp(dir=self.dir.name)
                    prefix = ([CLI] if door == "cli" else
                              [sys.executable, "-m", "quorvane.cluster"])
                    cluster = ([] if door == "cli" else
                               ["--scheduler", self.address, "--batch", "1"])
                    runs = []
                    for _ in range(2):
                        run = subprocess.run(prefix + [command] + options + existing + cluster +
                                             ["--out", out] + operands, cwd=self.root,
                                             capture_output=True, timeout=300)
                        runs.append((run.returncode, run.stdout,
                                     run.stderr.replace(os.fsencode(out), b"OUT")))
                    found[door] = runs, self.copies(out)
                with self.subTest(command=command, existing=existing):
                    self.assertEqual(found["cluster"], found["cli"])
                    second = found["cli"][0][1][2]
                    self.assertEqual(b"already exists" in second, not existing, second)
                    self.assertIn(b"earlier in this run", found["cli"][0][0][2])

    def test_without_r_a_folder_is_refused_or_checked_as_quorvane_cli_does(self):
        hostile = os.path.join(os.fsencode(self.root), os.path.dirname(self.HOSTILE_NAME))
        operands = [self.path("t1"), hostile, self.path("fifo"), self.path("file.txt"),
                    self.path("dangling")]
        for command, options in [("sign", ["--text", "T"]), ("check", ["--json"])]:
            found = {}
            for door in ("cli", "cluster"):
                out = tempfile.mkdtemp(dir=self.dir.name)
                args = ([CLI, command] if door == "cli" else
                        [sys.executable, "-m", "quorvane.cluster", command, "--scheduler",
                         self.address, "--batch", "2"])
                args += options + (["--out", out] if command == "sign" else [])
                run = subprocess.run(args + operands, cwd=self.root, capture_output=True,
                                     timeout=300)
                found[door] = (run.returncode, run.stdout,
                               run.stderr.replace(os.fsencode(out), b"OUT"), self.copies(out))
            with self.subTest(command=command):
                self.assertEqual(found["cluster"], found["cli"])
                self.assertEqual(found["cli"][0], 1)
                self.assertNotIn(b"\x1b", found["cli"][2])
                if command == "sign":
                    self.assertIn(b"/t1 is a folder; -r signs the files in it\n",
                                  found["cli"][2])
                    self.assertEqual(set(found["cli"][3]), {b"file_signed.txt"})


if __name__ == "__main__":
    CLI, LIBRARY, EXAMPLE = (os.path.abspath(arg) for arg in sys.argv[1:4])
    del sys.argv[1:4]
    unittest.main()
