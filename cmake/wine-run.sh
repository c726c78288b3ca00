#!/bin/sh
# wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
# Runs a cross-compiled Windows program under Wine, in the given Wine prefix, which is made on
# first use. Two test runs starting at once must not both make it, so that step is locked.
set -eu
prefix=$1
shift

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

if [ ! -f "$prefix/.vfu-ready" ]; then
    mkdir -p "$(dirname "$prefix")"
    (
        flock 9
        if [ ! -f "$prefix/.vfu-ready" ]; then
            wineboot --init >/dev/null 2>&1
            wineserver --wait
            touch "$prefix/.vfu-ready"
        fi
    ) 9>"$prefix.lock"
fi

exec wine "$@"
