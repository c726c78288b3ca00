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

. "$(dirname "$0")/updater_common.sh"
broker_pid=
cleanup_more() {
    [ -z "$broker_pid" ] || { kill -TERM "$broker_pid" 2>/dev/null; wait "$broker_pid" 2>/dev/null; }
}

make_package 2000

# Nothing listens there yet: every sequencer open fails, as without /dev/snd/seq.
export VFU_TEST_SEQ_SOCKET=$work/late-seq

# The instrument already runs the package's version, so a found instrument ends the run at once.
"$updater" --yes --timeout 30 --firmware "$work/quorrel-fw-2.2.0.vfw" </dev/null >"$out" 2>"$err" &
pid=$!
sleep 2
kill -0 "$pid" 2>/dev/null || fail "vfu-update ended before the sequencer came up"

"$broker" "$VFU_TEST_SEQ_SOCKET" >"$work/broker.txt" &
broker_pid=$!
until grep -q '^ready$' "$work/broker.txt"; do
    kill -0 "$broker_pid" 2>/dev/null || fail "the second sequencer did not start"
    sleep 0.1
done
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
