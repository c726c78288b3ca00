# shellcheck shell=bash
# Shared by the real_midi scripts that run several instruments and updaters at once. Set work (a
# scratch folder) before sourcing it. It gives pids (processes to end with the script, whose
# scratch folder goes with it) and fail TEXT, which shows the instruments' and updaters' output
# and the updaters' own logs (which port each one asked, held and passed over), then exits 1.

pids=()
cleanup() {
    for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    for f in "$work"/*.txt "$work"/*.json "$work"/*.err; do
        [ -f "$f" ] && { echo "--- $(basename "$f")" >&2; tail -40 "$f" >&2; }
    done
    for f in "$work"/*-home/.config/*/vfu-*; do
        [ -f "$f" ] && { echo "--- ${f#"$work"/}" >&2; grep -v "Send '\|%%" "$f" | tail -60 >&2; }
    done
    exit 1
}
