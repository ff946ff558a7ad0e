#!/bin/sh
# Runs a Windows program under 64-bit Wine with a Wine prefix of its own.
#
#   wine-run.sh PREFIX PROGRAM.exe [ARG...]   run the program
#   wine-run.sh PREFIX --init                 only create the prefix
#   wine-run.sh PREFIX --stop                 end the prefix's Wine server
#
# The prefix is created on first use (this takes several seconds); a lock
# keeps parallel first runs from creating it twice. Nothing of the user's
# home folder is read or written.
set -eu

if [ "$#" -lt 2 ]; then
    echo "usage: wine-run.sh PREFIX PROGRAM [ARG...] | PREFIX --init | PREFIX --stop" >&2
    exit 2
fi
prefix=$1
shift

WINE=${FCBOOT_WINE:-/usr/lib/wine/wine64}
WINESERVER=$(dirname "$WINE")/wineserver
if [ ! -x "$WINE" ]; then
    echo "wine-run.sh: $WINE not found (Debian package wine64)" >&2
    exit 2
fi

mkdir -p "$(dirname "$prefix")"
prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")
ready=$prefix/.prefix-ready

WINEPREFIX=$prefix
WINEARCH=win64
WINEDEBUG=-all
# No Mono or Gecko installers: they would ask questions nobody answers.
WINEDLLOVERRIDES="mscoree,mshtml="
WINELOADER=$WINE
export WINEPREFIX WINEARCH WINEDEBUG WINEDLLOVERRIDES WINELOADER

if [ "$1" = "--stop" ]; then
    [ -d "$prefix" ] && "$WINESERVER" -k >/dev/null 2>&1 || true
    exit 0
fi

if [ ! -f "$ready" ]; then
    (
        flock 9
        if [ ! -f "$ready" ]; then
            "$WINE" wineboot --init </dev/null >/dev/null 2>&1
            # The server writes the prefix's registry out when it ends.
            "$WINESERVER" -w
            touch "$ready"
        fi
    ) 9>"$prefix.lock"
fi

if [ "$1" = "--init" ]; then
    [ -f "$ready" ] || { echo "wine-run.sh: could not create $prefix" >&2; exit 1; }
    exit 0
fi

# Start Wine's server and its background services before the program, with
# no standard stream of ours: started by the program itself they would inherit
# its output pipe and hold it open, and whoever reads the pipe would wait for
# them, seconds after the program has ended.
"$WINESERVER" -p10 </dev/null >/dev/null 2>&1 || true
"$WINE" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 || true

exec "$WINE" "$@"
