#!/usr/bin/env bash
# A service bench on the operating system's MIDI service (run it under scripts/with-test-sequencer.sh):
# two simulated Quorrels of different port names. --list names each output by its identifier;
# an unknown --port is refused with the identifiers; two `vfu-update --port ID --yes --json` run
# side by side, one of them as another account (the lock files root made before are in its way
# no more than any lock), each instrument receives its image whole; a third updater on a port
# being updated, of either account, ends at once with status 4 and sends nothing; the window's
# Auto scan beside a running update finds the free instrument and sends nothing to the held one. A cable pulled from
# one of two instruments updated side by side fails only its own update.
#
# usage: service_bench_real_midi.sh <vfu-update> <vfu-instrument> <vfu-firmware-tool> <VornFirmwareUpdater>
set -uo pipefail

[ -n "${VFU_TEST_SEQ_SOCKET:-}" ] || { echo "run this under scripts/with-test-sequencer.sh" >&2; exit 2; }

# A display of our own for the window; and a private /var/tmp, where the port locks live.
if [ -z "${VFU_BENCH_PRIVATE:-}" ]; then
    export VFU_BENCH_PRIVATE=1
    exec unshare --mount sh -c 'mount -t tmpfs -o mode=1777 tmpfs /var/tmp && exec xvfb-run -a -s "-screen 0 1024x768x24 -noreset" "$@"' sh "$0" "$@"
fi

updater=$(realpath "$1")
instrument=$(realpath "$2")
tool=$(realpath "$3")
app=$(realpath "$4")

work=$(mktemp -d)
chmod 755 "$work"
# Where the port locks are: the test sequencer gives its updaters a folder of their own.
locks=${VFU_LOCK_FOLDER:-/var/tmp}
. "$(dirname "$0")/bench_common.sh"

# The other account: nobody, with a home of its own; it reaches the test sequencer's socket.
other=(setpriv --reuid=65534 --regid=65534 --clear-groups)
chmod 711 "$(dirname "$VFU_TEST_SEQ_SOCKET")"
chmod 666 "$VFU_TEST_SEQ_SOCKET"
unset XDG_CONFIG_HOME XDG_DATA_HOME VFU_SIMULATE
mkdir -p "$work/root-home/Desktop" "$work/other-home/Desktop"
chown -R 65534:65534 "$work/other-home"

size=100000
"$tool" image --family 6 --version 2.2.0 --size $size -o "$work/quorrel-fw-2.2.0.syx" >/dev/null || fail "image"
"$tool" pack -o "$work/quorrel-fw-2.2.0.vfw" "$work/quorrel-fw-2.2.0.syx" >/dev/null || fail "pack"
digest=$(sha256sum "$work/quorrel-fw-2.2.0.syx" | cut -d' ' -f1)

# start NAME SETTINGS: a simulated Quorrel whose ports are called NAME; its output in $work/NAME.txt
declare -A instrument_pid=()
start() {
    local out="$work/$1.txt" deadline=$((SECONDS + 20))
    "$instrument" --name "$1" --image-bytes $size "$2" >"$out" 2>&1 &
    pids+=($!)
    instrument_pid[$1]=$!
    until grep -q "ports in \"$1\" out \"$1\" created" "$out"; do
        [ $SECONDS -lt $deadline ] || fail "vfu-instrument $1 made no ports"
        sleep 0.2
    done
}

# await FILE PATTERN PID: until FILE has a line matching PATTERN, while PID runs (60 s at most)
await() {
    local deadline=$((SECONDS + 60))
    until grep -qE -- "$2" "$1" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || fail "no '$2' in $(basename "$1")"
        kill -0 "$3" 2>/dev/null || fail "ended before '$2' appeared in $(basename "$1")"
        sleep 0.1
    done
}

# C waits for a user who never puts it into its bootloader: an updater holds it as long as it runs.
# Made first, its ports come first in the lists, before those of A and B however they restart.
start "Quorrel C" "version=2.1.12;bootloader-after=never"
start "Quorrel A" "version=2.1.12;bootloader-after=1;reattach-ms=300"
start "Quorrel B" "version=2.1.12;bootloader-after=1;reattach-ms=300"

# 1. An unknown --port is refused with the identifiers (before anything asks the instruments, which
#    then go into their bootloaders by themselves a second later).
status=0
HOME=$work/root-home "$updater" --port 999:9 --yes >/dev/null 2>"$work/unknown.err" || status=$?
[ $status -eq 2 ] || fail "an unknown --port ended with $status, expected 2"
grep -qE "^  [0-9]+:[0-9]+  Quorrel A$" "$work/unknown.err" && grep -qE "^  [0-9]+:[0-9]+  Quorrel B$" "$work/unknown.err" \
    || fail "an unknown --port does not list the identifiers"

