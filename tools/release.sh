#!/bin/sh
# Writes a release folder: vadrel.exe and the diagnostic build diagnostic/vadrel.exe (both
# Authenticode-signed when a certificate is given), the administrators' guide with its
# pictures, the deployment scripts and SHA256SUMS.
# usage: release.sh VADREL_EXE DIAGNOSTIC_EXE SOURCE_DIR DIST_DIR
# Signing, from the environment (osslsigncode, SHA-256):
#   SIGN_CERT       code-signing certificate, PEM or DER, with its chain
#   SIGN_KEY        its private key, PEM or DER
#   SIGN_PASS       optional: file that holds the key's password
#   SIGN_TIMESTAMP  optional: RFC 3161 time-stamp server URL
#   SIGN_CA         optional: CA certificates the signature is verified against
#                   (default: the system's, /etc/ssl/certs/ca-certificates.crt)
set -e
exe=$1 diagnostic=$2 src=$3 dist=$4
rm -rf "$dist"
mkdir -p "$dist/diagnostic"
if [ -n "$SIGN_CERT$SIGN_KEY" ] && { [ -z "$SIGN_CERT" ] || [ -z "$SIGN_KEY" ]; }; then
  echo "release: SIGN_CERT and SIGN_KEY are given together" >&2
  exit 2
fi
# put BUILT_FILE DIST_FILE: copied, or signed and verified.
put() {
  if [ -n "$SIGN_CERT" ]; then
    osslsigncode sign -h sha256 -n Orlinth -certs "$SIGN_CERT" -key "$SIGN_KEY" \
      ${SIGN_PASS:+-readpass "$SIGN_PASS"} ${SIGN_TIMESTAMP:+-ts "$SIGN_TIMESTAMP"} -in "$1" -out "$2"
    osslsigncode verify -CAfile "${SIGN_CA:-/etc/ssl/certs/ca-certificates.crt}" -in "$2"
  else
    cp "$1" "$2"
  fi
}
put "$exe" "$dist/vadrel.exe"
put "$diagnostic" "$dist/diagnostic/vadrel.exe"
cp "$src/docs/GUIDE.md" "$dist/GUIDE.md"
mkdir -p "$dist/pictures" "$dist/deploy"
for picture in $(grep -o 'pictures/[A-Za-z0-9_.-]*\.png' "$dist/GUIDE.md" | sort -u); do
  cp "$src/docs/$picture" "$dist/pictures/"
done
cp "$src/deploy/vadrel-deploy.cmd" "$src/deploy/detect.cmd" "$src/deploy/Detect-Vadrel.ps1" "$dist/deploy/"
(cd "$dist" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum >SHA256SUMS)
echo "release in $dist:"
cat "$dist/SHA256SUMS"
