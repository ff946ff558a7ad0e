#!/usr/bin/env bash
# The rollout playbooks and the collection built beside the packages: syntax
# check and ansible-lint at the production profile, the version they install
# is the one built, and the collection installs and its playbooks and role
# pass the same checks where ansible-galaxy put them. What the playbooks do is
# rehearsed on a fleet of twins by rollout_rehearsal_checks.sh.
#
# Usage: ansible_checks.sh WORK_DIR PLAYBOOK_DIR VERSION BUILD_DIR
set -euo pipefail

work=$1 playbooks=$2 version=$3 build=$4
rm -rf "$work"
mkdir -p "$work"
failed=0
bad() { echo "FAILED: $*" >&2; failed=1; }

# Nothing of the home folder: Ansible's and ansible-lint's files stay here.
export ANSIBLE_HOME=$work/ansible-home ANSIBLE_LOCAL_TEMP=$work/ansible-home/tmp ANSIBLE_REMOTE_TEMP=$work/ansible-home/remote-tmp
export XDG_CACHE_HOME=$work/cache ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0

lint() {  # lint WHAT [FILE...]: ansible-lint at the production profile, here
    ansible-lint --offline --nocolor -q --profile production "${@:2}" >"$work/lint.log" 2>&1 ||
        { cat "$work/lint.log" >&2; bad "ansible-lint --profile production: $1"; }
}

SECONDS=0
(
    cd "$playbooks"
    export ANSIBLE_ROLES_PATH=$playbooks/roles
    ansible-playbook --syntax-check -i localhost, rollout.yml rollout-rehearsed.yml >"$work/syntax.log" 2>&1 ||
        { cat "$work/syntax.log" >&2; exit 1; }
) || bad "ansible-playbook --syntax-check"
(cd "$playbooks" && ANSIBLE_ROLES_PATH=$playbooks/roles lint "the playbooks" rollout.yml rollout-rehearsed.yml) || failed=1
grep -qx "fcboot_version: \"$version\"" "$playbooks/roles/fcboot/defaults/main.yml" ||
    bad "roles/fcboot/defaults/main.yml does not install version $version"

# The collection, installed as an administrator installs it.
shopt -s nullglob
tarballs=("$build"/fcboot-rollout-*.tar.gz)
if [ "${#tarballs[@]}" -ne 1 ]; then
    bad "expected one fcboot-rollout-*.tar.gz in $build, found ${#tarballs[@]} (build the target packages)"
else
    export ANSIBLE_COLLECTIONS_PATH=$work/collections
    ansible-galaxy collection install --no-deps -p "$work/collections" "${tarballs[0]}" >"$work/install.log" 2>&1 ||
        { cat "$work/install.log" >&2; bad "ansible-galaxy collection install ${tarballs[0]}"; }
    installed=$work/collections/ansible_collections/fcboot/rollout
    [ -s "$installed/README.md" ] || bad "the collection has no README"
    ansible-playbook --syntax-check -i localhost, fcboot.rollout.rollout fcboot.rollout.rollout_rehearsed \
        >"$work/syntax.log" 2>&1 || { cat "$work/syntax.log" >&2; bad "the collection's playbooks: --syntax-check"; }
    (cd "$installed" && lint "the collection") || failed=1
    diff -r "$playbooks/roles/fcboot" "$installed/roles/fcboot" >&2 || bad "the collection's role is not the playbooks' role"
fi
echo "ansible_checks.sh: $SECONDS s"
exit "$failed"
