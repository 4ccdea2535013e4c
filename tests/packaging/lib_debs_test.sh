#!/usr/bin/env bash
# Builds the Debian packages of libquorvane and the Python module from BUILD, checks them with
# lintian, installs them, compiles the C API's test program against the installed package
# (shared and static, through pkg-config), imports the installed module, and removes them again
# on every path.
#   lib_debs_test.sh BUILD VERSION
set -u
build=$1
version=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
packages=(libquorvane1 libquorvane-dev python3-quorvane)
installed=0
cleanup() {
    [ "$installed" -eq 1 ] && dpkg --purge "${packages[@]}" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

debs=$("$root/packaging/deb/build-lib-debs" "$build" "$version" "$work/debs") ||
    { echo "FAILED: build-lib-debs"; exit 1; }
[ "$(wc -l <<<"$debs")" -eq 3 ] || fail "build-lib-debs made: $debs"
# One lintian for the three: most of its time is its own start. Each line names its package.
# shellcheck disable=SC2086
report=$(lintian --pedantic --info --fail-on error,warning,pedantic $debs 2>&1) ||
    fail "lintian: $report"
grep -E '^[EWPI]:' <<<"$report" && fail "lintian reports the lines above"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
contents=$(for deb in $debs; do dpkg-deb -c "$deb"; done | awk '{print $6}' | grep -v '/$' | LC_ALL=C sort)
for file in "./usr/lib/$multiarch/libquorvane.so.$version" "./usr/lib/$multiarch/libquorvane.so.1" \
    "./usr/lib/$multiarch/libquorvane.so" "./usr/lib/$multiarch/libquorvane.a" \
    "./usr/lib/$multiarch/pkgconfig/quorvane.pc" ./usr/include/quorvane.h \
    ./usr/lib/python3/dist-packages/quorvane/__init__.py \
    ./usr/lib/python3/dist-packages/quorvane/_remote.py \
    ./usr/lib/python3/dist-packages/quorvane/cluster.py \
    ./usr/lib/python3/dist-packages/quorvane/_cluster_run.py \
    ./usr/lib/python3/dist-packages/quorvane/__init__.pyi \
    ./usr/lib/python3/dist-packages/quorvane/py.typed; do
    grep -qx -- "$file" <<<"$contents" || fail "no $file in the packages"
done

for package in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        echo "$package is installed on this machine: not installing over it"
        exit 77
    fi
done
[ "$(id -u)" -eq 0 ] || { echo "installing the packages needs root"; exit 77; }
installed=1
dpkg -i $debs >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i"; exit 1; }

# The C program, as a user of the packages compiles it: nothing of this build in sight.
cd "$work" || exit 1
cp "$root/tests/lib/capi_test.c" .
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror -o capi_shared capi_test.c $(pkg-config --cflags --libs quorvane) ||
    fail "compiling against the shared library"
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -o capi_static capi_test.c -static-libstdc++ \
    $(pkg-config --cflags quorvane) "/usr/lib/$multiarch/libquorvane.a" \
    $(pkg-config --static --libs-only-l quorvane | sed 's/-lquorvane//') ||
    fail "compiling against the static library"
[ "$(pkg-config --modversion quorvane)" = "$version" ] || fail "pkg-config gives another version"
./capi_shared || fail "the C program against the installed shared library"
./capi_static || fail "the C program against the static library"
ldd ./capi_shared | grep -Eq "libquorvane.so.1 => (/usr)?/lib/$multiarch/libquorvane.so.1" ||
    fail "the program does not use the installed library: $(ldd ./capi_shared)"
ldd ./capi_static | grep -q libquorvane && fail "the static program still needs the library"

env -u PYTHONPATH /usr/bin/python3 -c '
import quorvane, sys
assert quorvane.__file__.startswith("/usr/lib/python3/dist-packages/"), quorvane.__file__
assert quorvane.trailer("abc", 0).hex() == "a79b30e4b97030e4276d30e4ba0e30e40000000055bfe1cb4c66e1cb"
print("the installed module", quorvane.__version__)
' || fail "the installed Python module"

# Byte-compiled on install for each Python installed, and nothing left after a purge.
site=/usr/lib/python3/dist-packages/quorvane
ls "$site"/__pycache__/__init__.cpython-*.pyc >/dev/null 2>&1 ||
    fail "the module was not byte-compiled on install"
for python in $(py3versions -s); do
    tag=$(tr -d . <<<"${python#python}")
    ls "$site"/_quorvane.cpython-"$tag"-*.so >/dev/null 2>&1 || fail "no module for $python"
done
dpkg --purge "${packages[@]}" >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "dpkg --purge"; }
installed=0
[ ! -e "$site" ] || fail "left after apt purge: $(find "$site")"

[ "$failures" -eq 0 ] || exit 1
echo "the library packages: every check passed"
