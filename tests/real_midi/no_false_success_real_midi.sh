#!/usr/bin/env bash
# An update never ends in success for an instrument that did not take its whole image, on the
# operating system's MIDI service (run it under scripts/with-test-sequencer.sh):
# 1. A --port update's cable is pulled at 30 % and stays out; another Quorrel of the same name,
#    already at the version being installed, is plugged in: the update fails, and the other
#    instrument receives nothing.
# 2. A --port update's cable is pulled and its instrument comes back in its bootloader; meanwhile
#    an identical Quorrel at that version was plugged in, and its own updater holds and polls it:
#    only the pulled instrument's replies count, so the update fails, never "now runs".
# 3. An Auto update beside `vfu-update --list` runs, with another Quorrel at the version being
#    installed on the bench: the instrument asked first is updated; the other's answers to --list
#    are never taken for its own.
# 4. A lock folder that cannot be written: the port is used without its lock, said once in the log.
#
# usage: no_false_success_real_midi.sh <vfu-update> <vfu-instrument> <vfu-firmware-tool>
set -uo pipefail

[ -n "${VFU_TEST_SEQ_SOCKET:-}" ] || { echo "run this under scripts/with-test-sequencer.sh" >&2; exit 2; }

updater=$(realpath "$1")
instrument=$(realpath "$2")
tool=$(realpath "$3")

work=$(mktemp -d)
. "$(dirname "$0")/bench_common.sh"

unset XDG_CONFIG_HOME XDG_DATA_HOME VFU_SIMULATE
size=20000
"$tool" image --family 6 --version 2.2.0 --size $size -o "$work/quorrel-fw-2.2.0.syx" >/dev/null || fail "image"
"$tool" pack -o "$work/quorrel-fw-2.2.0.vfw" "$work/quorrel-fw-2.2.0.syx" >/dev/null || fail "pack"
digest=$(sha256sum "$work/quorrel-fw-2.2.0.syx" | cut -d' ' -f1)
# A later version, for an updater that waits beside the others for an instrument at 2.2.0.
"$tool" image --family 6 --version 2.3.0 --size $size -o "$work/quorrel-fw-2.3.0.syx" >/dev/null || fail "image"
"$tool" pack -o "$work/quorrel-fw-2.3.0.vfw" "$work/quorrel-fw-2.3.0.syx" >/dev/null || fail "pack"

# start KEY PORTNAME SETTINGS: a simulated Quorrel; its output in $work/KEY.txt, its process in pid_KEY
start() {
    local out="$work/$1.txt" deadline=$((SECONDS + 20))
    : >"$out"
    "$instrument" --name "$2" --image-bytes $size "$3" >"$out" 2>&1 &
    pids+=($!)
    eval "pid_$1=\$!"
    until grep -q "ports in \"$2\" out \"$2\" created" "$out"; do
        [ $SECONDS -lt $deadline ] || fail "vfu-instrument $1 made no ports"
        sleep 0.1
    done
}

stop() {
    local p="pid_$1"
    kill -TERM "${!p}" 2>/dev/null; wait "${!p}" 2>/dev/null
}

# await FILE PATTERN: until FILE has a line matching PATTERN (60 s at most)
await() {
    local deadline=$((SECONDS + 60))
    until grep -qE -- "$2" "$1" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || fail "no '$2' in $(basename "$1")"
        sleep 0.1
    done
}

# update KEY ARGS...: vfu-update in the background with a home of its own, installing 2.2.0 (or
# $version); its process in upid_KEY
update() {
    local key=$1; shift
    mkdir -p "$work/$key-home/Desktop"
    HOME=$work/$key-home "$updater" --yes --firmware "$work/quorrel-fw-${version:-2.2.0}.vfw" "$@" \
        </dev/null >"$work/$key-update.txt" 2>"$work/$key-update.err" &
    pids+=($!)
    eval "upid_$key=\$!"
}

# finish KEY: waits for the update KEY; its exit status in $status
finish() {
    local p="upid_$1"
    status=0
    wait "${!p}" || status=$?
}

# identifiers NAME: the identifiers --list gives the outputs of that name, in list order
identifiers() {
    HOME=$work/list-home "$updater" --list >"$work/list.txt" 2>"$work/list.err" || fail "--list"
    awk -v name="$1:" '/^MIDI outputs:/ { o = 1; next } o && $0 ~ "^  [0-9]+:[0-9]+  " name { print $1 }' "$work/list.txt"
}

erases() { grep -c " in  \"$2\" F0 04 06 11 F7\$" "$work/$1.txt"; }
images() { grep -c " in  \"$2\" SysEx " "$work/$1.txt"; }
mkdir -p "$work/list-home"

# --- 1. A pulled cable that stays out, and another unit plugged in ---------------------------------
start d "Quorrel" "version=2.1.12;mode=bootloader;reattach-ms=300;pull-cable-at=30"
d=$(identifiers Quorrel)
[[ "$d" =~ ^[0-9]+:[0-9]+$ ]] || fail "no identifier for the first Quorrel: '$d'"
update one --port "$d" --timeout 20
# The cable comes out at 30 % (the instrument's ports go for the second time, after the erase's
# restart) and stays out; then another Quorrel, already up to date, is plugged in.
await "$work/d.txt" "ports in \"Quorrel\" out \"Quorrel\" removed"
deadline=$((SECONDS + 60))
until [ "$(grep -c 'out "Quorrel" removed' "$work/d.txt")" -ge 2 ]; do
    [ $SECONDS -lt $deadline ] || fail "the first Quorrel's cable was not pulled"
    sleep 0.05
