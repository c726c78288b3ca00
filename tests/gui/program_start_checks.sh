#!/usr/bin/env bash
# The built updater and definitions checker at start-up, as a user meets them: without a
# display, started twice, and with a StateMachines.xml beside the executable that is a FIFO.
#
# usage: program_start_checks.sh <VornFirmwareUpdater> <vfu-check-definitions> <vfu-update> <artifacts folder>
set -euo pipefail

app=$(realpath "$1")
checker=$(realpath "$2")
updater=$(realpath "$3")
artifacts=$4
root_message="<FirmwareUpdaters> must be the root element."

fail() { echo "FAIL: $*" >&2; exit 1; }

# 1. Without a display the program says so and ends with status 1 (it used to crash).
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
export HOME=$work/home
unset XDG_CONFIG_HOME
mkdir -p "$HOME/Desktop"

for display in "" ":97531"; do
    status=0
    if [ -z "$display" ]; then
        env -u DISPLAY timeout 20 "$app" >/dev/null 2>"$work/stderr" || status=$?
    else
        DISPLAY=$display timeout 20 "$app" >/dev/null 2>"$work/stderr" || status=$?
    fi
    [ "$status" -eq 1 ] || fail "DISPLAY='$display': exit status $status, expected 1"
    grep -q "DISPLAY" "$work/stderr" || fail "DISPLAY='$display': the message does not name DISPLAY"
    grep -q "vfu-update" "$work/stderr" || fail "DISPLAY='$display': the message does not name vfu-update"
done

# 2. The checker on a FIFO refuses it at once with the loader's message, as the updater does.
mkfifo "$work/fifo.xml"
status=0
timeout 20 "$checker" "$work/fifo.xml" >"$work/stdout" 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "checker on a FIFO: exit status $status, expected 1"
grep -qF "$root_message" "$work/stdout" || fail "checker on a FIFO: no root-element message"

# The rest needs a display of its own. The framework's single-instance lock lives in /var/tmp
# for the whole machine, so where it can, the rest also gets a private /var/tmp: another run of
# the program (another test, a user's) then cannot make ours the second instance.
if [ -z "${VFU_START_CHECKS_DISPLAY:-}" ]; then
    trap - EXIT
    rm -rf "$work"
    export VFU_START_CHECKS_DISPLAY=1
    # -noreset: a server that resets when its last client leaves refuses, now and then, the
    # program that connects next.
    display=(xvfb-run -a -s "-screen 0 1024x768x24 -noreset" "$0" "$@")
    if unshare --mount sh -c 'mount -t tmpfs tmpfs /var/tmp' 2>/dev/null; then
        exec unshare --mount sh -c 'mount -t tmpfs tmpfs /var/tmp && exec "$@"' sh "${display[@]}"
    fi
    exec "${display[@]}"
fi

log="$HOME/.config/Vorn Firmware Updater/vfu-quorrel"

wait_for_log() {
    local deadline=$((SECONDS + $2))
    until [ -f "$log" ] && grep -qF -- "$1" "$log"; do
        [ $SECONDS -lt $deadline ] || { [ -f "$log" ] && cat "$log" >&2; fail "no log line with: $1"; }
        sleep 0.2
    done
}

# Waits until a window of that name is shown. xdotool's own --sync gives up when a window vanishes
# while it looks (BadWindow), as short-lived windows at a program's start do.
wait_for_window() {
    local deadline=$((SECONDS + $2))
    until xdotool search --onlyvisible --name "$1" >/dev/null 2>&1; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}

# 3. A second start while the program runs opens no second window and ends by itself.
VFU_SIMULATE="bootloader-after=never" "$app" >/dev/null 2>&1 &
pids+=($!)
first=$!
wait_for_window "^Quorrel Firmware Updater$" 30 || fail "no window"
status=0
VFU_SIMULATE="bootloader-after=never" timeout 20 "$app" >/dev/null 2>&1 || status=$?
[ "$status" -ne 124 ] || fail "the second start did not end"
# The second process has ended, and on this system nothing is passed to the first one.
windows=$(xdotool search --name "^Quorrel Firmware Updater$" | wc -l)
[ "$windows" -eq 1 ] || fail "$windows windows after a second start"
kill -0 "$first" || fail "the first instance ended"

# SIGTERM ends the first one cleanly; the last line of its log (a demo run's own) is the shutdown.
kill -TERM "$first"
timeout 20 tail --pid="$first" -f /dev/null || fail "SIGTERM did not end the program"
last=$(tail -n 1 "$log-demo" | tr -d '\r')
[[ "$last" == *" - shutdown" ]] || fail "last log line: $last"

# 4. A FIFO named StateMachines.xml beside the executable is unreadable: the definitions error
#    ends the program, and the inbuilt document is not used instead.
mkdir "$work/bin"
cp "$app" "$work/bin/VornFirmwareUpdater"
mkfifo "$work/bin/StateMachines.xml"
rm -f "$log"
"$work/bin/VornFirmwareUpdater" >/dev/null 2>&1 &
pids+=($!)
wait_for_log "Definitions error: $root_message" 20
grep -qF "Using inbuilt state machine definitions" "$log" && fail "the inbuilt document was used"
kill -KILL "$!"
wait "$!" 2>/dev/null || true

echo "program start checks passed"
