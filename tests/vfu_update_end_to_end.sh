#!/usr/bin/env bash
# vfu-update as a script or a person at a terminal runs it: in demo mode against a simulated
# Quorrel, with a small package of version 2.2.0, through a pseudo-terminal or through pipes.
#
# usage: vfu_update_end_to_end.sh <vfu-update> <vfu-firmware-tool> <case> <pty|pipe>
#   cases: update, uptodate, rejected, cable, noinstrument, interrupt, list, hangup;
#          pipe only: nokeys, bypath, demolog, closedinput, head, tracetargets, keyed, unusable, ignoredsignals,
#                     erasewait;
#          pty only: hangupprompt, background, setsid
set -uo pipefail

updater=$(realpath "$1")
tool=$(realpath "$2")
case=$3
through=$4

# On the machine's own MIDI ports vfu-update takes port locks, which live in /var/tmp for the whole
# machine. Where it can, such a case gets a private /var/tmp, so that no other updater (another
# test, a user's) holds one.
if [ "$case" = noinstrument ]; then
    if [ -z "${VFU_PRIVATE_VAR_TMP:-}" ] && unshare --mount sh -c 'mount -t tmpfs tmpfs /var/tmp' 2>/dev/null; then
        export VFU_PRIVATE_VAR_TMP=1
        exec unshare --mount sh -c 'mount -t tmpfs tmpfs /var/tmp && exec "$@"' sh "$0" "$@"
    fi
fi

