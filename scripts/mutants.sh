#!/usr/bin/env bash
# Measures how well the tests catch real faults: plants each fault of a list
# in a scratch copy of the tree, one at a time, rebuilds the default preset
# (Release, g++) incrementally, runs the CTest tests whose programs the fault
# reached, up to the first failure, puts the line back, and prints one row
# per fault (killed or survived, the stage and the first failing test) and
# the score: the share of the faults that change behaviour that a test
# caught, in all and by kind of fault and by stage.
#
# Usage: scripts/mutants.sh [--list FILE] [--check] [--stages LIST] [NAME...]
#        scripts/mutants.sh --draw N [--seed S] [--skip K] [--keep FILE] [--stages LIST]
#   --list FILE  the fault list (default tests/mutants.txt; its head says the
#                format); a list kept by --keep replays a draw
#   --check      only check the list: every fault's text must be found exactly
#                once in its file (on its line, when it names one); a fault
#                that is not is stale
#   NAME...      plant only these faults
#   --draw N     faults nobody picked: scripts/mutants-draw.pl draws places
#                at random across the sources of the utility and its tools
#                (src/ but the emulator, which is the tests' yardstick, and
#                the code only the Windows build compiles), with seed S
#                (default: a fresh one, printed); they are planted in the
#                drawn order until N have built. Faults that do not build
#                are dropped, and so are faults that leave every object file
#                as it was (the compiler made the same code of them).
#   --skip K     with --draw: start after the first K drawn places (so that
#                two scratch folders can share one draw)
#   --keep FILE  with --draw: the drawn faults that were planted, in the
#                list's format, go to FILE
#   --stages LIST  the stages that measure each fault, comma-separated, in
#                order (default: default; also sanitize and mingw, the
#                presets of scripts/test-all.sh): a fault that survives one
#                is built and tested in the next, and the row names the stage
#                that caught it. Each stage is first built and tested clean
#                in the scratch tree (mingw's packages are not rebuilt per
#                fault, so their tests run only then). To ask which stage
#                catches the survivors of a draw:
#                --list FILE --stages default,sanitize,mingw NAME... with the
#                list --keep wrote.
# A drawn fault's kind is in its name (see scripts/mutants-draw.pl); a
# listed fault counts as "listed".
# FCBOOT_MUTANTS_DIR names a scratch folder to keep between runs (outside the
# repository), which saves the first full build next time; by default a
# fresh temporary folder is used and removed afterwards. Each fault's tests
# get FCBOOT_MUTANT_TIMEOUT seconds in all (default 900), each test 120.
#
# Exits nonzero when the list holds a stale or malformed fault, when the tests
# fail without any fault, when a listed fault does not build, or when a fault
# marked equivalent fails a test (the mark is then wrong). Not part of
# scripts/test-all.sh; a run of the list takes about a quarter of an hour on
# two cores, a draw of 60 about an hour (more on a busy machine: run it under
# nice there, and --skip lets two scratch folders share one draw).
set -euo pipefail
shopt -u patsub_replacement 2>/dev/null || true  # "&" in a replacement is plain text

cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$(pwd)
list=tests/mutants.txt
check_only=0
draw=0
seed=''
keep=''
skip=0
only=()
stages=(default)
while [ "$#" -gt 0 ]; do
    case "$1" in
        --list) list=${2:?--list needs a file}; shift 2 ;;
        --check) check_only=1; shift ;;
        --draw) draw=${2:?--draw needs a count}; shift 2 ;;
        --seed) seed=${2:?--seed needs a number}; shift 2 ;;
        --keep) keep=${2:?--keep needs a file}; shift 2 ;;
        --skip) skip=${2:?--skip needs a count}; shift 2 ;;
        --stages) IFS=, read -r -a stages <<<"${2:?--stages needs a list}"; shift 2 ;;
        -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        -*) echo "mutants.sh: unknown option $1" >&2; exit 2 ;;
        *) only+=("$1"); shift ;;
    esac
done
[[ $draw =~ ^[0-9]+$ ]] || { echo "mutants.sh: --draw needs a count" >&2; exit 2; }
[[ $skip =~ ^[0-9]+$ ]] || { echo "mutants.sh: --skip needs a count" >&2; exit 2; }
[ -z "$seed" ] || [[ $seed =~ ^[0-9]+$ ]] || { echo "mutants.sh: --seed needs a number" >&2; exit 2; }
for stage in "${stages[@]}"; do
    case "$stage" in default|sanitize|mingw) ;; *) echo "mutants.sh: no stage $stage (default, sanitize, mingw)" >&2; exit 2 ;; esac
