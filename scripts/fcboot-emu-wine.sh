#!/usr/bin/env bash
# fcboot-emu through a real Windows device path: the Windows build's
# fcboot.exe, the very program of the package, runs as a Windows process of
# its own under Wine and opens "\\.\Scsi<n>:" like on a server; the emulator's
# driver (fcboot-emudrv.sys) hands each of its device requests to
# fcboot-emu.exe, which serves the fleet.
#
# Usage: scripts/fcboot-emu-wine.sh [--fleet FILE] [--requests FILE] [--allow-incomplete] [--] ARG...
#        scripts/fcboot-emu-wine.sh [--fleet FILE] [--requests FILE] [--allow-incomplete] --capture OUT
#        scripts/fcboot-emu-wine.sh [--fleet FILE] [--requests FILE] [--allow-incomplete] --check [CHECK-ARG...]
#
# The command line, standard output and error, exit codes (125 for its own
# errors), the fleet file's write-back and the request log mean what they
# mean for fcboot-emu. --capture OUT runs the Windows build's
# fcboot-capture.exe the same way instead of fcboot.exe; its lines on
# standard error begin with its own name. --check runs fcboot-check.exe with
# the arguments after it. File names may be Linux paths; the
# program gets their Windows form (Wine's drive Z: is the Linux root).
#
# Needs only the mingw preset's build (cmake --preset mingw && cmake --build
# build/mingw; FCBOOT_MINGW_DIR names another folder). Its own Wine prefix,
# build/mingw/device-wineprefix, is made on first use with the driver's
# service in it. A Wine server stays up for the prefix until 10 minutes after
# the last run, so that runs in a row do not start Wine each time;
# `scripts/wine-run.sh build/mingw/device-wineprefix --stop` ends it now.
# Runs on one prefix take turns.
#
# Stopped by TERM, INT or HUP (a test runner's timeout, ^C, a closed
# terminal), it stops the serving emulator and, with it, the program, and
# ends with 128 plus the signal's number: a later run finds the driver free.
# Killed outright (KILL), it can stop nothing: the next run finds the
# orphaned serving emulator and ends it before it starts its own.
#
# For the harness's own tests: FCBOOT_EMU_WINE_ABORT_AFTER=N makes the
# serving emulator end abruptly after N requests, as if it crashed;
# FCBOOT_EMU_WINE_FAIL_STEP=STEP fails a step of serving (fcboot-emu's
# --fail-step: tie, exit-code, status, hang).
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mingw_dir=${FCBOOT_MINGW_DIR:-${FCBOOT_BUILD_PREFIX:-build/}mingw}
case "$mingw_dir" in /*) ;; *) mingw_dir=$repo/$mingw_dir ;; esac
WINE=${FCBOOT_WINE:-/usr/lib/wine/wine64}
WINESERVER=$(dirname "$WINE")/wineserver
service=fcbootemudrv

own_error() {
    echo "fcboot-emu-wine.sh: $*" >&2
    exit 125
}

# The Windows form of a Linux file name: absolute names on drive Z:,
# relative ones from the current folder, which Wine maps the same way.
winpath() {
    local p=$1
    case "$p" in /*) p="Z:$p" ;; esac
    printf '%s' "${p//\//\\}"
}

usage() {
    cat <<'EOT'
usage: fcboot-emu-wine.sh [--fleet FILE] [--requests FILE] [--allow-incomplete] [--] ARG...
       fcboot-emu-wine.sh [--fleet FILE] [--requests FILE] [--allow-incomplete] --capture OUT
       fcboot-emu-wine.sh [--fleet FILE] [--requests FILE] [--allow-incomplete] --check [CHECK-ARG...]
Runs the Windows build's fcboot.exe with ARG... (or fcboot-capture.exe OUT)
under Wine through the emulator's driver, against the fleet file (default:
the built-in demo server); the options mean what they mean for fcboot-emu.
  --help, --version        this text; the version line
Exit code: the program's, or 125 for the harness's own errors.
EOT
}

# --- command line, as fcboot-emu reads it -------------------------------------
emu_options=()
version=0
capture=()
check=0
while [ "$#" -gt 0 ]; do
    case "$1" in
        --) shift; break ;;
        --check) shift; check=1; break ;;
        --fleet | --requests | --capture)
            [ "$#" -ge 2 ] || { echo "fcboot-emu: $1 needs a file name" >&2; exit 125; }
            if [ "$1" != --capture ]; then
                emu_options+=("$1" "$(winpath "$2")")
            elif [ "${#capture[@]}" -eq 0 ]; then
                capture=("$(winpath "$2")")
            else
                echo "fcboot-emu: --capture given twice" >&2; exit 125
            fi
            shift 2 ;;
        --allow-incomplete) emu_options+=("$1"); shift ;;
        --help) usage; exit 0 ;;
        --version) version=1; shift ;;
        --*) { echo "fcboot-emu: unknown option: $1"; usage; } >&2; exit 125 ;;
        *) break ;;
    esac
done
program=fcboot.exe
args=("$@")
if [ "${#capture[@]}" -ne 0 ]; then
    [ "$#" -eq 0 ] || { echo "fcboot-emu: --capture takes no arguments for fcboot" >&2; exit 125; }
    program=fcboot-capture.exe
    args=("${capture[@]}")
elif [ "$check" -eq 1 ]; then
    [ "${#capture[@]}" -eq 0 ] || { echo "fcboot-emu: --check takes no --capture" >&2; exit 125; }
    program=fcboot-check.exe
    args=()
    while [ "$#" -gt 0 ]; do
        args+=("$1")
        case "$1" in --fleet | --expect | --expect-efi) [ "$#" -ge 2 ] && args+=("$(winpath "$2")") && shift ;; esac
        shift
    done
elif [ "$#" -eq 2 ]; then
    case "$1" in /s | /se | /l | /le) args=("$1" "$(winpath "$2")") ;; esac
fi
if [ -n "${FCBOOT_EMU_WINE_ABORT_AFTER:-}" ]; then
    emu_options+=(--abort-after "$FCBOOT_EMU_WINE_ABORT_AFTER")
fi
if [ -n "${FCBOOT_EMU_WINE_FAIL_STEP:-}" ]; then
    emu_options+=(--fail-step "$FCBOOT_EMU_WINE_FAIL_STEP")
fi

# --- what it needs ----------------------------------------------------------
if [ "$version" -eq 1 ]; then
    [ -f "$mingw_dir/fcboot-emu.exe" ] && [ -x "$WINE" ] ||
        own_error "no fcboot-emu.exe in $mingw_dir: make the Windows build first," \
            "with: cmake --preset mingw && cmake --build build/mingw"
    exec "$repo/scripts/wine-run.sh" "$mingw_dir/wineprefix" "$mingw_dir/fcboot-emu.exe" --version
fi
for file in "$program" fcboot-emu.exe fcboot-emudrv.sys; do
    [ -f "$mingw_dir/$file" ] ||
        own_error "no $file in $mingw_dir: make the Windows build first," \
            "with: cmake --preset mingw && cmake --build build/mingw"
done
[ -x "$WINE" ] || own_error "$WINE not found (Debian package wine64; scripts/install-deps.sh mingw)"

prefix=$mingw_dir/device-wineprefix
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all WINELOADER=$WINE
export WINEDLLOVERRIDES="mscoree,mshtml="

# One run at a time on the prefix: the driver serves one emulator.
exec 9>"$prefix.run-lock"
flock 9
"$repo/scripts/wine-run.sh" "$prefix" --init 9>&- || own_error "cannot create the Wine prefix $prefix"

# Wine's programs run detached from our streams (a background service that
# inherited them would hold them open) and without the lock.
quiet() { "$@" </dev/null >/dev/null 2>&1 9>&-; }

# The service entry names the driver file; a rebuilt driver needs a fresh
# server to load it.
sys=$mingw_dir/fcboot-emudrv.sys
driver="$(winpath "$sys") $(stat -c %Y "$sys")"
mark=$prefix/.fcboot-emudrv
if [ "$(cat "$mark" 2>/dev/null)" != "$driver" ]; then
    rm -f "$mark"
    quiet "$WINESERVER" -k
    quiet "$WINESERVER" -w
fi
install_service() {
    quiet "$WINE" sc delete "$service"
    quiet "$WINE" sc create "$service" type= kernel start= demand binPath= "$(winpath "$sys")"
}
started=0
quiet "$WINESERVER" -p600 && started=1
if [ ! -f "$mark" ]; then
    install_service || own_error "cannot install the driver's service $service in $prefix"
fi
# A server killed soon after the install may not have kept the service in
# the prefix's registry: it is made again.
if [ "$started" -eq 1 ] || [ ! -f "$mark" ]; then
    quiet "$WINE" net start "$service" || { install_service && quiet "$WINE" net start "$service"; } ||
        own_error "cannot start the driver's service $service"
fi
echo "$driver" >"$mark"

# --- the run ----------------------------------------------------------------
# A run whose script was killed outright (KILL, as a runner's timeout kills
# its child) leaves its serving emulator and program running, holding the
# pipe. Holding the prefix's lock, this run knows that no live run owns them:
# the serving emulator it finds is an orphan, and is ended first. (Its
# program ends with it; the mutex it held is then abandoned, which the next
# program takes as free.)
serving_file=$prefix/.serving-pid
orphan=$(cat "$serving_file" 2>/dev/null)
if [ -n "$orphan" ] && grep -qa 'fcboot-emu.exe' "/proc/$orphan/cmdline" 2>/dev/null; then
    kill -KILL "$orphan" 2>/dev/null
    for _ in $(seq 100); do
        kill -0 "$orphan" 2>/dev/null || break
        sleep 0.1
    done
    # Until the server has closed its handles, the pipe is still taken.
    quiet "$WINE" cmd /c exit
fi
rm -f "$serving_file"
exit_file=$prefix/.exit-code
rm -f "$exit_file"
# A serving emulator left running would hold the pipe and fail every later
# run with 125 until it finished: a signal stops it first. The program is
# tied to it and ends with it.
emu_pid=
stop_run() {
    trap '' TERM INT HUP
    rm -f "$serving_file"
    if [ -n "$emu_pid" ]; then
        kill -KILL "$emu_pid" 2>/dev/null
        wait "$emu_pid" 2>/dev/null
        # Until the server has closed its handles, the pipe is still taken.
        quiet "$WINE" cmd /c exit
    fi
    echo "fcboot-emu-wine.sh: stopped by SIG$1; $program was stopped with the serving" \
        "emulator, the fleet file was left as it was" >&2
    exit "$2"
}
trap 'stop_run TERM 143' TERM
trap 'stop_run INT 130' INT
trap 'stop_run HUP 129' HUP
# In the background so that the traps run at once (standard input is
# passed on explicitly).
"$WINE" "$mingw_dir/fcboot-emu.exe" --serve --exit-code-file "$(winpath "$exit_file")" \
    "${emu_options[@]}" --run "$(winpath "$mingw_dir/$program")" "${args[@]}" 9>&- <&0 &
emu_pid=$!
echo "$emu_pid" >"$serving_file"
wait "$emu_pid"
rc=$?
emu_pid=
rm -f "$serving_file"
trap - TERM INT HUP
if [ "$(cat "$exit_file" 2>/dev/null)" != "$rc" ]; then
    own_error "the serving emulator ended abnormally (exit code $rc) before the run was" \
        "finished; $program was stopped with it, the fleet file was left as it was and" \
        "no request log was written"
fi
exit "$rc"
