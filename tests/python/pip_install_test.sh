#!/usr/bin/env bash
# `pip install ./python` as a Python user runs it: into a fresh venv of Debian's python3
# (without the system's packages), offline, with Debian's build dependencies only. The module
# installed carries its own copy of the library, imports, signs and checks.
#   pip_install_test.sh
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 -m venv "$work/venv" || { echo "FAILED: python3 -m venv"; exit 1; }
"$work/venv/bin/pip" install --no-build-isolation --no-index --verbose "$root/python" \
    >"$work/pip.log" 2>&1 || { cat "$work/pip.log"; echo "FAILED: pip install"; exit 1; }
# The library's sources read the standard headers precompiled once: GCC says when it could not
# use them, and each source then reads them again (a fifth more processor time).
grep -q "the standard headers are precompiled" "$work/pip.log" ||
    { echo "FAILED: the standard headers were not precompiled"; exit 1; }
if grep -q "quorvane_std.h.gch.*not used" "$work/pip.log"; then
    grep "not used" "$work/pip.log"
    echo "FAILED: the precompiled standard headers were not used"
    exit 1
fi
cd "$work" || exit 1
printf 'hello' >notes.txt
env -u PYTHONPATH "$work/venv/bin/python" - <<'PYTHON' || { echo "FAILED: the installed module"; exit 1; }
import glob, os, subprocess, quorvane
assert quorvane.__file__.startswith(os.path.abspath("venv")), quorvane.__file__
folder = os.path.dirname(quorvane.__file__)
assert os.path.isfile(os.path.join(folder, "py.typed")) and os.path.isfile(os.path.join(folder, "__init__.pyi"))
extension = glob.glob(os.path.join(folder, "_quorvane.*.so"))[0]
assert b"libquorvane" not in subprocess.run(["ldd", extension], capture_output=True).stdout
quorvane.sign("notes.txt", "notes_signed.txt", "a\0b\ud800")
assert quorvane.check("notes_signed.txt") == "a\0b\ud800"
print("pip install ./python: the module", quorvane.__version__, "signs and checks")
PYTHON
# The cluster door comes with it: its help needs no Dask, which the venv does not hold.
env -u PYTHONPATH "$work/venv/bin/python" -m quorvane.cluster --help >help.txt ||
    { cat help.txt; echo "FAILED: python3 -m quorvane.cluster --help"; exit 1; }
grep -q "python3 -m quorvane.cluster sign" help.txt ||
    { cat help.txt; echo "FAILED: the help of python3 -m quorvane.cluster"; exit 1; }
