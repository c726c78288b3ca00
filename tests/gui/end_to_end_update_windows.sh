#!/usr/bin/env bash
# The Windows build of the updater under Wine, on a display of its own: in demo mode against a
# simulated Quorrel whose user puts it into its bootloader a second after it is detected, with a
# newer package on the Windows desktop. Waits for the whole update, reads the log from the Wine
# prefix's application-data folder, keeps a screenshot and closes the window as a user would.
#
# usage: end_to_end_update_windows.sh <VornFirmwareUpdater.exe> <vfu-firmware-tool for this machine>
#                                     <wine-run.sh> <Wine prefix> <artifact folder>
set -euo pipefail

exe=$(realpath "$1")
tool=$(realpath "$2")
wine_run=$(realpath "$3")
prefix=$4
artifacts=$5

if [ -z "${VFU_E2E_DISPLAY:-}" ]; then
    export VFU_E2E_DISPLAY=1
    exec xvfb-run -a -s "-screen 0 1024x768x24 -noreset" "$0" "$@"
fi

mkdir -p "$artifacts"
rm -f "$artifacts"/end_to_end_windows_*.png
work=$(mktemp -d)
app_pid=
cleanup() {
    if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then
        sh "$wine_run" "$prefix" taskkill /f /im VornFirmwareUpdater.exe >/dev/null 2>&1 || true
        kill -KILL "$app_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
    rm -f "${desktop:-/nonexistent}"/quorrel-fw-*.vfw
}
trap cleanup EXIT

# Makes the prefix on first use. Its one user's folders: %APPDATA% (roaming) and the desktop.
sh "$wine_run" "$prefix" cmd /c exit >/dev/null 2>&1
user_dir=$(find "$prefix/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | sed -n 1p)
[ -d "$user_dir/AppData/Roaming" ] || { echo "FAIL: no application-data folder in $prefix" >&2; exit 1; }
log="$user_dir/AppData/Roaming/Vorn Firmware Updater/vfu-quorrel-demo"
desktop=$user_dir/Desktop
rm -f "$log" "$desktop"/quorrel-fw-*.vfw
mkdir -p "$desktop"

# The program in a folder of its own, a newer package on the Windows desktop.
cp "$exe" "$work/VornFirmwareUpdater.exe"
"$tool" image --family 6 --version 2.1.14 --size 2048 -o "$work/quorrel-fw-2.1.14.syx" >/dev/null
"$tool" pack -o "$desktop/quorrel-fw-2.1.14.vfw" "$work/quorrel-fw-2.1.14.syx" >/dev/null

failure_shot=$artifacts/end_to_end_windows_failure.png
. "$(dirname "$0")/end_to_end_common.sh"

(cd "$work" && VFU_SIMULATE="version=2.1.12;bootloader-after=1;reattach-ms=400" \
    exec sh "$wine_run" "$prefix" ./VornFirmwareUpdater.exe) >"$work/stdout" 2>"$work/stderr" &
app_pid=$!

wait_for_log "Vorn Firmware Updater for Quorrel v2.1.12" 60
wait_for_log "State 'Firmware download'" 60
wait_for_log "State 'Download complete' (from State '" 60
wait_for_log "firmware version : 2.1.14" 30
# Kept, but not yet what it should show: under Wine 8 in Xvfb the window keeps its first paint.
# The framework hands repaints to Windows when DXGI reports a vertical blank, and no repaint
# arrives here after the first one (the log above shows the update itself ran to its end).
settled_screenshot "$artifacts/end_to_end_windows_complete.png"

# Closing the window as a user would, with Alt+F4. (taskkill would send WM_CLOSE to every
# top-level window of the process, the framework's hidden ones included.) Under Wine the
# process takes about 12 s to end after its "shutdown" line.
window=$(xdotool search --name "^Quorrel Firmware Updater$" | sed -n 1p)
[ -n "$window" ] || fail "no window titled Quorrel Firmware Updater"
xdotool windowfocus --sync "$window"
xdotool key --clearmodifiers alt+F4
wait_for_end
wait "$app_pid" || true
app_pid=

# Windows line ends in the log, as the platform's own text files have them.
grep -q $'Using inbuilt state machine definitions\r$' "$log" || fail "no definitions line (with CR LF)"
if grep -q "State 'Error" "$log"; then fail "an error State was entered"; fi
last=$(tr -d '\r' <"$log" | grep -v '^[[:space:]]*$' | tail -1)
[[ "$last" == *" - shutdown" ]] || fail "last log line is not shutdown: $last"

echo "update completed under Wine; screenshot in $artifacts/end_to_end_windows_complete.png"
