#!/usr/bin/env bash
# The test MIDI driver itself, through winmm as any Windows program uses it (winmm-probe.exe),
# against vfu-instrument --tcp: Windows' names for identical devices and device IDs that move
# when a device is unplugged and plugged in again; long buffers sent as given, done only after
# the call, refused unprepared; ports exclusive across programs; SysEx filling the program's
# buffers one after the other, and dropped with MIM_LONGERROR when none is queued.
#
# usage: winmm_driver.sh <vfu-instrument> <cache folder>
set -uo pipefail

instrument=$(realpath "$1")
mkdir -p "$2"
export XDG_CACHE_HOME=$(realpath "$2")
with_winmm=$(cd "$(dirname "$0")/../.." && pwd)/scripts/with-winmm.sh
probe=$XDG_CACHE_HOME/vfu-winmm/driver/winmm-probe.exe

work=$(mktemp -d)
pids=()
cleanup() { kill -TERM "${pids[@]}" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    local f
    for f in "$work"/*; do echo "--- $(basename "$f")" >&2; grep -v '^ALSA' "$f" | tail -20 >&2; done
    exit 1
}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

await() {
    local deadline=$((SECONDS + $3))
    until grep -qE -- "$2" "$1" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || fail "no '$2' in $(basename "$1") within $3 s"
        sleep 0.2
    done
}

start() {
    # (The writing ends of the test's FIFOs stay with the test, so that their readers see them end.)
    "$instrument" --tcp 127.0.0.1:$2 "bootloader-after=never" >"$work/$1.txt" 2>&1 7>&- 8>&- &
    pids+=($!)
    eval "${1}_pid=$!"
    await "$work/$1.txt" 'Ctrl-C ends it' 10
}

# probe OUTPUT ARGS...: winmm-probe.exe with both ports; its output (Windows line ends removed) in $work/OUTPUT.
probe() {
    local out=$1; shift
    local status=0
    "$with_winmm" --port "Quorrel=127.0.0.1:$a" --port "Quorrel=127.0.0.1:$b" "$probe" "$@" >"$work/$out" 2>/dev/null 7>&- 8>&- || status=$?
    sed -i 's/\r$//' "$work/$out"
    return $status
}

a=$(free_port); b=$(free_port)
"$with_winmm" cmd /c exit >/dev/null 2>&1 || fail "with-winmm.sh could not run a program"
start first "$a"
start second "$b"

# Identical devices, and IDs that are positions: one program lists the ports, and again until
# it sees the first one unplugged, and again until it sees it plugged in again.
mkfifo "$work/lists.in"
"$with_winmm" --port "Quorrel=127.0.0.1:$a" --port "Quorrel=127.0.0.1:$b" "$probe" lists <"$work/lists.in" >"$work/lists" 2>/dev/null &
lister=$!
pids+=($lister)
exec 8>"$work/lists.in"
lists=1
await "$work/lists" '^--' 60
# The outputs of the last list, as "ID NAME" words.
last_outputs() { awk -v n=$lists '/^--/ { k++; next } k == n - 1 && /^out/ { printf "%s %s ", $2, $3 }' "$work/lists"; }
# relist_until OUTPUTS WHY: lists again until the outputs are those.
relist_until() {
    local deadline=$((SECONDS + 30))
    until [ "$(last_outputs)" = "$1" ]; do
        [ $SECONDS -lt $deadline ] || fail "$2 (outputs: $(last_outputs))"
        echo >&8
        lists=$((lists + 1))
        until [ "$(grep -c '^--' "$work/lists")" -ge $lists ]; do sleep 0.1; done
    done
}
[ "$(last_outputs)" = "0 Quorrel 1 2- " ] || fail "the ports are not listed as 'Quorrel' and '2- Quorrel'"
grep -qF 'out 0 Quorrel \\?\usb#vid_1209&pid_' "$work/lists" && grep -qF '#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\global' "$work/lists" \
    || fail "the ports have no device paths in Windows' form"
kill -TERM "$first_pid"; wait "$first_pid"
relist_until "0 2- " "the unplugged port stayed listed, or the port after it did not move down"
start first "$a"
relist_until "0 2- 1 Quorrel " "a port plugged in again is not at the end of the list under its name"
exec 8>&-
wait "$lister"

# Slices of one SysEx leave as given (the instrument sees one message); each buffer is done only
# after midiOutLongMsg returned, and one not prepared is refused (the probe checks both).
probe sent send Quorrel "F0 7D 01 02" "03 04 F7" || fail "send"
[ "$(grep -c '^buffer of [0-9] bytes done$' "$work/sent")" -eq 2 ] || fail "a buffer was done inside midiOutLongMsg"
await "$work/first.txt" ' in  "Quorrel" F0 7D 01 02 03 04 F7$' 10

# Exclusive across programs: a second program's open is refused while one holds the port.
mkfifo "$work/hold.in"
"$with_winmm" --port "Quorrel=127.0.0.1:$a" "$probe" hold Quorrel <"$work/hold.in" >"$work/hold" 2>/dev/null &
pids+=($!)
exec 7>"$work/hold.in"
await "$work/hold" '^held' 60
probe refused send Quorrel "F0 7E 7F 06 01 F7" && fail "a second program opened a held output"
grep -q '^midiOutOpen=4$' "$work/refused" || fail "a held output was not refused with MMSYSERR_ALLOCATED (4)"
exec 7>&-
wait "${pids[-1]}"

# Input buffers of 4 bytes: the 15-byte identity reply goes on from one to the next.
probe heard receive "2- Quorrel" 4 4 2 &
receiver=$!
await "$work/heard" '^listening' 60
probe asked send "2- Quorrel" "F0 7E 7F 06 01 F7" || fail "the identity request"
wait "$receiver" || fail "receive"
[ "$(grep '^long' "$work/heard" | tr '\n' ' ')" = "long F0 7E 7F 06 long 02 04 00 06 long 00 00 00 00 long 40 10 F7 " ] \
    || fail "the reply did not fill the buffers one after the other"

# No buffer queued: the SysEx is dropped with MIM_LONGERROR.
probe dropped receive "2- Quorrel" 1 4 0 &
receiver=$!
await "$work/dropped" '^listening' 60
probe asked send "2- Quorrel" "F0 7E 7F 06 01 F7" || fail "the identity request"
wait "$receiver" || fail "receive without buffers"
grep -qx longerror "$work/dropped" || fail "a SysEx without a buffer was not reported with MIM_LONGERROR"

echo PASS
