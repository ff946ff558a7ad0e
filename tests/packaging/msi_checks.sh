#!/usr/bin/env bash
# The MSI package under Wine, one scenario per fresh Wine prefix:
#
#   install    msiexec /i installs the package's files into
#              C:\Program Files\fcboot, leaves PATH alone, the installed
#              fcboot.exe /v prints the version line; msiexec /x removes the
#              files and the entry in the installed products
#   upgrade    a newer package installed over the older one replaces it:
#              one entry, the newer version line
#   downgrade  an older package installed over the newer one is refused and
#              leaves the newer one as it was
#
# Usage: msi_checks.sh SCENARIO PREFIX WINE_RUN STAGE OLD.msi OLD_LINE [NEW.msi NEW_LINE]
#   WINE_RUN  scripts/wine-run.sh;  STAGE  the folder both packages were made of
set -euo pipefail

scenario=$1 prefix=$2 wine_run=$3 stage=$4 old_msi=$5 old_line=$6
new_msi=${7:-} new_line=${8:-}
failed=0
bad() { echo "FAILED: $*" >&2; failed=1; }

rm -rf "$prefix" "$prefix.lock"
trap '"$wine_run" "$prefix" --stop' EXIT
wine() { "$wine_run" "$prefix" "$@" </dev/null; }
winpath() { printf 'Z:%s' "${1//\//\\}"; }
msiexec() { wine msiexec "$1" "$(winpath "$2")" /qn >/dev/null 2>&1; }
folder="$prefix/drive_c/Program Files/fcboot"

# products: the installed products named fcboot, one "{code}|||fcboot" a line.
products() { wine uninstaller --list 2>/dev/null | tr -d '\r' | grep '|||fcboot$' || true; }
expect_installed() {  # expect_installed VERSION_LINE WHAT
    local list
    list=$(products)
    [ "$(printf '%s' "$list" | grep -c .)" -eq 1 ] || bad "$2: installed products [$list], expected one fcboot"
    local out
    out=$(wine 'C:\Program Files\fcboot\fcboot.exe' /v 2>/dev/null | tr -d '\r') || true
    [ "$out" = "$1" ] || bad "$2: installed fcboot.exe /v printed [$out], expected [$1]"
}
path_value() { wine reg query 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v PATH 2>/dev/null | tr -d '\r'; }

"$wine_run" "$prefix" --init
case "$scenario" in
install)
    path_before=$(path_value)
    msiexec /i "$old_msi" || bad "msiexec /i ended with $?"
    diff -r "$stage" "$folder" >&2 || bad "the installed files are not the package's"
    expect_installed "$old_line" "after msiexec /i"
    [ "$(path_value)" = "$path_before" ] || bad "the installation changed PATH"
    msiexec /x "$old_msi" || bad "msiexec /x ended with $?"
    [ -z "$(find "$folder" -type f 2>/dev/null)" ] || bad "files left after msiexec /x: $(find "$folder" -type f)"
    [ -z "$(products)" ] || bad "after msiexec /x the installed products still hold [$(products)]"
    ;;
upgrade)
    msiexec /i "$old_msi" || bad "msiexec /i of the older package ended with $?"
    msiexec /i "$new_msi" || bad "msiexec /i of the newer package ended with $?"
    expect_installed "$new_line" "after the upgrade"
    ;;
downgrade)
    msiexec /i "$new_msi" || bad "msiexec /i of the newer package ended with $?"
    if msiexec /i "$old_msi"; then bad "the older package installed over the newer one"; fi
    expect_installed "$new_line" "after the refused downgrade"
    ;;
*)
    echo "msi_checks.sh: unknown scenario $scenario" >&2
    exit 2
    ;;
esac

# A passed scenario's prefix is of no more use and large.
"$wine_run" "$prefix" --stop
[ "$failed" -ne 0 ] || rm -rf "$prefix" "$prefix.lock"
exit "$failed"
