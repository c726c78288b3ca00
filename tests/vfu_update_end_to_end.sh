#!/usr/bin/env bash
# vfu-update as a script or a person at a terminal runs it: in demo mode against a simulated
# Quorrel, with a small package of version 2.2.0, through a pseudo-terminal or through pipes.
#
# usage: vfu_update_end_to_end.sh <vfu-update> <vfu-firmware-tool> <case> <pty|pipe>
#   cases: update, uptodate, rejected, cable, noinstrument, interrupt, list; pipe only: nokeys,
#          bypath, busy
set -uo pipefail

updater=$(realpath "$1")
tool=$(realpath "$2")
case=$3
through=$4

# On the machine's own MIDI ports vfu-update takes the instrument lock, which lives in /var/tmp for
# the whole machine. Where it can, such a case gets a private /var/tmp, so that no other updater
# (another test, a user's) holds it.
if [ "$case" = noinstrument ] || [ "$case" = busy ]; then
    if [ -z "${VFU_PRIVATE_VAR_TMP:-}" ] && unshare --mount sh -c 'mount -t tmpfs tmpfs /var/tmp' 2>/dev/null; then
        export VFU_PRIVATE_VAR_TMP=1
        exec unshare --mount sh -c 'mount -t tmpfs tmpfs /var/tmp && exec "$@"' sh "$0" "$@"
    fi
fi

work=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null; fi
    exec 3>&-
    rm -rf "$work"
}
trap cleanup EXIT

# The framework finds the desktop at $HOME/Desktop and the log under $HOME/.config.
export HOME=$work/home
unset XDG_CONFIG_HOME XDG_DATA_HOME VFU_SIMULATE
# As over SSH: no display at all.
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME/Desktop"
log="$HOME/.config/Vorn Firmware Updater/vfu-quorrel"
out=$work/out
err=$work/err
touch "$out" "$err"

fail() {
    echo "FAIL ($case through $through): $*" >&2
    echo "--- standard output" >&2; cat -v "$out" >&2
    echo "--- standard error" >&2; cat -v "$err" >&2
    echo "--- end of the log" >&2; tail -25 "$log" >&2 2>/dev/null
    exit 1
}

# package <size>: a package of version 2.2.0 whose image has that many bytes.
package() {
    "$tool" image --family 6 --version 2.2.0 --size "$1" -o "$work/quorrel-fw-2.2.0.syx" >/dev/null || fail "image"
    "$tool" pack -o "$work/quorrel-fw-2.2.0.vfw" "$work/quorrel-fw-2.2.0.syx" >/dev/null || fail "pack"
    echo "$work/quorrel-fw-2.2.0.vfw"
}

# start <arguments...>: runs vfu-update in the background; its standard error always goes to $err.
start() {
    started=$(date +%s)

    if [ "$through" = pty ]; then
        # script(1) gives it a pseudo-terminal; what is written to fd 3 arrives as keys.
        rm -f "$work/keys"
        mkfifo "$work/keys"
        script -qfec "$(printf '%q ' "$updater" "$@") 2>$(printf '%q' "$err")" /dev/null <"$work/keys" >"$out" 2>&1 &
        pid=$!
        exec 3>"$work/keys"
    else
        "$updater" "$@" </dev/null >"$out" 2>"$err" &
        pid=$!
    fi
}

# await <pattern> <seconds>: waits until standard output shows the pattern.
await() {
    local deadline=$(( $(date +%s) + $2 ))

    until grep -q -- "$1" "$out"; do
        [ "$(date +%s)" -lt "$deadline" ] || fail "no '$1' within $2 s"
        kill -0 "$pid" 2>/dev/null || { grep -q -- "$1" "$out" && break; fail "ended before '$1'"; }
        sleep 0.2
    done
}

