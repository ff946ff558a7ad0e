#!/usr/bin/env bash
# Builds the rollout role as the Ansible collection fcboot.rollout, ready for
# ansible-galaxy collection install: the role fcboot and the playbooks
# rollout and rollout_rehearsed. The collection's version is fcboot's, as
# semantic versioning writes it (1.0.a3 becomes 1.0.0-a3).
#
# Usage: packaging/build-collection.sh VERSION OUT_DIR
# Writes OUT_DIR/fcboot-rollout-<semver>.tar.gz, and OUT_DIR/collection, the
# tree it was built from.
set -euo pipefail

version=$1 out=$2
source=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]]; then
    semver=$version
elif [[ $version =~ ^([0-9]+)\.([0-9]+)\.?([a-z]+[0-9]*)$ ]]; then
    semver=${BASH_REMATCH[1]}.${BASH_REMATCH[2]}.0-${BASH_REMATCH[3]}
else
    echo "build-collection.sh: cannot write version '$version' as a semantic version" >&2
    exit 2
fi

tree=$out/collection
rm -rf "$tree"
mkdir -p "$tree/roles" "$tree/playbooks" "$tree/meta"
cp -r "$source/examples/ansible/roles/fcboot" "$tree/roles/fcboot"
# Inside the collection the playbooks name the role by its full name.
sed 's/^    - fcboot$/    - fcboot.rollout.fcboot/' "$source/examples/ansible/rollout.yml" >"$tree/playbooks/rollout.yml"
sed 's/import_playbook: rollout.yml/import_playbook: fcboot.rollout.rollout/' \
    "$source/examples/ansible/rollout-rehearsed.yml" >"$tree/playbooks/rollout_rehearsed.yml"
cp "$source/packaging/collection-README.md" "$tree/README.md"
printf -- '---\nrequires_ansible: ">=2.14.0"\n' >"$tree/meta/runtime.yml"
cat >"$tree/galaxy.yml" <<GALAXY
---
namespace: fcboot
name: rollout
version: $semver
readme: README.md
authors:
  - fcboot developers
description: Rolls the boot settings of Fibre Channel adapters out to Windows servers with fcboot, with check mode, roll-back and a report.
tags:
  - windows
  - storage
  - boot
dependencies:
  ansible.windows: ">=1.0.0"
build_ignore:
  - "*.tar.gz"
GALAXY
ansible-galaxy collection build --force --output-path "$out" "$tree" >/dev/null
ls "$out/fcboot-rollout-$semver.tar.gz"
