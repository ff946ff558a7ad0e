#!/usr/bin/env bash
# Nagios Core objects that monitor the twins of a rehearsed rollout on Linux,
# as the real servers are monitored: each twin is a host, whose service runs
# fcboot-check through fcboot-emu --check against the twin, with --expect
# (--expect-efi) the expected file the rollout installed in the twin's
# server folder. A twin without an expected file (its rollout failed, or it
# was not reached) gets no service.
#
# Usage: nagios-twins.sh DIR [FCBOOT_EMU] >twins.cfg
#   DIR         the rehearsal folder of scripts/rehearse-rollout.sh (twins/,
#               hosts/<host>/C/ProgramData/fcboot/expected.cfg)
#   FCBOOT_EMU  the fcboot-emu to run (default: the one on PATH)
# Then add cfg_file=/path/to/twins.cfg to nagios.cfg (Debian:
# /etc/nagios4/nagios.cfg), check it with nagios4 -v and reload Nagios. The
# Nagios user must be able to read DIR. fcboot-emu's own trouble, such as a
# twin that is gone, is UNKNOWN with a line saying what it was.
set -euo pipefail

[ "$#" -ge 1 ] && [ "$#" -le 2 ] || { echo "usage: nagios-twins.sh DIR [FCBOOT_EMU] >twins.cfg" >&2; exit 2; }
dir=$(cd "$1" && pwd)
emu=${2:-$(command -v fcboot-emu || true)}
[ -n "$emu" ] && [ -x "$emu" ] || { echo "nagios-twins.sh: fcboot-emu not found: put it on PATH or name it" >&2; exit 2; }
emu=$(cd "$(dirname "$emu")" && pwd)/$(basename "$emu")
[ -d "$dir/twins" ] || { echo "nagios-twins.sh: $dir/twins: no such folder" >&2; exit 2; }

cat <<EOF
# Made by nagios-twins.sh from $dir.
define timeperiod {
    timeperiod_name fcboot-twins-always
    alias           always
    sunday          00:00-24:00
    monday          00:00-24:00
    tuesday         00:00-24:00
    wednesday       00:00-24:00
    thursday        00:00-24:00
    friday          00:00-24:00
    saturday        00:00-24:00
}
define command {
    command_name fcboot-twin-check
    command_line $emu --fleet \$ARG1\$ --check \$ARG2\$ \$ARG3\$
}
define host {
    name                  fcboot-twin
    address               127.0.0.1
    max_check_attempts    1
    check_period          fcboot-twins-always
    active_checks_enabled 0
    register              0
}
define service {
    name                  fcboot-twin-san-boot
    service_description   SAN boot readiness
    max_check_attempts    1
    check_interval        5
    retry_interval        1
    check_period          fcboot-twins-always
    notification_period   fcboot-twins-always
    register              0
}
EOF
found=0
for twin in "$dir"/twins/*.json; do
    [ -e "$twin" ] || continue
    host=$(basename "$twin" .json)
    folder=$dir/hosts/$host/C/ProgramData/fcboot
    if [ -f "$folder/expected.cfg" ]; then
        option=--expect expected=$folder/expected.cfg
    elif [ -f "$folder/expected-efi.cfg" ]; then
        option=--expect-efi expected=$folder/expected-efi.cfg
    else
        continue
    fi
    found=$((found + 1))
    cat <<EOF
define host {
    use       fcboot-twin
    host_name $host
}
define service {
    use           fcboot-twin-san-boot
    host_name     $host
    check_command fcboot-twin-check!$twin!$option!$expected
}
EOF
done
echo "nagios-twins.sh: $found twins with an expected file" >&2
