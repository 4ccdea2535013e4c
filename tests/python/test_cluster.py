"""The Dask example on a real scheduler and two workers, one of them killed mid-run, against
quorvane-cli on the same tree; and check_remote through a real nginx on the loopback address.
Usage: test_cluster.py QUORVANE_CLI DASK_EXAMPLE"""
import ctypes
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import quorvane

CLI = EXAMPLE = None
FILES = 20_000


def with_parent():
    """In the child before it runs: end when this test's process ends, however it ends."""
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def start(args, **kwargs):
    return subprocess.Popen(args, preexec_fn=with_parent, **kwargs)


def stop(process):
    """Ends a process of ours on every path: politely, then for sure."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def wait_for(condition, what, timeout=120):
    """Waits for `condition` to hold, looking every few milliseconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


class Cluster:
    """A scheduler and two workers of Debian's Dask on the loopback address, in `folder`. With
    `seam` (a FIFO), the first worker's first chunk signs half its files, writes the worker's
    process id into the FIFO and waits there to be killed."""

    def __init__(self, folder, test_class, seam=None):
        self.processes = []
        test_class.addClassCleanup(lambda: [stop(p) for p in self.processes])
        scheduler_file = os.path.join(folder, "scheduler.json")
        logs = open(os.path.join(folder, "cluster.log"), "wb")
        test_class.addClassCleanup(logs.close)
        self.processes.append(start(
            ["/usr/bin/dask", "scheduler", "--host", "127.0.0.1", "--port", "0",
             "--dashboard-address", "127.0.0.1:0", "--scheduler-file", scheduler_file],
            stdout=logs, stderr=logs))
        for number in range(2):
            env = dict(os.environ)
            if seam is not None and number == 0:
                env["QUORVANE_CLUSTER_TEST_SEAM"] = seam
            self.processes.append(start(
                ["/usr/bin/dask", "worker", "--scheduler-file", scheduler_file, "--nthreads", "1",
                 "--no-nanny", "--no-dashboard", "--host", "127.0.0.1"],
                stdout=logs, stderr=logs, env=env))

        def address():
            try:
                with open(scheduler_file) as f:
                    return json.load(f)["address"]
            except (OSError, ValueError, KeyError):
                return None  # not written yet, or not whole
        wait_for(lambda: address() is not None, "the scheduler")
        self.address = address()
        from distributed import Client
        with Client(self.address, timeout=60) as client:
            client.wait_for_workers(2, timeout=120)


def seam_reached(fifo, timeout=300):
    """The process id a worker wrote into `fifo` once it signed half a chunk (waiting for it
    without looking at the clock: a FIFO opens when its writer comes)."""
    import threading
    said = []
    reader = threading.Thread(target=lambda: said.append(open(fifo, "rb").readline()),
                              daemon=True)
    reader.start()
    reader.join(timeout)
    if not said:
        raise AssertionError("no worker reached the seam")
    return int(said[0])


