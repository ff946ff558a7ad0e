#!/usr/bin/env bash
# Measures how well the tests catch real faults: plants each fault of a list
# (tests/mutants.txt) in a scratch copy of the tree, one at a time, rebuilds
# the default preset (Release, g++) incrementally, runs its CTest suite up to
# the first failure, puts the line back, and prints one row per fault
# (killed or survived, and the first failing test) and the score: the share
# of the faults that change behaviour that a test caught.
#
# Usage: scripts/mutants.sh [--list FILE] [--check] [NAME...]
#   --list FILE  the fault list (default tests/mutants.txt; its head says the format)
#   --check      only check the list: every fault's text must be found exactly
#                once in its file; a fault that is not is stale
#   NAME...      plant only these faults
# FCBOOT_MUTANTS_DIR names a scratch folder to keep between runs (outside the
# repository), which saves the first full build next time; by default a
# fresh temporary folder is used and removed afterwards.
#
# Exits nonzero when the list holds a stale or malformed fault, when the tests
# fail without any fault, when a fault does not build, or when a fault marked
# equivalent fails a test (the mark is then wrong). Not part of
# scripts/test-all.sh; a whole run takes about a quarter of an hour on two
# cores (run it under nice on a shared machine).
set -euo pipefail
shopt -u patsub_replacement 2>/dev/null || true  # "&" in a replacement is plain text

cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$(pwd)
list=tests/mutants.txt
check_only=0
only=()
while [ "$#" -gt 0 ]; do
    case "$1" in
        --list) list=${2:?--list needs a file}; shift 2 ;;
        --check) check_only=1; shift ;;
        -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        -*) echo "mutants.sh: unknown option $1" >&2; exit 2 ;;
        *) only+=("$1"); shift ;;
    esac
done

# --- the list -----------------------------------------------------------------
names=() files=() froms=() tos=() has_to=() equivalent=()
trim() { local s=$1; s=${s#"${s%%[![:space:]]*}"}; printf '%s' "${s%"${s##*[![:space:]]}"}"; }

n=-1
lineno=0
bad=0
while IFS= read -r line || [ -n "$line" ]; do
    lineno=$((lineno + 1))
    [[ $line == \#* || -z ${line//[[:space:]]/} ]] && continue
    key=$(trim "${line%%:*}")
    value=$(trim "${line#*:}")
    if [ "$key" = fault ]; then
        n=$((n + 1))
        names[n]=$value files[n]='' froms[n]='' tos[n]='' has_to[n]=0 equivalent[n]=''
        continue
    fi
    if [ "$n" -lt 0 ] || [[ $line != *:* ]]; then
        echo "$list:$lineno: expected \"fault: NAME\" first" >&2; bad=1; continue
    fi
    case "$key" in
        file) files[n]=$value ;;
        from) froms[n]=$value ;;
        to) tos[n]=$value; has_to[n]=1 ;;
        equivalent) equivalent[n]=$value ;;
        *) echo "$list:$lineno: unknown key \"$key\"" >&2; bad=1 ;;
    esac
done <"$list"

