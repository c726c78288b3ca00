#!/usr/bin/env bash
# usb_updates_kernel.sh VFU_UPDATE VFU_INSTRUMENT VFU_FIRMWARE_TOOL WINDOW_PROGRAM ARTIFACTS
#
# Runs inside the kernel guest (scripts/with-kernel.sh --usb 6): whole updates of simulated
# Quorrels that the kernel enumerates as USB MIDI devices (vfu-instrument --usb), each on a dummy
# controller of its own, through the kernel's own sequencer and USB MIDI driver.
#
# 1. Side by side, each with --port naming its instrument by its USB location:
#    - a bootloader that comes back under another USB name (the whole 359,740-byte image);
#    - a bootloader that comes back under another card and client number;
#    - one of two identical Quorrels loses its cable at 40 %: never a success, and the other,
#      already up to date, receives nothing at all;
#    - a bootloader that cannot keep up loses bytes: never a success.
# 2. An Auto scan started beside two --port updates: each instrument gets exactly one erase and
#    one image, from its own updater.
# 3. Auto, the second Quorrel plugged in during the first's transfer, the first's cable pulled:
#    never a success, and the second gets no erase and no image. Auto, a Quorrel moved to another
#    USB socket after it was detected: found there and updated.
# 4. One whole update in the window, under Xvfb in the guest (a screenshot in ARTIFACTS).
set -uo pipefail

updater=$(realpath "$1")
instrument=$(realpath "$2")
tool=$(realpath "$3")
app=$(realpath "$4")
artifacts=$5
work=$(mktemp -d /tmp/usb-updates.XXXXXX)
failures=0
pids=()

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
cleanup() {
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
    wait 2>/dev/null
}
trap cleanup EXIT

unset DISPLAY VFU_SIMULATE XDG_CONFIG_HOME

# start NAME CONTROLLER ARGS...: vfu-instrument --usb on that controller; its output in
# $work/NAME.log, its USB location in $work/NAME.location once it is enumerated.
start() {
    local name=$1 controller=$2 i
    shift 2
    "$instrument" --usb --usb-controller "$controller" "$@" >"$work/$name.log" 2>&1 &
    pids+=($!)
    eval "pid_$name=$!"
    for ((i = 0; i < 600; i++)); do
        local at
        at=$(sed -n 's/^.*USB device ".*" ([0-9a-f:]*) at \(usb-[^,]*\), card .*/\1/p' "$work/$name.log" | head -1)
        if [ -n "$at" ]; then echo "$at" >"$work/$name.location"; return 0; fi
        kill -0 "$(eval echo "\$pid_$name")" 2>/dev/null || break
        sleep 0.1
    done
    fail "$name was never enumerated"
    sed 's/^/    /' "$work/$name.log"
    return 1
}

location() { cat "$work/$1.location"; }

# update NAME ARGS...: vfu-update in the background with a home of its own.
update() {
    local name=$1
    shift
    mkdir -p "$work/$name-home"
    HOME=$work/$name-home "$updater" "$@" </dev/null >"$work/$name.out" 2>"$work/$name.err" &
    eval "upd_$name=$!"
}

# finish NAME: waits for the update NAME; its exit status in $status.
finish() {
    local pid_var="upd_$1"
    status=0
    wait "${!pid_var}" || status=$?
}

# stop_instruments NAME...: ends those instruments (their gadgets go with them).
stop_instruments() {
    local name pid_var
    for name in "$@"; do
        pid_var="pid_$name"
        kill -TERM "${!pid_var}" 2>/dev/null
        wait "${!pid_var}" 2>/dev/null
    done
}

show() {
    local f
    for f in "$@"; do
        echo "--- $f"
        sed 's/^/    /' "$work/$f" 2>/dev/null | tail -40
    done
}

# update_log NAME [LOCATION]: the log of the update NAME (its per-port log when run with --port LOCATION).
update_log() { echo "$work/$1-home/.config/Vorn Firmware Updater/vfu-quorrel${2:+-port-$(tr ':.' '-_' <<<"$2")}"; }

# received_whole NAME IMAGE: the instrument received the image whole (in its bootloader).
received_whole() {
    local size digest
    size=$(stat -c %s "$2")
    digest=$(sha256sum "$2" | cut -d' ' -f1)
    grep -q " in  \"Quorrel Bootloader\" SysEx bytes=$size sha256=$digest\$" "$work/$1.log"
}

