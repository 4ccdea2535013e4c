"""Runs every example of README.md and docs/*.md as written, each in a fresh folder, and compares
the output it states, as Python's doctest does for docstrings.

    run_docs.py ROOT QUORVANE_CLI PYTHON_PATH PKG_CONFIG_PATH [FILE:LINE...]

What a code block is comes from the block, or from a comment on the line before it,
`<!-- docs-test: DIRECTIVE; DIRECTIVE... -->`:
  - a Python block holding `>>>` runs under doctest (ELLIPSIS); another Python block as a script;
  - a block whose lines start with `$ ` is a shell session: each command runs in one bash (lines
    ending in `\\` go on), and what it prints, standard output and error together as a terminal
    shows them, must be the lines below it (`...` stands for anything, and a signing time for
    any signing time); every command must succeed;
  - any other shell block runs as a bash script with `set -e -o pipefail`;
  - a C block whose first line is `/* NAME.c: COMMAND */` is written to NAME.c and COMMAND run;
  - a script or a C block prints nothing but what the block right after it shows, marked
    `output` (compared as a session's lines are), and must succeed;
  - `skip REASON`: not run (what needs this machine's packages, a certificate, Windows);
    `given FILE...`: those files exist first; `in a clone`: the folder holds `python`, the
    repository's python/; `stand-in aws`: an `aws` on PATH copies s3://BUCKET/KEY to and from
    s3/BUCKET/KEY; `stand-in http`: https://example.org/NAME is served from the folder by nginx
    on the loopback address (the block is run with that address in its place); `after the
    example above`: runs in the folder of the example before it, after it (a session that runs
    a C example's program).
A block that is none of these, and carries no directive, fails: every example is run or says why
not. Background processes a block starts end with it. The programs are the build's:
quorvane-cli, the Python module (python3 is Debian's), libquorvane through pkg-config (and the
loader finds it).
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = CLI = PYTHON_PATH = PKG_CONFIG_PATH = LIBRARY_PATH = None
MARKER = re.compile(r"^\s*<!-- docs-test: (.*) -->\s*$")
SIGNING_TIME = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ"
AWS = r'''#!/usr/bin/python3
"""A stand-in for `aws s3 cp SRC DST`: s3://BUCKET/KEY is the file s3/BUCKET/KEY here, - is
standard input or output."""
import os, shutil, sys
if sys.argv[1:3] != ["s3", "cp"] or len(sys.argv) != 5:
    sys.exit("aws stand-in: only s3 cp SRC DST")
def local(name):
    return os.path.join("s3", name[len("s3://"):]) if name.startswith("s3://") else name
source, target = local(sys.argv[3]), local(sys.argv[4])
with (sys.stdin.buffer if source == "-" else open(source, "rb")) as f:
    data = f.read()
if target == "-":
    sys.stdout.buffer.write(data)
else:
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(target, "wb") as f:
        f.write(data)
'''


def code_blocks(path):
    """(line, fence language or None for an indented block, lines, directives) of each block."""
    lines = open(path, encoding="utf-8").read().split("\n")
    blocks, i = [], 0

    def directives(before):
        while before >= 0 and not lines[before].strip():
            before -= 1
        found = MARKER.match(lines[before]) if before >= 0 else None
        return [part.strip() for part in found.group(1).split(";")] if found else []
    while i < len(lines):
        fence = re.match(r"^(\s*)```(\w*)\s*$", lines[i])
        if fence:
            end = i + 1
            while not lines[end].strip().startswith("```"):
                end += 1
            indent = len(fence.group(1))
            body = [line[indent:] for line in lines[i + 1:end]]
            blocks.append((i + 1, fence.group(2), body, directives(i - 1)))
            i = end + 1
            continue
        indented = re.match(r"^( {4,})\S", lines[i])
        if indented and i > 0 and (not lines[i - 1].strip() or MARKER.match(lines[i - 1])):
            indent = len(indented.group(1))
            # A list item's text is indented too: a code block is four more than its item.
            previous = i - 1
            while previous >= 0 and (not lines[previous].strip() or MARKER.match(lines[previous])):
                previous -= 1
            item = re.match(r"^(\s*)(?:[-*] |\d+\. )", lines[previous]) if previous >= 0 else None
            context = len(re.match(r"^(\s*)", lines[previous]).group(1)) if previous >= 0 else 0
            if item:
                context = len(item.group(1)) + 2
            if indent - context >= 4:
                end = i
                while end < len(lines) and (lines[end].startswith(" " * indent)
                                            or not lines[end].strip()):
                    end += 1
                while not lines[end - 1].strip():
                    end -= 1
                blocks.append((i + 1, None, [line[indent:] for line in lines[i:end]],
                               directives(i - 1)))
                i = end
                continue
        i += 1
    return blocks


class Nginx:
    """nginx serving `folder` on the loopback address, for the http stand-in."""

    def __init__(self, folder):
        self.dir = tempfile.mkdtemp()
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        conf = os.path.join(self.dir, "nginx.conf")
        with open(conf, "w") as f:
            f.write("master_process off; daemon off; pid %(d)s/nginx.pid; error_log %(d)s/error.log;"
                    "events {} http { access_log off; client_body_temp_path %(d)s/b;"
                    " proxy_temp_path %(d)s/p; fastcgi_temp_path %(d)s/f; uwsgi_temp_path %(d)s/u;"
                    " scgi_temp_path %(d)s/s; server { listen 127.0.0.1:%(port)d;"
                    " root %(root)s; } }" % {"d": self.dir, "port": self.port, "root": folder})
        self.process = subprocess.Popen(["/usr/sbin/nginx", "-c", conf, "-p", self.dir],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while True:
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", self.port)) == 0:
                    break
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("nginx did not start")
            time.sleep(0.02)

    def close(self):
        self.process.terminate()
        self.process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def environment(folder, stand_ins):
    bin_dir = os.path.join(folder, ".stand-ins")
    os.makedirs(bin_dir, exist_ok=True)
    if "aws" in stand_ins:
        with open(os.path.join(bin_dir, "aws"), "w") as f:
            f.write(AWS)
        os.chmod(os.path.join(bin_dir, "aws"), 0o755)
    env = dict(os.environ)
    env["PATH"] = os.pathsep.join([bin_dir, os.path.dirname(CLI), "/usr/local/sbin",
                                   "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin", "/bin"])
    env["PYTHONPATH"] = PYTHON_PATH
    env["PKG_CONFIG_PATH"] = PKG_CONFIG_PATH
    env["LD_LIBRARY_PATH"] = LIBRARY_PATH
    env["LC_ALL"] = "C.UTF-8"
    return env


def run_in_session(args, folder, env):
    """Runs `args` in a session of its own, ending whatever it left running. Its output goes
    to a file, which background processes may hold open after it ends."""
    with tempfile.TemporaryFile() as output:
        process = subprocess.Popen(args, cwd=folder, env=env, start_new_session=True,
                                   stdin=subprocess.DEVNULL, stdout=output,
                                   stderr=subprocess.STDOUT)
        try:
            process.wait(timeout=300)
        finally:
            try:
                os.killpg(process.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            if process.poll() is None:
                process.kill()
                process.wait()
        output.seek(0)
        return process.returncode, output.read().decode("utf-8", "replace")


def matches(expected, actual):
    """`actual` is the line `expected` shows: `...` stands for anything, a signing time for any."""
    pieces = re.split(r"(\.\.\.|%s)" % SIGNING_TIME, expected)
    pattern = "".join(".*" if piece == "..." else SIGNING_TIME if re.fullmatch(SIGNING_TIME, piece)
                      else re.escape(piece) for piece in pieces)
    return re.fullmatch(pattern, actual) is not None


def differences(command, expected, output):
    """The problem when `output` is not the lines `expected` shows, or None."""
    got = output.rstrip("\n").split("\n") if output.strip() else []
    if len(got) == len(expected) and all(map(matches, expected, got)):
        return None
    return "%s\nexpected:\n%s\ngot:\n%s" % (command, "\n".join(expected), "\n".join(got))


def session(body, folder, env):
    """A `$ ` session: each command's output against the lines the block shows."""
    commands = []
    for line in body:
        if line.startswith("$ "):
            commands.append([line[2:], []])
        elif commands and commands[-1][0].endswith("\\") and not commands[-1][1]:
            commands[-1][0] += "\n" + line
        elif commands and line.strip():
            commands[-1][1].append(line)
    separator = "--- docs-test %d ---"
    script = ""
    for number, (command, _) in enumerate(commands):
        script += "echo '%s'\n%s\nstatus=$?; [ $status -eq 0 ] || echo \"exit status $status\"\n" % (
            separator % number, command)
    status, output = run_in_session(["bash", "-c", script], folder, env)
    parts = re.split(r"^--- docs-test \d+ ---\n", output, flags=re.M)[1:]
    problems = []
    for (command, expected), got in zip(commands, parts):
        problem = differences("$ " + command, expected, got)
        if problem:
            problems.append(problem)
    if len(parts) != len(commands):
        problems.append("the session ended early:\n" + output)
    return problems