# finish <expected status>: waits for the end and checks the status and the log's last line.
finish() {
    wait "$pid"
    status=$?
    pid=
    exec 3>&-
    elapsed=$(( $(date +%s) - started ))
    [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"
    tail -n 1 "$log" | tr -d '\r' | grep -q -- ' - shutdown$' || fail "the log does not end with its shutdown line"
}

expect_out()    { grep -q -- "$1" "$out" || fail "standard output lacks '$1'"; }
expect_err()    { grep -q -- "$1" "$err" || fail "standard error lacks '$1'"; }
expect_log()    { grep -q -- "$1" "$log" || fail "the log lacks '$1'"; }
expect_no_log() { ! grep -q -- "$1" "$log" || fail "the log has '$1'"; }

# The instrument enters its bootloader a second after it is found and restarts quickly.
quick="bootloader-after=1;reattach-ms=300"

case "$case" in
    update)
        export VFU_SIMULATE=$quick
        start --yes --timeout 20 --firmware "$(package 6000)" --trace "$work/update.trace"
        finish 0
        # The trace holds the exchange, with the image as one line and no firmware bytes.
        grep -q '^# device Quorrel$' "$work/update.trace" || fail "the trace lacks its device line"
        grep -q '^# definitions inbuilt' "$work/update.trace" || fail "the trace lacks its definitions line"
        grep -q ' out "Quorrel" F0 04 06 11 F7$' "$work/update.trace" || fail "the trace lacks the erase command"
        grep -q ' image "quorrel-fw-2.2.0.syx" packets=[0-9]* bytes=6000 sha256=' "$work/update.trace" \
            || fail "the trace lacks the image line"
        expect_out "Available version: 2.2.0"
        expect_out "The Quorrel now runs firmware version 2.2.0."
        expect_log "State 'Download complete'"
        expect_log "vfu-update: console mode"
        if [ "$through" = pty ]; then
            # One line rewritten in place, with rate and time left.
            grep -q $'\r\e\\[K.*%.*kB/s.*left' "$out" || fail "no progress line rewritten in place"
        else
            expect_out "^Installing 50%$"
            expect_out "^Installing 100%$"
            ! grep -q $'\e' "$out" || fail "terminal control codes in piped output"
        fi
        ;;

    uptodate)
        export VFU_SIMULATE="version=2.2.0;bootloader-after=never"
        start --yes --timeout 20 --firmware "$(package 6000)"
        finish 0
        expect_out "already runs firmware version 2.2.0"
        expect_no_log "State 'Firmware erase'"
        ;;

    rejected)
        # Found in its bootloader, so Install is offered: a key press on the terminal presses it,
        # --yes does in a pipe. The image is refused.
        export VFU_SIMULATE="mode=bootloader;corrupt-image=true;reattach-ms=300"

        if [ "$through" = pty ]; then
            start --timeout 20 --firmware "$(package 4000)"
            await "\[Enter\] Install   \[c\] Cancel" 20
            printf '\r' >&3
        else
            start --yes --timeout 20 --firmware "$(package 4000)"
        fi

        finish 1
        [ "$through" = pty ] || expect_out "Install (--yes)"
        expect_log "State 'Firmware erase'"
        expect_log "State 'Error, bootloader detected'"
        expect_err "^vfu-update: the update failed (State 'Error, bootloader detected'): Something went wrong"
        expect_no_log "State 'Download complete'"
        ;;

    cable)
        # Pulled once half of this 8 kB image has arrived.
        export VFU_SIMULATE="$quick;pull-cable-at=50"
        start --yes --timeout 20 --firmware "$(package 8000)"
        finish 1
        expect_log "Connection break"
        expect_err "^vfu-update: the update failed"
        expect_no_log "State 'Download complete'"
        ;;

    noinstrument)
        # No simulation: the machine's own MIDI ports, which have no Quorrel on them.
        start --yes --timeout 2 --firmware "$(package 4000)"
        finish 3
        [ "$elapsed" -le 6 ] || fail "gave up after $elapsed s, not about 2 s"
        expect_err "no Quorrel answered within 2 s"
        ;;

    interrupt)
        export VFU_SIMULATE=$quick
        start --yes --timeout 20 --firmware "$(package 30000)"

        if [ "$through" = pty ]; then
            await "kB/s" 40
            printf '\003' >&3   # Ctrl-C, as the terminal delivers it
        else
            await "^Installing 10%" 40
            kill -INT "$pid"
        fi

        finish 1
        expect_err "interrupted in State 'Firmware download' at [0-9]*% of the transfer"
        expect_err "run vfu-update again"
        expect_no_log "'quorrel-fw-2.2.0.syx' : 100 "
        expect_no_log "Sender thread timed out"
        [ "$elapsed" -le 30 ] || fail "took $elapsed s"
        ;;

    nokeys)
        # A script with neither keys nor --yes: Install is offered and nothing can press it.
        export VFU_SIMULATE="mode=bootloader"
        start --timeout 20 --firmware "$(package 4000)"
        finish 1
        expect_err "run with --yes"
        expect_no_log "State 'Firmware erase'"
        [ "$elapsed" -le 10 ] || fail "took $elapsed s"
        ;;

    bypath)
        # Installed as the Debian package installs it: the program in a folder of its own, a link
        # to it in a folder on PATH, started by name from elsewhere. It finds the firmware appended
        # to itself, and packages beside the real file, not beside the link or the current folder.
        mkdir -p "$work/lib/vorn-firmware-updater" "$work/bin"
        cp "$updater" "$work/lib/vorn-firmware-updater/vfu-update"
        ln -s ../lib/vorn-firmware-updater/vfu-update "$work/bin/vfu-update"
        export PATH="$work/bin:$PATH"
        updater=vfu-update
        cd "$HOME"

        export VFU_SIMULATE="version=2.1.13;bootloader-after=never"
        start --yes --timeout 20
        finish 0
        expect_out "Available version: 2.1.13"
        expect_out "already runs firmware version 2.1.13"

        mv "$(package 3000)" "$work/lib/vorn-firmware-updater/"
        export VFU_SIMULATE="version=2.2.0;bootloader-after=never"
        start --yes --timeout 20
        finish 0
        expect_out "already runs firmware version 2.2.0"
        ;;

    busy)
        # No simulation: the machine's own ports. The first run holds the instrument while it
        # looks for one; a second is refused at once, with status 4, and touches nothing.
        start --yes --timeout 60
        await "Available version" 20
        first=$pid

        for arguments in "--yes --timeout 5" "--list"; do
            status=0
            # shellcheck disable=SC2086
            timeout 20 "$updater" $arguments </dev/null >"$work/second-out" 2>"$work/second-err" || status=$?
            [ "$status" -eq 4 ] || { cat "$work/second-err" >&2; fail "vfu-update $arguments beside another: status $status, expected 4"; }
            grep -q "^vfu-update: Another updater for the Quorrel is running" "$work/second-err" \
                || fail "vfu-update $arguments beside another: no message on standard error"
            [ ! -s "$work/second-out" ] || fail "vfu-update $arguments beside another printed: $(cat "$work/second-out")"
        done
        "$updater" --version >/dev/null || fail "--version needs no lock"
        VFU_SIMULATE="version=2.1.12;bootloader-after=never" "$updater" --list >/dev/null \
            || fail "a simulated instrument needs no lock"

        kill -INT "$first"
        finish 1

        # Released with the first run: the next one looks for the instrument itself.
        start --yes --timeout 1
        finish 3
        ;;

    list)
        export VFU_SIMULATE="mode=bootloader"
        start --list
        finish 0
        expect_out "^  0  Quorrel: Quorrel (family 0006), bootloader on input Quorrel"

        export VFU_SIMULATE="version=2.1.12;bootloader-after=never"
        start --list
        finish 0
        expect_out "Quorrel (family 0006), firmware 2.1.12 on input Quorrel"
        ;;

    *)
        echo "unknown case $case" >&2
        exit 2
        ;;
esac

echo "ok: $case through $through (${elapsed} s)"
