#!/usr/bin/env bash
# The main job on the built-in demo server: builds fcboot-emu (default
# preset) and saves the boot settings of the demo fleet's two adapters to
# boot.cfg in a scratch folder, then shows the file and the exit code.
#
# FCBOOT_BUILD_PREFIX (default build/) names the build folder, as in
# scripts/test-all.sh.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$(pwd)
dir=${FCBOOT_BUILD_PREFIX:-build/}default
case "$dir" in /*) ;; *) dir=$repo/$dir ;; esac

scripts/install-deps.sh
echo "== building fcboot-emu ($dir)"
cmake --preset default -B "$dir" >/dev/null </dev/null
cmake --build "$dir" -j 2 --target fcboot fcboot-emu </dev/null

scratch=$dir/demo
rm -rf "$scratch"
mkdir -p "$scratch"
cd "$scratch"

echo "== fcboot-emu /s boot.cfg   (in $scratch)"
rc=0
"$dir/fcboot-emu" /s boot.cfg || rc=$?
echo "== exit code: $rc"
if [ -f boot.cfg ]; then
    echo "== boot.cfg:"
    cat boot.cfg
else
    echo "== no boot.cfg was written"
fi
exit "$rc"
