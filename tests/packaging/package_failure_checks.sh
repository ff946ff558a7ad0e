#!/usr/bin/env bash
# make_packages.py when a step fails. A SOURCE_DATE_EPOCH that is not a
# number is one line on standard error. A signing of the MSI that fails
# leaves none of the four files behind: no unsigned package, no checksum
# file, not even an earlier run's.
#
# Usage: package_failure_checks.sh WORK_DIR NAME COMMAND...
#   NAME     the packages' file name without extension
#   COMMAND  the packages target's command (make_packages.py and its
#            arguments); --out-dir and --sign are added here
set -uo pipefail

work=$1
name=$2
shift 2
rm -rf "$work"
mkdir -p "$work/out"
failed=0
bad() { echo "FAILED: $*" >&2; failed=1; }
finals=("$name.zip" "$name.zip.sha256" "$name.msi" "$name.msi.sha256")

# A signer that signs the programs (it leaves them as they are) and fails
# for a package.
cat >"$work/sign-fails.sh" <<'EOT'
#!/bin/sh
for f in "$@"; do case "$f" in *.msi) echo "sign-fails.sh: cannot sign $f" >&2; exit 1 ;; esac; done
EOT
chmod +x "$work/sign-fails.sh"

for epoch in soon 1.5e9 -1 "12 34"; do
    SOURCE_DATE_EPOCH=$epoch "$@" --out-dir "$work/out" --sign "$work/sign-fails.sh" \
        >"$work/out.log" 2>"$work/err.log"
    rc=$?
    lines=$(wc -l <"$work/err.log")
    if [ "$rc" -eq 0 ] || [ "$lines" -ne 1 ] || ! grep -q "^make_packages.py: SOURCE_DATE_EPOCH" "$work/err.log"; then
        bad "SOURCE_DATE_EPOCH=$epoch: exit $rc, standard error [$(cat "$work/err.log")]"
    fi
done

for f in "${finals[@]}"; do echo stale >"$work/out/$f"; done
FCBOOT_SIGN_PFX=unused SOURCE_DATE_EPOCH=1700000000 "$@" --out-dir "$work/out" \
    --sign "$work/sign-fails.sh" >"$work/out.log" 2>"$work/err.log"
rc=$?
[ "$rc" -ne 0 ] || bad "a failed signing ended with 0"
grep -q "signing failed" "$work/err.log" || bad "a failed signing said [$(cat "$work/err.log")]"
for f in "${finals[@]}"; do
    [ ! -e "$work/out/$f" ] || bad "a failed signing left $f"
done
exit "$failed"
