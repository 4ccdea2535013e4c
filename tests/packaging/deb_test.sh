#!/usr/bin/env bash
# Builds the Debian package of quorvane-cli from PROGRAM and checks it: its files, lintian, the
# package unpacked into a scratch root (the program runs, the manual page renders) and the
# Bash completion.
#   deb_test.sh PROGRAM VERSION
set -u
program=$1
version=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

deb=$("$root/packaging/deb/build-deb" "$program" "$version" "$work") || { echo "FAILED: build-deb"; exit 1; }

files=$(dpkg-deb -c "$deb" | awk '{print $1, $2, $6}' | sed 's|\./|/|')
expected="drwxr-xr-x root/root /
drwxr-xr-x root/root /usr/
drwxr-xr-x root/root /usr/bin/
-rwxr-xr-x root/root /usr/bin/quorvane-cli
drwxr-xr-x root/root /usr/share/
drwxr-xr-x root/root /usr/share/bash-completion/
drwxr-xr-x root/root /usr/share/bash-completion/completions/
-rw-r--r-- root/root /usr/share/bash-completion/completions/quorvane-cli
drwxr-xr-x root/root /usr/share/doc/
drwxr-xr-x root/root /usr/share/doc/quorvane-cli/
-rw-r--r-- root/root /usr/share/doc/quorvane-cli/changelog.gz
-rw-r--r-- root/root /usr/share/doc/quorvane-cli/copyright
drwxr-xr-x root/root /usr/share/man/
drwxr-xr-x root/root /usr/share/man/man1/
-rw-r--r-- root/root /usr/share/man/man1/quorvane-cli.1.gz"
[ "$(LC_ALL=C sort <<<"$files")" = "$(LC_ALL=C sort <<<"$expected")" ] ||
    fail "the package holds:"$'\n'"$files"

# No error, warning or pedantic tag; informational notes are shown, not counted.
report=$(lintian --pedantic --info --fail-on error,warning,pedantic "$deb" 2>&1) ||
    fail "lintian: $report"
if grep -E '^[EWP]:' <<<"$report"; then
    fail "lintian reports the lines above"
fi

scratch="$work/scratch"
dpkg-deb -x "$deb" "$scratch"
cli="$scratch/usr/bin/quorvane-cli"
"$cli" --version | grep -qx "quorvane-cli $version" || fail "the installed program does not run"
printf 'data\n' >"$work/a.txt"
mkdir "$work/out"
"$cli" sign --text 'Zoë' --out "$work/out" "$work/a.txt" 2>/dev/null &&
    [ "$("$cli" check "$work/out/a_signed.txt")" = 'Zoë' ] || fail "the installed program cannot sign"
if objdump -h "$cli" | grep -q '\.debug_'; then
    fail "the installed program carries debugging symbols"
fi
objdump -h "$program" | grep -q '\.debug_info' || fail "the build's program lost its symbols"

manual="$scratch/usr/share/man/man1/quorvane-cli.1.gz"
page=$(MANWIDTH=80 man --warnings -l "$manual" 2>"$work/man.err")
[ -s "$work/man.err" ] && fail "man warns: $(cat "$work/man.err")"
for heading in NAME SYNOPSIS DESCRIPTION OPTIONS 'EXIT STATUS' 'THE SIGNATURE TRAILER' EXAMPLES; do
    grep -q "^$heading\$" <<<"$page" || fail "the manual page has no $heading"
done
# Every option the program knows is in the manual.
for option in --text --text-file --out --force --no-clobber -r --recursive --json --files-from \
    --null --progress --no-progress --help --version; do
    grep -q -- "$option" <<<"$page" || fail "the manual page does not describe $option"
done

complete_line() {
    bash -c 'source "$1"; shift; cd "$1"; shift
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _quorvane_cli
        [ ${#COMPREPLY[@]} -eq 0 ] || printf "%s\n" "${COMPREPLY[@]}"' \
        _ "$scratch/usr/share/bash-completion/completions/quorvane-cli" "$work" "$@" 2>/dev/null |
        LC_ALL=C sort | tr '\n' ' '
}
mkdir -p "$work/outbox"
expect_completion() {
    local expected=$1
    shift
    local got
    got=$(complete_line "$@")
    [ "$got" = "$expected" ] || fail "completing '$*' offers '$got', not '$expected'"
}
expect_completion '--help --version -h check sign strip ' quorvane-cli ''
expect_completion 'sign strip ' quorvane-cli s
expect_completion '-- --files-from --follow-links --help --jobs --json --no-progress --null --progress --recursive ' quorvane-cli check --
# Options already given are not offered again, nor the one that excludes --force (or
# --progress), nor the other spelling of -0.
expect_completion '--no-progress --null ' quorvane-cli sign --force --n
expect_completion '--no-clobber --null ' quorvane-cli sign --progress --n
expect_completion '' quorvane-cli strip --no-progress --p
expect_completion '--no-progress ' quorvane-cli check -0 --n
expect_completion '--skip-kinds ' quorvane-cli sign -L --s
expect_completion '' quorvane-cli check -L --fo
expect_completion 'out outbox ' quorvane-cli strip --files-from ou
expect_completion '--text --text-file ' quorvane-cli sign --out x --te
expect_completion 'out outbox ' quorvane-cli sign --out ou
expect_completion '-- --files-from --force --help --jobs --no-clobber --no-progress --null --progress ' quorvane-cli strip --out x --
[ "$failures" -eq 0 ] && echo "deb package: ok ($(basename "$deb"))"
[ "$failures" -eq 0 ]
