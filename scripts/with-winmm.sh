#!/usr/bin/env bash
# with-winmm.sh [--port NAME=HOST:PORT]... PROGRAM.exe [ARG...]
#
# Runs a Windows program with Wine whose MIDI devices are the given ports, through the project's
# test MIDI driver (tests/winmm/winevfumidi.c): each port is a MIDI output and input named NAME
# whose bytes travel raw over a TCP connection to HOST:PORT, where an instrument listens. Exits
# with the program's status.
#
# The Wine prefix is made on first use and kept (VFU_WINMM_PREFIX, default
# ~/.cache/vfu-winmm/prefix); the driver is built with MinGW-w64 when it is missing or older than
# its source. Several runs at once share the prefix and its server, as programs on one Windows
# computer share their MIDI devices: a port open in one is taken for the others. Wine 8 (Debian
# 12) only: later Wine releases load MIDI drivers differently.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
usage() { echo "usage: with-winmm.sh [--port NAME=HOST:PORT]... PROGRAM.exe [ARG...]" >&2; exit 2; }

# The framework's programs need a window system even on the command line (their message thread
# has windows of its own); without a display they get one of their own.
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" "$0" "$@"
fi

ports=
while [ $# -gt 0 ]; do
    case "$1" in
        --port)
            [ $# -ge 2 ] || usage
            if ! [[ "$2" =~ ^[^$'\n']+=[0-9.]+:[0-9]+$ ]]; then
                echo "with-winmm.sh: bad port '$2' (expected NAME=HOST:PORT, HOST an IPv4 address)" >&2
                exit 2
            fi
            ports+="$2"$'\n'
            shift 2 ;;
        --) shift; break ;;
        -*) usage ;;
        *) break ;;
    esac
done
[ $# -ge 1 ] || usage

cache="$(realpath -m "${XDG_CACHE_HOME:-$HOME/.cache}")/vfu-winmm"
prefix="${VFU_WINMM_PREFIX:-$cache/prefix}"
drivers="$cache/driver"
mkdir -p "$cache" "$(dirname "$prefix")"

export WINEPREFIX="$prefix" WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml="
# The driver leaves audio to Wine's ALSA driver, which would report on standard error every sound
# card that a test machine lacks: ALSA is given a configuration of one null device instead.
export ALSA_CONFIG_PATH="$cache/asound.conf"

# Building the driver, making the prefix and installing the driver into it happen under one
# lock: runs start at the same time.
(
    flock 9
    make -s -C "$root/tests/winmm" OUT="$drivers" >&2 9>&-
    [ -f "$ALSA_CONFIG_PATH" ] || echo 'pcm.!default { type null }' >"$ALSA_CONFIG_PATH"
    if [ ! -f "$prefix/.vfu-winmm-ready" ]; then
        wineboot --init </dev/null >/dev/null 2>&1 9>&-
        wineserver --wait 9>&-
        # Wine links the user's Desktop, Documents, ... to the home folder; the prefix gets
        # folders of its own.
        for link in "$prefix"/drive_c/users/*/*; do
            if [ -L "$link" ]; then rm "$link" && mkdir "$link"; fi
        done
        # winmm loads the one driver that mmdevapi chose among those named here: "vfumidi" is
        # winevfumidi.drv, which answers mmdevapi as the preferred one and leaves audio to ALSA.
        wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d vfumidi /f </dev/null >/dev/null 2>&1 9>&-
        wineserver --wait 9>&-
        touch "$prefix/.vfu-winmm-ready"
    fi
    system32="$prefix/drive_c/windows/system32"
    if ! cmp -s "$drivers/winevfumidi.drv" "$system32/winevfumidi.drv"; then
        # Programs running now keep the file they loaded: the new one is put in place by a rename.
        cp "$drivers/winevfumidi.drv" "$system32/.winevfumidi.drv.new"
        mv "$system32/.winevfumidi.drv.new" "$system32/winevfumidi.drv"
    fi
    # A server that stays a minute after its last program saves later runs Wine's start-up; its
    # background programs are started here with no output attached, so that they never keep a
    # caller's pipe open.
    if wineserver -p60 </dev/null >/dev/null 2>&1 9>&-; then
        wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
    fi
) 9>"$prefix.lock"

export VFU_WINMM_PORTS="$ports"
status=0
wine "$@" || status=$?
exit "$status"
