#!/usr/bin/env bash
# The whole rollout rehearsed on a fleet of emulated servers in mixed states
# (make_rollout_fleet.py), through scripts/rehearse-rollout.sh, three times:
#   --check --diff  no twin changes by a byte, nobody restarts, the report
#                   says what each host would do, the diff shows the settings;
#   a real run      only the drifted hosts are loaded and restarted, once,
#                   and fcboot-check --expect is OK on them afterwards; every
#                   host that failed holds the settings it held before;
#   a second run    changes no twin that was in state, restarts nobody.
# Each run reports exactly the outcome its state calls for, and ends nonzero
# (the fleet has hosts that fail).
#
# Usage: rollout_rehearsal_checks.sh WORK_DIR HOSTS FORKS FCBOOT_EMU FCBOOT_DIFF FCBOOT_CHECK
# Exit code 77: ansible-playbook is not installed.
set -euo pipefail

work=$1 count=$2 forks=$3
export FCBOOT_EMU=$4 FCBOOT_DIFF=$5 FCBOOT_CHECK=$6
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
command -v ansible-playbook >/dev/null || { echo "ansible-playbook is not installed: skipped" >&2; exit 77; }
rm -rf "$work"
mkdir -p "$work"
fleet=$work/fleet
failed=0
bad() { echo "FAILED: $*" >&2; failed=1; }

python3 "$here/make_rollout_fleet.py" "$fleet" "$count" "$FCBOOT_EMU"
# Every batch whole, and no stop after failures: all outcomes are seen.
printf 'fcboot_serial: "100%%"\nfcboot_max_fail_percentage: 100\n' >"$fleet/vars.yml"
mapfile -t hosts < <(cut -d' ' -f1 "$fleet/expected.txt")

snapshot() {  # snapshot NAME: the twins as they are, and each one's save
    mkdir -p "$work/$1"
    cp -r "$fleet/twins" "$work/$1/twins"
    for host in "${hosts[@]}"; do
        "$FCBOOT_EMU" --fleet "$fleet/twins/$host.json" /s "$work/$1/$host.cfg" >/dev/null 2>&1 || true
    done
}
expect_outcomes() {  # expect_outcomes RUN COLUMN: the report against expected.txt
    local want got
    want=$(awk -v c="$2" '{ print $1, $c }' "$fleet/expected.txt" | sort)
    got=$(cut -d' ' -f1,2 "$fleet/report.txt" | sort)
    [ "$want" = "$got" ] || { diff <(echo "$want") <(echo "$got") >&2 || true; bad "$1: the report's outcomes"; }
}
outcome_of() { awk -v h="$1" -v c="$2" '$1 == h { print $c }' "$fleet/expected.txt"; }
restarts() { [ -f "$fleet/restarts/$1" ] && wc -l <"$fleet/restarts/$1" || echo 0; }
want_file() { [ -f "$fleet/want/$1.cfg" ] && echo "$fleet/want/$1.cfg" || echo "$fleet/rendered/$1.cfg"; }
rehearse() {  # rehearse RUN OPTIONS...: expects a nonzero exit code
    local t0=$SECONDS rc=0
    "$repo/scripts/rehearse-rollout.sh" "${@:2}" --forks "$forks" "$fleet" >"$work/$1.log" 2>&1 || rc=$?
    cp "$fleet/report.txt" "$work/$1.report" 2>/dev/null || bad "$1: no report"
    echo "$1: $((SECONDS - t0)) s, exit code $rc"
    [ "$rc" -ne 0 ] || bad "$1: ended with 0 although hosts failed"
    grep -q "^PLAY RECAP" "$work/$1.log" || { tail -30 "$work/$1.log" >&2; bad "$1: the play did not run to its end"; }
}

# --- check mode ---
snapshot before
rehearse check --check --diff
expect_outcomes check 3
for host in "${hosts[@]}"; do
    cmp -s "$work/before/twins/$host.json" "$fleet/twins/$host.json" || bad "check: $host's twin changed"
done
[ -z "$(ls -A "$fleet/restarts" 2>/dev/null)" ] || bad "check: a host was restarted"
[ -z "$(ls -A "$fleet/installs" 2>/dev/null)" ] || bad "check: a package was installed"
# The settings a load changes, as fcboot-diff found them, before and after,
# one line each.
for line in '-1000000000000001 BootDeviceLUN[0]=4' '+1000000000000001 BootDeviceLUN[0]=0' \
        '-1000000000000002 SelectBootEnable=0' '+1000000000000002 SelectBootEnable=1' \
        '+1000000000000002 BootDeviceWWID=500000000000b002'; do
    grep -qxF -- "$line" "$work/check.log" || bad "check: --diff does not show the line $line"
done

# --- the real run ---
rehearse run
expect_outcomes run 4
for host in "${hosts[@]}"; do
    outcome=$(outcome_of "$host" 4)
    n=$(restarts "$host")
    case "$outcome" in
        changed)
            [ "$n" -eq 1 ] || bad "run: $host restarted $n times, not once"
            "$FCBOOT_CHECK" --fleet "$fleet/twins/$host.json" --expect "$(want_file "$host")" >"$work/check-$host.txt" 2>&1 ||
                bad "run: fcboot-check --expect is not OK on $host: $(head -1 "$work/check-$host.txt")" ;;
        unchanged)
            [ "$n" -eq 0 ] || bad "run: $host was restarted"
            cmp -s "$work/before/twins/$host.json" "$fleet/twins/$host.json" || bad "run: $host's twin changed" ;;
        *)
            [ "$n" -eq 0 ] || bad "run: $host was restarted"
            "$FCBOOT_EMU" --fleet "$fleet/twins/$host.json" /s "$work/after-$host.cfg" >/dev/null 2>&1 || true
            cmp -s "$work/before/$host.cfg" "$work/after-$host.cfg" 2>/dev/null ||
                [ ! -e "$work/before/$host.cfg" ] || bad "run: $host ($outcome) does not hold what it held before" ;;
    esac
done
grep -q ' rolled back' "$fleet/report.txt" || bad "run: no reason says \"rolled back\""
installs() { cat "$fleet"/installs/* 2>/dev/null | wc -l; }
new=$(grep -c ' new ' "$fleet/expected.txt" || true)
wrong=$(grep -c ' wrong-install-dir ' "$fleet/expected.txt" || true)
[ "$(installs)" -eq $((new + wrong)) ] || bad "run: the package was not installed on each new server, once"
[ "$wrong" -eq 0 ] || grep -q 'wrong-install-dir failed .*is fcboot_install_dir (C:\\Program Files\\fcboot-1) the folder' \
    "$fleet/report.txt" || bad "run: a wrong fcboot_install_dir is not named"

# --- the second run ---
snapshot second
rehearse again
expect_outcomes again 5
for host in "${hosts[@]}"; do
    outcome=$(outcome_of "$host" 5)
    [ "$(restarts "$host")" -eq "$([ "$(outcome_of "$host" 4)" = changed ] && echo 1 || echo 0)" ] ||
        bad "again: $host was restarted"
    if [ "$outcome" = unchanged ]; then
        cmp -s "$work/second/twins/$host.json" "$fleet/twins/$host.json" || bad "again: $host's twin changed"
    fi
done
# Only where the install did not take.
[ "$(installs)" -eq $((new + 2 * wrong)) ] || bad "again: a package was installed again"
exit "$failed"