erases() { grep -c ' in  "Quorrel Bootloader" F0 04 06 11 F7$' "$work/$1.log"; }
images() { grep -c ' in  "Quorrel Bootloader" SysEx ' "$work/$1.log"; }

package() {
    mkdir -p "$work/$2"
    "$tool" image --family 6 --version 2.2.0 --size "$1" -o "$work/$2/quorrel-fw-2.2.0.syx" >/dev/null \
        && "$tool" pack -o "$work/$2/quorrel-fw-2.2.0.vfw" "$work/$2/quorrel-fw-2.2.0.syx" >/dev/null \
        && cp "$work/$2/quorrel-fw-2.2.0.syx" "$work/$2.syx"
}

package 359740 full
package 6000 small
full=$work/full/quorrel-fw-2.2.0.vfw
small=$work/small/quorrel-fw-2.2.0.vfw
[ -f "$full" ] && [ -f "$small" ] || { echo "FAIL: no packages"; exit 1; }

# --- 1. Side by side, each by its USB location -------------------------------------------------
start rename 0 "bootloader-after=1;reattach-ms=300"
start lost 2 --image-bytes 6000 "bootloader-after=1;reattach-ms=300;pull-cable-at=40"
start current 3 "version=2.2.0;bootloader-after=never"
start slow 4 --stall 1000:10000 "mode=bootloader;reattach-ms=300"
start renumber 1 --usb-renumber "bootloader-after=1;reattach-ms=300"

update rename --port "$(location rename)" --yes --timeout 120 --firmware "$full"
update renumber --port "$(location renumber)" --yes --timeout 60 --firmware "$small"
update lost --port "$(location lost)" --yes --timeout 20 --firmware "$small"
update slow --port "$(location slow)" --yes --timeout 20 --firmware "$small"

finish renumber
if [ "$status" != 0 ] || ! received_whole renumber "$work/small.syx"; then
    fail "the bootloader under another card and client number was not updated (status $status)"
    show renumber.log renumber.out renumber.err
fi
cards=$(sed -n 's/^.*at usb-dummy_hcd\.1-1, card \([0-9]*\),.*/\1/p' "$work/renumber.log" | sort -u | wc -l)
[ "$cards" -ge 2 ] || fail "the renumbering instrument never came back under another card"

finish lost
[ "$status" != 0 ] || fail "the update whose cable was pulled ended with 0"
! grep -q "Update completed" "$work/lost.out" || fail "the update whose cable was pulled said it completed"
[ "$(grep -c ' in  ' "$work/current.log")" -eq 0 ] \
    || { fail "the Quorrel already up to date received something"; show current.log; }

finish slow
[ "$status" != 0 ] || fail "the update of the bootloader that lost bytes ended with 0"
! grep -q "Update completed" "$work/slow.out" || fail "the bootloader that lost bytes was reported updated"
grep -q 'the kernel dropped [1-9]' "$work/slow.log" || fail "the slow bootloader lost nothing (the test proves nothing)"
stop_instruments renumber lost current slow
echo "phase 1 (short updates) done: failures so far $failures"

# --- 2. An Auto scan beside --port updates (the whole image's among them) ----------------------
start a 1 "bootloader-after=1;reattach-ms=300"
start b 2 "bootloader-after=1;reattach-ms=300"
update a --port "$(location a)" --yes --timeout 60 --firmware "$small"
update b --port "$(location b)" --yes --timeout 60 --firmware "$small"
update scan --yes --timeout 300 --firmware "$small"
finish a; status_a=$status
finish b; status_b=$status
for side in a b; do
    if [ "$(erases $side)" -ne 1 ] || [ "$(images $side)" -ne 1 ] || ! received_whole $side "$work/small.syx"; then
        fail "$side: not exactly one erase and one whole image beside an Auto scan"
        show $side.log $side.out scan.out scan.err
    fi
done
[ "$status_a" = 0 ] && [ "$status_b" = 0 ] || fail "the --port updates beside an Auto scan: $status_a, $status_b"
stop_instruments a b

finish rename
kill -TERM "$upd_scan" 2>/dev/null
wait "$upd_scan" 2>/dev/null
if [ "$status" != 0 ] || ! received_whole rename "$work/full.syx"; then
    fail "the bootloader under another USB name did not get the whole image (status $status)"
    show rename.log rename.out rename.err
fi
grep -q "^The Quorrel now runs firmware version 2.2.0.$" "$work/rename.out" || fail "no new version read back"
grep -q "is at \[Quorrel Bootloader MIDI 1\]" "$(update_log rename "$(location rename)")" \
    || fail "the log does not say where the bootloader came back"
