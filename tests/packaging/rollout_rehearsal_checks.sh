#!/usr/bin/env bash
# The whole rollout rehearsed on a fleet of emulated servers in mixed states
# (make_rollout_fleet.py), through scripts/rehearse-rollout.sh, three times:
#   --check --diff  no host's files and no twin change by a byte, nobody
#                   restarts, the controller keeps no backup, the report says
#                   what each host would do, the diff shows the settings;
#   a real run      in batches, one of which fails whole, and every host is
#                   still reached (fcboot_max_fail_percentage: 100); only the
#                   drifted hosts are loaded and restarted, once; every
#                   changed and unchanged host's expected file is its desired
#                   file, which fcboot-check finds OK or WARNING; a rolled-back
#                   host is nowhere less ready than before; the folder's
#                   access rules are asked for on every host; a file a user
#                   owns or changed after the copy is never loaded; every
#                   host's capture is kept, and the one from before a swap
#                   stays; a replaced adapter whose boot device is not yet
#                   zoned to it waits for the SAN, neither loaded nor
#                   restarted;
#   a second run    stops after the failing batch (the default 0): the hosts
#                   after it are reported not-reached and failed in the
#                   recap; it changes no twin that was in state; the
#                   replaced adapter, its boot device zoned to it now, gets
#                   the remapped file and the server restarts.
# Each run reports exactly the outcome its state calls for, every reason one
# line of at most 200 characters, and ends nonzero (hosts fail).
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
mapfile -t hosts < <(cut -d' ' -f1 "$fleet/expected.txt")
# The first five hosts are in state, drift or wait for the SAN; the next two
# fail: a batch of its own in the real run and the second.
batches='fcboot_serial: [5, 2, "100%"]'

