#!/usr/bin/env bash
# Installs Quorvane silently under Wine into a scratch folder with blanks in its path, checks
# what the installer put where, runs the installed programs (also as Explorer runs the verb and
# Send To), then uninstalls and checks that nothing is left and nothing of the user's changed.
#   installer_test.sh SETUP.exe BUILD_DIR
set -u
setup=$1
export QUORVANE_WINE_BUILD=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
run() { "$root/scripts/wine-run" "$@"; }
# Wine maps Z: to the Linux root.
windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }
fail() { echo "FAILED: $*"; exit 1; }

prefix="$QUORVANE_WINE_BUILD/wine/prefix"
dest_win='C:\quorvane-setup-test\My Programs\Quorvane'
dest="$prefix/drive_c/quorvane-setup-test/My Programs/Quorvane"
classes='HKCU\Software\Classes\*'
verb="$classes\shell\QuorvaneCheckSignature"
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvane'
files=(Quorvane.exe quorvane-cli.exe help.html README.txt LICENSE.txt Uninstall.exe)

# The prefix exists once wine-run has run anything in it.
run reg query 'HKCU\Software' >/dev/null 2>&1
rm -rf "$prefix/drive_c/quorvane-setup-test"
start_menu=$(find "$prefix/drive_c/users" -type d -path '*Start Menu/Programs' | head -1)
[ -n "$start_menu" ] || fail "no Start menu folder in the prefix"
rm -f "$start_menu/Quorvane.lnk"
send_to=$(find "$prefix/drive_c/users" -type d -path '*/Windows/SendTo' | head -1)
[ -n "$send_to" ] || fail "no SendTo folder in the prefix"
rm -f "$send_to/Quorvane (sign).lnk"
run reg delete "$classes" /f >/dev/null 2>&1

# What the user had before: a value of their own beside the verbs of every file, and a Send To
# entry of their own. The uninstaller must leave both, and only them, as they were.
run reg add "$classes" /v UserValue /d mine /f >/dev/null || fail "cannot prepare the registry"
touch "$send_to/Mine.txt"
snapshot() {
    run reg export "$classes" 'C:\quorvane-setup-test\classes.reg' /y >/dev/null 2>&1
    iconv -f UTF-16 -t UTF-8 "$prefix/drive_c/quorvane-setup-test/classes.reg" 2>/dev/null
    ls -A "$send_to"
}
mkdir -p "$prefix/drive_c/quorvane-setup-test"
before=$(snapshot)

# /D= takes the rest of the command line, blanks included, and must not be quoted: through
# cmd, which passes it on as it is.
run cmd /c "start /wait $(windows_path "$setup") /S /D=$dest_win" || fail "the installer failed"
for file in "${files[@]}"; do
    [ -f "$dest/$file" ] || fail "the installer did not install $file"
done
[ -f "$start_menu/Quorvane.lnk" ] || fail "no Start menu shortcut"
run reg query "$key" /v DisplayName | grep -q Quorvane || fail "no entry in the installed programs"
run reg query "$key" /v UninstallString | grep -q -F 'Uninstall.exe' || fail "no uninstall command"
version=$(run "$dest/quorvane-cli.exe" --version) || fail "the installed quorvane-cli does not run"
grep -q '1\.0\.1' <<<"$version" || fail "quorvane-cli --version printed '$version'"
[ -f "$send_to/Quorvane (sign).lnk" ] || fail "no Send To shortcut"
run reg query "$verb\command" /ve | grep -q -F "\"$dest_win\\Quorvane.exe\" /check \"%1\"" ||
    fail "the verb's command is $(run reg query "$verb\command" /ve)"
run reg query "$verb" /ve | grep -q 'Check signature' || fail "the verb is not 'Check signature'"
if [ -n "${QUORVANE_HELP_CHECK:-}" ]; then
    run "$QUORVANE_HELP_CHECK" "$(windows_path "$start_menu/Quorvane.lnk")" \
        "$(windows_path "$QUORVANE_HELP_RECORDER")" || fail "the installed program did not find its help"
fi

if [ -n "${QUORVANE_SHELL_CHECK:-}" ]; then
    docs="$prefix/drive_c/quorvane-setup-test/Mes documents ü"
    docs_win='C:\quorvane-setup-test\Mes documents ü'
    mkdir -p "$docs"
    printf 'first\n' >"$docs/résumé été 2026.txt"
    printf 'second\n' >"$docs/notes.txt"
    text='© 2026 Zoë Ünal'
    run "$dest/quorvane-cli.exe" sign --text "$text" --out "$docs_win" \
        "$docs_win\\résumé été 2026.txt" >/dev/null 2>&1 || fail "quorvane-cli could not sign"
    run reg query "$verb" /v MultiSelectModel | grep -q Single || fail "the verb takes many files"
    command=$(run reg query "$verb\\command" /ve | tr -d '\r' | sed -n 's/.*REG_SZ *//p')
    # Explorer puts the file's full path in place of %1.
    shown=$(run "$QUORVANE_SHELL_CHECK" 'C:\' 1010 \
        "${command/\%1/$docs_win\\résumé été 2026_signed.txt}" | tr -d '\r')
    [ "$shown" = "$text" ] || fail "the Explorer verb ($command) showed '$shown'"
    # Send To: the shortcut's program, each selected path quoted, in the shortcut's folder.
    strings -e l "$send_to/Quorvane (sign).lnk" | grep -q -F "$dest_win\\Quorvane.exe" ||
        fail "the Send To shortcut does not start the installed Quorvane.exe"
    shown=$(run "$QUORVANE_SHELL_CHECK" "$dest_win" 1030 "\"$dest_win\\Quorvane.exe\" \
\"$docs_win\\résumé été 2026.txt\" \"$docs_win\\notes.txt\"" | tr -d '\r')
    [ "$shown" = "$docs_win\\" ] || fail "Send To proposed the output folder '$shown'"
    rm -rf "$docs"
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
after=$(snapshot)
if [ "$before" != "$after" ]; then
    diff <(echo "$before") <(echo "$after")
    fail "the uninstaller did not leave the verbs of files and Send To as they were"
fi
run reg delete "$classes" /f >/dev/null 2>&1
rm -f "$send_to/Mine.txt"
rm -rf "$prefix/drive_c/quorvane-setup-test"
echo "installer: ok"