done

# --- the scratch tree ------------------------------------------------------------
scratch_tree() {
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
    # Everything but build folders and history. A file whose bytes differ
    # from the scratch tree's (an edit since its last run, or a fault a
    # stopped run left in place) comes with the time of this copy, so every
    # stage builds it again; the others keep their times (a fault put back
    # was touched then), so a kept scratch folder rebuilds only what changed.
    mkdir -p "$tree"
    local copy=$scratch/copy
    rm -rf "$copy" && mkdir -p "$copy"
    tar -C "$repo" --exclude='./build*' --exclude='./out' --exclude='./.git' -cf - . | tar -C "$copy" -xf -
    (cd "$copy" && find . -type f -print0) | while IFS= read -r -d '' f; do
        cmp -s "$copy/$f" "$tree/$f" || { mkdir -p "$(dirname "$tree/$f")" && cp "$copy/$f" "$tree/$f"; }
    done
    (cd "$tree" && find . \( -path ./build -o -path ./.git \) -prune -o -type f -print0) |
        while IFS= read -r -d '' f; do [ -e "$copy/$f" ] || rm -f "$tree/$f"; done
    rm -rf "$copy"
    # The packages' rebuild test lists the sources as git does; a repository
    # without history is enough for that.
    [ -d "$tree/.git" ] || git -C "$tree" init -q
}

# Drawn from the scratch copy, so that nothing edited in the tree meanwhile
# goes into the draw; four times as many as wanted, for those that do not
# build.
if [ "$draw" -gt 0 ]; then
    [ -n "$seed" ] || seed=$(( (RANDOM << 15 | RANDOM) ))
    scratch_tree
    list=$scratch/drawn.txt
    (
        cd "$tree"
        # The sources the default build compiles, but the emulator's.
        mapfile -t sources < <(find src -name '*.cpp' -o -name '*.h' | LC_ALL=C sort |
            grep -v -e '^src/emulator/' -e '^src/emudriver/' -e '_win32\.' -e '/win32\.h$' -e '_none\.cpp$')
        perl scripts/mutants-draw.pl "$seed" $((skip + 4 * draw)) "${sources[@]}"
    ) >"$list"
    echo "== drawing with seed $seed: $(sed -n '1s/^# //p' "$list")"
fi

# --- the list -----------------------------------------------------------------
names=() files=() lines=() froms=() tos=() has_to=() equivalent=()
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
        names[n]=$value files[n]='' lines[n]='' froms[n]='' tos[n]='' has_to[n]=0 equivalent[n]=''
        continue
    fi
    if [ "$n" -lt 0 ] || [[ $line != *:* ]]; then
        echo "$list:$lineno: expected \"fault: NAME\" first" >&2; bad=1; continue
    fi
    case "$key" in
        file) files[n]=$value ;;
        line) lines[n]=$value ;;
        from) froms[n]=$value ;;
        to) tos[n]=$value; has_to[n]=1 ;;
        equivalent) equivalent[n]=$value ;;
        *) echo "$list:$lineno: unknown key \"$key\"" >&2; bad=1 ;;
    esac
done <"$list"

