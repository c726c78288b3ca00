#!/usr/bin/env bash
# Signs Windows executables in place with Authenticode, using Debian's osslsigncode and the
# maker's code-signing certificate:
#   VFU_AUTHENTICODE_CERT           the certificate as PEM (it may hold the chain after it)
#   VFU_AUTHENTICODE_KEY            its private key as PEM
#   VFU_AUTHENTICODE_PASSWORD_FILE  optional: a file holding the key's passphrase
#   VFU_AUTHENTICODE_TIMESTAMP      optional: an RFC 3161 time-stamping URL, so that the signature
#                                   stays valid after the certificate has expired
#
# A signature (the PE certificate table) goes at the very end of the file. Everything before it
# is hashed, so an executable that carries an archive after its image is signed after the
# archive was appended, never the other way round.
#
# usage: authenticode-sign.sh FILE.exe...
set -euo pipefail

for variable in VFU_AUTHENTICODE_CERT VFU_AUTHENTICODE_KEY; do
    [ -r "${!variable:-}" ] || { echo "authenticode-sign.sh: $variable names no readable file" >&2; exit 2; }
done

for file in "$@"; do
    options=(sign -h sha256 -certs "$VFU_AUTHENTICODE_CERT" -key "$VFU_AUTHENTICODE_KEY"
             -n "Quorrel Firmware Updater" -i "https://vorn.example/firmware-updater/")
    if [ -n "${VFU_AUTHENTICODE_PASSWORD_FILE:-}" ]; then options+=(-readpass "$VFU_AUTHENTICODE_PASSWORD_FILE"); fi
    if [ -n "${VFU_AUTHENTICODE_TIMESTAMP:-}" ]; then options+=(-ts "$VFU_AUTHENTICODE_TIMESTAMP"); fi

    rm -f "$file.signed"
    osslsigncode "${options[@]}" -in "$file" -out "$file.signed" >/dev/null \
        || { rm -f "$file.signed"; echo "authenticode-sign.sh: cannot sign $file" >&2; exit 1; }
    chmod --reference="$file" "$file.signed"
    mv "$file.signed" "$file"
done
