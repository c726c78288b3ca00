# Shared by the real_midi scripts, which run under scripts/with-test-sequencer.sh and set before
# use: work (a scratch folder), instrument (the vfu-instrument program), and fail().
#
# start_instrument [args...]   starts vfu-instrument; its output goes to $work/instrument.txt
# await_instrument PATTERN S   waits until its output shows the pattern (extended grep)
# stop_instrument              ends it with SIGTERM and checks that it ends cleanly with 0

instrument_pid=

start_instrument() {
    : > "$work/instrument.txt"
    "$instrument" "$@" >"$work/instrument.txt" 2>&1 &
    instrument_pid=$!
    await_instrument 'ports in "Quorrel" out "Quorrel" created' 10
}

await_instrument() {
    local deadline=$((SECONDS + $2))
    until grep -qE -- "$1" "$work/instrument.txt"; do
        [ $SECONDS -lt $deadline ] || fail "vfu-instrument printed no '$1' within $2 s"
        kill -0 "$instrument_pid" 2>/dev/null || fail "vfu-instrument ended early, waiting for '$1'"
        sleep 0.2
    done
}

stop_instrument() {
    [ -n "$instrument_pid" ] || return 0
    kill -TERM "$instrument_pid"
    local status=0
    wait "$instrument_pid" || status=$?
    instrument_pid=
    [ "$status" -eq 0 ] || fail "vfu-instrument ended with status $status after SIGTERM"
    grep -q ' stopping$' "$work/instrument.txt" || fail "vfu-instrument did not say it was stopping"
    tail -n 1 "$work/instrument.txt" | grep -q 'ports in "Quorrel" out "Quorrel" removed' \
        || fail "vfu-instrument did not remove its ports at the end"
}

kill_instrument() {
    if [ -n "$instrument_pid" ] && kill -0 "$instrument_pid" 2>/dev/null; then
        kill -KILL "$instrument_pid" 2>/dev/null || true
    fi
}

# expect_image_received FILE: the instrument printed the whole image with the file's digest.
expect_image_received() {
    local size digest
    size=$(stat -c %s "$1")
    digest=$(sha256sum "$1" | cut -d' ' -f1)
    grep -q " in  \"Quorrel\" SysEx bytes=$size sha256=$digest\$" "$work/instrument.txt" \
        || fail "vfu-instrument did not receive the image $(basename "$1") whole ($size bytes, $digest)"
}
