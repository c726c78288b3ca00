#!/usr/bin/env bash
# vfu-update and vfu-instrument behind what the kernel puts in front of a hardware MIDI port (run
# it under scripts/with-test-sequencer.sh): replies that arrive in 1-byte pieces and with a lone
# F7 are read whole; an update over a DIN-speed cable completes with the image intact; a
# bootloader that stops reading long enough for the cable's buffer to overflow loses part of the
# image in silence, and the update then never counts as a success, nor does the instrument come
# back with the new version.
#
# usage: cable_real_midi.sh <vfu-update> <vfu-instrument> <vfu-firmware-tool>
set -uo pipefail

updater=$(realpath "$1")
instrument=$(realpath "$2")
tool=$(realpath "$3")

. "$(dirname "$0")/updater_common.sh"

expect_listed() {
    run 0 --list
    grep -qE "^  [0-9]+:[0-9]+  Quorrel: Quorrel \(family 0006\), firmware 2.1.12 on input Quorrel$" "$out" \
        || fail "$1: --list did not read the identity reply whole"
}

# The identity reply byte by byte, then in one piece short of its end and its F7 alone.
start_instrument --reply-pieces 1 "version=2.1.12;bootloader-after=never"
expect_listed "1-byte pieces"
reply_bytes=$(grep -m 1 -oE 'out "Quorrel" F0 7E( [0-9A-F]{2})+ F7$' "$work/instrument.txt" | wc -w)
[ "$reply_bytes" -gt 3 ] || fail "vfu-instrument printed no identity reply"
stop_instrument

# (The line's first two words are "out" and the port's name.)
start_instrument --reply-pieces $((reply_bytes - 3)) "version=2.1.12;bootloader-after=never"
expect_listed "a lone F7"
stop_instrument

make_package 12000

# A DIN cable (3,125 bytes/s) is faster than the definitions' pacing: nothing is lost.
start_instrument --line-rate 3125 "version=2.1.12;bootloader-after=1;reattach-ms=300"
run 0 --yes --timeout 60 --firmware "$work/quorrel-fw-2.2.0.vfw"
grep -q "^The Quorrel now runs firmware version 2.2.0.$" "$out" || fail "the update over the DIN cable did not complete"
expect_image_received "$work/quorrel-fw-2.2.0.syx"
! grep -q "MIDI output buffer overrun" "$work/instrument.txt" || fail "the DIN cable overflowed at the definitions' pacing"
stop_instrument

# Three seconds without reading, 2,000 bytes into the image: more arrives than the buffer holds.
start_instrument --line-rate 3125 --stall 2000:3000 "version=2.1.12;bootloader-after=1;reattach-ms=300"
run 1 --yes --timeout 60 --firmware "$work/quorrel-fw-2.2.0.vfw"
grep -q "MIDI output buffer overrun" "$work/instrument.txt" || fail "the stall did not overflow the cable's buffer"
grep -q "^vfu-update: the update failed" "$err" || fail "no failure said on standard error"
! grep -q "Update completed successfully" "$out" || fail "a damaged image was reported as installed"
! grep -q "firmware 2.2.0" "$work/instrument.txt" || fail "the instrument came back with a damaged image's version"
stop_instrument

echo "ok: replies in pieces, an update over a DIN cable, a stalled cable's lost bytes"