snapshot() {  # snapshot NAME: the twins as they are, each one's save and readiness
    mkdir -p "$work/$1"
    cp -r "$fleet/twins" "$work/$1/twins"
    for host in "${hosts[@]}"; do
        "$FCBOOT_EMU" --fleet "$fleet/twins/$host.json" /s "$work/$1/$host.cfg" >/dev/null 2>&1 || true
        "$FCBOOT_EMU" --fleet "$fleet/twins/$host.json" --allow-incomplete --check --json \
            >"$work/$1/$host.json" 2>/dev/null || true
    done
}
listing() {  # every file and folder of the hosts and twins, with each file's hash
    (cd "$fleet" && find hosts twins -printf '%y %p\n' | sort &&
        find hosts twins -type f -print0 | sort -z | xargs -0 sha256sum)
}
expect_outcomes() {  # expect_outcomes RUN COLUMN: the report against expected.txt
    local want got
    want=$(awk -v c="$2" '{ print $1, $c }' "$fleet/expected.txt" | sort)
    got=$(cut -d' ' -f1,2 "$fleet/report.txt" | sort)
    [ "$want" = "$got" ] || { diff <(echo "$want") <(echo "$got") >&2 || true; bad "$1: the report's outcomes"; }
    # One line per host, each reason one line of at most 200 characters.
    awk -v run="$1" 'length($0) - length($1) - length($2) - 2 > 200 { print run ": reason longer than 200: " $0; bad = 1 }
        END { exit bad }' "$fleet/report.txt" >&2 || bad "$1: a reason is longer than 200 characters"
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
# How ready each adapter is in each variant, as "<port> <variant> <level>".
levels() {
    python3 -c '
import json, sys
levels = {"OK": 0, "WARNING": 1, "CRITICAL": 2, "UNKNOWN": 3}
worst = {}
for f in json.load(open(sys.argv[1])).get("findings", []):
    key = "%s/%s" % (f.get("adapter", "-"), f.get("variant", "-"))
    worst[key] = max(worst.get(key, 0), levels.get(f["state"], 3))
for key in sorted(worst):
    print(key, worst[key])' "$1" 2>/dev/null
}

# --- check mode: every batch whole, and no stop after failures -------------
printf 'fcboot_serial: "100%%"\nfcboot_max_fail_percentage: 100\n' >"$fleet/vars.yml"
snapshot before
listing >"$work/before.listing"
rehearse check --check --diff
expect_outcomes check 3
listing >"$work/check.listing"
diff "$work/before.listing" "$work/check.listing" >&2 || bad "check: a host's files or twin changed"
[ -z "$(ls -A "$fleet/restarts" 2>/dev/null)" ] || bad "check: a host was restarted"
[ -z "$(ls -A "$fleet/installs" 2>/dev/null)" ] || bad "check: a package was installed"
[ -z "$(find "$fleet/backup" -name 'saved-*' 2>/dev/null)" ] || bad "check: the controller kept a backup"
# The settings a load changes, as fcboot-diff found them, before and after,
# one line each.
for line in '-bus 3 device 8 function 0 WWID=1000000000000001' '+bus 3 device 8 function 0 WWID=10000000000000a1' \
        '-1000000000000001 BootDeviceLUN[0]=4' '+1000000000000001 BootDeviceLUN[0]=0' \
        '-1000000000000002 SelectBootEnable=0' '+1000000000000002 SelectBootEnable=1' \
        '+1000000000000002 BootDeviceWWID=500000000000b002'; do
    grep -qxF -- "$line" "$work/check.log" || bad "check: --diff does not show the line $line"
done

# --- the real run: a whole batch fails, and the rollout goes on ------------
printf '%s\nfcboot_max_fail_percentage: 100\n' "$batches" >"$fleet/vars.yml"
mapfile -t swapped < <(awk '$2 == "swapped" { print $1 }' "$fleet/expected.txt")
for host in "${swapped[@]}"; do cp "$fleet/backup/$host/before.json" "$work/before-$host.json"; done
rehearse run
expect_outcomes run 4
for host in "${hosts[@]}"; do
    outcome=$(outcome_of "$host" 4)
    n=$(restarts "$host")
    expected=$fleet/hosts/$host/C/ProgramData/fcboot/expected.cfg
    case "$outcome" in
        changed|unchanged)
            [ "$n" -eq "$([ "$outcome" = changed ] && echo 1 || echo 0)" ] || bad "run: $host ($outcome) restarted $n times"
            cmp -s "$expected" "$(want_file "$host")" || bad "run: $host's expected file is not its desired file"
            rc=0
            "$FCBOOT_CHECK" --fleet "$fleet/twins/$host.json" --expect "$expected" >"$work/check-$host.txt" 2>&1 || rc=$?
            [ "$rc" -le 1 ] || bad "run: fcboot-check --expect expected.cfg is not OK or WARNING on $host: $(head -1 "$work/check-$host.txt")"
            [ "$outcome" = changed ] || cmp -s "$work/before/twins/$host.json" "$fleet/twins/$host.json" ||
                bad "run: $host's twin changed" ;;
        *)
            [ "$n" -eq 0 ] || bad "run: $host was restarted"
            [ ! -e "$expected" ] || bad "run: $host ($outcome) got an expected file"
            "$FCBOOT_EMU" --fleet "$fleet/twins/$host.json" /s "$work/after-$host.cfg" >/dev/null 2>&1 || true
            cmp -s "$work/before/$host.cfg" "$work/after-$host.cfg" 2>/dev/null ||
                [ ! -e "$work/before/$host.cfg" ] || bad "run: $host ($outcome) does not hold what it held before" ;;
    esac
    # Never rolled back over a server less ready than before.
    if [ "$outcome" = rolled-back ]; then
        "$FCBOOT_EMU" --fleet "$fleet/twins/$host.json" --check --json >"$work/after-$host.json" 2>/dev/null || true
        join <(levels "$work/before/$host.json") <(levels "$work/after-$host.json") -a 1 -e 9 -o 0,1.2,2.2 |
            awk '$3 > $2 { print; worse = 1 } END { exit worse }' >&2 ||
            bad "run: $host is rolled-back but less ready than before"
    fi
    # Every run keeps its capture; it is the one a remap starts from where
    # the adapters were those the desired file names.
    [ -f "$fleet/backup/$host/last.json" ] || [ "$outcome" = failed ] || bad "run: $host's capture was not kept"
    case "$outcome" in
        changed|unchanged) cmp -s "$fleet/backup/$host/last.json" "$fleet/backup/$host/before.json" ||
            bad "run: $host ($outcome): its capture is not the one a remap starts from" ;;
        waiting-for-san) cmp -s "$work/before-$host.json" "$fleet/backup/$host/before.json" ||
            bad "run: $host: the capture from before the swap was not kept" ;;
    esac
    # The working folder's rules are asked for on every real run.
    for rule in 'inheritance absent C:\ProgramData\fcboot reorganize=False' \
            'rule present C:\ProgramData\fcboot NT AUTHORITY\SYSTEM Allow FullControl' \
            'rule present C:\ProgramData\fcboot BUILTIN\Administrators Allow FullControl'; do
        [ "$(grep -cF -- "$rule" "$fleet/acl-requests/$host" 2>/dev/null)" = 1 ] ||
            bad "run: $host: not asked once for \"$rule\""
    done
