#!/usr/bin/env bash
# with-test-sequencer.sh [--build DIR] COMMAND [ARGS...]
#
# Runs COMMAND on the test sequencer: starts its broker on a private socket, runs COMMAND with
# every ALSA sequencer client routed to it (LD_PRELOAD and VFU_TEST_SEQ_SOCKET, inherited by
# children), stops the broker afterwards and exits with COMMAND's status. DIR is the build
# folder that holds the test sequencer (default: build).
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"

if [ "${1:-}" = "--build" ]; then
    [ $# -ge 2 ] || { echo "with-test-sequencer.sh: --build needs a folder" >&2; exit 2; }
    build="$2"
    shift 2
fi

if [ $# -eq 0 ]; then
    echo "usage: with-test-sequencer.sh [--build DIR] COMMAND [ARGS...]" >&2
    exit 2
fi

requested="$build"
if ! build="$(cd "$requested" 2>/dev/null && pwd)"; then
    echo "with-test-sequencer.sh: no build folder $requested" >&2
    exit 2
fi
library="$build/tests/sequencer/libvfu-test-seq.so"
broker="$build/tests/sequencer/vfu-test-seq-broker"

for file in "$library" "$broker"; do
    if [ ! -f "$file" ]; then
        echo "with-test-sequencer.sh: $file is missing (build the tests first)" >&2
        exit 2
    fi
done

folder="$(mktemp -d "${TMPDIR:-/tmp}/vfu-test-seq.XXXXXX")" || exit 2
socket="$folder/seq"

# The updaters' port locks in a folder of this sequencer's own: its port numbers mean nothing to
# the updaters on the machine's own MIDI service, or to another test sequencer's.
if [ -z "${VFU_LOCK_FOLDER:-}" ]; then
    mkdir -m 1777 "$folder/locks" || exit 2
    export VFU_LOCK_FOLDER="$folder/locks"
fi
broker_pid=""

stop_broker() {
    if [ -n "$broker_pid" ]; then
        kill -TERM "$broker_pid" 2>/dev/null
        wait "$broker_pid" 2>/dev/null
        broker_pid=""
    fi
    rm -rf "$folder"
}
# The broker also ends by itself when this script ends in any other way (even killed).
trap stop_broker EXIT

# The broker says "ready" once it listens; until then nothing may try to connect.
# VFU_TEST_SEQ_MIDI_THROUGH=1 adds the "Midi Through" client that many machines have.
options=()
[ "${VFU_TEST_SEQ_MIDI_THROUGH:-0}" = 1 ] && options+=(--midi-through)
exec {ready}< <(exec "$broker" "${options[@]}" "$socket")
broker_pid=$!
if ! read -r -t 10 -u "$ready" line || [ "$line" != ready ]; then
    echo "with-test-sequencer.sh: the test sequencer's broker did not start" >&2
    exit 2
fi
exec {ready}<&-

export VFU_TEST_SEQ_SOCKET="$socket"
export LD_PRELOAD="$library${LD_PRELOAD:+:$LD_PRELOAD}"
# AddressSanitizer wants its runtime first of all libraries; the preloaded one defines only
# snd_seq_* and intercepts nothing of the runtime's, so it may come before it.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"

# In the foreground, so that COMMAND has the terminal, its input and Ctrl-C as usual.
"$@"
exit $?
