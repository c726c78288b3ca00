#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the normal build, the same
# tests under AddressSanitizer and UndefinedBehaviorSanitizer, the threaded tests under
# ThreadSanitizer, the Windows build's tests under Wine, the release packages' checks, and a
# timed run of each fuzz target. Tests that need a display run inside xvfb-run.
#
# The tests mostly wait (for simulated instruments, pauses, other processes), so each flavour's
# tests run while the next flavour builds in the background, and the release tests run four at a
# time (tests that share something take turns: see RESOURCE_LOCK in tests/). Each stage's time is
# printed at the end; a build's log is in build-logs/ and is shown when it fails.
set -euo pipefail
cd "$(dirname "$0")/.."

stages=()
start_all=$SECONDS
background_pid=

# stage <name> <seconds>: notes a stage's time for the summary.
stage() { stages+=("$(printf '%-58s %3d:%02d' "$1" $(($2 / 60)) $(($2 % 60)))"); }

summary() {
    local status=$?
    # A build still running in the background when a stage failed ends with the script.
    local pid
    for pid in "$background_pid" "${guest_pid:-}" "${fuzz_pid:-}"; do
        if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
            kill -TERM -- "-$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        fi
    done
    echo
    echo "== stage times (minutes:seconds; background builds overlap the tests beside them) =="
    printf '%s\n' "${stages[@]}"
    local total=$((SECONDS - start_all))
    printf '%-58s %3d:%02d\n' "total" $((total / 60)) $((total % 60))
    [ "$status" -eq 0 ] || echo "scripts/test.sh FAILED (status $status)"
}
trap summary EXIT

# run <name> <command...>: runs a stage in the foreground and notes its time.
run() {
    local name=$1; shift
    echo "== $name =="
    local t=$SECONDS
    "$@"
    stage "$name" $((SECONDS - t))
}

run_ctest() {
    local dir=$1; shift
    xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" ctest --test-dir "$dir" --output-on-failure "$@"
}

# start_background <log> <command...>: starts a command in the background, in a process group of
# its own (so that a failure elsewhere can end it whole), its output in <log> and its own time in
# <log>.seconds; its process id is left in started_pid.
mkdir -p build-logs
start_background() {
    local log=$1; shift
    setsid bash -c 't=$SECONDS; "$@"; status=$?; echo $((SECONDS - t)) >"$0.seconds"; exit $status' \
        "$log" "$@" >"$log" 2>&1 &
    started_pid=$!
}

# background <name> <command...>: starts a stage in the background, its output in build-logs/.
# finish_background waits for it, notes its own time, and shows its log if it failed.
background_name=
background_log() { echo "build-logs/$(tr -cs 'A-Za-z0-9' '-' <<<"$background_name" | sed 's/-$//').log"; }
background() {
    background_name=$1; shift
    local log
    log=$(background_log)
    echo "== $background_name (in the background, output in $log) =="
    start_background "$log" "$@"
    background_pid=$started_pid
}
# await_stage NAME PID LOG: waits for a background stage, notes its own time, and shows its log
# if it failed.
await_stage() {
    if ! wait "$2"; then
        cat "$3" >&2
        echo "FAILED: $1" >&2
        exit 1
    fi
    stage "$1 (background)" "$(cat "$3.seconds")"
}
finish_background() {
    await_stage "$background_name" "$background_pid" "$(background_log)"
    background_pid=
}

asan_tests() {
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest build-asan -j3 -LE no-sanitizer
}

tsan_tests() {
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_ctest build-tsan -j2 -L threads
}

run "setup (installs what is missing)" scripts/setup.sh

run "release build" scripts/build.sh release

# The kernel guest's tests (label kernel: Debian's kernel in QEMU, USB MIDI instruments of its
# own) run beside every later stage, one guest at a time and at a lower priority: they mostly
# wait for the pacing of transfers, and the stages beside them keep their share of the cores.
guest_log=build-logs/kernel-guest.log
echo "== kernel guest tests (in the background, output in $guest_log) =="
start_background "$guest_log" nice -n 5 ctest --test-dir build -L kernel -j1 --output-on-failure
guest_pid=$started_pid
finish_guest() {
    await_stage "kernel guest tests" "$guest_pid" "$guest_log"
    guest_pid=
}

