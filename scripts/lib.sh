# Shared by the scripts: the Debian packages each needs, installed when missing.
# shellcheck shell=bash

QUORVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QUORVANE_CONFIGURE_ARGS=()

# The Debian packages, by what needs them: each step of scripts/test installs only its own
# (quorvane_step_packages), a run of several steps their union at once.
# Every build: CMake, Ninja, and Python for the scripts.
QUORVANE_COMMON_PACKAGES=(cmake ninja-build python3)
# The native build: g++, GoogleTest, the Python module, the Debian packages and their manual page.
QUORVANE_NATIVE_PACKAGES=(gcc g++ binutils dpkg dpkg-dev scdoc googletest libgtest-dev libbenchmark-dev
    pkgconf python3-dev pybind11-dev python3-pybind11)
# The native build's tests on top of those (formatting, the Debian packages, the Python module
# and its reads over HTTP, the table of kinds of file and the formats' own tools; chattr for
# outputs even root may not replace).
QUORVANE_TEST_PACKAGES=(e2fsprogs clang-format lintian man-db python3-fsspec python3-aiohttp
    python3-requests imagemagick
    osslsigncode openssl gcc-mingw-w64-x86-64-posix
    p7zip-full ffmpeg lame twolame libimage-exiftool-perl id3v2 python3-mutagen qpdf poppler-utils
    sqlite3 msitools wixl gcab qemu-utils xz-utils lzma zstd bzip2 gzip tar lz4 lzop lzip zip unzip
    ca-certificates python3-venv)
# The cluster tests of the native build: the Dask example on a real scheduler and on its own
# cluster over TLS (temporary credentials need python3-cryptography), check_remote through a
# real nginx.
QUORVANE_CLUSTER_PACKAGES=(python3-dask python3-distributed nginx python3-aiohttp python3-requests
    python3-cryptography python3-psutil)
# The sanitizer builds (g++ with ASan and UBSan; clang with TSan) and the fuzz run.
QUORVANE_SANITIZE_PACKAGES=(g++ googletest libgtest-dev e2fsprogs)
QUORVANE_TSAN_PACKAGES=(clang libclang-rt-14-dev googletest libgtest-dev)
QUORVANE_FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# The Windows build, its downloads (the installer, signed with Authenticode when asked) and
# running it under Wine on a private display; scripts/run also takes its screenshots.
QUORVANE_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest nsis
    osslsigncode openssl wine wine64 xvfb)
QUORVANE_RUN_PACKAGES=(xauth x11-utils imagemagick)

# The packages of a step of scripts/test (native, cluster, sanitize, tsan, fuzz, windows,
# mutate), one a line.
quorvane_step_packages() {
    local list=("${QUORVANE_COMMON_PACKAGES[@]}")
    case $1 in
    native) list+=("${QUORVANE_NATIVE_PACKAGES[@]}" "${QUORVANE_TEST_PACKAGES[@]}") ;;
    cluster) list+=("${QUORVANE_NATIVE_PACKAGES[@]}" "${QUORVANE_TEST_PACKAGES[@]}"
        "${QUORVANE_CLUSTER_PACKAGES[@]}") ;;
    sanitize) list+=("${QUORVANE_SANITIZE_PACKAGES[@]}") ;;
    tsan) list+=("${QUORVANE_TSAN_PACKAGES[@]}") ;;
    fuzz) list+=("${QUORVANE_FUZZ_PACKAGES[@]}") ;;
    windows) list+=("${QUORVANE_WINDOWS_PACKAGES[@]}") ;;
    # The native tests of every door over the engine, built in a folder of their own.
    # The docs' examples among them, with their nginx and Dask; the desktop program's tests in
    # a Windows build of their own, under Wine.
    mutate) list+=("${QUORVANE_NATIVE_PACKAGES[@]}" python3-fsspec e2fsprogs
        "${QUORVANE_CLUSTER_PACKAGES[@]}" "${QUORVANE_WINDOWS_PACKAGES[@]}") ;;
    *) return 1 ;;
    esac
    printf '%s\n' "${list[@]}"
}

