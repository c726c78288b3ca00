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

# Takes a screenshot once the screen has stopped changing (two shots in a row alike), so that the
# window's last repaint is in it; after 30 s of change it keeps the last one. Never fails.
settled_screenshot() {
    local deadline=$((SECONDS + 30)) previous="" current
    while :; do
        import -window root "$1" 2>/dev/null || return 0
        current=$(md5sum <"$1")
        [ "$current" = "$previous" ] || [ $SECONDS -ge $deadline ] || { previous=$current; sleep 0.3; continue; }
        return 0
    done
}

# Waits until the program (app_pid) has ended; the test's own time-out is the limit.
wait_for_end() {
    while kill -0 "$app_pid" 2>/dev/null; do
        sleep 0.1
    done
}
