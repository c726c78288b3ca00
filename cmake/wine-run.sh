#!/bin/sh
# wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
# Runs a cross-compiled Windows program under Wine, in the given Wine prefix, which is made on
# first use. Test runs start at the same time, so making the prefix and starting Wine's server
# are done under a lock.
set -eu
prefix=$1
shift

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

mkdir -p "$(dirname "$prefix")"
(
    flock 9
    if [ ! -f "$prefix/.vfu-ready" ]; then
        wineboot --init </dev/null >/dev/null 2>&1 9>&-
        wineserver --wait 9>&-
        # Wine links the user's Desktop, Documents, ... to the home folder; the prefix gets
        # folders of its own, so that tests never see or leave files outside it.
        for link in "$prefix"/drive_c/users/*/*; do
            if [ -L "$link" ]; then rm "$link" && mkdir "$link"; fi
        done
        touch "$prefix/.vfu-ready"
    fi
    # (Programs started here must not inherit the lock: fd 9 is closed for them.)
    # A server that stays for a minute after its last program saves each run Wine's start-up
    # (seconds instead of under one). When this call starts it, Wine's own background programs
    # are started here too, with no output attached: otherwise they would keep the first test's
    # output open and ctest would wait for them.
    if wineserver -p60 </dev/null >/dev/null 2>&1 9>&-; then
        wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
    fi
) 9>"$prefix.lock"

exec wine "$@"