# The programs that each step's tests call, a PROGRAM:PACKAGE a line. The package must be in
# the step's list (the native test packaging_programs checks that, and that dpkg agrees where
# the program is installed); scripts/test fails a step whose programs are missing, naming
# their packages.
quorvane_step_programs() {
    local programs=()
    case $1 in
    native) programs=(/usr/bin/convert:imagemagick chattr:e2fsprogs ffmpeg:ffmpeg ffprobe:ffmpeg
        7z:p7zip-full exiftool:libimage-exiftool-perl id3v2:id3v2 qpdf:qpdf pdfinfo:poppler-utils
        sqlite3:sqlite3 msiinfo:msitools wixl:wixl gcab:gcab qemu-img:qemu-utils xz:xz-utils
        lzma:xz-utils lzmp:lzma lame:lame twolame:twolame zstd:zstd bzip2:bzip2 lz4:lz4 lzop:lzop
        lzip:lzip zip:zip unzip:unzip
        osslsigncode:osslsigncode openssl:openssl x86_64-w64-mingw32-gcc:gcc-mingw-w64-x86-64-posix
        lintian:lintian man:man-db clang-format:clang-format dpkg-deb:dpkg pkg-config:pkgconf
        cc:gcc gzip:gzip tar:tar) ;;
    cluster) programs=(nginx:nginx) ;;
    sanitize) programs=(chattr:e2fsprogs) ;;
    tsan | fuzz) ;;
    windows) programs=(/usr/lib/wine/wine64:wine64 /usr/lib/wine/wineserver64:wine64 Xvfb:xvfb
        makensis:nsis osslsigncode:osslsigncode openssl:openssl) ;;
    mutate) programs=(chattr:e2fsprogs nginx:nginx pkg-config:pkgconf cc:gcc
        /usr/lib/wine/wine64:wine64 /usr/lib/wine/wineserver64:wine64 Xvfb:xvfb
        x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64-posix) ;;
    *) return 1 ;;
    esac
    [ ${#programs[@]} -eq 0 ] || printf '%s\n' "${programs[@]}"
}

# Fails, naming each one's package, when a program that the step's tests call is missing.
check_step_programs() {
    local entry missing=0
    while read -r entry; do
        command -v "${entry%%:*}" >/dev/null 2>&1 && continue
        echo "$1: its tests need ${entry%%:*}, from the Debian package ${entry#*:}, which is" \
            "not installed" >&2
        missing=1
    done < <(quorvane_step_programs "$1")
    return $missing
}

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

# Starts build/PRESET afresh when CMake configured it for another source folder (a copied
# build/): its build would not be of these sources, and its tests would not test them.
forget_foreign_build() {
    local cache=$QUORVANE_ROOT/build/$1/CMakeCache.txt home
    [ -f "$cache" ] || return 0
    home=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$cache")
    [ -n "$home" ] && [ "$(realpath -m "$home")" = "$(realpath "$QUORVANE_ROOT")" ] && return 0
    echo "build/$1 was configured for the sources in ${home:-an unknown folder}, not for" \
        "$QUORVANE_ROOT: starting it afresh" >&2
    rm -rf "${QUORVANE_ROOT:?}/build/$1"
}

# Configures (when needed) and builds one preset: build_preset PRESET [TARGET...] (no target:
# the preset's own). QUORVANE_CONFIGURE_ARGS holds cache settings (-DNAME=VALUE) that the
# build folder must have; it is configured again when one differs.
build_preset() {
    local preset=$1 cache setting configure=0
    shift
    cd "$QUORVANE_ROOT" || return 1
    forget_foreign_build "$preset" || return 1
    cache=build/$preset/CMakeCache.txt
    [ -f "$cache" ] || configure=1
    for setting in "${QUORVANE_CONFIGURE_ARGS[@]}"; do
        setting=${setting#-D}
        grep -q -x -F -e "${setting%%=*}:BOOL=${setting#*=}" -e "${setting%%=*}:STRING=${setting#*=}" \
            "$cache" 2>/dev/null || configure=1
    done
    if [ $configure -eq 1 ]; then
        cmake --preset "$preset" "${QUORVANE_CONFIGURE_ARGS[@]}" >/dev/null || return 1
    fi
    # One compiler per processor (Ninja would start two more).
    local jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
    if [ $# -gt 0 ]; then
        cmake --build --preset "$preset" -j "$jobs" --target "$@"
    else
        cmake --build --preset "$preset" -j "$jobs"
    fi
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
