#!/usr/bin/env bash
# A sequencer that appears after the updater started (on a real machine: the sequencer module
# loaded on demand, a USB interface plugged in later) is found: vfu-update starts where no
# sequencer answers, then one comes up with the instrument on it, and the updater finds the
# instrument within seconds. Run it under scripts/with-test-sequencer.sh, whose environment
# routes the programs to the test sequencer; this script points them at a second one that it
# starts itself only later.
#
# usage: late_sequencer_real_midi.sh <vfu-update> <vfu-instrument> <vfu-firmware-tool> <vfu-test-seq-broker>
set -uo pipefail

updater=$(realpath "$1")
instrument=$(realpath "$2")
tool=$(realpath "$3")
broker=$(realpath "$4")

[ -n "${VFU_TEST_SEQ_SOCKET:-}" ] || { echo "run this under scripts/with-test-sequencer.sh" >&2; exit 2; }

work=$(mktemp -d)
pid=
broker_pid=
cleanup() {
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null; fi
    kill_instrument
    [ -z "$broker_pid" ] || { kill -TERM "$broker_pid" 2>/dev/null; wait "$broker_pid" 2>/dev/null; }
    rm -rf "$work"
}
trap cleanup EXIT

export HOME=$work/home
unset XDG_CONFIG_HOME XDG_DATA_HOME VFU_SIMULATE DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME/Desktop"
log="$HOME/.config/Vorn Firmware Updater/vfu-quorrel"
out=$work/out
err=$work/err

fail() {
    echo "FAIL: $*" >&2
    echo "--- vfu-update's standard output" >&2; cat "$out" >&2 2>/dev/null
    echo "--- vfu-update's standard error" >&2; cat "$err" >&2 2>/dev/null
    echo "--- vfu-instrument" >&2; cat "$work/instrument.txt" >&2 2>/dev/null
    echo "--- end of the log" >&2; tail -30 "$log" >&2 2>/dev/null
    exit 1
}

. "$(dirname "$0")/instrument_common.sh"

"$tool" image --family 6 --version 2.2.0 --size 2000 -o "$work/quorrel-fw-2.2.0.syx" >/dev/null || fail "image"
"$tool" pack -o "$work/quorrel-fw-2.2.0.vfw" "$work/quorrel-fw-2.2.0.syx" >/dev/null || fail "pack"

# Nothing listens there yet: every sequencer open fails, as without /dev/snd/seq.
export VFU_TEST_SEQ_SOCKET=$work/late-seq

# The instrument already runs the package's version, so a found instrument ends the run at once.
"$updater" --yes --timeout 30 --firmware "$work/quorrel-fw-2.2.0.vfw" </dev/null >"$out" 2>"$err" &
pid=$!
sleep 2
kill -0 "$pid" 2>/dev/null || fail "vfu-update ended before the sequencer came up"

"$broker" "$VFU_TEST_SEQ_SOCKET" >"$work/broker.txt" &
broker_pid=$!
for _ in $(seq 1 100); do
    grep -q '^ready$' "$work/broker.txt" && break
    sleep 0.1
done
grep -q '^ready$' "$work/broker.txt" || fail "the second sequencer did not start"
came_up=$SECONDS

start_instrument "version=2.2.0;bootloader-after=never"

status=0
wait "$pid" || status=$?
pid=
[ "$status" -eq 0 ] || fail "vfu-update ended with $status, expected 0"
grep -q "already runs firmware version 2.2.0" "$out" || fail "the instrument on the late sequencer was not found"
found_after=$((SECONDS - came_up))

stop_instrument
echo "ok: the instrument was found ${found_after} s after the sequencer came up"