declare -A seen_name
for i in "${!names[@]}"; do
    [ "$draw" -eq 0 ] || break  # drawn from the very files it plants in
    name=${names[i]} file=${files[i]} from=${froms[i]} at=${lines[i]}
    problem=''
    if [ -z "$name" ]; then problem='no name'
    elif [ -n "${seen_name[$name]:-}" ]; then problem='name used twice'
    elif [ "$list" = tests/mutants.txt ] && [[ $file != src/frontend/* && $file != src/bootcfg/* && $file != src/adapter/* ]]; then
        problem="file \"$file\" is not the utility's own code"
    elif [[ $file != src/* ]]; then problem="file \"$file\" is not under src/"
    elif [ -z "$from" ] || [ "${has_to[i]}" -eq 0 ]; then problem='needs from: and to:'
    elif [ "$from" = "${tos[i]}" ]; then problem='from: and to: are the same'
    elif [ ! -f "$file" ]; then problem="stale: $file does not exist"
    elif [ -n "$at" ]; then
        [[ $at =~ ^[1-9][0-9]*$ ]] || problem="line \"$at\" is no line number"
        [ -n "$problem" ] || [[ $(sed -n "${at}p" "$file") == *"$from"* ]] || problem="stale: text not on line $at"
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

[ "$draw" -gt 0 ] || scratch_tree
log=$scratch/last.log
stamp=$scratch/stamp
# Every stage's build folder; the first stage's decides whether a fault made
# other code at all.
build=$tree/build/${stages[0]}
build_stage() { (cd "$tree" && cmake --build "build/$1" -j 2) >"$log" 2>&1; }
build_tree() { build_stage "${stages[0]}"; }
# Checksums of every object file, and the programs built since the stamp.
objects() { find "$build" \( -name '*.o' -o -name '*.obj' \) ${1:+-newer "$1"} -exec md5sum {} + | LC_ALL=C sort -k 2; }
programs_since() { find "$1" -type f -perm -u+x -newer "$stamp" ! -name '*.so*' -printf '%p\n'; }

# Which programs each test runs: "NUMBER<TAB>command line" from ctest -N -V.
# The package and installer tests are left out: they check the packages
# built once from the tree as it is, which no fault's build makes again, so
# they would fail for that alone.
tests_map() {
    ctest --test-dir "$1" -N -V 2>/dev/null | awk '
        / Test command: / { sub(/.* Test command: /, ""); command = $0; next }
        /^ *Test +#[0-9]+:/ {
            name = $0; sub(/^[^:]*: */, "", name)
            sub(/^ *Test +#/, ""); sub(/:.*/, "")
            if (name !~ /^(package_|msi_)/) print $0 "\t" command
        }'
}
# The tests (ctest numbers, comma-separated) whose command line names one of
# the programs on standard input.
tests_for_programs() {
    local programs
    programs=$(cat)
    [ -n "$programs" ] || return 0
    awk -F '\t' -v programs="$programs" '
        BEGIN { n = split(programs, p, "\n") }
        { for (i = 1; i <= n; ++i) if (p[i] != "" && index($2, p[i])) { printf "%s%s", sep, $1; sep = ","; break } }' \
        "$scratch/tests.map.$1"
}
# A stage's tests given (all when none) up to the first failure; prints the
# failing test's name.
run_tests() {
    local dir=$tree/build/$1 select=()
    [ -z "${2:-}" ] || select=(-I "0,0,1,$2")
    rm -f "$dir/Testing/Temporary/LastTestsFailed.log"
    if timeout "${FCBOOT_MUTANT_TIMEOUT:-900}" ctest --test-dir "$dir" "${select[@]}" --stop-on-failure \
        --timeout 120 --no-tests=error >"$log" 2>&1; then
        return 0
    fi
    local failed
    failed=$(sed -n '1s/^[0-9]*://p' "$dir/Testing/Temporary/LastTestsFailed.log" 2>/dev/null || true)
    printf '%s' "${failed:-(the tests ran out of time or failed, see $log)}"
    return 1
}

start=$SECONDS
for stage in "${stages[@]}"; do
    echo "== building and testing the tree as it is, stage $stage ($tree)"
    if ! (cd "$tree" && cmake --preset "$stage") >"$log" 2>&1 || ! build_stage "$stage"; then
        cat "$log" >&2; echo "mutants.sh: the tree does not build in stage $stage" >&2; exit 1
    fi
    # Its package tests read the packages, as scripts/test-all.sh builds them.
    if [ "$stage" = mingw ] && ! (cd "$tree" && cmake --build build/mingw --target packages) >"$log" 2>&1; then
        cat "$log" >&2; echo "mutants.sh: the packages do not build" >&2; exit 1
    fi
    if ! failed=$(run_tests "$stage"); then
        echo "mutants.sh: $failed fails without any fault in stage $stage" >&2; exit 1
    fi
    tests_map "$tree/build/$stage" >"$scratch/tests.map.$stage"
done
objects >"$scratch/objects.clean"

# --- one fault at a time -----------------------------------------------------------
# On its line (the first where the text is, when none is named), the text
# becomes `to`.
plant() {
    local path=$1 from=$2 to=$3 at=$4 line done=0 number=0
    while IFS= read -r line || [ -n "$line" ]; do
        number=$((number + 1))
        if [ "$done" -eq 0 ] && { [ -z "$at" ] || [ "$number" -eq "$at" ]; } && [[ $line == *"$from"* ]]; then
            line=${line/"$from"/"$to"}
            done=1
        fi
        printf '%s\n' "$line"
    done <"$path.orig" >"$path"
}