work=$(mktemp -d)
pid=
upid=
cleanup() {
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null; fi
    if [ -n "$upid" ] && kill -0 "$upid" 2>/dev/null; then kill -KILL "$upid" 2>/dev/null; fi
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
# A demo run (VFU_SIMULATE) writes a log of its own; a run on the machine's ports the usual one.
log="$HOME/.config/Vorn Firmware Updater/vfu-quorrel-demo"
real_log="$HOME/.config/Vorn Firmware Updater/vfu-quorrel"
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
# Its signals start at their defaults, however this script was started (a job of a script ignores
# SIGINT, nohup SIGHUP), so that Ctrl-C and hang-ups reach it; $launcher (a command and its
# arguments) runs it, if set.
start() {
    started=$(date +%s)

    if [ "$through" = pty ]; then
        # script(1) gives it a pseudo-terminal; what is written to fd 3 arrives as keys.
        # The shell writes its process number, then becomes vfu-update.
        rm -f "$work/keys" "$work/pid"
        mkfifo "$work/keys"
        script -qfec "echo \$\$ >$(printf '%q' "$work/pid"); exec env --default-signal ${launcher:-} $(printf '%q ' "$updater" "$@") 2>$(printf '%q' "$err")" \
            /dev/null <"$work/keys" >"$out" 2>&1 &
        pid=$!
        exec 3>"$work/keys"
    else
        env --default-signal ${launcher:-} "$updater" "$@" </dev/null >"$out" 2>"$err" &
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

# updater_pid: the process number of vfu-update itself (under script(1) it is not $pid).
updater_pid() {
    if [ "$through" = pty ]; then
        local deadline=$(( $(date +%s) + 10 ))
        until [ -s "$work/pid" ]; do
            [ "$(date +%s)" -lt "$deadline" ] || fail "no process number from the terminal's shell"
            sleep 0.1
        done
        cat "$work/pid"
    else
        echo "$pid"
    fi
}

# await_end <pid> <seconds>: waits until a process that is not this shell's child has ended.
await_end() {
    local deadline=$(( $(date +%s) + $2 ))

    while kill -0 "$1" 2>/dev/null; do
        [ "$(date +%s)" -lt "$deadline" ] || fail "still running after $2 s"
        sleep 0.2
    done
}

# expect_log_end <status>: the log names that exit status and ends with its shutdown line.
expect_log_end() {
    expect_log "vfu-update: exit status $1: "
    tail -n 1 "$log" | tr -d '\r' | grep -q -- ' - shutdown$' || fail "the log does not end with its shutdown line"
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
# expect_json_result <file> <status>: every line is strict JSON (no raw or unknown-escaped
# control character) and the last one is the result with that status.
expect_json_result() {
    python3 - "$1" "$2" <<'CHECK' || fail "$1 is not JSON lines ending with a result of status $2: $(cat "$1")"
import json, sys
lines = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8") if line.strip()]
assert lines and lines[-1]["event"] == "result" and lines[-1]["status"] == int(sys.argv[2]), lines[-1:]
CHECK
}
expect_err()    { grep -q -- "$1" "$err" || fail "standard error lacks '$1'"; }
# interrupt_once_logged TEXT: sends SIGINT to the run as soon as its log has the text.
interrupt_once_logged() {
    until grep -q -- "$1" "$log" 2>/dev/null; do
        kill -0 "$pid" 2>/dev/null || fail "ended before logging '$1'"
        sleep 0.01
    done
    kill -INT "$pid"
}

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
        log=$real_log
        start --yes --timeout 2 --firmware "$(package 4000)"
        finish 3
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

        # Interrupted while the definitions and packages are still being read, or just after:
        # either way the run ends with 1 and says so in the log.
        [ "$through" = pipe ] || exit 0
        rm -f "$log"
        start --yes --timeout 20 --firmware "$(package 30000)"
        interrupt_once_logged "Using inbuilt state machine definitions"
        finish 1
        expect_log "vfu-update: exit status 1: interrupted"
        ;;

    erasewait)
        # Definitions whose erase State waits before it erases: Ctrl-C during that wait erased
        # nothing, and the message says so.
        export VFU_SIMULATE="mode=bootloader"
        sed 's|<SendSysEx messageKind="erase"/>|<Wait time="3600"/>&|' "$(dirname "$0")/../resources/StateMachinesConsole.xml" \
            >"$work/waits-first.xml"
        start --yes --timeout 20 --definitions "$work/waits-first.xml" --firmware "$(package 4000)" --trace "$work/erase.trace"
        interrupt_once_logged "State 'Firmware erase'"
        finish 1
        expect_err "interrupted in State 'Firmware erase'; nothing was changed on the Quorrel."
        ! grep -q ' out "Quorrel" F0 04 06 11 F7$' "$work/erase.trace" || fail "the erase was sent"
        ;;

    nokeys)
        # A script with neither keys nor --yes: Install is offered and nothing can press it.
        export VFU_SIMULATE="mode=bootloader"
        start --timeout 20 --firmware "$(package 4000)"
        finish 1
        expect_err "run with --yes"
        expect_no_log "State 'Firmware erase'"
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

        # Started through the dynamic loader, the kernel's name for the program is the loader's.
        interpreter=$(readelf -l "$work/lib/vorn-firmware-updater/vfu-update" | sed -n 's/.*program interpreter: \(.*\)]$/\1/p')
        [ -x "$interpreter" ] || fail "no dynamic loader named in the program"
        launcher=$interpreter
        updater=$work/lib/vorn-firmware-updater/vfu-update
        start --yes --timeout 20
        finish 0
        expect_out "already runs firmware version 2.2.0"
        ;;

    demolog)
        # A demo run holds no lock and may run beside a real update: it writes a log of its own,
        # never lines into the real run's.
        log=$real_log
        start --yes --timeout 1
        finish 3
        VFU_SIMULATE="version=2.1.12;bootloader-after=never" "$updater" --list >/dev/null \
            || fail "a simulated instrument was not listed"
        [ "$(grep -c "vfu-update: console mode" "$log")" -eq 1 ] || fail "a demo run wrote into the real log"
        grep -q "vfu-update: exit status 0: " "$log-demo" || fail "the demo run has no log of its own"
        ;;

    list)
        export VFU_SIMULATE="mode=bootloader"
        start --list
        finish 0
        expect_out "^  Quorrel  Quorrel: Quorrel (family 0006), bootloader on input Quorrel"

        export VFU_SIMULATE="version=2.1.12;bootloader-after=never"
        start --list
        finish 0
        expect_out "Quorrel (family 0006), firmware 2.1.12 on input Quorrel"

        if [ "$through" = pipe ]; then
            start --list --json
            finish 0
            expect_json_result "$out" 0
        fi
        ;;

    hangup)
        # The session goes away in the middle of the transfer: after the erase the update carries on.
        export VFU_SIMULATE=$quick
        start --yes --timeout 20 --firmware "$(package 12000)"

        if [ "$through" = pty ]; then
            await "kB/s" 40
            # As when an SSH connection drops: the terminal's other side closes, the kernel sends
            # SIGHUP and the terminal can no longer be written.
            upid=$(updater_pid)
            kill -KILL "$pid"
            wait "$pid" 2>/dev/null
            pid=
            await_end "$upid" 60
            upid=
            elapsed=$(( $(date +%s) - started ))
            expect_log_end 0
            expect_log "vfu-update: standard output cannot be written (Input/output error)"
        else
            await "^Installing 10%" 40
            kill -HUP "$pid"
            finish 0
            expect_out "The Quorrel now runs firmware version 2.2.0."
        fi

        expect_log "vfu-update: the terminal hung up (SIGHUP)"
        expect_log "vfu-update: carrying on to the end of the update"
        expect_log "State 'Download complete'"
        ;;

    hangupprompt)
        # Install waits for a key when the terminal hangs up: nothing was erased, so it stops.
        export VFU_SIMULATE="mode=bootloader"
        start --timeout 20 --firmware "$(package 4000)"
        await "\[Enter\] Install   \[c\] Cancel" 20
        kill -HUP "$(updater_pid)"
        finish 1
        expect_log "vfu-update: the terminal hung up (SIGHUP)"
        expect_log "vfu-update: exit status 1: the terminal hung up in State '.*'; nothing was changed on the Quorrel."
        expect_no_log "State 'Firmware erase'"
        ;;

    background)
        # A job started with & from a shell with job control is not in the terminal's foreground:
        # it must neither change the terminal's modes nor read it, or it is stopped for ever.
        export VFU_SIMULATE=$quick
        job=$(printf '%q ' "$updater" --yes --timeout 20 --firmware "$(package 6000)")
        rm -f "$work/keys"; mkfifo "$work/keys"
        started=$(date +%s)
        script -qfec "bash --norc -c $(printf '%q' "set -m; $job 2>$(printf '%q' "$err") & wait \$!; echo status=\$?")" \
            /dev/null <"$work/keys" >"$out" 2>&1 &
        pid=$!
        exec 3>"$work/keys"
        await "status=" 60
        finish 0
        expect_out "status=0"
        expect_out "The Quorrel now runs firmware version 2.2.0."
        expect_log "State 'Download complete'"
        ;;

    closedinput)
        # Standard input closed altogether (<&-) counts as ended, like </dev/null.
        export VFU_SIMULATE="mode=bootloader"
        pkg=$(package 4000)
        started=$(date +%s)
        "$updater" --timeout 20 --firmware "$pkg" <&- >"$out" 2>"$err" &
        pid=$!
        finish 1
        expect_err "run with --yes"
        expect_no_log "State 'Firmware erase'"
        ;;

    head)
        # The reader of standard output goes away after one line: the update still completes.
        export VFU_SIMULATE=$quick
        pkg=$(package 6000)
        started=$(date +%s)
        "$updater" --yes --timeout 20 --firmware "$pkg" </dev/null 2>"$err" | head -1 >"$out"
        status=${PIPESTATUS[0]}
        elapsed=$(( $(date +%s) - started ))
        [ "$status" -eq 0 ] || fail "exit status $status, expected 0"
        [ "$(wc -l <"$out")" -eq 1 ] || fail "head saw more than one line"
        expect_log_end 0
        expect_log "vfu-update: standard output cannot be written (Broken pipe)"
        expect_log "State 'Download complete'"
        ;;

    tracetargets)
        # A trace is written only into a regular file, and nothing is ever deleted for it.
        pkg=$(package 4000)
        mkfifo "$work/fifo"
        mkdir "$work/folder"
        targets=("$work/fifo" "$work/folder")
        # As root, a device node of our own stands for /dev/null (the real one must never be at risk).
        if [ "$(id -u)" -eq 0 ] && mknod "$work/null" c 1 3 2>/dev/null; then targets+=("$work/null"); fi
        export VFU_SIMULATE="version=2.2.0;bootloader-after=never"

        for target in "${targets[@]}"; do
            for how in option environment; do
                started=$(date +%s)
                if [ $how = option ]; then
                    timeout 20 "$updater" --yes --timeout 20 --firmware "$pkg" --trace "$target" </dev/null >"$out" 2>"$err"
                else
                    VFU_TRACE=$target timeout 20 "$updater" --yes --timeout 20 --firmware "$pkg" </dev/null >"$out" 2>"$err"
                fi
                status=$?
                [ "$status" -eq 2 ] || fail "trace into $target ($how): exit status $status, expected 2"
                expect_err "^vfu-update: cannot record a MIDI trace in $target: it is not a regular file"
            done
        done

        [ -p "$work/fifo" ] || fail "the FIFO is gone"
        [ -d "$work/folder" ] || fail "the folder is gone"
        [ ! -e "$work/null" ] || [ -c "$work/null" ] || fail "the device node is gone"

        # A link to a regular file is followed: the file gets the trace, the link stays.
        echo "an old trace, longer than the first line of a new one................................" >"$work/target.trace"
        ln -s "$work/target.trace" "$work/link.trace"
        timeout 30 "$updater" --yes --timeout 20 --firmware "$pkg" --trace "$work/link.trace" </dev/null >"$out" 2>"$err"
        status=$?
        [ "$status" -eq 0 ] || fail "trace through a link: exit status $status"
        [ -L "$work/link.trace" ] || fail "the link was replaced"
        head -1 "$work/target.trace" | grep -qx '# Vorn Firmware Updater MIDI trace 1' || fail "the linked file holds no new trace"
        ! grep -q "an old trace" "$work/target.trace" || fail "the old trace was not emptied"
        elapsed=$(( $(date +%s) - started ))
        ;;

    keyed)
        # A build with a maker's key (given at run time to this test program): --firmware must name
        # a package signed with it, or the run ends before the instrument is touched, even though a
        # signed package of the same version lies on the desktop.
        export VFU_SIMULATE=$quick
        export VFU_TEST_PACKAGE_PUBLIC_KEY=$("$tool" keygen -o "$work/maker.key")
        "$tool" keygen -o "$work/other.key" >/dev/null
        pkg=$(package 6000)
        mkdir -p "$work/foreign"
        cp "$pkg" "$HOME/Desktop/quorrel-fw-2.2.0.vfw"
        cp "$pkg" "$work/foreign/quorrel-fw-2.2.0.vfw"
        "$tool" sign --key "$work/maker.key" "$HOME/Desktop/quorrel-fw-2.2.0.vfw" || fail "sign"
        "$tool" sign --key "$work/other.key" "$work/foreign/quorrel-fw-2.2.0.vfw" || fail "sign"

        start --yes --timeout 20 --firmware "$pkg"
        finish 2
        expect_err "^vfu-update: cannot use $pkg: not signed$"

        start --yes --timeout 20 --firmware "$work/foreign/quorrel-fw-2.2.0.vfw"
        finish 2
        expect_err "^vfu-update: cannot use $work/foreign/quorrel-fw-2.2.0.vfw: signature does not verify$"
        expect_no_log "State '"

        start --yes --timeout 20 --firmware "$HOME/Desktop/quorrel-fw-2.2.0.vfw"
        finish 0
        expect_out "The Quorrel now runs firmware version 2.2.0."
        ;;

    unusable)
        # The named package holds no Quorrel image at its version, beside a good package of that
        # version on the desktop: the run ends before any instrument is looked for, and the good
        # one is not taken instead.
        export VFU_SIMULATE="$quick"
        cp "$(package 6000)" "$HOME/Desktop/quorrel-fw-2.2.0.vfw"
        for n in 2 3 4; do
            "$tool" image --family 12 --version 2.2.0 --size 1000 -o "$work/halvanexv-fw$n-2.2.0.syx" >/dev/null || fail "image"
        done
        "$tool" pack --device "Halvane XV" -o "$work/quorrel-fw-2.2.0-x.vfw" "$work"/halvanexv-fw*-2.2.0.syx >/dev/null || fail "pack"
        start --yes --timeout 20 --firmware "$work/quorrel-fw-2.2.0-x.vfw"
        finish 2
        expect_err "^vfu-update: cannot use $work/quorrel-fw-2.2.0-x.vfw: .*quorrel-fw-2.2.0.syx"
        expect_log "vfu-update: exit status 2: cannot use $work/quorrel-fw-2.2.0-x.vfw"
        expect_no_log "State '"
        # The line that names the definitions comes before every line about packages.
        first=$(grep -n -m1 -e "Using inbuilt state machine definitions" -e "Firmware package" "$log")
        [[ "$first" == *Using* ]] || fail "a package line comes before the definitions line: $first"

        # Definitions that send an image no package holds: no usable package at all.
        sed 's/quorrel-fw-\$(version)/quorrel-main-$(version)/' "$(dirname "$0")/../resources/StateMachinesConsole.xml" >"$work/defs.xml"
        start --yes --timeout 20 --definitions "$work/defs.xml"
        finish 1
        expect_err "^vfu-update: No firmware file was found."
        expect_log "vfu-update: exit status 1: No firmware file was found."

        # Wrong arguments still end a JSON run with its result line.
        for arguments in "--json --bogus" "--json --port=" "--json --firmware $work/missing.vfw"; do
            status=0
            # shellcheck disable=SC2086
            "$updater" $arguments >"$work/usage.json" 2>/dev/null </dev/null || status=$?
            [ "$status" -eq 2 ] || fail "vfu-update $arguments: exit status $status, expected 2"
            expect_json_result "$work/usage.json" 2
        done

        # An identifier no output has, with control characters in it: the result line is strict
        # JSON, the terminal gets them escaped, and no log is made for a port that is not there.
        status=0
        "$updater" --json --yes --port "$(printf 'Q\a\033[2J\nfake')" >"$work/port.json" 2>"$work/port.err" </dev/null || status=$?
        [ "$status" -eq 2 ] || fail "an unknown --port: exit status $status, expected 2"
        expect_json_result "$work/port.json" 2
        ! grep -q "$(printf '\033')" "$work/port.err" || fail "an escape sequence reached standard error"
        grep -q 'no MIDI output Q\\x07\\x1b\[2J\\x0afake' "$work/port.err" || fail "the identifier is not shown escaped: $(cat "$work/port.err")"
        ! ls "$(dirname "$log")" | grep -q -- "-port-" || fail "a mistyped --port left a log behind: $(ls "$(dirname "$log")")"
        ;;

    ignoredsignals)
        # Started with SIGHUP ignored (nohup) and SIGINT ignored (a job of a script): both stay
        # ignored, and the update runs to its end.
        export VFU_SIMULATE=$quick
        launcher="nohup env --ignore-signal=INT"
        start --yes --timeout 20 --firmware "$(package 12000)"
        await "^Installing 10%" 40
        kill -HUP "$pid"
        kill -INT "$pid"
        finish 0
        expect_out "The Quorrel now runs firmware version 2.2.0."
        expect_no_log "hung up"
        expect_no_log "interrupted"
        ;;

    setsid)
        # In a session of its own (setsid), with standard input still the terminal: what is typed
        # there is for the shell, and never presses Cancel.
        export VFU_SIMULATE=$quick
        launcher="setsid -w"
        start --yes --timeout 20 --firmware "$(package 12000)"
        await "kB/s" 40
        printf 'cat notes.txt\rc' >&3
        finish 0
        expect_out "The Quorrel now runs firmware version 2.2.0."
        ;;

    *)
        echo "unknown case $case" >&2
        exit 2
        ;;
esac

echo "ok: $case through $through (${elapsed} s)"
