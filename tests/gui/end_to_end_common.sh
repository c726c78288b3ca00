# Shared by the end-to-end scripts, which set before use:
#   log           the program's log file
#   app_pid       the pid of the running program (or of what runs it)
#   failure_shot  where a screenshot of a failure goes

fail() {
    echo "FAIL: $*" >&2
    import -window root "$failure_shot" 2>/dev/null || true
    [ -f "$log" ] && { echo "--- log:" >&2; cat "$log" >&2; }
    exit 1
}

# Waits until the log has a line containing the text; seconds as second argument.
wait_for_log() {
    local deadline=$((SECONDS + $2))
    until [ -f "$log" ] && grep -qF -- "$1" "$log"; do
        [ $SECONDS -lt $deadline ] || fail "no log line with: $1"
        kill -0 "$app_pid" 2>/dev/null || fail "the program ended early, waiting for: $1"
        sleep 0.2
    done
}