[ "$(erases rename)" -eq 1 ] && [ "$(images rename)" -eq 1 ] \
    || fail "rename: not exactly one erase and one image (beside an Auto scan)"
stop_instruments rename
echo "phase 2 (Auto beside --port, the whole image) done: failures so far $failures"

# --- 3. Auto, a second Quorrel plugged in during the first's transfer, the first's cable pulled -
package 30000 medium
start first 0 --image-bytes 30000 "mode=bootloader;reattach-ms=300;pull-cable-at=40"
update auto --yes --timeout 20 --firmware "$work/medium/quorrel-fw-2.2.0.vfw"
for ((i = 0; i < 600; i++)); do
    grep -q "Send 'quorrel-fw-2.2.0.syx' : 1[0-9] %" "$(update_log auto)" 2>/dev/null && break
    sleep 0.1
done
start second 1 "version=2.2.0;bootloader-after=never"
finish auto
[ "$status" != 0 ] || fail "Auto: the update whose cable was pulled ended with 0"
! grep -q "Update completed" "$work/auto.out" || { fail "Auto: a pulled cable ended in success"; show auto.out; }
! grep -q ' in  "Quorrel\( Bootloader\)\?" \(F0 04 06 11 F7$\|SysEx\)' "$work/second.log" \
    || { fail "Auto: the second Quorrel received an erase or an image"; show second.log; }
stop_instruments first second
echo "phase 3 (Auto, a pulled cable beside a second Quorrel) done: failures so far $failures"

# --- 3b. Auto, the Quorrel moved to another USB socket between its detection and its bootloader -
# Found again through the ports that appeared (no update runs yet, so no port is followed), while
# a filler device takes its old card and client numbers whenever it restarts.
start moved 0 "bootloader-after=never"
update moved --yes --timeout 60 --firmware "$small"
for ((i = 0; i < 600; i++)); do
    grep -q "DeviceID 0006 detected (firmware version : 2.1.12)" "$(update_log moved)" 2>/dev/null && break
    sleep 0.1
done
stop_instruments moved
start moved 2 --usb-renumber "mode=bootloader;reattach-ms=300"
finish moved
{ [ "$status" = 0 ] && grep -q "now runs firmware version 2.2.0" "$work/moved.out" && received_whole moved "$work/small.syx"; } \
    || { fail "a Quorrel moved to another USB socket was not updated (status $status)"; show moved.out moved.log; tail -30 "$(update_log moved)"; }
stop_instruments moved
echo "phase 3b (a Quorrel moved to another USB socket) done: failures so far $failures"

# --- 4. The window, under Xvfb in the guest ---------------------------------------------------
start window 0 "bootloader-after=2;reattach-ms=400"
mkdir -p "$work/window-home/Desktop" "$artifacts"
cp "$small" "$work/window-home/Desktop/"
HOME=$work/window-home xvfb-run -a -s "-screen 0 1024x768x24 -noreset" sh -c '
    "$1" >"$2/window.out" 2>&1 &
    app=$!
    log="$HOME/.config/Vorn Firmware Updater/vfu-quorrel"
    i=0
    until grep -q "firmware version : 2.2.0" "$log" 2>/dev/null; do
        i=$((i + 1)); [ $i -lt 1800 ] || break
        kill -0 $app 2>/dev/null || break
        sleep 0.1
    done
    sleep 1
    import -window root "$3/kernel_usb_window_complete.png" 2>/dev/null
    kill -TERM $app; wait $app' sh "$app" "$work" "$artifacts"
wlog=$(update_log window)
grep -q "firmware version : 2.2.0" "$wlog" && received_whole window "$work/small.syx" \
    || { fail "the window's update over USB did not complete"; show window.log window.out; tail -30 "$wlog"; }
! grep -q "State 'Error" "$wlog" || fail "the window entered an error State"

if [ "$failures" -eq 0 ]; then
    echo "all USB update checks passed"
    exit 0
fi
echo "$failures USB update checks failed; the programs' output and logs are in $artifacts/usb-updates"
rm -rf "$artifacts/usb-updates"
mkdir -p "$artifacts/usb-updates"
find "$work" -type f \( -name '*.log' -o -name '*.out' -o -name '*.err' -o -name 'vfu-quorrel*' \) -exec cp --parents {} "$artifacts/usb-updates" \;
exit 1
