#!/usr/bin/env bash
# Whole updates of the Windows build's vfu-update.exe under Wine, through the project's test MIDI
# driver (scripts/with-winmm.sh), which keeps Windows' rules, against vfu-instrument --tcp as the
# Quorrel:
#   - the bootloader comes back as another port, under another name and other device IDs, and
#     the image arrives byte for byte: "Update completed successfully.", status 0; the same
#     with the bootloader on the application's address (one --port, as a user gives it), and
#     with a bootloader that stalls while writing its flash (nothing is lost, only delayed);
#   - twins "Quorrel" and "2- Quorrel": --port updates the one it names, the other gets nothing;
#   - a cable pulled half-way ends in failure (status 1), never in success;
#   - a port that another program holds: the log and the terminal say it is in use by another
#     program, the instrument gets nothing (nothing is erased), status 1;
#   - an Auto scan beside a --port update of an identical instrument leaves it alone while it
#     restarts (the name guard) and updates the other one;
#   - the window program (demo mode off) updates the instrument by itself, with the package on the
#     Windows desktop, and closes on Alt+F4.
#
# usage: winmm_updates.sh <vfu-update.exe> <vfu-instrument> <vfu-firmware-tool> <cache folder>
#                         <VornFirmwareUpdater.exe>   (run it on a display: xvfb-run)
set -uo pipefail

updater=$(realpath "$1")
instrument=$(realpath "$2")
tool=$(realpath "$3")
window_program=$(realpath "$5")
mkdir -p "$4"
export XDG_CACHE_HOME=$(realpath "$4")   # the Wine prefix and the driver, kept between runs
root=$(cd "$(dirname "$0")/../.." && pwd)
with_winmm=$root/scripts/with-winmm.sh
probe=$XDG_CACHE_HOME/vfu-winmm/driver/winmm-probe.exe

work=$(mktemp -d)
log=/nonexistent
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$XDG_CACHE_HOME"

