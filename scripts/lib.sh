# Shared by the scripts: the Debian packages each needs, installed when missing.
# shellcheck shell=bash

QUORVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Packages for building both builds, the downloads (the Windows installer, the Debian package
# with its manual page) and running the Windows program under Wine.
QUORVANE_BUILD_PACKAGES=(cmake ninja-build g++ python3 g++-mingw-w64-x86-64-posix
    binutils-mingw-w64-x86-64 wine wine64 xvfb xauth x11-utils imagemagick nsis
    binutils dpkg-dev scdoc osslsigncode)
# Packages for the tests, the fuzz run and the benchmarks on top of those.
QUORVANE_TEST_PACKAGES=(googletest libgtest-dev libbenchmark-dev clang clang-format libclang-rt-14-dev
    lintian man-db openssl pkg-config python3-dev pybind11-dev python3-pybind11 python3-fsspec
    python3-aiohttp python3-requests python3-dask python3-distributed nginx
    p7zip-full ffmpeg libimage-exiftool-perl id3v2 python3-mutagen qpdf poppler-utils sqlite3
    msitools wixl gcab qemu-utils xz-utils zstd bzip2 lz4 lzop lzip zip unzip ca-certificates)

# Installs the given Debian packages that are missing: as root with apt-get, otherwise it
# prints the exact command to run and fails.
need_packages() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Quorvane needs these Debian packages. Install them with:" >&2
        echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
        return 1
    fi
    echo "Installing ${missing[*]} ..." >&2
    export DEBIAN_FRONTEND=noninteractive
    { apt-get update -q && apt-get install -y -q "${missing[@]}"; } >"${TMPDIR:-/tmp}/quorvane-apt.log" 2>&1 || {
        tail -20 "${TMPDIR:-/tmp}/quorvane-apt.log" >&2
        echo "apt-get failed; the full log is in ${TMPDIR:-/tmp}/quorvane-apt.log" >&2
        return 1
    }
}

# Configures (once) and builds one preset.
build_preset() {
    local preset=$1
    cd "$QUORVANE_ROOT" || return 1
    if [ ! -f "build/$preset/CMakeCache.txt" ]; then
        cmake --preset "$preset" >/dev/null || return 1
    fi
    cmake --build --preset "$preset"
}

# The tests of the last ctest run of `preset` that were skipped, a line "preset test: reason"
# each (GoogleTest prints the reason given to GTEST_SKIP after "Skipped").
skipped_tests() {
    python3 - "$1" "$QUORVANE_ROOT/build/$1/Testing/Temporary/LastTest.log" <<'EOF'
import re, sys
preset, log = sys.argv[1], sys.argv[2]
try:
    text = open(log, errors="replace").read()
except OSError:
    sys.exit(0)
for block in re.split(r"\n(?=\d+/\d+ Testing: )", text):
    name = re.match(r"\d+/\d+ Testing: (.*)", block)
    if not name or "[  SKIPPED ]" not in block:
        continue
    reason = re.search(r": Skipped\n(.*)", block)
    reason = reason.group(1).strip() if reason and reason.group(1).strip() else "no reason given"
    test = name.group(1).split("  #")[0].strip()
    print(f"{preset} {test}: {reason}")
EOF
}