def printed(what, status, output, shown):
    """The problems of a script or a program that gave `status` and `output`, against the lines
    `shown` (none when the docs show nothing)."""
    if status != 0:
        return ["%s: exit status %d\n%s" % (what, status, output)]
    problem = differences(what, list(shown), output)
    return [problem] if problem else []


def run_block(path, line, language, body, directives, folder, shown=()):
    """The problems of one block (empty when it ran as written), or None when skipped. `shown`:
    the lines its output block shows."""
    stand_ins, given, clone = set(), [], False
    for directive in directives:
        word, _, rest = directive.partition(" ")
        if word == "skip":
            return None
        if word == "given":
            given += rest.split()
        elif word == "stand-in":
            stand_ins.add(rest.split()[0])
        elif directive == "in a clone" or directive.startswith("in a clone "):
            clone = True
        elif word != "compiled" and directive != "after the example above":
            return ["unknown directive: " + directive]
    for name in given:
        os.makedirs(os.path.dirname(os.path.join(folder, name)) or folder, exist_ok=True)
        with open(os.path.join(folder, name), "w") as f:
            f.write("the file %s\n" % name)
    if clone:
        os.symlink(os.path.join(ROOT, "python"), os.path.join(folder, "python"))
    env = environment(folder, stand_ins)
    text = "\n".join(body) + "\n"
    nginx = Nginx(folder) if "http" in stand_ins else None
    try:
        if nginx:
            text = text.replace("https://example.org/", "http://127.0.0.1:%d/" % nginx.port)
        session_run = language != "c" and any(line.startswith("$ ") for line in body)
        if shown and (session_run or ">>>" in text):
            return ["an output block follows a script or a C example, not a session or doctest"]
        if language == "python":
            doctest_run = ">>>" in text
            name = os.path.join(folder, ".example.txt" if doctest_run else ".example.py")
            with open(name, "w", encoding="utf-8") as f:
                f.write(text)
            args = ["/usr/bin/python3"] + (["-m", "doctest", "-o", "ELLIPSIS"] if doctest_run
                                           else []) + [name]
            status, output = run_in_session(args, folder, env)
            if not doctest_run:
                return printed(name, status, output, shown)
            # doctest says nothing when every example gave what the block shows.
            return [] if status == 0 and not output.strip() else [output or "exit status %d"
                                                                  % status]
        if language == "c":
            head = re.match(r"/\* (\S+\.c): (.*?)(?: \*/)?$", body[0])
            if not head:
                return ["a C example starts with /* NAME.c: COMMAND */"]
            with open(os.path.join(folder, head.group(1)), "w") as f:
                f.write(text)
            status, output = run_in_session(["bash", "-c", head.group(2)], folder, env)
            return printed(head.group(2), status, output, shown)
        if any(line.startswith("$ ") for line in body):
            return session(text.rstrip("\n").split("\n"), folder, env)
        if language in (None, "", "sh", "bash", "shell") and (directives or language):
            status, output = run_in_session(["bash", "-e", "-o", "pipefail", "-c", text],
                                            folder, env)
            return printed("the script", status, output, shown)
        return ["an example that is not run says why: <!-- docs-test: skip REASON -->"]
    finally:
        if nginx:
            nginx.close()