printf '\n%-48s %-10s %-9s %s\n' fault result stage 'first failing test'
counted=0 killed=0 trouble=0 planted=0 unbuilt=0 same=0
declare -A kind_counted kind_killed stage_killed
[ -z "$keep" ] || : >"$keep"
for i in "${!names[@]}"; do
    name=${names[i]}
    if [ "${#only[@]}" -gt 0 ] && [[ " ${only[*]} " != *" $name "* ]]; then continue; fi
    [ "$draw" -eq 0 ] || [ "$planted" -lt "$draw" ] || break
    [ "$i" -ge "$skip" ] || continue
    path=$tree/${files[i]}
    cp "$path" "$path.orig"
    plant "$path" "${froms[i]}" "${tos[i]}" "${lines[i]}"
    touch "$stamp"
    sleep 1  # a coarse file clock must still tell the stamp from what is built after it
    if ! build_tree; then
        result='no build' first=''
        if [ "$draw" -eq 0 ]; then
            cp "$log" "$scratch/no-build-$name.log"
            first="see $scratch/no-build-$name.log"
            trouble=1
        fi
    elif [ -z "$(join -j 2 -o 1.1,2.1 <(objects "$stamp") "$scratch/objects.clean" | awk '$1 != $2')" ]; then
        result='same code' first='every object file as it was'
    else
        # Stage after stage until one catches it.
        result=survived first='' caught=''
        for stage in "${stages[@]}"; do
            if [ "$stage" != "${stages[0]}" ] && ! build_stage "$stage"; then
                first="does not build in stage $stage"
                break
            fi
            selected=$(programs_since "$tree/build/$stage" | tests_for_programs "$stage")
            if [ -z "$selected" ]; then
                first='(no test runs a program it reached)'
            elif first=$(run_tests "$stage" "$selected"); then
                first=''
            else
                result=killed caught=$stage
                break
            fi
        done
    fi
    # A fresh time stamp, so that the next build compiles the line put back.
    cp "$path.orig" "$path" && rm -f "$path.orig" && touch "$path"

    if [ "$result" = 'no build' ] && [ "$draw" -gt 0 ]; then
        unbuilt=$((unbuilt + 1))
        continue  # drawn faults that do not build are dropped
    fi
    planted=$((planted + 1))
    if [ -n "$keep" ]; then
        printf '\nfault: %s\nfile: %s\n%sfrom: %s\nto: %s\n' "$name" "${files[i]}" \
            "${lines[i]:+line: ${lines[i]}$'\n'}" "${froms[i]}" "${tos[i]}" >>"$keep"
    fi
    if [ -n "${equivalent[i]}" ]; then
        if [ "$result" = killed ]; then
            first="$first (marked equivalent: the mark is wrong)"
            trouble=1
        else
            result=equivalent first=${equivalent[i]}
        fi
    elif [ "$result" = 'same code' ]; then
        same=$((same + 1))
    elif [ "$result" != 'no build' ]; then
        kind=listed
        [[ ! $name =~ ^[0-9]+-([a-z]+)- ]] || kind=${BASH_REMATCH[1]}
        counted=$((counted + 1))
        kind_counted[$kind]=$((${kind_counted[$kind]:-0} + 1))
        if [ "$result" = killed ]; then
            killed=$((killed + 1))
            kind_killed[$kind]=$((${kind_killed[$kind]:-0} + 1))
            stage_killed[$caught]=$((${stage_killed[$caught]:-0} + 1))
        fi
    fi
    [ "$result" = killed ] || caught=''
    printf '%-48s %-10s %-9s %s\n' "$name" "$result" "$caught" "$first"
done
for stage in "${stages[@]}"; do build_stage "$stage" || true; done  # leave the scratch builds as the tree is

echo
[ "$draw" -eq 0 ] || echo "drawn with seed $seed: $planted built ($same of them the same code), $unbuilt that did not build dropped"
if [ "$counted" -gt 0 ]; then
    echo "score: $killed of $counted faults that change behaviour killed ($((100 * killed / counted))%)," \
        "$(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s"
    for kind in $(printf '%s\n' "${!kind_counted[@]}" | LC_ALL=C sort); do
        k=${kind_killed[$kind]:-0} c=${kind_counted[$kind]}
        printf '  kind %-12s %3d of %3d killed (%d%%)\n' "$kind" "$k" "$c" $((100 * k / c))
    done
    # Each stage's share counts what the stages before it let through.
    total=0
    for stage in "${stages[@]}"; do
        total=$((total + ${stage_killed[$stage]:-0}))
        printf '  up to stage %-8s %3d of %3d killed (%d%%)\n' "$stage" "$total" "$counted" $((100 * total / counted))
    done
fi
[ "$trouble" -eq 0 ] || { echo "mutants.sh: see the rows above marked wrong or not built" >&2; exit 1; }