class DaskCluster(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.addClassCleanup(cls.dir.cleanup)
        cls.seam = os.path.join(cls.dir.name, "seam")
        os.mkfifo(cls.seam)
        cls.cluster = Cluster(cls.dir.name, cls, seam=cls.seam)
        cls.address = cls.cluster.address
        cls.processes = cls.cluster.processes

    def path(self, *names):
        return os.path.join(self.dir.name, *names)

    def run_tool(self, args, **kwargs):
        return subprocess.run(args, cwd=self.dir.name, capture_output=True, text=True, **kwargs)

    def test_a_tree_signed_and_checked_on_the_cluster_as_by_quorvane_cli(self):
        # 20,000 small files in 100 folders, one already signed, one that is not a regular file.
        for folder in range(100):
            os.makedirs(self.path("tree", "d%03d" % folder))
            for number in range(FILES // 100):
                with open(self.path("tree", "d%03d" % folder, "f%03d.txt" % number), "wb") as f:
                    f.write(os.urandom(10 + number % 50))
        with open(self.path("tree", "d050", "signed.bin"), "wb") as f:
            f.write(quorvane.sign_bytes(b"old", "earlier"))
        os.mkfifo(self.path("tree", "fifo"))
        text = "© 2026 Ada Example\nAll rights reserved"
        os.mkdir(self.path("cli"))
        os.mkdir(self.path("dask"))
        # Workers run in folders of their own: with --scheduler every path is made absolute.
        # No --force: a copy that a lost worker committed is the run's, not "exists, kept".
        cli = self.run_tool([CLI, "sign", "-r", "--text", text, "--out", self.path("cli"),
                             self.path("tree")])
        self.assertEqual(cli.returncode, 1, cli.stderr)

        run = start(
            [sys.executable, "-m", "quorvane.cluster", "sign", "--scheduler", self.address,
             "--text", text, "--out", "dask", "--batch", "250", "-r", "tree"],
            cwd=self.dir.name, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(stop, run)
        # A worker dies once it has committed half a chunk: the chunk runs again on the other.
        victim = seam_reached(self.seam)
        [worker] = [p for p in self.processes if p.pid == victim]
        self.assertTrue(os.listdir(self.path("dask")))
        worker.send_signal(signal.SIGKILL)
        worker.wait()
        out, err = run.communicate(timeout=600)
        self.assertEqual(run.returncode, cli.returncode, err)
        self.assertEqual(err.replace(self.path("dask"), "OUT"),
                         cli.stderr.replace(self.path("cli"), "OUT"))
        self.assertIn("20000 files encrypted succesfully!", err)
        self.assertNotIn("already exists", err)

        # Every copy whole, nothing else left: the same files as quorvane-cli's, checked on
        # the cluster with quorvane-cli's report.
        def files(top):
            return sorted(os.path.relpath(os.path.join(folder, name), top)
                          for folder, _, names in os.walk(top) for name in names)
        self.assertEqual(files(self.path("dask")), files(self.path("cli")))
        # A FIFO among the copies: what cannot be checked keeps its line and its place.
        os.mkfifo(self.path("dask", "tree", "d050", "fifo"))
        checked = subprocess.run(
            [sys.executable, EXAMPLE, "check", "--scheduler", self.address, "--batch", "1000",
             "--jobs", "2", "dask"], cwd=self.dir.name, capture_output=True, text=True,
            timeout=600)
        expected = self.run_tool([CLI, "check", "--json", "-r", self.path("dask")])
        self.assertEqual(expected.returncode, 1, expected.stderr)
        self.assertEqual((checked.returncode, checked.stdout, checked.stderr),
                         (expected.returncode, expected.stdout, expected.stderr))
        lines = [json.loads(line) for line in checked.stdout.splitlines()]
        self.assertEqual(len(lines), FILES + 1)
        self.assertEqual(set(line.get("text") for line in lines),
                         {text.replace("\n", "\r\n"), None})
        for folder in ("d000", "d099"):
            for name in ("f000", "f199"):
                with open(self.path("tree", folder, name + ".txt"), "rb") as source, \
                        open(self.path("dask", "tree", folder, name + "_signed.txt"), "rb") as copy:
                    original = source.read()
                    self.assertEqual(copy.read()[:len(original)], original)

        # Stripping the copies, listed NUL-separated, as strip runs again on a worker that
        # joins with the seam and is killed once it has written half a chunk.
        os.remove(self.path("dask", "tree", "d050", "fifo"))
        with open(self.path("copies.lst"), "wb") as f:
            for folder, _, names in sorted(os.walk(self.path("dask"))):
                for name in sorted(names):
                    f.write(os.fsencode(os.path.join(folder, name)) + b"\0")
        seam = self.path("strip-seam")
        os.mkfifo(seam)
        self.processes.append(start(
            ["/usr/bin/dask", "worker", self.address, "--nthreads", "1", "--no-nanny",
             "--no-dashboard", "--host", "127.0.0.1"], stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, env=dict(os.environ, QUORVANE_CLUSTER_TEST_SEAM=seam)))
        for door in ("cli-plain", "dask-plain"):
            os.mkdir(self.path(door))
        expected = self.run_tool([CLI, "strip", "--files-from", "copies.lst", "-0", "--out",
                                  self.path("cli-plain")])
        self.assertEqual(expected.returncode, 1, expected.stderr)
        run = start([sys.executable, "-m", "quorvane.cluster", "strip", "--scheduler",
                     self.address, "--batch", "500", "--files-from", "copies.lst", "-0", "--out",
                     "dask-plain"], cwd=self.dir.name, stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE, text=True)
        self.addCleanup(stop, run)
        victim = seam_reached(seam)
        [worker] = [p for p in self.processes if p.pid == victim]
        worker.send_signal(signal.SIGKILL)
        worker.wait()
        out, err = run.communicate(timeout=600)
        self.assertEqual((run.returncode, out, err.replace(self.path("dask-plain"), "OUT")),
                         (1, "", expected.stderr.replace(self.path("cli-plain"), "OUT")))
        self.assertEqual(files(self.path("dask-plain")), files(self.path("cli-plain")))
        self.assertEqual(len(files(self.path("dask-plain"))), FILES // 100)  # one per name


class ExampleAsCli(unittest.TestCase):
    """The Dask example against quorvane-cli on the same operands: standard output and error
    byte for byte (the output folders' names aside), exit statuses, and the copies. (Missing
    paths, FIFOs, links, UTF-16 text files, names that are not UTF-8 and check: test_parity.py,
    on a cluster of its own.)"""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.addClassCleanup(cls.dir.cleanup)
        cls.address = Cluster(cls.dir.name, cls).address

    def setUp(self):
        self.work = tempfile.mkdtemp(dir=self.dir.name)

    def path(self, *names):
        return os.path.join(self.work, *names)

    def write(self, name, data):
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        with open(self.path(name), "wb") as f:
            f.write(data)

    def both(self, command, cli_options, example_options, operands):
        """(status, stdout, stderr) of quorvane-cli and of the example, each signing into its own
        output folder (named OUT in what they print)."""
        runs = []
        for door in ("cli", "dask"):
            out = self.path("out-" + door)
            os.makedirs(out, exist_ok=True)
            if door == "cli":
                args = [CLI, command] + cli_options
            else:
                args = [sys.executable, EXAMPLE, command, "--scheduler", self.address,
                        "--batch", "1"] + example_options
            if command == "sign":
                args += ["--out", out]
            run = subprocess.run(args + operands, cwd=self.work, capture_output=True,
                                 timeout=300)
            runs.append((run.returncode, run.stdout.replace(os.fsencode(out), b"OUT"),
                         run.stderr.replace(os.fsencode(out), b"OUT")))
        return runs

    def copies(self, door):
        """Each copy below the door's output folder: its unsigned bytes and its text."""
        top = self.path("out-" + door)
        found = {}
        for folder, _, names in os.walk(os.fsencode(top)):
            for name in names:
                with open(os.path.join(folder, name), "rb") as f:
                    data = f.read()
                found[os.path.relpath(os.path.join(folder, name), os.fsencode(top))] = (
                    quorvane.strip_bytes(data), quorvane.read_trailer(data))
        return found

    def test_two_trees_with_a_shared_folder_lose_no_copy(self):
        for tree, names in [("t1", ["a.jpg", "b.jpg"]), ("t2", ["a.jpg", "c.jpg"])]:
            for name in names:
                self.write(tree + "/photos/" + name, (tree + name).encode())
        trees = [self.path("t1/photos"), self.path("t2/photos")]
        cli, dask = self.both("sign", ["--force", "-r", "--text", "T"], ["--text", "T"], trees)
        self.assertEqual(dask, cli)
        self.assertEqual(cli[0], 1)
        self.assertIn(b"Could not open file %s for writing! (OUT/photos/a_signed.jpg was written "
                      b"from %s earlier in this run)" % (os.fsencode(self.path("t2/photos/a.jpg")),
                                                          os.fsencode(self.path("t1/photos/a.jpg"))),
                      dask[2])
        self.assertEqual(self.copies("dask"), self.copies("cli"))
        self.assertEqual(self.copies("dask")[b"photos/a_signed.jpg"], (b"t1a.jpg", "T"))

    def test_dasks_progress_bar_only_when_asked_the_lines_as_quorvane_clis(self):
        for name in ("a", "b", "c"):
            self.write("t/%s.txt" % name, name.encode())
        self.write("t/old.bin", quorvane.sign_bytes(b"old", "earlier"))
        runs = {}
        for door, extra in [("cli", []), ("plain", []), ("progress", ["--progress"])]:
            out = self.path("out-" + door)
            os.mkdir(out)
            args = ([CLI, "sign"] if door == "cli" else
                    [sys.executable, "-m", "quorvane.cluster", "sign", "--scheduler",
                     self.address, "--batch", "1"])
            run = subprocess.run(args + extra + ["-r", "--text", "T", "--out", out,
                                                 self.path("t")],
                                 cwd=self.work, capture_output=True, timeout=300)
            runs[door] = (run.returncode, run.stdout,
                          run.stderr.replace(os.fsencode(out), b"OUT").splitlines())
        self.assertEqual(runs["plain"], runs["cli"])
        status, stdout, lines = runs["progress"]
        bars = [line for line in lines if line.startswith(b"[")]
        self.assertEqual((status, stdout, [line for line in lines if line not in bars]),
                         runs["cli"])
        self.assertTrue(bars and bars[-1].startswith(b"[" + b"#" * 40 + b"] | 100% Completed"),
                        lines)


class TheExamplesOwnCluster(unittest.TestCase):
    def test_on_the_loopback_address_alone_and_over_tls(self):
        import importlib.util
        import urllib.parse
        import psutil
        found = importlib.util.spec_from_file_location("dask_archive", EXAMPLE)
        example = importlib.util.module_from_spec(found)
        found.loader.exec_module(example)

        def listening():
            return {(c.laddr.ip, c.laddr.port) for c in psutil.Process().connections("inet")
                    if c.status == psutil.CONN_LISTEN}
        before = listening()
        with example.local_cluster(2) as cluster:
            opened = listening() - before
            self.assertRegex(cluster.scheduler_address, r"^tls://127\.0\.0\.1:\d+$")
            # Dask names 127.0.0.1 in the link even when it listens on every interface.
            dashboard = urllib.parse.urlsplit(cluster.dashboard_link).port
            self.assertIn(("127.0.0.1", dashboard), opened)
            self.assertEqual({ip for ip, _ in opened}, {"127.0.0.1"})
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "a.txt"), "wb") as f:
                f.write(b"a")
            run = subprocess.run([sys.executable, EXAMPLE, "sign", "--local", "2", "--text", "T",
                                  "--out", folder, "a.txt"], cwd=folder, capture_output=True,
                                 text=True, timeout=300)
            self.assertEqual((run.returncode, run.stdout, run.stderr),
                             (0, "", "File encrypted succesfully!\n"))
            self.assertEqual(quorvane.check(os.path.join(folder, "a_signed.txt")), "T")

class Nginx(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        root = self.dir.name
        os.mkdir(os.path.join(root, "files"))
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.log = os.path.join(root, "access.log")
        conf = os.path.join(root, "nginx.conf")
        with open(conf, "w") as f:
            f.write("""
master_process off;
daemon off;
pid %(root)s/nginx.pid;
error_log %(root)s/error.log;
events {}
http {
    log_format sizes '$uri $status $bytes_sent';
    access_log %(root)s/access.log sizes;
    client_body_temp_path %(root)s/body;
    proxy_temp_path %(root)s/proxy;
    fastcgi_temp_path %(root)s/fastcgi;
    uwsgi_temp_path %(root)s/uwsgi;
    scgi_temp_path %(root)s/scgi;
    server {
        listen 127.0.0.1:%(port)d;
        root %(root)s/files;
    }
}
""" % {"root": root, "port": self.port})
        self.nginx = start(["/usr/sbin/nginx", "-c", conf, "-p", root],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(stop, self.nginx)

        def listening():
            self.assertIsNone(self.nginx.poll(), "nginx ended")
            with socket.socket() as s:
                return s.connect_ex(("127.0.0.1", self.port)) == 0
        wait_for(listening, "nginx")

    def test_two_requests_and_under_140_kb_per_file_whatever_its_size(self):
        import fsspec
        cases = {"tiny.bin": (b"x" * 10, None),
                 "short.bin": (os.urandom(1000), "Ada"),
                 "big-short-text.iso": (bytes(20_000_000), "© 2026 Ada Example"),
                 "big-longest-text.iso": (bytes(20_000_000), "é" * 32767),
                 "unsigned.iso": (bytes(20_000_000), None)}
        for name, (data, text) in cases.items():
            with open(os.path.join(self.dir.name, "files", name), "wb") as f:
                f.write(quorvane.sign_bytes(data, text) if text else data)
        fs = fsspec.filesystem("http")
        base = "http://127.0.0.1:%d/" % self.port
        for name, (_, text) in cases.items():
            self.assertEqual(quorvane.check_remote(fs, base + name), text, name)
        requests = {}
        with open(self.log) as f:
            for line in f:
                uri, status, sent = line.split()
                self.assertEqual(status, "206", line)
                count, total = requests.get(uri[1:], (0, 0))
                requests[uri[1:]] = (count + 1, total + int(sent))
        for name in cases:
            count, total = requests[name]
            self.assertLessEqual(count, 2, name)
            self.assertLess(total, 140_000, name)
        self.assertEqual(requests["big-short-text.iso"][0], 1)


if __name__ == "__main__":
    CLI, EXAMPLE = (os.path.abspath(arg) for arg in sys.argv[1:3])
    del sys.argv[1:3]
    unittest.main()
