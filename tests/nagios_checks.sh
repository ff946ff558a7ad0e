#!/usr/bin/env bash
# fcboot-check as a real Nagios Core runs it: a scratch configuration in the
# build folder, one service per state, each running fcboot-check --fleet
# against an emulated server brought to that state by fcboot-emu; the state
# of every service is read back from Nagios's own status file. With a
# rehearsal folder, the twins of the rollout rehearsal too, through the
# recipe examples/monitoring/nagios-twins.sh against the expected files the
# rollout installed: each OK or WARNING.
#
# Usage: tests/nagios_checks.sh WORK_DIR FCBOOT_CHECK FCBOOT_EMU EXAMPLE [REHEARSAL_DIR]
# Exit code 0 passed, 1 failed, 77 skipped (no nagios4 and not root, who
# would have had scripts/install-deps.sh install it).
set -uo pipefail

work=$1 check=$2 emu=$3 example=$4 rehearsal=${5:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
nagios=${FCBOOT_NAGIOS:-/usr/sbin/nagios4}
if [ ! -x "$nagios" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "skipped: no $nagios (Debian package nagios4-core; scripts/install-deps.sh monitoring)"
        exit 77
    fi
    echo "no $nagios although running as root: scripts/install-deps.sh monitoring installs it" >&2
    exit 1
fi

rm -rf "$work"
mkdir -p "$work/checkresults" "$work/servers"
cd "$work" || exit 1
failed=0
bad() {
    echo "nagios_checks: $*" >&2
    failed=1
}

# --- the emulated servers, each brought to its state by real loads ------------
servers=$work/servers
"$emu" --write-demo-fleet "$servers/ready.json" || bad "writing the demo fleet"
cp "$servers/ready.json" "$servers/unseen.json"
cat >"$servers/unseen.cfg" <<'EOF'
[HBA0]
WWID=1000000000000001
HostAdapterBiosEnable=1
SelectBootEnable=1
BootDeviceWWID=500000000000b002
BootDeviceLUN[0]=0
EOF
"$emu" --fleet "$servers/unseen.json" /l "$servers/unseen.cfg" >/dev/null || bad "the load of unseen.cfg"
sed 's/WWID=1000000000000001/WWID=1000000000000009/' "$example" >"$servers/absent.cfg"
printf '{"fleet_version": 1, "devices": []}\n' >"$servers/empty.json"
# Nothing set to boot, after real loads in both variants.
cp "$servers/ready.json" "$servers/nothing.json"
printf '[HBA0]\nWWID=1000000000000001\nHostAdapterBiosEnable=0\nSelectBootEnable=0\nBootDeviceWWID=0000000000000000\nBootDeviceLUN[0]=0\n' \
    >"$servers/nothing.cfg"
for option in /l /le; do
    "$emu" --fleet "$servers/nothing.json" "$option" "$servers/nothing.cfg" >/dev/null ||
        bad "the load $option of nothing.cfg"
done

# service name, expected state, then the check's arguments
services=(
    "ready|0|--fleet $servers/ready.json --expect $example"
    "boot-device-unseen|1|--fleet $servers/unseen.json"
    "expect-absent-adapter|2|--fleet $servers/ready.json --expect $servers/absent.cfg"
    "no-served-adapter|2|--fleet $servers/empty.json"
    "nothing-ready|2|--fleet $servers/nothing.json"
    "two-paths-wanted|1|-w 2: --fleet $servers/ready.json"
    "fleet-unreadable|3|--fleet $servers/missing.json"
    # fcboot-emu's own trouble, through the twins' command.
    "emu-fleet-unreadable|3|emu:$servers/missing.json"
)

# --- the rollout rehearsal's twins, as the recipe monitors them -------------
twins=()
if [ -n "$rehearsal" ]; then
    if [ -d "$rehearsal/twins" ]; then
        "$here/../examples/monitoring/nagios-twins.sh" "$rehearsal" "$emu" >"$work/twins.cfg" 2>"$work/twins.log" ||
            { cat "$work/twins.log" >&2; bad "nagios-twins.sh failed"; }
        mapfile -t twins < <(sed -n 's/^    host_name     //p' "$work/twins.cfg")
        [ "${#twins[@]}" -gt 0 ] || bad "the rehearsal in $rehearsal installed no expected file"
    else
        echo "no rollout rehearsal in $rehearsal (skipped, or not run yet): its twins are not monitored"
    fi
fi

# --- the scratch configuration ----------------------------------------------
user=$(id -un) group=$(id -gn)
cat >nagios.cfg <<EOF
log_file=$work/nagios.log
cfg_file=$work/objects.cfg
$( [ "${#twins[@]}" -gt 0 ] && echo "cfg_file=$work/twins.cfg" )
object_cache_file=$work/objects.cache
precached_object_file=$work/objects.precache
status_file=$work/status.dat
temp_file=$work/nagios.tmp
temp_path=$work
lock_file=$work/nagios.lock
command_file=$work/nagios.cmd
check_result_path=$work/checkresults
state_retention_file=$work/retention.dat
retain_state_information=0
nagios_user=$user
nagios_group=$group
check_external_commands=0
use_syslog=0
enable_notifications=0
enable_event_handlers=0
enable_flap_detection=0
check_for_updates=0
interval_length=1
status_update_interval=1
check_result_reaper_frequency=1
service_inter_check_delay_method=n
host_inter_check_delay_method=n
service_interleave_factor=1
max_concurrent_checks=0
illegal_macro_output_chars=\`~\$&|"<>
EOF
{
    cat <<EOF
define timeperiod {
    timeperiod_name always
    alias           always
    sunday          00:00-24:00
    monday          00:00-24:00
    tuesday         00:00-24:00
    wednesday       00:00-24:00
    thursday        00:00-24:00
    friday          00:00-24:00
    saturday        00:00-24:00
}
define contact {
    contact_name                  nobody
    host_notifications_enabled    0
    service_notifications_enabled 0
    host_notification_period      always
    service_notification_period   always
    host_notification_options     n
    service_notification_options  n
    host_notification_commands    fcboot-check
    service_notification_commands fcboot-check
}
define command {
    command_name fcboot-check
    command_line $check \$ARG1\$
}
define command {
    command_name fcboot-emu-check
    command_line $emu --fleet \$ARG1\$ --check
}
define host {
    host_name             server
    address               127.0.0.1
    max_check_attempts    1
    check_period          always
    active_checks_enabled 0
    contacts              nobody
}
EOF
    for s in "${services[@]}"; do
        IFS='|' read -r name state args <<<"$s"
        cat <<EOF
define service {
    host_name           server
    service_description $name
    check_command       $( [[ $args == emu:* ]] && echo "fcboot-emu-check!${args#emu:}" || echo "fcboot-check!$args" )
    max_check_attempts  1
    check_interval      60
    retry_interval      60
    check_period        always
    notification_period always
    notification_interval 0
    contacts            nobody
}
EOF
    done
} >objects.cfg

"$nagios" -v nagios.cfg >verify.log 2>&1 || { cat verify.log >&2; exit 1; }

# --- Nagios runs the checks ---------------------------------------------------
"$nagios" nagios.cfg >nagios.out 2>&1 &
pid=$!
state_of() {  # the service's current_state once it has been checked (NAME or HOST/SERVICE)
    awk -v want="$1" '
        /^servicestatus \{/ { inside = 1; name = ""; host = ""; checked = 0; state = ""; output = "" }
        inside && /^\thost_name=/ { host = substr($0, index($0, "=") + 1) }
        inside && /^\tservice_description=/ { name = substr($0, index($0, "=") + 1); if (host != "server") name = host "/" name }
        inside && /^\thas_been_checked=/ { checked = substr($0, index($0, "=") + 1) }
        inside && /^\tcurrent_state=/ { state = substr($0, index($0, "=") + 1) }
        inside && /^\tplugin_output=/ { output = substr($0, index($0, "=") + 1) }
        inside && /^\t\}/ { inside = 0; if (name == want && checked == 1) print state "|" output }
    ' "${2:-status.dat}" 2>/dev/null
}
deadline=$((SECONDS + 45))
while :; do
    pending=0
    for s in "${services[@]}"; do
        [ -n "$(state_of "${s%%|*}")" ] || pending=1
    done
    for t in "${twins[@]}"; do
        [ -n "$(state_of "$t/SAN boot readiness")" ] || pending=1
    done
    # Nagios removes its status file when it stops: what it held is kept.
    cp status.dat status.kept 2>/dev/null
    [ "$pending" -eq 0 ] && break
    if [ "$SECONDS" -ge "$deadline" ] || ! kill -0 "$pid" 2>/dev/null; then
        bad "Nagios did not check every service in time; its log:"
        cat nagios.log nagios.out >&2 2>/dev/null
        break
    fi
    sleep 1
done
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null

words=(OK WARNING CRITICAL UNKNOWN)
for s in "${services[@]}"; do
    IFS='|' read -r name want _ <<<"$s"
    got=$(state_of "$name" status.kept)
    state=${got%%|*} output=${got#*|}
    if [ "$state" != "$want" ] || [[ "$output" != "FCBOOT ${words[$want]} - "* ]]; then
        bad "$name: Nagios holds state [$state], output [$output]; expected $want, FCBOOT ${words[$want]}"
    fi
done
grep -q "plugin_output=FCBOOT UNKNOWN - fcboot-emu could not run the check: cannot read $servers/missing.json" status.kept ||
    bad "fcboot-emu --check's own trouble does not say what it was"
for t in "${twins[@]}"; do
    got=$(state_of "$t/SAN boot readiness" status.kept)
    [[ ${got%%|*} == [01] && ${got#*|} == "FCBOOT "@(OK|WARNING)" - "* ]] ||
        bad "twin $t: Nagios holds [$got]; expected OK or WARNING against the expected file the rollout installed"
done
grep -q "performance_data=adapters=2;;;0 set_to_boot=1;;;0;2 ready=1;;1:;0;2 warnings=0;;;0 critical=0;;;0" status.kept ||
    bad "the ready server's perfdata is not in the status file"
grep -q "performance_data=adapters=2;;;0 set_to_boot=1;;;0;2 ready=1;2:;1:;0;2 warnings=1;;;0 critical=0;;;0" status.kept ||
    bad "the -w 2: server's perfdata, with its thresholds, is not in the status file"
[ "$failed" -eq 0 ] && echo "Nagios judged ${#services[@]} services and ${#twins[@]} twins as expected"
exit "$failed"
