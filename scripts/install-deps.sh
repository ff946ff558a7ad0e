#!/usr/bin/env bash
# Installs the Debian packages the builds need, only those that are missing,
# and only when run as root (otherwise it names them and goes on).
#
# Usage: scripts/install-deps.sh [mingw] [packaging] [rollout] [clang] [fuzz] [bench] [memcheck] [monitoring]
#   the Linux build's packages always; mingw: the Windows build and Wine;
#   packaging: the Windows packages (zip, MSI), signing and the rollout
#   playbooks, with what their tests use; rollout: Ansible, for the rehearsal
#   of a rollout on twins; clang: the clang build; fuzz: clang with the
#   libFuzzer runtime; monitoring: Nagios Core, which runs fcboot-check in a
#   test, and check_nrpe, which examples/monitoring uses to reach the servers.
set -euo pipefail

packages=(
    cmake ninja-build g++ libc6-dev
    googletest libgtest-dev
    nlohmann-json3-dev libhbaapi-dev
)
for extra in "$@"; do
    case "$extra" in
        mingw) packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64) ;;
        packaging) packages+=(python3 python3-olefile python3-pefile wixl osslsigncode openssl
                              git ansible ansible-lint) ;;
        rollout) packages+=(python3 ansible) ;;
        clang) packages+=(clang) ;;
        fuzz) packages+=(clang libclang-rt-14-dev) ;;
        bench) packages+=(libbenchmark-dev) ;;
        memcheck) packages+=(valgrind) ;;
        monitoring) packages+=(nagios4-core nagios-nrpe-plugin) ;;
        *) echo "install-deps.sh: unknown package group '$extra'" >&2; exit 2 ;;
    esac
done

if ! command -v dpkg-query >/dev/null 2>&1; then
    exit 0  # not a Debian system: the configure step names what it misses
fi
missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    if [ "$status" != "install ok installed" ]; then
        missing+=("$p")
    fi
done
[ "${#missing[@]}" -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "== warning: not root, cannot install: ${missing[*]}" >&2
    echo "   as root: apt-get install --no-install-recommends ${missing[*]}" >&2
    exit 0
fi
echo "== installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}" </dev/null
