#!/usr/bin/env bash
# Installs Quorvane silently under Wine into a scratch folder, checks what the installer put
# where, runs the installed programs, then uninstalls and checks that nothing is left.
#   installer_test.sh SETUP.exe BUILD_DIR
set -u
setup=$1
export QUORVANE_WINE_BUILD=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
run() { "$root/scripts/wine-run" "$@"; }
fail() { echo "FAILED: $*"; exit 1; }

prefix="$QUORVANE_WINE_BUILD/wine/prefix"
dest_win='C:\quorvane-setup-test\Quorvane'
dest="$prefix/drive_c/quorvane-setup-test/Quorvane"
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvane'
files=(Quorvane.exe quorvane-cli.exe help.html README.txt LICENSE.txt Uninstall.exe)

# The prefix exists once wine-run has run anything in it.
run reg query 'HKCU\Software' >/dev/null 2>&1
rm -rf "$prefix/drive_c/quorvane-setup-test"
start_menu=$(find "$prefix/drive_c/users" -type d -path '*Start Menu/Programs' | head -1)
[ -n "$start_menu" ] || fail "no Start menu folder in the prefix"
rm -f "$start_menu/Quorvane.lnk"

run "$setup" /S "/D=$dest_win" || fail "the installer failed"
for file in "${files[@]}"; do
    [ -f "$dest/$file" ] || fail "the installer did not install $file"
done
[ -f "$start_menu/Quorvane.lnk" ] || fail "no Start menu shortcut"
run reg query "$key" /v DisplayName | grep -q Quorvane || fail "no entry in the installed programs"
run reg query "$key" /v UninstallString | grep -q -F 'Uninstall.exe' || fail "no uninstall command"
version=$(run "$dest/quorvane-cli.exe" --version) || fail "the installed quorvane-cli does not run"
grep -q '1\.0\.1' <<<"$version" || fail "quorvane-cli --version printed '$version'"
# Wine maps Z: to the Linux root.
windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }
if [ -n "${QUORVANE_HELP_CHECK:-}" ]; then
    run "$QUORVANE_HELP_CHECK" "$(windows_path "$start_menu/Quorvane.lnk")" \
        "$(windows_path "$QUORVANE_HELP_RECORDER")" || fail "the installed program did not find its help"
fi

run "$dest/Uninstall.exe" /S || fail "the uninstaller failed"
# The uninstaller runs on from a copy of itself in the temporary folder: wait until it is done.
for _ in $(seq 1 600); do
    [ -e "$dest" ] || break
    sleep 0.1
done
[ ! -e "$dest" ] || fail "the uninstaller left $(ls -A "$dest" | tr '\n' ' ')"
[ ! -e "$start_menu/Quorvane.lnk" ] || fail "the uninstaller left the Start menu shortcut"
if run reg query "$key" >/dev/null 2>&1; then
    fail "the uninstaller left the entry in the installed programs"
fi
rmdir "$prefix/drive_c/quorvane-setup-test" 2>/dev/null
echo "installer: ok"
