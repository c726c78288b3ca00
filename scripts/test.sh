#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the normal build, the same
# tests under AddressSanitizer and UndefinedBehaviorSanitizer, and the threaded tests under
# ThreadSanitizer. Tests that need a display run inside xvfb-run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

run_ctest() {
    local dir=$1; shift
    xvfb-run -a -s "-screen 0 1280x1024x24" ctest --test-dir "$dir" --output-on-failure -j2 "$@"
}

echo "== release build =="
scripts/build.sh release
run_ctest build

echo "== AddressSanitizer + UndefinedBehaviorSanitizer =="
scripts/build.sh asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest build-asan -LE no-sanitizer

echo "== ThreadSanitizer (threaded tests) =="
scripts/build.sh tsan
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_ctest build-tsan -L threads