# The list, as root (which leaves root's lock files behind): identifiers first. Asked, the
# instruments go into their bootloaders a second later; their ports are made anew, and may be
# numbered anew, so the identifiers to update are those of the second list.
HOME=$work/root-home "$updater" --list >"$work/list.txt" 2>"$work/list.err" || fail "--list"
grep -qE "^  [0-9]+:[0-9]+  Quorrel A: Quorrel \(family 0006\), firmware 2.1.12 on input Quorrel A$" "$work/list.txt" \
    || fail "--list does not name the instrument on Quorrel A by its identifier"
[ -n "$(find "$locks" -maxdepth 1 -name 'vorn-firmware-updater.*' -user root)" ] || fail "--list left no lock file of root's"
for name in "Quorrel A" "Quorrel B"; do
    deadline=$((SECONDS + 20))
    until grep -q "created (bootloader" "$work/$name.txt"; do
        [ $SECONDS -lt $deadline ] || fail "$name did not go into its bootloader"
        sleep 0.2
    done
done
HOME=$work/root-home "$updater" --list >"$work/list.txt" 2>"$work/list.err" || fail "--list"
a=$(awk '/^MIDI outputs:/ { o = 1; next } o && $2 " " $3 == "Quorrel A:" { print $1 }' "$work/list.txt")
b=$(awk '/^MIDI outputs:/ { o = 1; next } o && $2 " " $3 == "Quorrel B:" { print $1 }' "$work/list.txt")
[[ "$a" =~ ^[0-9]+:[0-9]+$ && "$b" =~ ^[0-9]+:[0-9]+$ && "$a" != "$b" ]] || fail "no client:port identifiers in --list"

# 2. Side by side: A as the other account, B as root.
(cd "$work/other-home" && exec "${other[@]}" env HOME="$work/other-home" "$updater" --port "$a" --yes --json --timeout 60 \
    --firmware "$work/quorrel-fw-2.2.0.vfw" </dev/null >"$work/a.json" 2>"$work/a.err") &
pa=$!; pids+=($pa)
HOME=$work/root-home "$updater" --port "$b" --yes --json --timeout 60 --firmware "$work/quorrel-fw-2.2.0.vfw" \
    </dev/null >"$work/b.json" 2>"$work/b.err" &
pb=$!; pids+=($pb)

await "$work/a.json" '"event": ?"progress"' $pa
await "$work/b.json" '"event": ?"progress"' $pb

# 3. A third updater on each port being updated, of the other account each time: status 4 at
#    once (no --timeout, so only the lock can end it), and nothing sent (its trace has no "out").
third() {
    local status=0
    rm -f "$work"/third.*
    "$@" --yes --json --trace "$work/third.trace" --firmware "$work/quorrel-fw-2.2.0.vfw" \
        </dev/null >"$work/third.json" 2>"$work/third.err" || status=$?
    [ $status -eq 4 ] || fail "a third updater on a port being updated ended with $status, expected 4"
    [ -f "$work/third.trace" ] || fail "the third updater wrote no trace"
    ! grep -qE '^[0-9.]+ out ' "$work/third.trace" || fail "the third updater sent: $(grep -E '^[0-9.]+ out ' "$work/third.trace" | head -3)"
    grep -qE '"event": ?"result", ?"status": ?4' "$work/third.json" || fail "the third updater wrote no result line"
}
chmod 777 "$work"
third env HOME="$work/root-home" "$updater" --port "$a"
third "${other[@]}" env HOME="$work/other-home" "$updater" --port "$b"
chmod 755 "$work"

wait $pa; status=$?
[ $status -eq 0 ] || fail "the update of A ended with $status"
wait $pb; status=$?
[ $status -eq 0 ] || fail "the update of B ended with $status"

# 4. Both updates: the result line with both versions; each instrument got the image whole.
for side in a b; do
    grep -qE '"event": ?"result", ?"status": ?0,.*"versionAfter": ?"2.2.0"' "$work/$side.json" \
        || fail "no successful result line with version 2.2.0 in $side.json"
done
for name in "Quorrel A" "Quorrel B"; do
    grep -q " in  \"$name\" SysEx bytes=$size sha256=$digest\$" "$work/$name.txt" \
        || fail "$name did not receive the image whole"
done

# A lock that cannot be taken for another reason than being held is an error, never a lock: a
# folder where C's lock file belongs.
c=$(awk '/^MIDI outputs:/ { o = 1; next } o && $2 " " $3 == "Quorrel C:" { print $1 }' "$work/list.txt")
rm -f "$locks/vorn-firmware-updater.port-${c/:/-}-owner.lock"
mkdir "$locks/vorn-firmware-updater.port-${c/:/-}-owner.lock"
status=0
HOME=$work/root-home timeout 60 "$updater" --port "$c" --yes --timeout 5 --trace "$work/c.trace" </dev/null >/dev/null 2>"$work/c.err" || status=$?
[ $status -eq 1 ] || fail "a lock file that is a folder: status $status, expected 1"
grep -q "^vfu-update: cannot lock MIDI output $c, so nothing was sent to it: not a regular file" "$work/c.err" \
    || fail "a lock file that is a folder: no reason given"
