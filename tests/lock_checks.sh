#!/usr/bin/env bash
# One program at a time on a server, and the save's last file corners,
# through fcboot-emu on Linux: runs on one fleet file take turns as programs
# on one server do (two loads at once both hold; a check never judges a
# half-written server; a killed holder's lock is free), and a save's target
# on a full file system, a pipe, a socket, a folder and a link.
#
# Usage: lock_checks.sh WORK_DIR FCBOOT_EMU
set -uo pipefail

work=$1
emu=$2
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
failed=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}
# expect CODE WHAT ARG...: fcboot-emu ends with CODE; `said` holds its
# standard error, `out` its standard output.
expect() {
    local code=$1 what=$2
    shift 2
    out=$("$emu" "$@" 2>err)
    local rc=$?
    said=$(cat err)
    [ "$rc" = "$code" ] || fail "$what: exit $rc, expected $code; $said"
}
# held FILE: whether a run holds the fleet's lock now.
held() { ! flock -n "$1" true; }
# wait_held FILE PID: until the run PID holds the lock (generous bound).
wait_held() {
    for _ in $(seq 200); do
        held "$1" && return 0
        kill -0 "$2" 2>/dev/null || break
        sleep 0.05
    done
    fail "the run never held the lock on $1"
    return 1
}

# A server of 256 adapters, and two files that each set one half of it.
"$emu" --write-demo-fleet demo.json || exit 1
python3 - <<'EOF' || exit 1
import copy, json
fleet = json.load(open("demo.json"))
first = fleet["devices"][0]
fleet["devices"] = []
for port in range(256):
    d = copy.deepcopy(first)
    d["port"] = port
    d["port_wwn"] = "10000000%08x" % (0x100 + port)
    d["node_wwn"] = "20000000%08x" % (0x100 + port)
    fleet["devices"].append(d)
json.dump(fleet, open("big.json", "w"), indent=1)
for name, ports, lun in (("low", range(128), 7), ("high", range(128, 256), 9)):
    with open(name + ".cfg", "w") as f:
        for port in ports:
            f.write("[HBA%d]\nWWID=10000000%08x\nHostAdapterBiosEnable=1\nSelectBootEnable=1\n"
                    "BootDeviceWWID=500000000000a001\nBootDeviceLUN[0]=%d\n\n" % (port, 0x100 + port, lun))
# The demo server with its second adapter's region writes slowed down: a
# load holds the first adapter's new settings while it waits there.
slow = json.load(open("demo.json"))
slow["devices"][1]["faults"] = [{"match": "mailbox:27", "delay_ms": 8000}]
json.dump(slow, open("slow.json", "w"), indent=1)
slow["devices"][1]["faults"] = [{"match": "mailbox:27", "delay_ms": 600000}]
json.dump(slow, open("stuck.json", "w"), indent=1)
EOF
cat >turn.cfg <<'EOF'
[HBA0]
WWID=1000000000000001
HostAdapterBiosEnable=0
SelectBootEnable=0
BootDeviceWWID=0000000000000000
BootDeviceLUN[0]=0

[HBA1]
WWID=1000000000000002
HostAdapterBiosEnable=1
SelectBootEnable=1
BootDeviceWWID=500000000000b002
BootDeviceLUN[0]=3

EOF

# --- two loads at once, each on its own half: both halves hold ----------------
for round in 1 2 3; do
    cp big.json both.json
    "$emu" --fleet both.json /l low.cfg >/dev/null 2>&1 &
    low=$!
    "$emu" --fleet both.json /l high.cfg >/dev/null 2>&1 &
    high=$!
    wait "$low" || fail "round $round: the low half's load ended with $?"
    wait "$high" || fail "round $round: the high half's load ended with $?"
    expect 0 "a save after both loads" --fleet both.json /s both.cfg
    for lun in 7 9; do
        n=$(grep -c "^BootDeviceLUN\[0\]=$lun$" both.cfg)
        [ "$n" = 128 ] || fail "round $round: $n adapters with LUN $lun, expected 128"
    done
done

# --- a check during a slow load: never a verdict on a half-written server ----
cp slow.json during.json
"$emu" --fleet during.json /l turn.cfg >/dev/null 2>&1 &
load=$!
if wait_held during.json "$load"; then
    expect 3 "a check while a load holds the adapters" --fleet during.json --check --expect turn.cfg
    case "$out" in
        "FCBOOT UNKNOWN - another fcboot program is using the adapters" | "FCBOOT UNKNOWN - another fcboot program is using the adapters"$'\r'* | "FCBOOT UNKNOWN - another fcboot program is using the adapters"$'\n'*) ;;
        *) fail "a check during a load said: $out" ;;
    esac
fi
wait "$load" || fail "the slow load ended with $?"
expect 0 "a check after the load" --fleet during.json --check --expect turn.cfg

# --- a holder killed with KILL: its lock is free, its work not written back ---
cp stuck.json killed.json
cp killed.json killed.before
"$emu" --fleet killed.json /l turn.cfg >/dev/null 2>&1 &
holder=$!
if wait_held killed.json "$holder"; then
    kill -KILL "$holder"
    wait "$holder" 2>/dev/null
    cmp -s killed.json killed.before || fail "a killed load changed the fleet file"
    expect 0 "a save after the holder was killed" --fleet killed.json /s killed.cfg
fi

# --- the save's target: a pipe, a socket, a folder, a link ------------------
mkfifo pipe.cfg
python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind("socket.cfg")'
mkdir folder.cfg
for target in pipe.cfg socket.cfg folder.cfg; do
    expect 2 "/s to $target" /s "$target"
    case "$said" in *"$target"*) ;; *) fail "/s to $target did not name it: $said" ;; esac
    expect 2 "--capture to $target" --capture "$target"
done
echo "kept" >real.cfg
ln -s real.cfg link.cfg
expect 0 "/s through a link" /s link.cfg
[ -L link.cfg ] && grep -q '^\[HBA1\]$' real.cfg || fail "a save through a link"

# --- a full file system: the text goes in place when it fits ----------------
disk=$work/disk
mkdir disk
if ! mount -t tmpfs -o size=64k tmpfs "$disk" 2>/dev/null; then
    echo "skipped: the full file system needs a tmpfs mount (run as the superuser)"
else
    trap 'umount "$disk"' EXIT
    # The same size: a save of the 256 adapters over their last save, on a
    # disk with no room for a second copy.
    expect 0 "the first save on the small disk" --fleet big.json /s "$disk/boot.cfg"
    cp "$disk/boot.cfg" same.before
    head -c 40000 /dev/zero >"$disk/filler" 2>/dev/null
    expect 0 "a save of the same size on a full disk" --fleet big.json /s "$disk/boot.cfg"
    cmp -s "$disk/boot.cfg" same.before || fail "the save in place differs from the first"
    # Larger: the old file, shorter than the new text, is kept as it was.
    rm -f "$disk/filler" "$disk/boot.cfg"
    head -c 20000 /dev/urandom | base64 >"$disk/boot.cfg"
    cp "$disk/boot.cfg" larger.before
    head -c 60000 /dev/zero >"$disk/filler" 2>/dev/null
    expect 2 "a larger save on a full disk" --fleet big.json /s "$disk/boot.cfg"
    cmp -s "$disk/boot.cfg" larger.before || fail "a save that could not be written changed the file"
    left=$(ls "$disk" | grep -v '^boot.cfg$\|^filler$')
    [ -z "$left" ] || fail "left on the full disk: $left"
fi

exit "$failed"
