# shellcheck shell=bash
# Shared by the real_midi scripts that run vfu-update against vfu-instrument under
# scripts/with-test-sequencer.sh. Set updater, instrument and tool before sourcing it; a script
# with more to end defines cleanup_more() after it.
#
# It makes a scratch folder $work and a home of its own (log: $log), and gives:
# run STATUS ARGS...   runs vfu-update with ARGS (output in $out and $err), expects that status
# make_package SIZE [VERSION]
#                      writes a Quorrel image of SIZE bytes and VERSION (default 2.2.0) and its
#                      package: $work/quorrel-fw-VERSION.syx and $work/quorrel-fw-VERSION.vfw
# fail TEXT            says what failed with the programs' output and the end of the log, exits 1

[ -n "${VFU_TEST_SEQ_SOCKET:-}" ] || { echo "run this under scripts/with-test-sequencer.sh" >&2; exit 2; }

work=$(mktemp -d)
pid=
cleanup_more() { :; }
cleanup() {
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null; fi
    kill_instrument
    cleanup_more
    rm -rf "$work"
}
trap cleanup EXIT

export HOME=$work/home
unset XDG_CONFIG_HOME XDG_DATA_HOME VFU_SIMULATE DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME/Desktop"
log="$HOME/.config/Vorn Firmware Updater/vfu-quorrel"
out=$work/out
err=$work/err

fail() {
    echo "FAIL: $*" >&2
    echo "--- vfu-update's standard output" >&2; cat "$out" >&2 2>/dev/null
    echo "--- vfu-update's standard error" >&2; cat "$err" >&2 2>/dev/null
    echo "--- vfu-instrument" >&2; cat "$work/instrument.txt" >&2 2>/dev/null
    echo "--- end of the log" >&2; tail -30 "$log" >&2 2>/dev/null
    exit 1
}

. "$(dirname "${BASH_SOURCE[0]}")/instrument_common.sh"

run() {
    local expected=$1; shift
    "$updater" "$@" </dev/null >"$out" 2>"$err" &
    pid=$!
    local status=0
    wait "$pid" || status=$?
    pid=
    [ "$status" -eq "$expected" ] || fail "vfu-update $* ended with $status, expected $expected"
}

make_package() {
    local version=${2:-2.2.0}
    "$tool" image --family 6 --version "$version" --size "$1" -o "$work/quorrel-fw-$version.syx" >/dev/null || fail "image"
    "$tool" pack -o "$work/quorrel-fw-$version.vfw" "$work/quorrel-fw-$version.syx" >/dev/null || fail "pack"
}
