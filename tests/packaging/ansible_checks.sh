#!/usr/bin/env bash
# The rollout playbooks: syntax check, ansible-lint, the version they install
# is the one built, and the controller's part of the rehearsal run for real on
# this machine against a capture of the demo server: a good file passes, a file
# naming an adapter the fleet lacks fails with the meaning of exit code 7, and
# the fetched fleet file stays as it was.
#
# Usage: ansible_checks.sh WORK_DIR PLAYBOOK_DIR VERSION FCBOOT_EMU_COMMAND...
set -euo pipefail

work=$1 playbooks=$2 version=$3
shift 3
emu=("$@")
rm -rf "$work"
mkdir -p "$work/rehearsal"
failed=0
bad() { echo "FAILED: $*" >&2; failed=1; }

# Nothing of the home folder: Ansible's and ansible-lint's files stay here.
export ANSIBLE_HOME=$work/ansible-home ANSIBLE_LOCAL_TEMP=$work/ansible-home/tmp ANSIBLE_REMOTE_TEMP=$work/ansible-home/remote-tmp
export XDG_CACHE_HOME=$work/cache ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0
export ANSIBLE_ROLES_PATH=$playbooks/roles

cd "$playbooks"
SECONDS=0
ansible-playbook --syntax-check -i localhost, rollout.yml rollout-rehearsed.yml >"$work/syntax.log" 2>&1 ||
    { cat "$work/syntax.log" >&2; bad "ansible-playbook --syntax-check"; }
ansible-lint --offline --nocolor -q rollout.yml rollout-rehearsed.yml >"$work/lint.log" 2>&1 ||
    { cat "$work/lint.log" >&2; bad "ansible-lint"; }
grep -qx "fcboot_version: \"$version\"" roles/fcboot/defaults/main.yml ||
    bad "roles/fcboot/defaults/main.yml does not install version $version"

# The fleet file as the rehearsal fetches it from a server: the capture's.
(cd "$work/rehearsal" && "${emu[@]}" --capture fleet.json) || bad "capturing the demo server"
cp "$work/rehearsal/fleet.json" "$work/fetched.json"
printf '%s\n' '[HBA0]' WWID=10000000000000ff HostAdapterBiosEnable=0 SelectBootEnable=0 \
    BootDeviceWWID=0 'BootDeviceLUN[0]=0' >"$work/unknown.cfg"
cat >"$work/play.yml" <<'EOF'
- name: The controller's part of the rehearsal
  hosts: localhost
  connection: local
  gather_facts: false
  tasks:
    - name: Rehearse
      ansible.builtin.include_role:
        name: fcboot
        tasks_from: rehearse-on-controller.yml
EOF
rehearse() {  # rehearse FILE: ansible-playbook's exit code, output in rehearse.log
    local vars
    vars=$(printf '{"fcboot_want": "%s", "fcboot_rehearsal_dir": "%s", "fcboot_emu_command": [' "$1" "$work/rehearsal"
           printf '"%s",' "${emu[@]}" | sed 's/,$//'; printf ']}')
    ansible-playbook -i localhost, -e "$vars" "$work/play.yml" >"$work/rehearse.log" 2>&1
}
rehearse "$playbooks/../boot.cfg" || { cat "$work/rehearse.log" >&2; bad "the rehearsal of examples/boot.cfg failed"; }
if rehearse "$work/unknown.cfg"; then
    bad "the rehearsal of a file naming an unknown adapter passed"
elif ! grep -q "ended with 7: a WWID or BootDeviceWWID value is not a world-wide name, or no adapter" "$work/rehearse.log"; then
    cat "$work/rehearse.log" >&2
    bad "the failed rehearsal does not name exit code 7 and its meaning"
fi
cmp -s "$work/rehearsal/fleet.json" "$work/fetched.json" || bad "the rehearsal changed the fetched fleet file"
echo "ansible_checks.sh: $SECONDS s"
exit "$failed"