def run_file(name, only):
    """Runs the examples of the document `name` (those of `only`, when given): the counts of
    those that ran, failed and were not run."""
    blocks = code_blocks(os.path.join(ROOT, name))

    def run(index, folder):
        line, language, body, directives = blocks[index]
        after = blocks[index + 1] if index + 1 < len(blocks) else None
        shown = after[2] if after and "output" in after[3] else ()
        return run_block(name, line, language, body, directives, folder, shown)
    ran = failed = skipped = 0
    kept = None  # (index, folder) of the example run last, for one that runs after it
    try:
        for index, (line, language, body, directives) in enumerate(blocks):
            where = "%s:%d" % (name, line)
            if "output" in directives or (only and where not in only):
                continue
            started = time.monotonic()
            problems = []
            after = "after the example above" in directives
            if after and kept and kept[0] == index - 1:
                folder = kept[1]
            else:
                if kept:
                    shutil.rmtree(kept[1], ignore_errors=True)
                folder = tempfile.mkdtemp(prefix="quorvane-docs-")
                if after:
                    # Run alone (FILE:LINE): the example above runs first.
                    problems = run(index - 1, folder) if index > 0 else None
                    problems = ["the example above did not run"] if problems is None else problems
            kept = (index, folder)
            problems = problems or run(index, folder)
            if problems is None:
                skipped += 1
                print("skip %s: %s" % (where, next(d for d in directives if d.startswith("skip"))[5:]))
            elif problems:
                failed += 1
                print("FAIL %s\n%s" % (where, "\n".join(problems)))
            else:
                ran += 1
                print("ok   %s (%.1f s)" % (where, time.monotonic() - started))
    finally:
        if kept:
            shutil.rmtree(kept[1], ignore_errors=True)
    return ran, failed, skipped


def main():
    global ROOT, CLI, PYTHON_PATH, PKG_CONFIG_PATH, LIBRARY_PATH
    ROOT, CLI, PYTHON_PATH, PKG_CONFIG_PATH = (os.path.abspath(a) for a in sys.argv[1:5])
    LIBRARY_PATH = subprocess.run(["pkg-config", "--variable=libdir", "quorvane"],
                                  env=dict(os.environ, PKG_CONFIG_PATH=PKG_CONFIG_PATH),
                                  stdout=subprocess.PIPE, text=True, check=True).stdout.strip()
    only = set(sys.argv[5:])
    files = ["README.md"] + sorted("docs/" + name for name in os.listdir(os.path.join(ROOT, "docs"))
                                   if name.endswith(".md"))
    counts = [run_file(name, only) for name in files]
    ran, failed, skipped = (sum(column) for column in zip(*counts))
    print("docs: %d examples ran as written, %d failed, %d not run (above)" % (ran, failed, skipped))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
