#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the normal build, the same
# tests under AddressSanitizer and UndefinedBehaviorSanitizer, the threaded tests under
# ThreadSanitizer, the Windows build's tests under Wine, and the release packages' checks.
# Tests that need a display run inside xvfb-run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

run_ctest() {
    local dir=$1; shift
    xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" ctest --test-dir "$dir" --output-on-failure -j2 "$@"
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

echo "== Windows build under Wine =="
scripts/build.sh windows
# The Wine prefix is made once, before ctest lists the tests through Wine. Wine's server is
# stopped after each step, so that the next starts its own on that step's display.
export WINEPREFIX="$PWD/build-windows/wine-prefix"
sh cmake/wine-run.sh "$WINEPREFIX" cmd /c exit
wineserver -k || true
# Excluded under Wine: these tests make their packages by running the Unix zip and sha256sum
# through sh, which a Windows program cannot start. Package verification and the store are
# tested under Wine by the other package tests, which make their packages in-process.
windows_unix_only='^FirmwarePackageVerification\.(aPackageMadeWithZipAndSha256sumIsAcceptedWithItsVersion|theChecksumListMustHoldTheLowerCaseDigestAtItsPlaceBeforeEachName|aListNamedWithoutDashOrFwGivesNoVersion)$'
windows_unix_only+='|^FirmwarePackageStore\.(equalVersionsReplaceInsideTheExecutableThenBesideItThenOnTheDesktop|onlyVfwFilesWhoseNameHoldsTheDeviceKeyExactlyAreTaken|aPreReleaseRanksBetweenTheVersionBeforeAndItsRelease|aPackageFileSpoiledMovedOrRemovedAfterTheSearchStillYieldsTheVerifiedBytes)$'
windows_unix_only+='|^SignedPackages\.'
# The firmware tool's script tests (signing; FIFOs as inputs) are shell scripts run against the Linux tool.
windows_unix_only+='|^firmware_tool_signing$'
windows_unix_only+='|^firmware_tool_inputs$'
run_ctest build-windows -L 'unit|threads' -E "$windows_unix_only"
wineserver -k || true
# Of the display tests, the Windows program's own end-to-end run in demo mode.
run_ctest build-windows -L wine
mkdir -p build/tests/gui/artifacts
cp build-windows/tests/gui/artifacts/end_to_end_windows_complete.png build/tests/gui/artifacts/
wineserver -k || true
unset WINEPREFIX

echo "== release packages =="
scripts/package.sh
tests/packaging/check_packages.sh dist
# The Windows release signed with a throwaway certificate, installed and uninstalled under Wine.
tests/packaging/check_windows_release.sh
