#!/usr/bin/env bash
# Bounded fuzzing: configures and builds the "fuzz" preset (clang++ with
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer), then fuzzes
# each target for a bounded time. Each target starts from a copy of its seed
# corpus in the build tree, so new inputs never land in the repository.
# A crash, a hang (-timeout) or a memory blow-up (-rss_limit_mb) fails the
# script; the input that did it is left in the build tree's artifacts/.
#
# Usage: scripts/fuzz.sh [BUILD_DIR]
#   FUZZ_SECONDS  time per target (default 60)
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$(pwd)
dir=${1:-build/fuzz}
case "$dir" in /*) ;; *) dir=$repo/$dir ;; esac
seconds=${FUZZ_SECONDS:-60}
targets=(fuzz_config_file fuzz_fleet_file fuzz_hostile_driver)

cmake --preset fuzz -B "$dir" </dev/null >/dev/null
cmake --build "$dir" -j 2 --target "${targets[@]}" </dev/null

failed=0
mkdir -p "$dir/artifacts"
for t in "${targets[@]}"; do
    work=$dir/corpus/$t
    rm -rf "$work"
    mkdir -p "$work"
    cp "$repo/fuzz/corpus/$t/." "$work/" -R
    log=$dir/$t.log
    dict=()
    if [ -f "$repo/fuzz/$t.dict" ]; then dict=(-dict="$repo/fuzz/$t.dict"); fi
    echo "== fuzz: $t (${seconds} s)"
    if "$dir/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$dir/artifacts/$t-" "${dict[@]}" "$work" \
        </dev/null >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "   ok: ${runs:-?} executions"
    else
        echo "   FAILED: see $log" >&2
        grep -E '^(fuzz check failed|==[0-9]+==ERROR|SUMMARY)' "$log" >&2 || tail -20 "$log" >&2
        failed=1
    fi
done
exit "$failed"
