#!/usr/bin/env bash
# Rehearses a whole rollout on the controller: runs examples/ansible/
# rollout.yml, unchanged, against twins instead of servers. The Windows
# modules the role uses are replaced by stand-ins (a collection of their own,
# examples/ansible/rehearsal): fcboot.exe runs as fcboot-emu against the
# host's twin, which its loads change in place; fcboot-capture.exe as
# fcboot-emu --capture (or --remap); fcboot-diff.exe and fcboot-check.exe
# as the controller's programs; the server's files live in a folder per
# host.
#
# Usage: scripts/rehearse-rollout.sh [--check] [--diff] [--forks N] DIR
#
# DIR holds
#   inventory.yml       the hosts, in group fcboot_servers, with fcboot_want
#                       (relative to DIR) or fcboot_adapters
#   twins/<host>.json   each server's twin, for instance its capture
#   vars.yml            optional: play variables (fcboot_serial,
#                       fcboot_max_fail_percentage, ...)
# and receives
#   report.txt          "<host> <outcome> <reason>", one line per host
#   restarts/<host>     one line per restart
#   installs/<host>     one line per package installed
#   hosts/<host>/C/...  the server's files (C:\ProgramData\fcboot, ...); a
#                       host without this folder starts with fcboot installed
#   acl/<host>.json     owners and access rules that differ from what Windows
#                       gives a new file (optional, see the stand-ins)
#   acl-requests/<host> the access rules the rollout asked for, one a line
#   tamper/<host>/NAME  optional: replaces each copy of NAME on the server
#                       right after the copy, as a user who could write it
#   backup/<host>       the backups and captures the rollout keeps on the
#                       controller; put a before.json there to rehearse a
#                       remap (fcboot_remap) from a capture of before a swap
#   ansible.log         what ansible-playbook printed
# The programs are found on PATH (fcboot-emu, fcboot-diff, fcboot-check), or
# named by FCBOOT_EMU, FCBOOT_DIFF and FCBOOT_CHECK. The exit code is
# ansible-playbook's.
set -euo pipefail

usage() { echo "usage: rehearse-rollout.sh [--check] [--diff] [--forks N] DIR" >&2; exit 2; }
options=()
forks=5
dir=
while [ "$#" -gt 0 ]; do
    case "$1" in
        --check|--diff) options+=("$1") ;;
        --forks) [ "$#" -ge 2 ] || usage; forks=$2; shift ;;
        --forks=*) forks=${1#--forks=} ;;
        -*) usage ;;
        *) [ -z "$dir" ] || usage; dir=$1 ;;
    esac
    shift
done
[ -n "$dir" ] || usage
[[ $forks =~ ^[1-9][0-9]*$ ]] || { echo "rehearse-rollout.sh: --forks takes a number, not '$forks'" >&2; exit 2; }
dir=$(cd "$dir" && pwd)
playbooks=$(cd "$(dirname "${BASH_SOURCE[0]}")/../examples/ansible" && pwd)
[ -f "$dir/inventory.yml" ] || { echo "rehearse-rollout.sh: $dir/inventory.yml: no such file" >&2; exit 2; }
[ -d "$dir/twins" ] || { echo "rehearse-rollout.sh: $dir/twins: no such folder" >&2; exit 2; }

find_program() {  # find_program VARIABLE NAME
    local path=${!1:-}
    [ -n "$path" ] || path=$(command -v "$2" || true)
    [ -n "$path" ] && [ -x "$path" ] || { echo "rehearse-rollout.sh: $2 not found: put it on PATH or name it in $1" >&2; exit 2; }
    (cd "$(dirname "$path")" && echo "$(pwd)/$(basename "$path")")
}
FCBOOT_EMU=$(find_program FCBOOT_EMU fcboot-emu)
FCBOOT_DIFF=$(find_program FCBOOT_DIFF fcboot-diff)
FCBOOT_CHECK=$(find_program FCBOOT_CHECK fcboot-check)
export FCBOOT_EMU FCBOOT_DIFF FCBOOT_CHECK FCBOOT_REHEARSAL_DIR=$dir

# Every twin's server starts with the programs installed, unless its folder
# says otherwise.
for twin in "$dir"/twins/*.json; do
    [ -e "$twin" ] || continue
    host=$(basename "$twin" .json)
    if [ ! -d "$dir/hosts/$host" ]; then
        mkdir -p "$dir/hosts/$host/C/Program Files/fcboot"
        for program in fcboot fcboot-capture fcboot-diff fcboot-check fcboot-emu; do
            : >"$dir/hosts/$host/C/Program Files/fcboot/$program.exe"
        done
    fi
    # Windows has it: check mode's reads work in a temporary folder there.
    mkdir -p "$dir/hosts/$host/C/Windows/Temp"
done

# Ansible's own files stay in DIR, the stand-ins come first and alone.
export ANSIBLE_HOME=$dir/.ansible ANSIBLE_LOCAL_TEMP=$dir/.ansible/tmp ANSIBLE_REMOTE_TEMP=$dir/.ansible/remote-tmp
export ANSIBLE_COLLECTIONS_PATH=$playbooks/rehearsal ANSIBLE_COLLECTIONS_SCAN_SYS_PATH=false
export ANSIBLE_ROLES_PATH=$playbooks/roles ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_NOCOLOR=1
export ANSIBLE_PYTHON_INTERPRETER="$(command -v python3)" ANSIBLE_HOST_KEY_CHECKING=0 ANSIBLE_GATHERING=explicit

json_list() { printf '["%s"]' "$1"; }
extra=(-e "ansible_connection=local" -e "ansible_become=false"
       -e "fcboot_report=$dir/report.txt"
       -e "fcboot_backup_dir=$dir/backup/{{ inventory_hostname }}"
       -e "fcboot_render_dir=$dir/rendered"
       -e "fcboot_rehearsal_dir=$dir/rehearsal/{{ inventory_hostname }}"
       -e "{\"fcboot_emu_command\": $(json_list "$FCBOOT_EMU"), \"fcboot_diff_command\": $(json_list "$FCBOOT_DIFF")}")
[ -f "$dir/vars.yml" ] && extra+=(-e "@$dir/vars.yml")

rc=0
ansible-playbook -i "$dir/inventory.yml" --forks "$forks" "${options[@]}" "${extra[@]}" \
    "$playbooks/rollout.yml" 2>&1 | tee "$dir/ansible.log" || rc=${PIPESTATUS[0]}
exit "$rc"