done
kill -KILL "$pid_d"; wait "$pid_d" 2>/dev/null
start e "Quorrel" "version=2.2.0;bootloader-after=never"
finish one
[ $status -ne 0 ] || fail "1: the update whose cable was pulled ended in success"
! grep -q "now runs" "$work/one-update.txt" || fail "1: vfu-update said the instrument now runs the new version"
[ "$(erases e Quorrel)" -eq 0 ] && [ "$(images e Quorrel)" -eq 0 ] || fail "1: the Quorrel plugged in received an erase or an image"
stop e

# --- 2. Back in its bootloader beside an identical unit that another updater holds -----------------
# While A is away after its cable came out, an identical Quorrel at 2.2.0 is plugged in and taken
# by an updater of its own, which installs 2.3.0 and so waits for its user, asking it every second.
# Both came while A was away, so both are candidates; only A's own replies may count for A.
start a "Quorrel" "version=2.1.12;mode=bootloader;reattach-ms=6000;pull-cable-at=40"
a=$(identifiers Quorrel)
[[ "$a" =~ ^[0-9]+:[0-9]+$ ]] || fail "2: no identifier for A: '$a'"
update two --port "$a" --timeout 40
deadline=$((SECONDS + 60))
until [ "$(grep -c 'out "Quorrel" removed' "$work/a.txt")" -ge 2 ]; do
    [ $SECONDS -lt $deadline ] || fail "2: A's cable was not pulled"
    sleep 0.05
done
start b "Quorrel" "version=2.2.0;bootloader-after=never"
b=$(identifiers Quorrel)
[[ "$b" =~ ^[0-9]+:[0-9]+$ ]] || fail "2: no identifier for B while A is away: '$b'"
version=2.3.0 update held --port "$b" --timeout 120
finish two
[ $status -eq 1 ] || fail "2: the update whose cable was pulled ended with $status, expected 1"
! grep -q "now runs" "$work/two-update.txt" || fail "2: vfu-update said the instrument now runs the new version"
[ "$(erases b Quorrel)" -eq 0 ] && [ "$(images b Quorrel)" -eq 0 ] || fail "2: the held Quorrel received an erase or an image"
kill -TERM "$upid_held"; wait "$upid_held" 2>/dev/null
stop a; stop b

# --- 3. An Auto update beside --list, another unit up to date on the bench ------------------------
start y "Quorrel Y" "version=2.1.12;bootloader-after=2;reattach-ms=300"
start x "Quorrel X" "version=2.2.0;bootloader-after=never"
touch "$work/listing"
( while [ -e "$work/listing" ]; do HOME=$work/list-home "$updater" --list >/dev/null 2>&1; done ) &
pids+=($!); lister=$!
update three --timeout 60
finish three
rm -f "$work/listing"; wait "$lister" 2>/dev/null
[ $status -eq 0 ] || fail "3: the Auto update beside --list ended with $status, expected 0"
# Y is asked first; only while --list holds it for a moment does the scan go on to X. Then X's own
# answer may end the run ("already runs"), but never an answer credited to Y.
if grep -q "now runs firmware version 2.2.0" "$work/three-update.txt"; then
    grep -q " in  \"Quorrel Y\" SysEx bytes=$size sha256=$digest\$" "$work/y.txt" || fail "3: Quorrel Y did not receive the image whole"
elif grep -q "already runs firmware version 2.2.0" "$work/three-update.txt"; then
    grep -q "Quorrel X : send Device Inquiry Request" "$work/three-home/.config/Vorn Firmware Updater/vfu-quorrel" \
        || fail "3: the version of Quorrel X was taken for the answer of a port that was asked before it"
else
    fail "3: the Auto update beside --list neither updated nor found an instrument up to date"
fi
[ "$(erases x "Quorrel X")" -eq 0 ] || fail "3: Quorrel X was erased"
stop y; stop x

# --- 4. A lock folder that cannot be written ----------------------------------------------------
start f "Quorrel" "version=2.1.12;mode=bootloader;reattach-ms=300"
touch "$work/not-a-folder"
VFU_LOCK_FOLDER=$work/not-a-folder update four --timeout 60
finish four
[ $status -eq 0 ] || fail "4: the update without a lock folder ended with $status, expected 0"
grep -q " in  \"Quorrel\" SysEx bytes=$size sha256=$digest\$" "$work/f.txt" || fail "4: the image did not arrive whole"
[ "$(grep -c 'cannot be locked, so other updaters cannot be kept away from it; it is used without its lock' "$work/four-home/.config/Vorn Firmware Updater/vfu-quorrel")" -eq 1 ] \
    || fail "4: the log does not say once that the port is used without its lock"
stop f

echo "ok: a pulled cable failed beside another unit, the held twin's replies did not count, an Auto update beside --list updated its own instrument, a lock folder that cannot be written did not stop the update"