fail() {
    echo "FAIL: $*" >&2
    local f
    for f in "$work"/*.out "$work"/*.err "$work"/*.txt; do
        [ -f "$f" ] && { echo "--- $(basename "$f")" >&2; grep -v '^ALSA lib' "$f" | tail -40 >&2; }
    done
    echo "--- end of the log" >&2; tail -40 "$log" >&2 2>/dev/null
    exit 1
}

# A free TCP port on 127.0.0.1 (the kernel's choice, let go at once).
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# start NAME ARGS...: starts vfu-instrument --tcp ARGS..., its output in $work/NAME.txt.
start() {
    local name=$1; shift
    "$instrument" "$@" >"$work/$name.txt" 2>&1 7>&- &   # the hold's FIFO stays with the test
    pids+=($!)
    await "$work/$name.txt" 'Ctrl-C ends it' 10
}

# await FILE PATTERN SECONDS: waits until FILE shows the pattern (extended grep).
await() {
    local deadline=$((SECONDS + $3))
    until grep -qE -- "$2" "$1" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || fail "no '$2' in $(basename "$1") within $3 s"
        sleep 0.2
    done
}

# update NAME STATUS PORTS... -- ARGS...: runs vfu-update.exe through the driver with those ports
# (--port NAME=HOST:PORT each), its output in $work/NAME.out and .err; expects that status.
update() {
    local name=$1 expected=$2; shift 2
    local ports=()
    while [ "$1" != -- ]; do ports+=(--port "$1"); shift; done
    shift
    local status=0
    "$with_winmm" "${ports[@]}" "$updater" "$@" </dev/null >"$work/$name.out" 2>"$work/$name.err" 7>&- || status=$?
    sed -i 's/\r$//' "$work/$name.out" "$work/$name.err"   # a Windows program's line ends
    log=$(ls -t "$logs"/vfu-quorrel* 2>/dev/null | head -1)   # a --port run has a log of its own
    [ "$status" -eq "$expected" ] || fail "vfu-update.exe $* ($name) ended with $status, expected $expected"
}

# device_path NAME PORTS...: the device path of output NAME among those ports, from the driver.
device_path() {
    local name=$1; shift
    local ports=() port
    for port in "$@"; do ports+=(--port "$port"); done
    "$with_winmm" "${ports[@]}" "$probe" list 2>/dev/null | tr -d '\r' | sed -nE "s/^out [0-9]+ $name (.*)/\\1/p"
}

# received NAME FILE: instrument NAME received the image FILE whole, and nothing else of that size.
received() {
    local size digest
    size=$(stat -c %s "$2")
    digest=$(sha256sum "$2" | cut -d' ' -f1)
    grep -q " in  \"Quorrel[^\"]*\" SysEx bytes=$size sha256=$digest\$" "$work/$1.txt" \
        || fail "instrument $1 did not receive $(basename "$2") whole ($size bytes, $digest)"
}

version=2.2.0
"$tool" image --family 6 --version $version --size 12000 -o "$work/quorrel-fw-$version.syx" >/dev/null || fail "image"
"$tool" pack -o "$work/quorrel-fw-$version.vfw" "$work/quorrel-fw-$version.syx" >/dev/null || fail "pack"
package="Z:${work//\//\\}\\quorrel-fw-$version.vfw"   # the path as a Windows program names it
image=$work/quorrel-fw-$version.syx

# The prefix (and the driver) are made by the first run; the log is the prefix's user's.
"$with_winmm" cmd /c exit >/dev/null 2>&1 || fail "with-winmm.sh could not run a program"
user_dir=$(find "$XDG_CACHE_HOME/vfu-winmm/prefix/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | sed -n 1p)
logs="$user_dir/AppData/Roaming/Vorn Firmware Updater"
rm -f "$logs"/vfu-quorrel*

settings="version=2.1.12;bootloader-after=1;reattach-ms=300"

# 1. One --port, the bootloader on the same address, as a user would give it.
a=$(free_port)
start one --tcp 127.0.0.1:$a "$settings"
update one 0 "Quorrel=127.0.0.1:$a" -- --yes --timeout 30 --firmware "$package"
grep -q "^Update completed successfully.$" "$work/one.out" || fail "no success said (one port)"
received one "$image"

# 2. The bootloader on an address of its own, so under another name, and beside it a twin
#    that --port leaves alone: "2- Quorrel" is updated, "Quorrel" gets nothing at all.
a=$(free_port); b=$(free_port); c=$(free_port); d=$(free_port)
start first --tcp 127.0.0.1:$a --tcp-bootloader 127.0.0.1:$b "$settings"
start twin --tcp 127.0.0.1:$c --tcp-bootloader 127.0.0.1:$d "$settings"
twins=("Quorrel=127.0.0.1:$a" "Quorrel=127.0.0.1:$c" "Quorrel Bootloader=127.0.0.1:$b" "Quorrel Bootloader=127.0.0.1:$d")
# Its device path from the driver's list (a --list would ask, and the simulated user would
# take both into their bootloaders).
identifier=$(device_path "2- Quorrel" "${twins[@]}")
[ -n "$identifier" ] || fail "the driver does not list the twin as '2- Quorrel'"
cp "$work/first.txt" "$work/first.before"
update twin 0 "${twins[@]}" -- --port "$identifier" --yes --timeout 30 --firmware "$package"
grep -q "^Update completed successfully.$" "$work/twin.out" || fail "no success said (twin)"
received twin "$image"
grep -q 'created (bootloader' "$work/twin.txt" || fail "the twin did not come back in its bootloader"
cmp -s <(grep ' in  ' "$work/first.txt") <(grep ' in  ' "$work/first.before") \
    || fail "the instrument that --port did not name was sent something"

# 3. A cable pulled half-way through the image: failure, never success.
a=$(free_port); b=$(free_port)
start pulled --tcp 127.0.0.1:$a --tcp-bootloader 127.0.0.1:$b --image-bytes 12000 "$settings;pull-cable-at=50"
update pulled 1 "Quorrel=127.0.0.1:$a" "Quorrel Bootloader=127.0.0.1:$b" -- --yes --timeout 20 --firmware "$package"
! grep -q "^Update completed successfully.$" "$work/pulled.out" || fail "a pulled cable counted as success"
grep -q 'SysEx cut off bytes=' "$work/pulled.txt" || fail "the instrument did not see its image cut off"

# 4. A bootloader that stalls for 3 s, 2,000 bytes into the image: the driver's sends wait, as a
#    USB host's do, and the image arrives whole.
a=$(free_port); b=$(free_port)
start stall --tcp 127.0.0.1:$a --tcp-bootloader 127.0.0.1:$b --stall 2000:3000 "$settings"
update stall 0 "Quorrel=127.0.0.1:$a" "Quorrel Bootloader=127.0.0.1:$b" -- --yes --timeout 30 --firmware "$package"
received stall "$image"

# 5. Another program holds the port (Windows' MIDI ports are exclusive): nothing reaches the
#    instrument, the log and the terminal say why, and the update fails.
a=$(free_port)
start held --tcp 127.0.0.1:$a "$settings"
mkfifo "$work/hold.in"
"$with_winmm" --port "Quorrel=127.0.0.1:$a" "$probe" hold Quorrel <"$work/hold.in" >"$work/hold.txt" 2>/dev/null &
pids+=($!)
exec 7>"$work/hold.in"
await "$work/hold.txt" '^held' 60
update held 1 "Quorrel=127.0.0.1:$a" -- --port "$(device_path Quorrel "Quorrel=127.0.0.1:$a")" --yes --timeout 5 --firmware "$package"
exec 7>&-
grep -q "in use by another program" "$log" || fail "the log does not say that the port is in use by another program"
grep -q "in use by another program" "$work/held.out" "$work/held.err" || fail "the terminal does not say that the port is in use by another program"
! grep -q ' in  ' "$work/held.txt" || fail "the held instrument was sent something"

# 6. The name guard beside the lock. A Quorrel whose bootloader comes back under the same name
#    ("Quorrel", the number being free again) but as another device (another path, which no
#    lock of the updater that follows it covers yet) is updated with --port, and an Auto scan
#    runs from its first restart on. The scan is given the bootloader's port and another
#    Quorrel's, not the application's, so that the guarded Quorrel is out of its sight once it
#    runs its new firmware: until the other Quorrel is plugged in, every port it sees is the
#    guarded one's bootloader, and it must send nothing at all. Then it updates the other one.
a=$(free_port); b=$(free_port); c=$(free_port)
start guarded --tcp 127.0.0.1:$a --tcp-bootloader 127.0.0.1:$b "$settings"
first_port=$(device_path Quorrel "Quorrel=127.0.0.1:$a")
[ -n "$first_port" ] || fail "no device path for the guarded Quorrel"
( update guard_port 0 "Quorrel=127.0.0.1:$a" "Quorrel=127.0.0.1:$b" -- --port "$first_port" --yes --timeout 30 --firmware "$package" ) &
port_run=$!
await "$work/guarded.txt" 'removed' 60
auto_log=$logs/vfu-quorrel
rm -f "$auto_log"
( update guard_auto 0 "Quorrel=127.0.0.1:$b" "Quorrel=127.0.0.1:$c" -- --yes --timeout 120 --firmware "$package" ) &
auto_run=$!
wait "$port_run" || fail "the --port update beside the Auto scan failed"
received guarded "$image"
! grep -q 'send Device Inquiry Request' "$auto_log" || fail "the Auto scan asked the bootloader of the Quorrel that --port was updating"
[ "$(grep -c ' in  "Quorrel" F0 04 06 11 F7' "$work/guarded.txt")" -eq 1 ] || fail "the guarded Quorrel was erased more than once"
[ "$(grep -c ' in  "Quorrel" SysEx bytes=' "$work/guarded.txt")" -eq 1 ] || fail "the guarded Quorrel received more than one image"
start other --tcp 127.0.0.1:$c "$settings"
wait "$auto_run" || fail "the Auto scan did not update the other Quorrel"
received other "$image"

# 7. The window program, on this display, with the package on the prefix's Windows desktop.
a=$(free_port)
start window --tcp 127.0.0.1:$a "$settings"
desktop=$user_dir/Desktop
mkdir -p "$desktop"
cp "$work/quorrel-fw-$version.vfw" "$desktop/"
cp "$window_program" "$work/VornFirmwareUpdater.exe"
rm -f "$logs"/vfu-quorrel
"$with_winmm" --port "Quorrel=127.0.0.1:$a" "$work/VornFirmwareUpdater.exe" </dev/null >"$work/window.out" 2>&1 7>&- &
window_run=$!
log=$logs/vfu-quorrel
await "$log" "State 'Download complete'" 120
await "$log" "firmware version : $version" 30
rm -f "$desktop/quorrel-fw-$version.vfw"
received window "$image"
window=$(xdotool search --name "^Quorrel Firmware Updater$" | sed -n 1p)
[ -n "$window" ] || fail "no window titled Quorrel Firmware Updater"
xdotool windowfocus --sync "$window" && xdotool key --clearmodifiers alt+F4 || fail "the window could not be closed with Alt+F4"
wait "$window_run" || true
tr -d '\r' <"$log" | grep -v '^[[:space:]]*$' | tail -1 | grep -q ' - shutdown$' || fail "the window program did not shut down"

echo "PASS"
