#!/usr/bin/env bash
# Signs the programs and builds the installer as the packaging does, with a throw-away
# certificate, and checks every Authenticode signature with osslsigncode: Quorvane.exe,
# quorvane-cli.exe, the installer and the uninstaller NSIS writes into it. Without a
# certificate nothing is signed.
#   signing_test.sh STAGE ICON VERSION
set -u
stage=$1 icon=$2 version=$3
root=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "FAILED: $*"; exit 1; }
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
    -days 2 -subj "/CN=Quorvane Test Signing" -addext extendedKeyUsage=codeSigning \
    >/dev/null 2>&1 || fail "openssl could not make a certificate"
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/cert.p12" \
    -passout pass:'not secret' || fail "openssl could not make the PKCS#12 file"
verify() {
    osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$work/verify.log" 2>&1
}

# Unsigned without a certificate: the file stays byte for byte.
cp "$stage/quorvane-cli.exe" "$work/plain.exe"
env -u QUORVANE_SIGN_PKCS12 "$root/scripts/sign-exe" "$work/plain.exe" || fail "sign-exe failed"
cmp -s "$stage/quorvane-cli.exe" "$work/plain.exe" || fail "signed without a certificate"
! verify "$work/plain.exe" || fail "osslsigncode accepted an unsigned program"

export QUORVANE_SIGN_PKCS12=$work/cert.p12 QUORVANE_SIGN_PASSWORD='not secret'
cp -r "$stage" "$work/stage"
for program in Quorvane.exe quorvane-cli.exe; do
    "$root/scripts/sign-exe" "$work/stage/$program" || fail "could not sign $program"
done
# NSIS signs the uninstaller as it embeds it: keep a copy of what it signed to check it.
mkdir "$work/signed-by-nsis"
cat >"$work/sign-and-keep" <<KEEP
#!/usr/bin/env bash
"$root/scripts/sign-exe" "\$1" && cp "\$1" "$work/signed-by-nsis/"
KEEP
chmod +x "$work/sign-and-keep"
makensis -V1 -DSTAGE="$work/stage" -DICON="$icon" -DOUTFILE="$work/setup.exe" \
    -DVERSION="$version" -DSIGN="$work/sign-and-keep" "$root/packaging/Quorvane.nsi" ||
    fail "makensis failed"
[ "$(ls "$work/signed-by-nsis" | wc -l)" -eq 2 ] || fail "NSIS did not sign two files"
for file in "$work/stage/Quorvane.exe" "$work/stage/quorvane-cli.exe" "$work/setup.exe" \
    "$work"/signed-by-nsis/*; do
    verify "$file" || { cat "$work/verify.log"; fail "no valid signature on $file"; }
    grep -q "Quorvane Test Signing" "$work/verify.log" || fail "$file: not our signer"
done
# The uninstaller that was signed is the one inside the installer.
cmp -s "$work/setup.exe" "$work/signed-by-nsis/$(basename "$work/setup.exe")" ||
    fail "the installer changed after it was signed"

# A wrong password fails the build instead of leaving a program unsigned.
cp "$stage/Quorvane.exe" "$work/wrong.exe"
QUORVANE_SIGN_PASSWORD=wrong "$root/scripts/sign-exe" "$work/wrong.exe" 2>/dev/null &&
    fail "signed with a wrong password"
echo "signing: ok"
