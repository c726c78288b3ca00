#!/usr/bin/env bash
# usb_instrument_kernel.sh VFU_INSTRUMENT
#
# Runs inside the kernel guest (scripts/with-kernel.sh --usb 3): vfu-instrument --usb as a USB
# MIDI device that the guest's own host side enumerates. Checks that the host lists its card and
# sequencer client, that an identity request written to the host's raw MIDI device gets exactly
# the reply the instrument sent, that its bootloader comes back under another USB name and ID,
# that --usb-renumber brings it back under another card and client, that a stalled bootloader
# loses what the gadget cannot hold, and that every run leaves no gadget behind.
set -uo pipefail

instrument="$1"
here="$(cd "$(dirname "$0")" && pwd)"
rawmidi="$here/rawmidi.py"
work="$(mktemp -d /tmp/usb-instrument.XXXXXX)"
gadgets=/sys/kernel/config/usb_gadget
failures=0
pids=()

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
cleanup() { for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done; wait; }
trap cleanup EXIT

# start NAME ARGS...: starts vfu-instrument, its output in $work/NAME.log.
start() {
    local name="$1"
    shift
    "$instrument" "$@" >"$work/$name.log" 2>&1 &
    pids+=($!)
    eval "pid_$name=$!"
}

# await NAME REGEX: waits until the instrument's log has a line that matches (the line is
# printed); fails when the instrument ended first. The bound only ends a broken run.
await() {
    local name="$1" regex="$2" pid_var="pid_$1" i
    for ((i = 0; i < 1200; i++)); do
        if grep -E -m 1 "$regex" "$work/$name.log"; then return 0; fi
        kill -0 "${!pid_var}" 2>/dev/null || break
        sleep 0.1
    done
    fail "$name never printed /$regex/"
    sed 's/^/    /' "$work/$name.log"
    return 1
}

# await_nth NAME REGEX N: as await, for the Nth line that matches.
await_nth() {
    local name="$1" regex="$2" n="$3" pid_var="pid_$1" i
    for ((i = 0; i < 1200; i++)); do
        if [ "$(grep -E -c "$regex" "$work/$name.log")" -ge "$n" ]; then
            grep -E "$regex" "$work/$name.log" | sed -n "${n}p"
            return 0
        fi
        kill -0 "${!pid_var}" 2>/dev/null || break
        sleep 0.1
    done
    fail "$name never printed /$regex/ $n times"
    sed 's/^/    /' "$work/$name.log"
    return 1
}

# stop NAME: SIGTERM, and the status must be 0.
stop() {
    local pid_var="pid_$1"
    kill -TERM "${!pid_var}"
    wait "${!pid_var}"
    local status=$?
    [ "$status" -eq 0 ] || { fail "$1 ended with status $status"; sed 's/^/    /' "$work/$1.log"; }
}

# card_of LINE / client_of LINE: the numbers in a "USB device ... at ..., card K, sequencer client C" line.
card_of() { sed -n 's/.*, card \([0-9]*\),.*/\1/p' <<<"$1"; }
client_of() { sed -n 's/.*sequencer client \([0-9]*\) .*/\1/p' <<<"$1"; }

identity_request="F0 7E 7F 06 01 F7"

# --- Identity and the bootloader under another name ------------------------------------------
start plain --usb "bootloader-after=1;reattach-ms=300"
line="$(await plain 'USB device "Vorn Quorrel" \(1209:0007\) at usb-dummy_hcd\.0-1, card [0-9]+, sequencer client [0-9]+ "Quorrel" \(port [0-9]+:0 "Quorrel MIDI 1"\)')"
card="$(card_of "$line")" client="$(client_of "$line")"
echo "normal firmware: $line"
if [ -n "$card" ]; then
    grep -q "^Client *$client : \"Quorrel\"" /proc/asound/seq/clients || fail "the sequencer does not list client $client \"Quorrel\""
    grep -A1 "^Client *$client : " /proc/asound/seq/clients | grep -q 'Port *0 : "Quorrel MIDI 1"' ||
        fail "client $client has no port \"Quorrel MIDI 1\""
    reply="$("$rawmidi" "/dev/snd/midiC${card}D0" "$identity_request" 30)" || fail "no identity reply on card $card"
    grep -q "out \"Quorrel\" $reply\$" "$work/plain.log" || fail "the host read '$reply', which the instrument did not send"
    [[ "$reply" == "F0 7E "*" 06 02 "* ]] || fail "'$reply' is no identity reply"
    grep -q "in  \"Quorrel\" $identity_request" "$work/plain.log" || fail "the instrument did not print the request"

    boot="$(await plain 'USB device "Vorn Quorrel Bootloader" \(1209:0008\) at usb-dummy_hcd\.0-1, card [0-9]+, sequencer client [0-9]+ "Quorrel Bootloader"')"
    bootcard="$(card_of "$boot")"
    echo "bootloader: $boot"
    if [ -n "$bootcard" ]; then
        grep -q '\]: USB-Audio - Quorrel$' /proc/asound/cards && fail "the normal firmware's card is still listed"
        bootreply="$("$rawmidi" "/dev/snd/midiC${bootcard}D0" "$identity_request" 30)" || fail "the bootloader did not answer"
        grep -q "out \"Quorrel Bootloader\" $bootreply\$" "$work/plain.log" || fail "the host read '$bootreply' from the bootloader, which it did not send"
        [ "$bootreply" != "$reply" ] || fail "the bootloader answers as its firmware does"
    fi
