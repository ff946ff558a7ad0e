#!/usr/bin/env bash
# Signs Windows programs and MSI packages in place (Authenticode, SHA-256,
# with osslsigncode), with the certificate and key of a PKCS#12 file:
#
#   FCBOOT_SIGN_PFX            the PKCS#12 file (.pfx, .p12) with a
#                              code-signing certificate and its key
#   FCBOOT_SIGN_PASSWORD       its password (empty if it has none)
#   FCBOOT_SIGN_TIMESTAMP_URL  optional: an RFC 3161 timestamp server, so that
#                              the signature stays valid after the
#                              certificate has expired
#
# Usage: scripts/sign.sh FILE...
# Without FCBOOT_SIGN_PFX nothing is signed and one line says so; that is no
# error. Each file is replaced at once by its signed copy, written beside it
# first, with the file's permissions: a reader sees the unsigned file or the
# signed one, never a mix. Exits nonzero if a file could not be signed (that
# file is left as it was; the files before it are signed).
set -euo pipefail

if [ "$#" -eq 0 ]; then
    echo "usage: scripts/sign.sh FILE...   (FCBOOT_SIGN_PFX, FCBOOT_SIGN_PASSWORD, FCBOOT_SIGN_TIMESTAMP_URL)" >&2
    exit 2
fi
if [ -z "${FCBOOT_SIGN_PFX:-}" ]; then
    names=()
    for f in "$@"; do names+=("$(basename "$f")"); done
    echo "sign.sh: no certificate (FCBOOT_SIGN_PFX), left unsigned: ${names[*]}"
    exit 0
fi
if ! command -v osslsigncode >/dev/null 2>&1; then
    echo "sign.sh: osslsigncode not found (Debian package osslsigncode)" >&2
    exit 2
fi
if [ ! -r "$FCBOOT_SIGN_PFX" ]; then
    echo "sign.sh: cannot read FCBOOT_SIGN_PFX $FCBOOT_SIGN_PFX" >&2
    exit 2
fi

tmp=$(mktemp -d)
partial=
trap 'rm -rf "$tmp"; [ -z "$partial" ] || rm -f "$partial"' EXIT
options=(-pkcs12 "$FCBOOT_SIGN_PFX" -h sha256 -n fcboot)
if [ -n "${FCBOOT_SIGN_PASSWORD:-}" ]; then
    # Through a file that only we can read, not on the command line.
    (umask 077 && printf '%s' "$FCBOOT_SIGN_PASSWORD" >"$tmp/password")
    options+=(-readpass "$tmp/password")
fi
if [ -n "${FCBOOT_SIGN_TIMESTAMP_URL:-}" ]; then
    options+=(-ts "$FCBOOT_SIGN_TIMESTAMP_URL")
fi

for f in "$@"; do
    # Beside the file, so that the rename cannot cross file systems.
    partial=$(mktemp "$(dirname "$f")/.$(basename "$f").signing.XXXXXX") ||
        { echo "sign.sh: cannot write beside $f" >&2; exit 1; }
    rm -f "$partial"
    if ! osslsigncode sign "${options[@]}" -in "$f" -out "$partial" </dev/null >"$tmp/log" 2>&1 ||
        ! chmod --reference="$f" "$partial" || ! mv -f "$partial" "$f"; then
        cat "$tmp/log" >&2
        echo "sign.sh: could not sign $f" >&2
        exit 1
    fi
    partial=
    echo "sign.sh: signed $f"
done
