#!/bin/sh
# The release folder without and with a throw-away self-signed certificate: unsigned it
# holds the build's own bytes; signed, osslsigncode accepts the signature against that
# certificate, the signed file still runs (a bare prefix: /s ends with 15), the build is
# unchanged and SHA256SUMS matches.  usage: signed.sh SOURCE_DIR VADREL_EXE WORK_DIR WINE_RUN
set -e
src=$1 exe=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
before=$(sha256sum <"$exe")
sh "$src/tools/release.sh" "$exe" "$src" "$work/unsigned" >/dev/null
cmp "$exe" "$work/unsigned/vadrel.exe"
set -x
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Orlinth throw-away signer" \
  -addext extendedKeyUsage=codeSigning -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
SIGN_CERT="$work/cert.pem" SIGN_KEY="$work/key.pem" SIGN_CA="$work/cert.pem" \
  sh "$src/tools/release.sh" "$exe" "$src" "$work/dist"
osslsigncode verify -CAfile "$work/cert.pem" -in "$work/dist/vadrel.exe" >"$work/verify.log"
grep -x "Signature verification: ok" "$work/verify.log"
(cd "$work/dist" && sha256sum -c SHA256SUMS && test -s GUIDE.md)
rc=0 && "$4" "$work/dist/vadrel.exe" /s || rc=$?
"$4" reg delete 'HKLM\Software\Kestrova' /f >/dev/null
test "$rc" = 15 && test "$(sha256sum <"$exe")" = "$before" && ! cmp -s "$exe" "$work/dist/vadrel.exe"
