#!/usr/bin/env bash
# scripts/sign.sh with a throwaway CA and code-signing certificate (made with
# openssl): the signed copies verify against that CA, a copy with one byte
# changed does not, and without a certificate nothing is signed. Each file
# is replaced whole by its signed copy (a second name of the file keeps the
# unsigned bytes), with its permissions; a file that cannot be signed is
# left as it was, with nothing beside it.
#
# Usage: sign_checks.sh WORK_DIR SIGN_SH FILE...   (programs and MSI packages)
set -euo pipefail

work=$1
sign=$2
shift 2
rm -rf "$work"
mkdir -p "$work"
cd "$work"
failed=0
bad() { echo "FAILED: $*" >&2; failed=1; }

# Without a certificate: one line, exit 0, the file untouched.
unset FCBOOT_SIGN_PFX FCBOOT_SIGN_PASSWORD FCBOOT_SIGN_TIMESTAMP_URL
cp "$1" untouched
out=$("$sign" untouched) || bad "sign.sh without a certificate ended with $?"
[ "$(printf '%s\n' "$out" | wc -l)" -eq 1 ] || bad "sign.sh without a certificate said: $out"
cmp -s "$1" untouched || bad "sign.sh without a certificate changed the file"

quiet() { "$@" >>openssl.log 2>&1 || { cat openssl.log >&2; exit 1; }; }
quiet openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=fcboot throwaway CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    -keyout ca.key -out ca.pem
quiet openssl req -newkey rsa:2048 -nodes -subj "/CN=fcboot throwaway signer" \
    -keyout signer.key -out signer.csr
printf '%s\n' basicConstraints=CA:FALSE keyUsage=critical,digitalSignature \
    extendedKeyUsage=codeSigning >signer.ext
quiet openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile signer.ext -out signer.pem
quiet openssl pkcs12 -export -inkey signer.key -in signer.pem -passout pass:throwaway -out signer.pfx

copies=()
mkdir -p files
for f in "$@"; do
    copies+=("files/signed-$(basename "$f")")
    cp "$f" "${copies[-1]}"
    chmod 640 "${copies[-1]}"
    ln "${copies[-1]}" "${copies[-1]}.before"
done
FCBOOT_SIGN_PFX=signer.pfx FCBOOT_SIGN_PASSWORD=throwaway "$sign" "${copies[@]}" >sign.log 2>&1 ||
    { cat sign.log >&2; bad "sign.sh ended with $?"; }
i=0
for f in "$@"; do
    copy=${copies[$i]}
    i=$((i + 1))
    cmp -s "$f" "$copy.before" || bad "$copy was written over in place, not replaced"
    [ "$(stat -c %a "$copy")" = 640 ] || bad "$copy lost its permissions: $(stat -c %a "$copy")"
    rm -f "$copy.before"
done

# Not a program: refused, the file as it was, no partial file beside it.
printf 'not a program\n' >files/plain.txt
if FCBOOT_SIGN_PFX=signer.pfx FCBOOT_SIGN_PASSWORD=throwaway "$sign" files/plain.txt >refused.log 2>&1; then
    bad "sign.sh signed a text file"
fi
[ "$(cat files/plain.txt)" = "not a program" ] || bad "a refused file was changed"
left=$(cd files && ls -A | grep -v '^signed-' | grep -vx plain.txt || true)
[ -z "$left" ] || bad "sign.sh left [$left] beside the files"

for copy in "${copies[@]}"; do
    copy=${copy#files/}
    cp "files/$copy" "$copy"
    osslsigncode verify -CAfile ca.pem -in "$copy" >"$copy.verify" 2>&1 ||
        { cat "$copy.verify" >&2; bad "$copy does not verify against the throwaway CA"; }
    # One byte in the middle, in signed content of a program and of a package.
    cp "$copy" "changed-$copy"
    size=$(stat -c %s "$copy")
    printf '\xa5' | dd of="changed-$copy" bs=1 seek=$((size / 2)) conv=notrunc status=none
    cmp -s "$copy" "changed-$copy" && printf '\x5a' | dd of="changed-$copy" bs=1 seek=$((size / 2)) conv=notrunc status=none
    if osslsigncode verify -CAfile ca.pem -in "changed-$copy" >"changed-$copy.verify" 2>&1; then
        bad "changed-$copy verifies although one byte was changed"
    fi
done
exit "$failed"
