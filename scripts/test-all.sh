#!/usr/bin/env bash
# The whole test suite: installs what is missing (when run as root on
# Debian), then configures, builds and tests
#   default   Release build with g++ (Linux, emulated adapters)
#   sanitize  Debug build with AddressSanitizer and UndefinedBehaviorSanitizer
#   mingw     Windows build (MinGW-w64), its packages (fcboot-<version>-win64
#             .zip and .msi) in the build folder, and their tests under Wine
#   fuzz      clang++ with libFuzzer: each fuzz target fuzzed for 60 s
#             (scripts/fuzz.sh; FUZZ_SECONDS changes the time)
# and, on request only,
#   clang     Debug build with clang++ (warnings are errors there too)
#
# Usage: scripts/test-all.sh [STAGE...]   (default: default sanitize mingw fuzz)
# FCBOOT_BUILD_PREFIX (default build/) names the build folders: the stage
# name is appended, so build/default, build/sanitize, build/mingw.
# Exits nonzero if any stage fails; every stage runs regardless.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$(pwd)
build_prefix=${FCBOOT_BUILD_PREFIX:-build/}
jobs=2

known_stages=(default sanitize mingw fuzz clang)
if [ "$#" -gt 0 ]; then
    stages=("$@")
else
    stages=(default sanitize mingw fuzz)
fi
for stage in "${stages[@]}"; do
    case " ${known_stages[*]} " in
        *" $stage "*) ;;
        *) echo "test-all.sh: unknown stage '$stage' (stages: ${known_stages[*]})" >&2; exit 2 ;;
    esac
done
wants() { [[ " ${stages[*]} " == *" $1 "* ]]; }

# --- packages ---------------------------------------------------------------
groups=()
wants mingw && groups+=(mingw packaging)
wants clang && groups+=(clang)
wants fuzz && groups+=(fuzz)
wants default && groups+=(bench memcheck monitoring rollout)
scripts/install-deps.sh "${groups[@]}"

# --- stages -----------------------------------------------------------------
declare -A result
declare -A tests_line
failed=0
start_all=$SECONDS

run_stage() {
    local stage=$1
    local dir=$build_prefix$stage
    local log
    case "$dir" in /*) ;; *) dir=$repo/$dir ;; esac
    log=$dir/test-all.log

    if [ "$stage" = fuzz ]; then
        echo
        echo "== fuzz: build and fuzz ($dir)"
        if ! "$repo/scripts/fuzz.sh" "$dir"; then
            result[$stage]="fuzzing FAILED"
            return 1
        fi
        result[$stage]="ok"
        return 0
    fi

    echo
    echo "== $stage: configure ($dir)"
    if ! cmake --preset "$stage" -B "$dir" </dev/null; then
        result[$stage]="configure FAILED"
        return 1
    fi
    echo "== $stage: build"
    if ! cmake --build "$dir" -j "$jobs" </dev/null; then
        result[$stage]="build FAILED"
        return 1
    fi
    if [ "$stage" = mingw ]; then
        echo "== $stage: packages"
        if ! cmake --build "$dir" --target packages </dev/null; then
            result[$stage]="package FAILED"
            return 1
        fi
    fi
    echo "== $stage: test"
    local rc=0
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 900 --no-tests=error \
        </dev/null 2>&1 | tee "$log" || rc=$?
    tests_line[$stage]=$(grep -E 'tests passed, [0-9]+ tests failed out of' "$log" | tail -1 || true)
    if [ "$rc" -ne 0 ]; then
        result[$stage]="tests FAILED"
        return 1
    fi
    if [ "$stage" = default ]; then
        run_memcheck "$dir" || return 1
    fi
    result[$stage]="ok"
}

# Memcheck over the end-to-end and fault sweep programs of the default build:
# any memory error, and any memory lost for good, fails the stage.
run_memcheck() {
    local dir=$1
    local program
    if ! command -v valgrind >/dev/null 2>&1; then
        echo "== default: memcheck skipped, valgrind not installed" >&2
        return 0
    fi
    for program in "$dir"/tests/e2e_*_test "$dir"/tests/fault_sweep_test; do
        [ -x "$program" ] || continue
        echo "== default: memcheck $(basename "$program")"
        if ! valgrind -q --error-exitcode=1 --leak-check=full \
                --errors-for-leak-kinds=definite,indirect \
                "$program" --gtest_brief=1 </dev/null >"$dir/memcheck-$(basename "$program").log" 2>&1; then
            cat "$dir/memcheck-$(basename "$program").log"
            result[default]="memcheck FAILED ($(basename "$program"))"
            return 1
        fi
    done
}

for stage in "${stages[@]}"; do
    t0=$SECONDS
    if ! run_stage "$stage"; then
        failed=1
    fi
    result[$stage]="${result[$stage]:-FAILED} ($((SECONDS - t0)) s)"
done

# --- benchmark smoke run ----------------------------------------------------
# With the default stage: the benchmarks built from the "bench" preset, the
# fleet, capture and check benchmarks over their smallest fleets and one short pass
# of the micro-benchmarks. The full run is documented in docs/performance.md.
if [[ " ${stages[*]} " == *" default "* ]]; then
    t0=$SECONDS
    bench_dir=${build_prefix}bench
    case "$bench_dir" in /*) ;; *) bench_dir=$repo/$bench_dir ;; esac
    echo
    echo "== bench: smoke run ($bench_dir)"
    if cmake --preset bench -B "$bench_dir" </dev/null >/dev/null &&
        cmake --build "$bench_dir" -j "$jobs" --target fleet_bench capture_bench check_bench micro_bench </dev/null &&
        "$bench_dir/bench/fleet_bench" --quick </dev/null &&
        "$bench_dir/bench/capture_bench" --quick </dev/null &&
        "$bench_dir/bench/check_bench" --quick </dev/null &&
        "$bench_dir/bench/micro_bench" --benchmark_min_time=0.01 </dev/null >/dev/null; then
        echo "== bench: ok ($((SECONDS - t0)) s)"
    else
        echo "== bench: FAILED ($((SECONDS - t0)) s)"
        failed=1
    fi
fi

# Wine's server lingers a few seconds after its last program; end it now so
# that nothing of the run outlives it.
if wants mingw; then
    mingw_dir=${build_prefix}mingw
    case "$mingw_dir" in /*) ;; *) mingw_dir=$repo/$mingw_dir ;; esac
    "$repo/scripts/wine-run.sh" "$mingw_dir/wineprefix" --stop >/dev/null 2>&1 || true
    "$repo/scripts/wine-run.sh" "$mingw_dir/device-wineprefix" --stop >/dev/null 2>&1 || true
fi

echo
echo "== summary ($((SECONDS - start_all)) s)"
for stage in "${stages[@]}"; do
    printf '  %-9s %s\n' "$stage" "${result[$stage]}"
    if [ -n "${tests_line[$stage]:-}" ]; then
        printf '  %-9s %s\n' "" "${tests_line[$stage]}"
    fi
done
if [ "$failed" -ne 0 ]; then
    echo "== FAILED"
    exit 1
fi
echo "== all passed"
