#!/bin/sh
# The release folder without and with a throw-away self-signed certificate: unsigned it
# holds the builds' own bytes; signed, osslsigncode accepts both signatures against that
# certificate, the signed file still runs (a bare prefix: /s ends with 15), the builds are
# unchanged and SHA256SUMS matches.
# usage: signed.sh SOURCE_DIR VADREL_EXE DIAGNOSTIC_EXE WORK_DIR WINE_RUN
set -e
src=$1 exe=$2 diagnostic=$3 work=$4
rm -rf "$work" && mkdir -p "$work"
before=$(cat "$exe" "$diagnostic" | sha256sum)
sh "$src/tools/release.sh" "$exe" "$diagnostic" "$src" "$work/unsigned" >/dev/null
cmp "$exe" "$work/unsigned/vadrel.exe"
cmp "$diagnostic" "$work/unsigned/diagnostic/vadrel.exe"
set -x
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Orlinth throw-away signer" \
  -addext extendedKeyUsage=codeSigning -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
SIGN_CERT="$work/cert.pem" SIGN_KEY="$work/key.pem" SIGN_CA="$work/cert.pem" \
  sh "$src/tools/release.sh" "$exe" "$diagnostic" "$src" "$work/dist"
for signed in vadrel.exe diagnostic/vadrel.exe; do
  osslsigncode verify -CAfile "$work/cert.pem" -in "$work/dist/$signed" >"$work/verify.log"
  grep -x "Signature verification: ok" "$work/verify.log"
done
(cd "$work/dist" && sha256sum -c SHA256SUMS && grep -q " diagnostic/vadrel.exe$" SHA256SUMS && test -s GUIDE.md \
  && grep -c " pictures/.*png$\| deploy/" SHA256SUMS | grep -qx 8)
rc=0 && "$5" "$work/dist/vadrel.exe" /s || rc=$?
"$5" reg delete 'HKLM\Software\Kestrova' /f >/dev/null
test "$rc" = 15 && test "$(cat "$exe" "$diagnostic" | sha256sum)" = "$before" && ! cmp -s "$exe" "$work/dist/vadrel.exe"
