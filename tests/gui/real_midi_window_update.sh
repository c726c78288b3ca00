#!/usr/bin/env bash
# The built updater without demo mode, on the operating system's MIDI service (run it under
# scripts/with-test-sequencer.sh), with vfu-instrument as the Quorrel: the window finds the
# instrument and its version, the simulated user puts it into its bootloader, and the whole
# update runs by itself. Checks the log and the image the instrument received; keeps a screenshot.
#
# usage: real_midi_window_update.sh <VornFirmwareUpdater> <vfu-instrument> <vfu-firmware-tool> <artifact folder>
set -euo pipefail

[ -n "${VFU_TEST_SEQ_SOCKET:-}" ] || { echo "run this under scripts/with-test-sequencer.sh" >&2; exit 2; }

# A display of our own, so that other tests' windows never get in the way.
if [ -z "${VFU_E2E_DISPLAY:-}" ]; then
    export VFU_E2E_DISPLAY=1
    exec xvfb-run -a -s "-screen 0 1024x768x24 -noreset" "$0" "$@"
fi

app=$(realpath "$1")
instrument=$(realpath "$2")
tool=$(realpath "$3")
artifacts=$4

mkdir -p "$artifacts"
rm -f "$artifacts"/real_midi_*.png
work=$(mktemp -d)
app_pid=
cleanup() {
    if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then kill -KILL "$app_pid" 2>/dev/null || true; fi
    kill_instrument
    rm -rf "$work"
}
trap cleanup EXIT

export HOME=$work/home
unset XDG_CONFIG_HOME XDG_DATA_HOME VFU_SIMULATE
mkdir -p "$HOME/Desktop"
log="$HOME/.config/Vorn Firmware Updater/vfu-quorrel"

"$tool" image --family 6 --version 2.1.14 --size 2048 -o "$work/quorrel-fw-2.1.14.syx" >/dev/null
"$tool" pack -o "$HOME/Desktop/quorrel-fw-2.1.14.vfw" "$work/quorrel-fw-2.1.14.syx" >/dev/null

failure_shot=$artifacts/real_midi_failure.png
. "$(dirname "$0")/end_to_end_common.sh"
. "$(dirname "$0")/../real_midi/instrument_common.sh"

# The simulated user enters the bootloader 2 s after the instrument was first found.
start_instrument "version=2.1.12;bootloader-after=2;reattach-ms=400"

"$app" >"$work/stdout" 2>"$work/stderr" &
app_pid=$!

wait_for_log "DeviceID 0006 detected (firmware version : 2.1.12)" 20
wait_for_log "State 'Idle, device detected' (from State 'Idle, no device')" 10
wait_for_log "State 'Firmware erase' (from State '" 20
wait_for_log "State 'Firmware download' (from State 'Erase, waiting for reattach')" 30
wait_for_log "State 'Download complete' (from State '" 30
wait_for_log "firmware version : 2.1.14" 10
# The window shows the result once the State's texts are set and it has painted them.
settled_screenshot "$artifacts/real_midi_window_complete.png"

kill -TERM "$app_pid"
wait_for_end
wait "$app_pid" || true
app_pid=

grep -q "Using inbuilt state machine definitions" "$log" || fail "no definitions line"
if grep -q "State 'Error" "$log"; then fail "an error State was entered"; fi
expect_image_received "$work/quorrel-fw-2.1.14.syx"
last=$(tr -d '\r' <"$log" | grep -v '^[[:space:]]*$' | tail -1)
[[ "$last" == *" - shutdown" ]] || fail "last log line is not shutdown: $last"
stop_instrument

echo "update completed through the system's MIDI service; screenshot in $artifacts/real_midi_window_complete.png"
