#!/usr/bin/env bash
# Checks the release packages that scripts/package.sh wrote to dist/:
#   - lintian finds no error in the Debian package;
#   - the package's files, unpacked into a scratch root with dpkg -x, make a program that starts
#     from its command in /usr/bin in demo mode, finds the firmware in its own executable and
#     detects the simulated instrument;
#   - the Windows zip holds the program with its firmware, the tools, the read-me and the licences.
#
# usage: check_packages.sh <dist folder>
set -euo pipefail
dist=$(realpath "$1")
version=$(sed -nE 's/^project\(VornFirmwareUpdater VERSION ([0-9.]+).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
deb=$dist/vorn-firmware-updater_${version}_amd64.deb
zip=$dist/VornFirmwareUpdater-$version-windows-x64.zip

if [ -z "${VFU_PACKAGE_DISPLAY:-}" ]; then
    export VFU_PACKAGE_DISPLAY=1
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

work=$(mktemp -d)
app_pid=
cleanup() {
    if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then kill -KILL "$app_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

echo "-- lintian"
# Root may run lintian; the warnings that stay are explained in the README.
lintian --allow-root --fail-on error --tag-display-limit 0 "$deb"

# Manual pages, AppStream metadata: what Debian's tools and software centres read.
echo "-- a manual page for every command, rendered without a warning"
dpkg -x "$deb" "$work/metadata"
for command in "$work"/metadata/usr/bin/*; do
    name=$(basename "$command")
    page=$work/metadata/usr/share/man/man1/$name.1.gz
    [ -f "$page" ] || fail "$name has no manual page"
    gzip -t "$page" || fail "the manual page of $name is no gzip file"
    LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" >/dev/null 2>"$work/man-warnings" \
        || fail "man cannot render the page of $name"
    [ ! -s "$work/man-warnings" ] || { cat "$work/man-warnings" >&2; fail "the page of $name renders with warnings"; }
done

echo "-- AppStream metadata"
metainfo=$work/metadata/usr/share/metainfo/example.vorn.FirmwareUpdater.metainfo.xml
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli refuses the metadata"
grep -qF '<launchable type="desktop-id">example.vorn.FirmwareUpdater.desktop</launchable>' "$metainfo" \
    && [ -f "$work/metadata/usr/share/applications/example.vorn.FirmwareUpdater.desktop" ] \
    || fail "the metadata does not name the installed desktop entry"
grep -qF "<release version=\"$version\"" "$metainfo" || fail "the metadata has no release $version"

echo "-- the Debian package's contents"
dpkg-deb -c "$deb" > "$work/contents"
for path in ./usr/lib/vorn-firmware-updater/VornFirmwareUpdater ./usr/bin/vorn-firmware-updater \
            ./usr/bin/vfu-check-definitions ./usr/bin/vfu-firmware-tool ./usr/bin/vfu-update \
            ./usr/share/applications/example.vorn.FirmwareUpdater.desktop \
            ./usr/share/metainfo/example.vorn.FirmwareUpdater.metainfo.xml \
            ./usr/share/icons/hicolor/256x256/apps/vorn-firmware-updater.png \
            ./usr/share/doc/vorn-firmware-updater/copyright; do
    grep -qF -- " $path" "$work/contents" || fail "the package lacks $path"
done
dpkg-deb -f "$deb" Depends | grep 'libc6' >/dev/null || fail "no dependencies worked out"

echo "-- the installed program starts in demo mode"
dpkg -x "$deb" "$work/root"
export HOME=$work/home
unset XDG_CONFIG_HOME
mkdir -p "$HOME"
log="$HOME/.config/Vorn Firmware Updater/vfu-quorrel"
VFU_SIMULATE="version=2.1.12;bootloader-after=never" "$work/root/usr/bin/vorn-firmware-updater" \
    >"$work/stdout" 2>"$work/stderr" &
app_pid=$!
deadline=$((SECONDS + 30))
until [ -f "$log" ] && grep -q "firmware version : 2.1.12" "$log"; do
    if [ $SECONDS -ge $deadline ] || ! kill -0 "$app_pid" 2>/dev/null; then
        cat "$work/stderr" >&2; [ -f "$log" ] && cat "$log" >&2
        fail "the installed program did not detect the simulated instrument"
    fi
    sleep 0.2
done
kill -TERM "$app_pid"
wait "$app_pid" || true
app_pid=
grep -q "Using inbuilt state machine definitions" "$log" || fail "no definitions line"
tr -d '\r' <"$log" | grep -v '^[[:space:]]*$' | tail -1 | grep -q ' - shutdown$' || fail "no shutdown line"
unzip -l "$work/root/usr/lib/vorn-firmware-updater/VornFirmwareUpdater" | grep 'quorrel-fw-2.1.13.vfw' >/dev/null \
    || fail "the installed program lost its firmware package"

echo "-- the installed terminal updater finds its own firmware"
unzip -l "$work/root/usr/bin/vfu-update" | grep 'quorrel-fw-2.1.13.vfw' >/dev/null \
    || fail "the installed vfu-update lost its firmware package"
VFU_SIMULATE="version=2.1.12;bootloader-after=never" timeout 20 "$work/root/usr/bin/vfu-update" --timeout 2 \
    </dev/null >"$work/update-stdout" 2>&1 || true
grep -qF "Available version: 2.1.13" "$work/update-stdout" \
    || { cat "$work/update-stdout" >&2; fail "the installed vfu-update offers no firmware"; }

echo "-- the Windows zip"
top=VornFirmwareUpdater-$version-windows-x64
unzip -l "$zip" > "$work/zip-contents"
for entry in VornFirmwareUpdater.exe vfu-check-definitions.exe vfu-firmware-tool.exe README.txt \
             LICENSE.txt LICENSE-DejaVu-fonts.txt; do
    grep -qF "$top/$entry" "$work/zip-contents" || fail "the zip lacks $entry"
done
unzip -q -d "$work/win" "$zip"
unzip -l "$work/win/$top/VornFirmwareUpdater.exe" | grep 'quorrel-fw-2.1.13.vfw' >/dev/null \
    || fail "the Windows program in the zip carries no firmware package"
grep -q 'GNU GENERAL PUBLIC LICENSE' "$work/win/$top/LICENSE.txt" || fail "no GPL text"

echo "-- the Windows installer beside the zip; nothing signed without the maker's certificate"
setup=$dist/$top-setup.exe
[ -f "$setup" ] || fail "no Windows installer"
if [ -z "${VFU_AUTHENTICODE_CERT:-}" ]; then
    for exe in "$setup" "$work/win/$top"/*.exe; do
        if osslsigncode extract-signature -in "$exe" -out "$work/signature" >/dev/null 2>&1; then
            fail "$(basename "$exe") is signed although no certificate was given"
        fi
        rm -f "$work/signature"
    done
fi

echo "packages checked: $(basename "$deb"), $(basename "$zip"), $(basename "$setup")"
