"""quorvane-cli in pipelines: `-` for standard input, `--out -` for standard output, real
processes and pipes. Usage: stream_test.py QUORVANE_CLI"""
import datetime
import os
import subprocess
import sys
import tempfile
import threading
import time
import unittest

CLI = None
HELD_BACK = 4 * 32767 + 16


def feed(pipe, data, repeat=1):
    """Writes `data` `repeat` times into `pipe` from a thread, then closes it."""
    def run():
        try:
            for _ in range(repeat):
                pipe.write(data)
        except BrokenPipeError:
            pass
        finally:
            pipe.close()
    thread = threading.Thread(target=run)
    thread.start()
    return thread


def run(args, data=b"", stdout=subprocess.PIPE):
    """Runs the tool with `data` on a pipe to its standard input: (status, output, errors)."""
    done = subprocess.run([CLI] + args, input=data, stdout=stdout, stderr=subprocess.PIPE,
                          check=False)
    return done.returncode, done.stdout, done.stderr.decode()


class Pipelines(unittest.TestCase):
    def setUp(self):
        self.data = os.urandom(1_000_003)

    def test_producer_sign_check_strip_consumer(self):
        # producer | sign - --out - | strip - --out - | consumer, each a process of its own.
        started = int(time.time())
        producer = subprocess.Popen(["cat"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        sign = subprocess.Popen([CLI, "sign", "--text", "Zoë\nline 2", "-", "--out", "-"],
                                stdin=producer.stdout, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        producer.stdout.close()
        tee = subprocess.Popen(["tee", "/dev/stderr"], stdin=sign.stdout, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
        sign.stdout.close()
        strip = subprocess.Popen([CLI, "strip", "-", "--out", "-"], stdin=tee.stdout,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        tee.stdout.close()
        writer = feed(producer.stdin, self.data)
        signed = []
        reader = threading.Thread(target=lambda: signed.append(tee.stderr.read()))
        reader.start()
        stripped = strip.stdout.read()
        writer.join()
        reader.join()
        for process in (producer, sign, tee, strip):
            process.wait()
        self.assertEqual(sign.stderr.read().decode(), "File encrypted succesfully!\n")
        self.assertEqual((sign.returncode, strip.returncode), (0, 0))
        self.assertEqual(stripped, self.data)
        self.assertEqual(signed[0][:len(self.data)], self.data)
        self.assertEqual(len(signed[0]), len(self.data) + 4 * 11 + 16)
        self.assertEqual(run(["check", "-"], signed[0])[:2], (0, b"Zo\xc3\xab\nline 2\n"))
        status, out, _ = run(["check", "--json", "-"], signed[0])
        self.assertEqual(status, 0)
        # The signing time, that of the pipeline above, as files give it.
        start, end = out.find(b'"signed_at": "') + 14, out.rfind(b'"}')
        signed_at = datetime.datetime.strptime(out[start:end].decode(), "%Y-%m-%dT%H:%M:%SZ")
        seconds = signed_at.replace(tzinfo=datetime.timezone.utc).timestamp()
        self.assertLessEqual(started - 1, seconds)
        self.assertLessEqual(seconds, time.time())
        self.assertEqual(out, b'{"path": "-", "signed": true, "text": "Zo\xc3\xab\\r\\nline 2", '
                              b'"signed_at": "' + out[start:end] + b'"}\n')

    def test_refusals_hold_back_the_last_bytes_and_fail(self):
        signed = run(["sign", "--text", "first", "-", "--out", "-"], self.data)[1]
        status, out, err = run(["sign", "--text", "again", "-", "--out", "-"], signed)
        self.assertEqual(status, 1)
        self.assertIn("standard input is already digitally signed, cannot re-sign!", err)
        self.assertEqual(out, signed[:len(signed) - HELD_BACK])
        status, out, err = run(["strip", "-", "--out", "-"], self.data)
        self.assertEqual((status, err), (1, "quorvane-cli: standard input: holds no signature, skipped\n"))
        self.assertEqual(out, self.data[:len(self.data) - HELD_BACK])
        self.assertEqual(run(["check", "-"], self.data)[0], 1)
        # Streams shorter than what is held back, and empty ones.
        for data in [b"", b"short"]:
            status, out, _ = run(["sign", "--text", "t", "-", "--out", "-"], data)
            self.assertEqual(status, 0)
            self.assertEqual(run(["strip", "-", "--out", "-"], out)[:2], (0, data))

    def test_a_named_file_goes_to_standard_output(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "a.bin")
            with open(path, "wb") as f:
                f.write(self.data)
            status, out, _ = run(["sign", "--text", "t", path, "--out", "-"])
            self.assertEqual((status, out[:len(self.data)]), (0, self.data))
            with open(path + ".signed", "wb") as f:
                f.write(out)
            self.assertEqual(run(["strip", "--out", "-", path + ".signed"])[:2], (0, self.data))
            status, _, err = run(["sign", "--text", "t", folder, "--out", "-"])
            self.assertEqual(status, 1)
            self.assertTrue(err.startswith("Could not open file %s for reading!" % folder), err)

    def test_kinds_of_streams_as_of_files(self):
        # Each stream gives the lines its file gives through --out DIR, the file's name for
        # "standard input"; a kind known from the head leaves nothing written, one known from
        # the end (a fixed VHD's footer) stops before the last bytes. Not a kind: a text in
        # UTF-16 with its byte order mark that begins as an MPEG audio frame would.
        import gzip
        footer = b"conectix\0\0\0\x02\0\x01\0\0".ljust(512, b"\0")
        cases = [("small.gz", gzip.compress(b"x" * 1000), 0), ("big.gz", gzip.compress(self.data), 0),
                 ("disk.vhd", self.data + footer, len(self.data) + 512 - HELD_BACK),
                 ("u.txt", "Hello World, hello".ljust(95).encode("utf-16"), None)]
        with tempfile.TemporaryDirectory() as folder:
            for name, data, left in cases:
                path = os.path.join(folder, name)
                with open(path, "wb") as f:
                    f.write(data)
                for skip in ([], ["--skip-kinds"]):
                    with self.subTest(name=name, skip=skip):
                        out_dir = tempfile.mkdtemp(dir=folder)
                        status, _, err = run(["sign", "--text", "t", *skip, "--out", out_dir, path])
                        streamed = run(["sign", "--text", "t", *skip, "-", "--out", "-"], data)
                        expected = err.replace(path, "standard input")
                        self.assertEqual((streamed[0], streamed[2]), (status, expected))
                        self.assertEqual(run(["sign", "--text", "t", *skip, path, "--out", "-"])[::2],
                                         (status, err))
                        self.assertEqual(len(err.splitlines()), 1 if left is None else 2)
                        if skip and left is not None:
                            self.assertEqual((status, streamed[1]), (1, data[:left]))
                        else:
                            self.assertEqual((status, streamed[1][:len(data)]), (0, data))
            # A signed copy is refused as signed, before its kind, whichever the output.
            run(["sign", "--text", "t", "--out", out_dir, os.path.join(folder, "big.gz")])
            signed = os.path.join(out_dir, "big_signed.gz")
            for skip in ([], ["--skip-kinds"]):
                lines = [run(["sign", "--text", "t", *skip, "--out", out, signed])[::2]
                         for out in (out_dir, "-")]
                self.assertEqual(lines, [(1, "File %s is already digitally signed, cannot "
                                             "re-sign!\nNo files were encrypted!\n" % signed)] * 2)

    def test_a_named_file_that_changes_while_streamed_gets_no_trailer(self):
        # A slow consumer: the first bytes are read, the file shrinks or is rewritten in place,
        # then the rest is read. What arrived is a prefix of the file, never its last bytes.
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "a.bin")
            data = os.urandom(4 << 20)
            signed = run(["sign", "--text", "t", "-", "--out", "-"], data)[1]
            cases = [(["sign", "--text", "t"], data, "Could not sign file {0}! ({0} changed "
                      "while it was read)\nNo files were encrypted!\n"),
                     (["strip"], signed, "quorvane-cli: {0}: cannot be read (changed while it "
                      "was read)\n")]
            for command, content, message in cases:
                for shrink in (True, False):
                    with open(path, "wb") as f:
                        f.write(content)
                    # A time long past: a rewrite within the file system's time step shows.
                    os.utime(path, (0, 0))
                    process = subprocess.Popen([CLI] + command + [path, "--out", "-"],
                                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                    first = process.stdout.read(256 << 10)
                    if shrink:
                        os.truncate(path, 1 << 20)
                    else:
                        with open(path, "r+b") as f:
                            f.write(b"new bytes")
                    out = first + process.stdout.read()
                    err = process.stderr.read().decode()
                    process.wait()
                    process.stdout.close()
                    process.stderr.close()
                    self.assertEqual((process.returncode, err), (1, message.format(path)))
                    self.assertEqual(out, content[:len(out)])
                    self.assertLessEqual(len(out), len(content) - HELD_BACK)
                    if not shrink:
                        self.assertEqual(len(out), len(content) - HELD_BACK)

    def test_memory_stays_flat_however_long_the_stream(self):
        def peak_kilobytes(process):
            _, status, usage = os.wait4(process.pid, 0)
            return os.waitstatus_to_exitcode(status), usage.ru_maxrss

        # What the program needs to start, and what a process started from here counts.
        _, baseline = peak_kilobytes(subprocess.Popen([CLI, "--version"],
                                                      stdout=subprocess.DEVNULL))
        process = subprocess.Popen([CLI, "check", "-"], stdin=subprocess.PIPE,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        writer = feed(process.stdin, bytes(1 << 20), repeat=400)
        status, peak = peak_kilobytes(process)
        writer.join()
        self.assertEqual(status, 1)
        self.assertLess(peak - baseline, 4 * 1024, "kilobytes of peak memory for 400 MiB")

    def test_output_that_is_a_terminal_or_fails_is_refused(self):
        main, terminal = os.openpty()
        try:
            status, _, err = run(["sign", "--text", "t", "-", "--out", "-"], b"data", terminal)
        finally:
            os.close(main)
            os.close(terminal)
        self.assertEqual(status, 2)
        self.assertIn("standard output is a terminal", err)
        with open("/dev/full", "wb") as full:
            status, _, err = run(["sign", "--text", "t", "-", "--out", "-"], self.data, full)
        self.assertEqual(status, 2)
        self.assertIn("cannot write to standard output: No space left on device", err)

    def test_usage_errors(self):
        for args in (["sign", "--text", "t", "-", "--out", "."],
                     ["sign", "--text-file", "-", "-", "--out", "-"],
                     ["sign", "--text", "t", "a", "b", "--out", "-"],
                     ["sign", "--text", "t", "-r", ".", "--out", "-"],
                     ["strip", "-", "--out", "."],
                     ["check", "-", "-"]):
            self.assertEqual(run(args)[0], 2, args)


if __name__ == "__main__":
    CLI = os.path.abspath(sys.argv.pop(1))
    unittest.main()
