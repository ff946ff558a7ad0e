#!/usr/bin/env bash
# The server's lock through the Windows device path under Wine
# (scripts/fcboot-emu-wine.sh): fcboot-check.exe started during a slow
# fcboot.exe load never judges the half-written server; a program killed
# while it holds the mutex leaves it to the next; and a script killed with
# KILL in the middle of a 256-adapter save leaves nothing in the next run's
# way.
#
# Usage: device_lock_checks.sh WORK_DIR MINGW_DIR SCRIPT
set -uo pipefail

work=$1
mingw=$2
script=$3
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
export FCBOOT_MINGW_DIR=$mingw WINEPREFIX=$mingw/device-wineprefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=${FCBOOT_WINE:-/usr/lib/wine/wine64}
failed=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}
# The Windows name of a program of this build, as Wine shows it.
winname() { printf 'Z:%s' "${mingw//\//\\}\\$1"; }
# program_pid NAME: the Linux id of this build's running NAME, if any.
program_pid() {
    local want p
    want=$(winname "$1")
    for p in /proc/[0-9]*; do
        [ "$(tr '\0' '\n' 2>/dev/null <"$p/cmdline" | head -n 1)" = "$want" ] && echo "${p#/proc/}" && return 0
    done
    return 1
}
# wait_program NAME: until it runs (generous bound); its id in `pid`.
wait_program() {
    for _ in $(seq 600); do
        pid=$(program_pid "$1") && return 0
        sleep 0.1
    done
    fail "$1 never started"
    return 1
}

"$wine" "$mingw/fcboot-emu.exe" --write-demo-fleet demo.json >/dev/null 2>&1 || exit 1
python3 - <<'EOF' || exit 1
import copy, json
demo = json.load(open("demo.json"))
for name, delay in (("slow", 8000), ("stuck", 10000)):
    fleet = copy.deepcopy(demo)
    fleet["devices"][1]["faults"] = [{"match": "mailbox:27", "delay_ms": delay}]
    json.dump(fleet, open(name + ".json", "w"), indent=1)
big = copy.deepcopy(demo)
first = big["devices"][0]
first["faults"] = [{"match": "mailbox:23", "delay_ms": 20}]
big["devices"] = []
for port in range(256):
    d = copy.deepcopy(first)
    d["port"] = port
    d["port_wwn"] = "10000000%08x" % (0x100 + port)
    d["node_wwn"] = "20000000%08x" % (0x100 + port)
    big["devices"].append(d)
json.dump(big, open("big.json", "w"), indent=1)
EOF
printf '[HBA0]\nWWID=1000000000000001\nHostAdapterBiosEnable=0\nSelectBootEnable=0\nBootDeviceWWID=0000000000000000\nBootDeviceLUN[0]=0\n\n[HBA1]\nWWID=1000000000000002\nHostAdapterBiosEnable=1\nSelectBootEnable=1\nBootDeviceWWID=500000000000b002\nBootDeviceLUN[0]=3\n\n' >turn.cfg

# --- fcboot-check.exe during a slow load -------------------------------------
"$script" --fleet slow.json /l turn.cfg >load.out 2>&1 &
load=$!
if wait_program fcboot.exe; then
    sleep 1  # the first adapter is written by now; the second waits 8 s
    out=$("$wine" "$mingw/fcboot-check.exe" --expect 'Z:'"${PWD//\//\\}"'\turn.cfg' 2>/dev/null)
    rc=$?
    case "$rc:$out" in
        "3:FCBOOT UNKNOWN - another fcboot program is using the adapters" | "3:FCBOOT UNKNOWN - another fcboot program is using the adapters"$'\r'* | "3:FCBOOT UNKNOWN - another fcboot program is using the adapters"$'\n'*) ;;
        *) fail "fcboot-check.exe during a load: exit $rc, $out" ;;
    esac
fi
wait "$load" || fail "the slow load ended with $?: $(cat load.out)"
"$script" --fleet slow.json --check --expect turn.cfg >check.out 2>&1 ||
    fail "the check after the load: $(cat check.out)"

# --- a holder killed with KILL: the next run gets the mutex -------------------
"$script" --fleet stuck.json /l turn.cfg >stuck.out 2>&1 &
run=$!
if wait_program fcboot.exe; then
    sleep 1  # the mutex is held, the second adapter slow
    kill -KILL "$pid"
    wait "$run"
    "$script" --fleet demo.json /s after-kill.cfg >after-kill.out 2>&1 ||
        fail "a save after the holder was killed ended with $?: $(cat after-kill.out)"
fi

# --- the script killed with KILL mid-save: the next run succeeds --------------
"$script" --fleet big.json /s big.cfg >big.out 2>&1 &
run=$!
if wait_program fcboot.exe; then
    sleep 2  # well into the 256 adapters
    kill -KILL "$run"
    wait "$run" 2>/dev/null
    "$script" -- /v >v.out 2>&1 || fail "/v after a killed script ended with $?: $(cat v.out)"
    "$script" --fleet demo.json /s after-orphan.cfg >orphan.out 2>&1 ||
        fail "a save after a killed script ended with $?: $(cat orphan.out)"
fi
program_pid fcboot.exe >/dev/null && fail "a program of a killed run is still running"

exit "$failed"