! grep -qE '^[0-9.]+ out ' "$work/c.trace" || fail "sent to an instrument whose lock failed"
rmdir "$locks/vorn-firmware-updater.port-${c/:/-}-owner.lock"

# 5. The window, on Auto, beside a vfu-update that holds C: it passes over C (the first port it
#    comes to), says so once in its log, sends nothing to C, and finds A or B.
mkfifo "$work/c.in"
HOME=$work/root-home "$updater" --port "$c" --json <"$work/c.in" >"$work/c.json" 2>"$work/c.err" &
pc=$!; pids+=($pc)
exec {keys}>"$work/c.in"  # its input stays open: no key, and no end of input
await "$work/c.json" '"to": ?"Idle, device detected"' $pc
log="$work/root-home/.config/Vorn Firmware Updater/vfu-quorrel"
HOME=$work/root-home VFU_TRACE="$work/window.trace" "$app" >"$work/window.txt" 2>&1 &
pw=$!; pids+=($pw)
await "$log" "MIDI output \\[Quorrel C\\] \\($c\\) is in use by another updater" $pw
await "$log" "DeviceID 0006 detected \\(firmware version : 2.2.0\\)" $pw
kill -TERM $pw; wait $pw
kill -TERM $pc; wait $pc  # SIGINT: ignored in a job a script starts with &
exec {keys}>&-
grep -qE '^[0-9.]+ out "Quorrel (A|B)"' "$work/window.trace" || fail "the window's trace shows no message to Quorrel A or B"
! grep -qE '^[0-9.]+ out "Quorrel C"' "$work/window.trace" || fail "the window sent to Quorrel C while it was held"
[ "$(grep -cF "[Quorrel C] ($c) is in use by another updater" "$log")" -eq 1 ] \
    || fail "the window did not say exactly once that Quorrel C was held"

# 6. A cable pulled from one of two instruments being updated side by side: that update fails, the
#    other completes with its image whole. Beside them an Auto scan, with no other instrument to
#    find: it never erases nor writes either of them, not even while they restart.
for name in "Quorrel A" "Quorrel B" "Quorrel C"; do
    kill -TERM "${instrument_pid[$name]}"; wait "${instrument_pid[$name]}"
done
start "Quorrel D" "version=2.1.12;mode=bootloader;reattach-ms=300;pull-cable-at=50"
start "Quorrel E" "version=2.1.12;mode=bootloader;reattach-ms=300"
HOME=$work/root-home "$updater" --list >"$work/list.txt" 2>"$work/list.err" || fail "--list"
d=$(awk '/^MIDI outputs:/ { o = 1; next } o && $2 " " $3 == "Quorrel D:" { print $1 }' "$work/list.txt")
e=$(awk '/^MIDI outputs:/ { o = 1; next } o && $2 " " $3 == "Quorrel E:" { print $1 }' "$work/list.txt")
for side in d e; do
    HOME=$work/root-home "$updater" --port "${!side}" --yes --timeout 60 --firmware "$work/quorrel-fw-2.2.0.vfw" \
        </dev/null >"$work/$side.txt" 2>"$work/$side.err" &
    pids+=($!); eval "p$side=\$!"
done
mkdir -p "$work/scan-home"
HOME=$work/scan-home "$updater" --yes --timeout 300 --firmware "$work/quorrel-fw-2.2.0.vfw" \
    </dev/null >"$work/scan.txt" 2>"$work/scan.err" &
pscan=$!; pids+=($pscan)
status=0; wait "$pd" || status=$?
[ $status -eq 1 ] || fail "the update whose cable was pulled ended with $status, expected 1"
# While its updater held it, only its updater erased it (once it has let go, the scan may).
d_erases=$(grep -c ' in  "Quorrel D" F0 04 06 11 F7$' "$work/Quorrel D.txt")
status=0; wait "$pe" || status=$?
[ $status -eq 0 ] || fail "the update beside the pulled cable ended with $status, expected 0"
kill -TERM $pscan; wait $pscan
grep -q " in  \"Quorrel E\" SysEx bytes=$size sha256=$digest\$" "$work/Quorrel E.txt" \
    || fail "Quorrel E did not receive the image whole beside the pulled cable"
[ "$(grep -c ' in  "Quorrel E" F0 04 06 11 F7$' "$work/Quorrel E.txt")" -eq 1 ] \
    && [ "$(grep -c ' in  "Quorrel E" SysEx ' "$work/Quorrel E.txt")" -eq 1 ] \
    || fail "Quorrel E got other than one erase and one image beside an Auto scan"
[ "$d_erases" -eq 1 ] || fail "Quorrel D got $d_erases erases beside an Auto scan while its updater held it"

echo "ok: two instruments updated side by side, a third updater refused, the window passed over the held one, a pulled cable failed only its own update, an Auto scan beside them touched neither"