fi
stop plain
[ -z "$(ls "$gadgets")" ] || fail "gadgets left behind: $(ls "$gadgets")"
grep -q 'Vorn\|USB-Audio' /proc/asound/cards && fail "USB cards left behind: $(cat /proc/asound/cards)"

# --- Renumbered, same name, on the second controller; the filler on the third ----------------
start renumber --usb-controller 1 --usb-keep-name --usb-renumber "bootloader-after=1;reattach-ms=300"
first="$(await renumber 'USB device "Vorn Quorrel" \(1209:0007\) at usb-dummy_hcd\.1-1, card')"
if [ -n "$first" ]; then
    "$rawmidi" "/dev/snd/midiC$(card_of "$first")D0" "$identity_request" 30 >/dev/null || fail "no identity reply on controller 1"
    await renumber 'USB device "Vorn Filler" plugged in at usb-dummy_hcd\.2-1' >/dev/null
    second="$(await_nth renumber 'USB device "Vorn Quorrel" \(1209:0007\) at usb-dummy_hcd\.1-1, card' 2)"
    echo "renumbered: $first"
    echo "        to: $second"
    if [ -n "$second" ]; then
        [ "$(card_of "$second")" != "$(card_of "$first")" ] || fail "it came back under the same card: $second"
        [ "$(client_of "$second")" != "$(client_of "$first")" ] || fail "it came back under the same client: $second"
        "$rawmidi" "/dev/snd/midiC$(card_of "$second")D0" "$identity_request" 30 | grep -q '^F0 7E' ||
            fail "no identity reply from the bootloader on its new card"
    else
        fail "it did not come back"
    fi
fi
stop renumber
[ -z "$(ls "$gadgets")" ] || fail "gadgets left behind after renumbering: $(ls "$gadgets")"

# --- A bootloader that stalls loses what the gadget cannot hold ------------------------------
start slow --usb --stall 100:1500 "mode=bootloader"
line="$(await slow 'USB device "Vorn Quorrel Bootloader"')"
if [ -n "$line" ]; then
    # 20,000 bytes of image-like SysEx: the host's driver sends them on at USB speed.
    image="F0 04 06 12 02 02 00 7F $(python3 -c 'print(" ".join("%02X" % (i % 128) for i in range(19990)))') F7"
    "$rawmidi" "/dev/snd/midiC$(card_of "$line")D0" "$image" || fail "cannot write the image to the host's raw MIDI device"
    dropped="$(await slow 'reads again; the kernel dropped [0-9]+ bytes' | sed -n 's/.*dropped \([0-9]*\) bytes.*/\1/p')"
    # The image lost its end: the next request cuts it off, and the bootloader still answers.
    "$rawmidi" "/dev/snd/midiC$(card_of "$line")D0" "$identity_request" 30 | grep -q '^F0 7E' ||
        fail "the stalled bootloader did not answer afterwards"
    got="$(await slow 'in  "Quorrel Bootloader" SysEx (cut off )?bytes=[0-9]+' | sed -n 's/.*bytes=\([0-9]*\) .*/\1/p')"
    if [ -n "$dropped" ] && [ -n "$got" ]; then
        echo "stalled at byte 100: the instrument received $got bytes of 20000, the kernel dropped $dropped"
        [ "$dropped" -gt 0 ] && [ "$got" -lt 20000 ] || fail "nothing was lost while it stalled"
        [ $((got + dropped)) -le 20000 ] || fail "received $got and dropped $dropped of 20000 bytes"
        grep -q 'SysEx bytes=20000 ' "$work/slow.log" && fail "the whole image arrived"
    fi
    grep -q 'ports in .* removed' "$work/slow.log" && fail "the bootloader restarted after a damaged image"
fi
stop slow
[ -z "$(ls "$gadgets")" ] || fail "gadgets left behind after the stall: $(ls "$gadgets")"

# --- Not there: a controller that does not exist is exit status 2 ----------------------------
"$instrument" --usb-controller 9 >"$work/missing.log" 2>&1
status=$?
[ "$status" -eq 2 ] && grep -q 'no USB device controller dummy_udc.9' "$work/missing.log" ||
    { fail "a missing controller gave status $status"; cat "$work/missing.log"; }

if [ "$failures" -gt 0 ]; then
    echo "$failures failure(s); logs in $work:"
    for f in "$work"/*.log; do echo "== $f"; cat "$f"; done
    exit 1
fi
echo "usb instrument: all checks passed"
