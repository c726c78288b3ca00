#!/usr/bin/env bash
# vfu-update on the operating system's MIDI service (run it under scripts/with-test-sequencer.sh),
# with vfu-instrument as the Quorrel, no simulation inside the updater: the port list names the
# instrument and its version; a cable pulled half-way through the image takes the definitions'
# lost-connection path (exit status 1); the next run installs the firmware, and the instrument
# receives the image byte for byte; a receiver that stops reading ends the next update as failed.
# Meanwhile the sequencer's clients are watched as other MIDI programs see them: each run of
# vfu-update, however often it asks and sends, makes one sending client, and no client is ever
# called "JUCE" (the framework's name for a client of a program that does not name it).
#
# usage: vfu_update_real_midi.sh <vfu-update> <vfu-instrument> <vfu-firmware-tool> <vfu-seq-client-watch>
set -uo pipefail

updater=$(realpath "$1")
instrument=$(realpath "$2")
tool=$(realpath "$3")
watcher=$(realpath "$4")

. "$(dirname "$0")/updater_common.sh"

clients=$work/clients.txt
"$watcher" >"$clients" 2>&1 &
watcher_pid=$!
mark_pid=
cleanup_more() { kill -TERM "$watcher_pid" $mark_pid 2>/dev/null; }
until grep -qx ready "$clients"; do
    kill -0 "$watcher_pid" 2>/dev/null || fail "the client watch did not start: $(cat "$clients")"
    sleep 0.1
done
runs=0

# expect_clients_of_run: the clients that started during the last vfu-update run (from the
# previous mark to a new one, which the watch prints after everything announced before it) are
# the program's, named after it: one for its port list, one that it sends from, and the
# framework's for the inputs (which the framework closes whenever no input is open, as when the
# instrument restarts, and opens again). vfu-instrument's own come and go beside them.
expect_clients_of_run() {
    runs=$((runs + 1))
    "$watcher" --mark "mark $runs" &
    mark_pid=$!
    until grep -qE "^client [0-9]+ mark $runs\$" "$clients"; do
        kill -0 "$watcher_pid" 2>/dev/null || fail "the client watch ended: $(cat "$clients")"
        kill -0 "$mark_pid" 2>/dev/null || fail "no marking client"
        sleep 0.1
    done
    kill -TERM "$mark_pid"; wait "$mark_pid" 2>/dev/null; mark_pid=
    local made
    made=$(awk -v from="mark $((runs - 1))" -v to="mark $runs" '
        $1 == "client" { name = $0; sub(/^client [0-9]+ /, "", name) }
        $1 == "client" && name == to { exit }
        inside && $1 == "client" && name ~ /^Vorn Firmware Updater/ { print name }
        ($1 == "ready" && from == "mark 0") || ($1 == "client" && name == from) { inside = 1 }' "$clients" | sort)
    [ "$(uniq -c <<<"$made" | sed -E 's/^ +//; s/^[0-9]+ (Vorn Firmware Updater)$/N \1/')" = "N Vorn Firmware Updater
1 Vorn Firmware Updater SysEx
1 Vorn Firmware Updater ports" ] || fail "run $runs of vfu-update made other clients than one for its port list, one to send from and the framework's: $(echo; cat "$clients")"
}

make_package 8000

# The cable comes out once half of this 8000-byte image has arrived, and goes back in 300 ms later.
start_instrument --image-bytes 8000 "version=2.1.12;bootloader-after=1;reattach-ms=300;pull-cable-at=50"

run 0 --list
expect_clients_of_run
grep -qE "^  [0-9]+:[0-9]+  Quorrel$" "$out" || fail "--list does not name the input Quorrel"
grep -qE "^  [0-9]+:[0-9]+  Quorrel: Quorrel \(family 0006\), firmware 2.1.12 on input Quorrel$" "$out" \
    || fail "--list does not name the instrument and its version on output Quorrel"

run 1 --yes --timeout 20 --firmware "$work/quorrel-fw-2.2.0.vfw"
expect_clients_of_run
grep -q "Connection break" "$log" || fail "the pulled cable was not taken as a lost connection"
grep -q "^vfu-update: the update failed" "$err" || fail "no failure said on standard error"
! grep -q "State 'Download complete'" "$log" || fail "the update counted as complete"
grep -q 'SysEx cut off bytes=' "$work/instrument.txt" || fail "vfu-instrument did not report the image cut off"

run 0 --yes --timeout 30 --firmware "$work/quorrel-fw-2.2.0.vfw"
expect_clients_of_run
grep -q "^Update completed successfully.$" "$out" || fail "no success"
grep -q "^The Quorrel now runs firmware version 2.2.0.$" "$out" || fail "the new version was not read back"
expect_image_received "$work/quorrel-fw-2.2.0.syx"

# A receiver that stops reading (the instrument's process is stopped) fills its input pool; the
# sequencer refuses the next packet and drops the receiver's queue, so that packet ends the
# transfer at once (a retry would only hide the loss), with one
# line naming the port and the error, and the update fails without ever showing 100 %. The image
# is long enough that the transfer could never end by itself meanwhile.
stop_instrument
start_instrument "version=2.2.0;mode=bootloader;reattach-ms=300"
make_package 400000 2.3.0
"$updater" --yes --timeout 30 --firmware "$work/quorrel-fw-2.3.0.vfw" </dev/null >"$out" 2>"$err" &
pid=$!
await_log() {
    until grep -qF -- "$1" "$log"; do kill -0 "$pid" 2>/dev/null || fail "vfu-update ended before logging: $1"; sleep 0.1; done
}
await_log "Send 'quorrel-fw-2.3.0.syx' : 0 %%"
kill -STOP "$instrument_pid"
await_log "refused a packet of 'quorrel-fw-2.3.0.syx'"
kill -CONT "$instrument_pid"
wait "$pid"; [ $? -eq 1 ] || fail "vfu-update did not end with status 1 after a refused packet"; pid=
[ "$(grep -c "refused a packet" "$log")" -eq 1 ] || fail "not exactly one log line about the refused packet"
grep -qE "MIDI output \[Quorrel\] refused a packet of 'quorrel-fw-2.3.0.syx' after [0-9]+ bytes: the receiver's queue was full, and the sequencer drops the whole queue of a receiver it refused an event for: Resource temporarily unavailable" "$log" \
    || fail "the refused packet's line names no port or error"
! grep -q "quorrel-fw-2.3.0.syx' : 100 %%" "$log" || fail "the log reports the refused transfer complete"
! grep -q "100%" "$out" || fail "vfu-update showed 100 % of a refused transfer"
grep -q "^vfu-update: the update failed" "$err" || fail "no failure said on standard error"
expect_clients_of_run

stop_instrument
! grep -E '^(present|client) [0-9]+ JUCE$' "$clients" || fail "a client is called JUCE: $(echo; cat "$clients")"
grep -qE '^client [0-9]+ Quorrel$' "$clients" || fail "vfu-instrument's client is not named after the instrument: $(echo; cat "$clients")"
echo "ok: list, pulled cable, update, refused stream through the system's MIDI service"