# The fuzz targets' build (clang, into build-fuzz/) and a timed run of each over a copy of its
# corpus (scripts/fuzz.sh) run beside every later stage too, at the lowest priority: they take the
# cores' time that the stages beside them leave idle, since those mostly wait. A finding fails the
# command; its input is kept in build-fuzz/fuzz-findings/.
fuzz_log=build-logs/fuzz.log
echo "== fuzz build and timed fuzz runs (in the background, output in $fuzz_log) =="
start_background "$fuzz_log" nice -n 19 scripts/fuzz.sh 20
fuzz_pid=$started_pid
finish_fuzz() {
    await_stage "fuzz build and timed fuzz runs" "$fuzz_pid" "$fuzz_log"
    fuzz_pid=
}

# The sanitizer build compiles while the release tests wait; each uses about one core.
background "AddressSanitizer build" scripts/build.sh asan
run "release tests (4 at a time)" run_ctest build -j4 -LE kernel
finish_background

# Only the tests labelled "threads" run under ThreadSanitizer, so only they are built for it.
background "ThreadSanitizer build (threaded tests)" scripts/build.sh tsan vfu_threads_label_tests
run "AddressSanitizer + UndefinedBehaviorSanitizer tests (3 at a time)" asan_tests
finish_background

background "Windows build" scripts/build.sh windows
run "ThreadSanitizer tests (threaded, 2 at a time)" tsan_tests
finish_background

wine_tests() {
    # The Wine prefix is made once, before ctest lists the tests through Wine. Wine's server is
    # stopped after each step, so that the next starts its own on that step's display.
    export WINEPREFIX="$PWD/build-windows/wine-prefix"
    sh cmake/wine-run.sh "$WINEPREFIX" cmd /c exit
    wineserver -k || true
    # Excluded under Wine: these tests make their packages by running the Unix zip and sha256sum
    # through sh, which a Windows program cannot start. Package verification and the store are
    # tested under Wine by the other package tests, which make their packages in-process.
    local windows_unix_only='^FirmwarePackageVerification\.(aPackageMadeWithZipAndSha256sumIsAcceptedWithItsVersion|theChecksumListMustHoldTheLowerCaseDigestAtItsPlaceBeforeEachName|aListNamedWithoutDashOrFwGivesNoVersion)$'
    windows_unix_only+='|^FirmwarePackageStore\.(equalVersionsReplaceInsideTheExecutableThenBesideItThenOnTheDesktop|onlyVfwFilesWhoseNameHoldsTheDeviceKeyExactlyAreTaken|aPreReleaseRanksBetweenTheVersionBeforeAndItsRelease|aPackageFileSpoiledMovedOrRemovedAfterTheSearchStillYieldsTheVerifiedBytes)$'
    windows_unix_only+='|^SignedPackages\.'
    # The firmware tool's script tests (signing; FIFOs as inputs) are shell scripts run against the Linux tool.
    windows_unix_only+='|^firmware_tool_signing$'
    windows_unix_only+='|^firmware_tool_inputs$'
    # Two at a time: the tests share one Wine prefix and its server.
    run_ctest build-windows -j2 -L 'unit|threads' -E "$windows_unix_only"
    wineserver -k || true
    # Of the display tests, the Windows program's own end-to-end run in demo mode.
    run_ctest build-windows -j2 -L wine
    mkdir -p build/tests/gui/artifacts
    cp build-windows/tests/gui/artifacts/end_to_end_windows_complete.png build/tests/gui/artifacts/
    wineserver -k || true
    unset WINEPREFIX
    # Whole updates of vfu-update.exe through the project's test MIDI driver, which keeps Windows'
    # rules (scripts/with-winmm.sh; a prefix of its own in build-windows/winmm-cache), against the
    # release build's vfu-instrument.
    run_ctest build-windows -L winmm
}

# The packages are made and checked (no Wine) while the Windows build's tests run under Wine.
background "release packages and their checks" sh -c 'scripts/package.sh && tests/packaging/check_packages.sh dist'
run "Windows build's tests under Wine" wine_tests
finish_background

# The Windows release signed with a throwaway certificate, installed and uninstalled under Wine
# (in a prefix of its own).
run "Windows release installed under Wine" tests/packaging/check_windows_release.sh

finish_guest
finish_fuzz
grep -E '^fuzz_[a-z_]+: ' "$fuzz_log"
