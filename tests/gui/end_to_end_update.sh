#!/usr/bin/env bash
# The built updater, driven like a user on a display of its own: in demo mode against a
# simulated Quorrel that starts in its bootloader, with a newer package on the desktop.
# Clicks Install, waits for the whole update and checks the log; keeps a screenshot.
#
# usage: end_to_end_update.sh <VornFirmwareUpdater> <vfu-firmware-tool> <artifact folder> [maker.key]
#
# For a build with a maker's public key (VFU_PACKAGE_PUBLIC_KEY), give that maker's key file:
# the desktop package is then signed, and an unsigned one of a higher version must be refused.
set -euo pipefail

app=$(realpath "$1")
tool=$(realpath "$2")
artifacts=$3
key=${4:+$(realpath "$4")}

# A display of our own, so that other tests' windows never get in the way of a click. The
# framework's single-instance lock lives in /var/tmp for the whole machine, so where it can, the
# run also gets a private /var/tmp: a copy of the program running elsewhere (another test run's,
# a user's) would otherwise make ours the second instance, which hands over and quits at once.
if [ -z "${VFU_E2E_DISPLAY:-}" ]; then
    export VFU_E2E_DISPLAY=1
    display=(xvfb-run -a -s "-screen 0 1024x768x24 -noreset" "$0" "$@")
    if unshare --mount sh -c 'mount -t tmpfs tmpfs /var/tmp' 2>/dev/null; then
        exec unshare --mount sh -c 'mount -t tmpfs tmpfs /var/tmp && exec "$@"' sh "${display[@]}"
    fi
    exec "${display[@]}"
fi

mkdir -p "$artifacts"
rm -f "$artifacts"/end_to_end_*.png
work=$(mktemp -d)
app_pid=
cleanup() {
    if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then kill -KILL "$app_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

# The framework finds the desktop at $HOME/Desktop and the log under $HOME/.config.
export HOME=$work/home
unset XDG_CONFIG_HOME XDG_DATA_HOME
mkdir -p "$HOME/Desktop"
log="$HOME/.config/Vorn Firmware Updater/vfu-quorrel-demo"

"$tool" image --family 6 --version 2.1.14 --size 2048 -o "$work/quorrel-fw-2.1.14.syx" >/dev/null
"$tool" pack -o "$HOME/Desktop/quorrel-fw-2.1.14.vfw" "$work/quorrel-fw-2.1.14.syx" >/dev/null

if [ -n "$key" ]; then
    "$tool" sign --key "$key" "$HOME/Desktop/quorrel-fw-2.1.14.vfw"
    "$tool" image --family 6 --version 2.1.15 --size 2048 -o "$work/quorrel-fw-2.1.15.syx" >/dev/null
    "$tool" pack -o "$HOME/Desktop/quorrel-fw-2.1.15.vfw" "$work/quorrel-fw-2.1.15.syx" >/dev/null
fi

failure_shot=$artifacts/end_to_end_failure.png
. "$(dirname "$0")/end_to_end_common.sh"

# Under AddressSanitizer the leak check stays with the display tests, which can name Xlib's
# never-freed caches; here the framework unloads Xlib before the check, leaving them nameless.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
VFU_SIMULATE="version=2.1.12;mode=bootloader;reattach-ms=400" "$app" >"$work/stdout" 2>"$work/stderr" &
app_pid=$!

wait_for_log "State 'Idle, bootloader detected' (from State 'Idle, no device')" 20

# Click "Install": the button sits at 168,248 (96 x 24) in the content, below the 24-pixel menu bar.
window=$(xdotool search --sync --name "^Quorrel Firmware Updater$" | sed -n 1p)
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove $((X + 168 + 48)) $((Y + 24 + 248 + 12)) click 1

wait_for_log "State 'Firmware erase' (from State 'Idle, bootloader detected')" 10
wait_for_log "State 'Erase, waiting for reattach' (from State 'Firmware erase')" 15
wait_for_log "State 'Firmware download' (from State 'Erase, waiting for reattach')" 15
wait_for_log "State 'Download complete' (from State '" 30
settled_screenshot "$artifacts/end_to_end_complete.png"

kill -TERM "$app_pid"
wait_for_end
wait "$app_pid" || true
app_pid=

# Under the sanitizers: no memory error and no undefined behaviour in the whole run.
if grep -E "ERROR: AddressSanitizer|runtime error:" "$work/stderr" >&2; then fail "sanitizer report, see above"; fi

# The transfer went to the instrument, which came back with the new version; nothing else ran.
grep -q "Using inbuilt state machine definitions" "$log" || fail "no definitions line"
if grep -q "State 'Error" "$log"; then fail "an error State was entered"; fi
grep -q "firmware version : 2.1.14" "$log" || fail "the instrument never reported the new version"
if [ -n "$key" ]; then
    grep -qF "Firmware package $HOME/Desktop/quorrel-fw-2.1.15.vfw refused: not signed" "$log" \
        || fail "the unsigned package was not refused"
fi
last=$(tr -d '\r' <"$log" | grep -v '^[[:space:]]*$' | tail -1)
[[ "$last" == *" - shutdown" ]] || fail "last log line is not shutdown: $last"

echo "update completed; screenshot in $artifacts/end_to_end_complete.png"