declare -A seen_name
for i in "${!names[@]}"; do
    name=${names[i]} file=${files[i]} from=${froms[i]}
    problem=''
    if [ -z "$name" ]; then problem='no name'
    elif [ -n "${seen_name[$name]:-}" ]; then problem='name used twice'
    elif [[ $file != src/frontend/* && $file != src/bootcfg/* && $file != src/adapter/* ]]; then
        problem="file \"$file\" is not the utility's own code"
    elif [ -z "$from" ] || [ "${has_to[i]}" -eq 0 ]; then problem='needs from: and to:'
    elif [ "$from" = "${tos[i]}" ]; then problem='from: and to: are the same'
    elif [ ! -f "$file" ]; then problem="stale: $file does not exist"
    else
        found=$(grep -F -o -- "$from" "$file" | wc -l || true)
        [ "$found" -eq 1 ] || problem="stale: text found $found times in $file"
    fi
    seen_name[$name]=1
    if [ -n "$problem" ]; then
        echo "fault ${name:-#$((i + 1))}: $problem" >&2
        bad=1
    fi
done
for name in "${only[@]}"; do
    [ -n "${seen_name[$name]:-}" ] || { echo "mutants.sh: no fault named $name" >&2; bad=1; }
done
[ "$bad" -eq 0 ] || { echo "mutants.sh: the fault list needs mending" >&2; exit 1; }
if [ "$check_only" -eq 1 ]; then
    echo "${#names[@]} faults, every one found exactly once"
    exit 0
fi

# --- the scratch tree ------------------------------------------------------------
scripts/install-deps.sh
if [ -n "${FCBOOT_MUTANTS_DIR:-}" ]; then
    mkdir -p "$FCBOOT_MUTANTS_DIR"
    scratch=$(cd "$FCBOOT_MUTANTS_DIR" && pwd)
    case "$scratch/" in "$repo"/*) echo "mutants.sh: FCBOOT_MUTANTS_DIR must be outside the repository" >&2; exit 2 ;; esac
else
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
fi
tree=$scratch/tree
build=$tree/build/default
# Everything but build folders and history; file times are kept, so a kept
# scratch folder rebuilds only what changed since.
mkdir -p "$tree"
find "$tree" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
tar -C "$repo" --exclude='./build*' --exclude='./out' --exclude='./.git' -cf - . | tar -C "$tree" -xf -

log=$scratch/last.log
build_tree() { (cd "$tree" && cmake --build "$build" -j 2) >"$log" 2>&1; }
# The suite up to its first failure; prints the failing test's name.
run_tests() {
    rm -f "$build/Testing/Temporary/LastTestsFailed.log"
    if ctest --test-dir "$build" --stop-on-failure --timeout 120 --no-tests=error >"$log" 2>&1; then
        return 0
    fi
    local failed
    failed=$(sed -n '1s/^[0-9]*://p' "$build/Testing/Temporary/LastTestsFailed.log" 2>/dev/null || true)
    printf '%s' "${failed:-(ctest failed, see $log)}"
    return 1
}

start=$SECONDS
echo "== building and testing the tree as it is ($tree)"
if ! (cd "$tree" && cmake --preset default) >"$log" 2>&1 || ! build_tree; then
    cat "$log" >&2; echo "mutants.sh: the tree does not build" >&2; exit 1
fi
if ! failed=$(run_tests); then
    echo "mutants.sh: $failed fails without any fault" >&2; exit 1
fi

# --- one fault at a time -----------------------------------------------------------
# The first occurrence of `from` in the file becomes `to`.
plant() {
    local path=$1 from=$2 to=$3 line done=0
    while IFS= read -r line || [ -n "$line" ]; do
        if [ "$done" -eq 0 ] && [[ $line == *"$from"* ]]; then
            line=${line/"$from"/"$to"}
            done=1
        fi
        printf '%s\n' "$line"
    done <"$path.orig" >"$path"
}

printf '\n%-48s %-10s %s\n' fault result 'first failing test'
counted=0 killed=0 trouble=0
for i in "${!names[@]}"; do
    name=${names[i]}
    if [ "${#only[@]}" -gt 0 ] && [[ " ${only[*]} " != *" $name "* ]]; then continue; fi
    path=$tree/${files[i]}
    cp "$path" "$path.orig"
    plant "$path" "${froms[i]}" "${tos[i]}"
    if ! build_tree; then
        cp "$log" "$scratch/no-build-$name.log"
        result='no build' first="see $scratch/no-build-$name.log"
        trouble=1
    elif first=$(run_tests); then
        result=survived first=''
    else
        result=killed
    fi
    # A fresh time stamp, so that the next build compiles the line put back.
    cp "$path.orig" "$path" && rm -f "$path.orig" && touch "$path"

    if [ -n "${equivalent[i]}" ]; then
        if [ "$result" = killed ]; then
            first="$first (marked equivalent: the mark is wrong)"
            trouble=1
        else
            result=equivalent first=${equivalent[i]}
        fi
    elif [ "$result" != 'no build' ]; then
        counted=$((counted + 1))
        [ "$result" = killed ] && killed=$((killed + 1))
    fi
    printf '%-48s %-10s %s\n' "$name" "$result" "$first"
done
build_tree || true  # leave the scratch build as the tree is

if [ "$counted" -gt 0 ]; then
    echo
    echo "score: $killed of $counted faults that change behaviour killed ($((100 * killed / counted))%)," \
        "$(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s"
fi
[ "$trouble" -eq 0 ] || { echo "mutants.sh: see the rows above marked wrong or not built" >&2; exit 1; }