done
grep -q ' rolled back' "$fleet/report.txt" || bad "run: no reason says \"rolled back\""
# The reasons that say what happened, for each state in the fleet.
while IFS='|' read -r state pattern what; do
    host=$(awk -v s="$state" '$2 == s { print $1 }' "$fleet/expected.txt")
    [ -z "$host" ] || grep "^$host " "$fleet/report.txt" | grep -qE -- "$pattern" || bad "run: $host: $what"
done <<'EOF'
efib-move|failed rolled back \(the BIOS backup too\) but less ready than before: 1000000000000002 BIOS was OK, is CRITICAL: the activation|the move to EFIB does not say that BIOS is less ready
warning|changed .*restarted; WARNING: 1000000000000002 BIOS: |the WARNING is not in the changed host's reason
write-refused|rolled-back .*an adapter does not hold what was written \(a write refused|a refused write is not named
findings|failed nothing was loaded: .*/want/[0-9]+-findings\.cfg:5: BootDeviceWWID|the lint finding does not name the controller's file and line
foreign-owner|failed C:\\ProgramData\\fcboot\\want\.cfg is owned by S-1-5-21-[0-9-]+ .*nothing was loaded|a want.cfg a user owns is not refused
tampered|failed C:\\ProgramData\\fcboot\\want\.cfg changed on the server after the copy .*\(and 1 more\)|a want.cfg and a before.json changed after the copy are not refused
activation-fails|rolled-back .*fcboot-check: CRITICAL: 1000000000000002 BIOS: the activation .* did not finish|no first critical finding
swapped|waiting-for-san remapped 1000000000000001->10000000000000a1, nothing loaded: replace initiator 1000000000000001 with 10000000000000a1 in the zones and masking that present boot device 500000000000a001 LUN 0$|the replaced adapter's SAN change is not named
EOF
! grep -qE 'load the file again|set an adapter to boot|see the findings|adapters=[0-9]' "$fleet/report.txt" || bad "run: advice or perfdata in a reason"
# The reason once in Ansible's failure message.
grep -E '^fatal: .*"msg": "(failed|rolled-back): ' "$work/run.log" | awk -F'"msg": ' '
    { r = $2; if (index(substr(r, 40), substr(r, 10, 40)) > 0) { print; bad = 1 } } END { exit bad }' >&2 ||
    bad "run: a failure message repeats its reason"
installs() { cat "$fleet"/installs/* 2>/dev/null | wc -l; }
new=$(grep -c ' new ' "$fleet/expected.txt" || true)
wrong=$(grep -c ' wrong-install-dir ' "$fleet/expected.txt" || true)
[ "$(installs)" -eq $((new + wrong)) ] || bad "run: the package was not installed on each new server, once"
[ "$wrong" -eq 0 ] || grep -q 'wrong-install-dir failed .*is fcboot_install_dir (C:\\Program Files\\fcboot-1) the folder' \
    "$fleet/report.txt" || bad "run: a wrong fcboot_install_dir is not named"

# --- the second run stops after the failing batch (the default 0) ----------
printf '%s\n' "$batches" >"$fleet/vars.yml"
# The storage team made the change: the boot device is zoned to the new port.
for host in "${swapped[@]}"; do
    python3 -c '
import json, sys
fleet = json.load(open(sys.argv[1]))
for device in fleet["devices"]:
    if device["port_wwn"] == "10000000000000a1":
        device["node_list"].append({"wwn": "500000000000a001", "fcid": "0x010200", "host_byte_1": 0, "host_byte_2": 0})
json.dump(fleet, open(sys.argv[1], "w"), indent=2)' "$fleet/twins/$host.json"
done
snapshot second
rehearse again
awk 'NR <= 7 { print; next } { $5 = "not-reached"; print }' "$fleet/expected.txt" >"$work/expected-again.txt"
cp "$work/expected-again.txt" "$fleet/expected.txt"
expect_outcomes again 5
for host in "${swapped[@]}"; do
    [ "$(outcome_of "$host" 5)" = changed ] || continue
    grep -q "^$host changed remapped 1000000000000001->10000000000000a1; [0-9]* setting(s) loaded, verified and checked; restarted" \
        "$fleet/report.txt" || bad "again: $host's reason does not name the remap"
    expected=$fleet/hosts/$host/C/ProgramData/fcboot/expected.cfg
    grep -qx 'WWID=10000000000000a1' "$fleet/backup/$host/remapped.cfg" &&
        diff <(sed 's/^WWID=10000000000000a1$/WWID=1000000000000001/' "$fleet/backup/$host/remapped.cfg") "$(want_file "$host")" >/dev/null ||
        bad "again: $host's remapped file is not its desired file with the new port name"
    cmp -s "$expected" "$fleet/backup/$host/remapped.cfg" || bad "again: $host's expected file is not the remapped file"
    rc=0
    "$FCBOOT_CHECK" --fleet "$fleet/twins/$host.json" --expect "$expected" >"$work/check-$host.txt" 2>&1 || rc=$?
    [ "$rc" -eq 0 ] || bad "again: fcboot-check --expect expected.cfg is not OK on $host: $(head -1 "$work/check-$host.txt")"
    cmp -s "$work/before-$host.json" "$fleet/backup/$host/before.json" ||
        bad "again: $host's capture from before the swap was replaced while the desired file names the old adapter"
done
for host in "${hosts[@]:7}"; do
    grep -qE "^$host +: .* failed=1 " "$work/again.log" || bad "again: the recap does not fail $host, not reached"
done
# The folder's rules asked for again on every host the run reached.
for host in "${hosts[@]:0:7}"; do
    [ "$(grep -cF 'inheritance absent C:\ProgramData\fcboot' "$fleet/acl-requests/$host" 2>/dev/null)" = 2 ] ||
        bad "again: $host's folder rules were not asked for again"
done
for host in "${hosts[@]}"; do
    outcome=$(outcome_of "$host" 5)
    [ "$(restarts "$host")" -eq "$(awk -v h="$host" '$1 == h { print ($4 == "changed") + ($5 == "changed") }' "$fleet/expected.txt")" ] ||
        bad "again: $host was restarted"
    if [ "$outcome" != changed ]; then
        cmp -s "$work/second/twins/$host.json" "$fleet/twins/$host.json" || bad "again: $host's twin changed"
    fi
done
# The hosts where the install did not take come after the stop.
[ "$(installs)" -eq $((new + wrong)) ] || bad "again: a package was installed again"
exit "$failed"
