#!/usr/bin/env bash
# Checks the release packages that scripts/package.sh wrote to dist/:
#   - lintian finds no error in the Debian package;
#   - the package installs with dpkg, and its programs start as users start them: the desktop
#     entry's command and each command by name through PATH, from another folder. The window
#     program and vfu-update find the firmware in their own executables, and vfu-update finds a
#     package in the program's folder, where the window looks too. Then the package is removed;
#   - the Windows zip holds the program with its firmware, the tools, the read-me and the licences.
#
# As root the installation is real, in a mount namespace of the check's own whose /usr, /var and
# /etc are overlays, so that the machine's files and package database stay untouched. Elsewhere
# the package is unpacked into a scratch root with dpkg -x, whose usr/bin goes first in PATH.
#
# usage: check_packages.sh <dist folder>
set -euo pipefail
dist=$(realpath "$1")
version=$(sed -nE 's/^project\(VornFirmwareUpdater VERSION ([0-9.]+).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
deb=$dist/vorn-firmware-updater_${version}_amd64.deb
zip=$dist/VornFirmwareUpdater-$version-windows-x64.zip

if [ -z "${VFU_PACKAGE_DISPLAY:-}" ]; then
    export VFU_PACKAGE_DISPLAY=1
    # -noreset: a server that resets when its last client leaves refuses, now and then, the
    # program that connects next.
    display=(xvfb-run -a -s "-screen 0 1024x768x24 -noreset" "$0" "$@")
    if [ "$(id -u)" = 0 ] && unshare --mount true 2>/dev/null; then
        export VFU_PACKAGE_NAMESPACE=1
        exec unshare --mount "${display[@]}"
    fi
    exec "${display[@]}"
fi

work=$(mktemp -d)
app_pid=
overlays=()
cleanup() {
    if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then kill -KILL "$app_pid" 2>/dev/null || true; fi
    for dir in "${overlays[@]}"; do umount -l "$dir" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

echo "-- lintian"
# Root may run lintian; the package gives no warning (docs/makers.md, "Building a release").
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
            ./usr/lib/vorn-firmware-updater/vfu-update ./usr/bin/vfu-update \
            ./usr/bin/vfu-check-definitions ./usr/bin/vfu-firmware-tool ./usr/bin/vfu-instrument \
            ./usr/share/applications/example.vorn.FirmwareUpdater.desktop \
            ./usr/lib/tmpfiles.d/vorn-firmware-updater.conf \
            ./usr/share/metainfo/example.vorn.FirmwareUpdater.metainfo.xml \
            ./usr/share/icons/hicolor/256x256/apps/vorn-firmware-updater.png \
            ./usr/share/doc/vorn-firmware-updater/copyright; do
    grep -qF -- " $path" "$work/contents" || fail "the package lacks $path"
done
dpkg-deb -f "$deb" Depends | grep 'libc6' >/dev/null || fail "no dependencies worked out"

# Overlays over the machine's folders, in this namespace only; false when they cannot be made.
overlay_system() {
    local dir
    for dir in usr var etc; do
        mkdir -p "$work/overlay/$dir/upper" "$work/overlay/$dir/work"
        mount -t overlay overlay \
              -o "lowerdir=/$dir,upperdir=$work/overlay/$dir/upper,workdir=$work/overlay/$dir/work" "/$dir" \
            2>/dev/null || return 1
        overlays=("/$dir" "${overlays[@]}")
    done
}

if [ -n "${VFU_PACKAGE_NAMESPACE:-}" ] && overlay_system; then
    echo "-- dpkg -i (in a private mount namespace)"
    root=
    dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "the package does not install"; }
else
    echo "-- dpkg -x into a scratch root (no private namespace here)"
    root=$work/root
    dpkg -x "$deb" "$root"
    export PATH="$root/usr/bin:$PATH"
fi
programs=$root/usr/lib/vorn-firmware-updater

# Started as users start them: by name, from their home folder.
export HOME=$work/home
unset XDG_CONFIG_HOME
mkdir -p "$HOME/Desktop"
cd "$HOME"
log="$HOME/.config/Vorn Firmware Updater/vfu-quorrel-demo"

for command in vorn-firmware-updater vfu-update vfu-check-definitions vfu-firmware-tool; do
    [ "$(command -v "$command")" = "$root/usr/bin/$command" ] || fail "$command is not found through PATH"
done

echo "-- the desktop entry's command starts the program in demo mode"
exec_line=$(sed -n 's/^Exec=//p' "$root/usr/share/applications/example.vorn.FirmwareUpdater.desktop" | sed 's/ *%[a-zA-Z]//g')
[ -n "$exec_line" ] || fail "the desktop entry has no Exec line"
VFU_SIMULATE="version=2.1.12;bootloader-after=never" sh -c "exec $exec_line" >"$work/stdout" 2>"$work/stderr" &
app_pid=$!
deadline=$((SECONDS + 30))
# Without its firmware the program would stop at "No firmware file was found." before detecting.
until [ -f "$log" ] && grep -q "firmware version : 2.1.12" "$log"; do
    if [ $SECONDS -ge $deadline ] || ! kill -0 "$app_pid" 2>/dev/null; then
        cat "$work/stderr" >&2; [ -f "$log" ] && cat "$log" >&2
        fail "the program started by '$exec_line' did not detect the simulated instrument"
    fi
    sleep 0.2
done
kill -TERM "$app_pid"
wait "$app_pid" || true
app_pid=
grep -q "Using inbuilt state machine definitions" "$log" || fail "no definitions line"
tr -d '\r' <"$log" | grep -v '^[[:space:]]*$' | tail -1 | grep -q ' - shutdown$' || fail "no shutdown line"
unzip -l "$programs/VornFirmwareUpdater" | grep 'quorrel-fw-2.1.13.vfw' >/dev/null \
    || fail "the installed program lost its firmware package"

echo "-- the commands by name"
vfu-update --version | grep -qF "vfu-update $version" || fail "vfu-update --version"
vfu-check-definitions --inbuilt Quorrel >/dev/null || fail "vfu-check-definitions --inbuilt Quorrel"

# The simulated instrument already runs the version the program carries: done at once, status 0.
status=0
VFU_SIMULATE="version=2.1.13;bootloader-after=never" timeout 30 vfu-update --yes --timeout 10 \
    </dev/null >"$work/update-stdout" 2>&1 || status=$?
[ "$status" -eq 0 ] && grep -qF "already runs firmware version 2.1.13" "$work/update-stdout" \
    || { cat "$work/update-stdout" >&2; fail "vfu-update by name does not find its own firmware (status $status)"; }

# A newer package in the program's folder is offered, as the window offers it.
vfu-firmware-tool image --family 6 --version 2.2.0 --size 3000 -o "$work/quorrel-fw-2.2.0.syx" >/dev/null
vfu-firmware-tool pack -o "$programs/quorrel-fw-2.2.0.vfw" "$work/quorrel-fw-2.2.0.syx" >/dev/null
vfu-firmware-tool verify "$programs/quorrel-fw-2.2.0.vfw" --device Quorrel | grep -qF "2.2.0" \
    || fail "vfu-firmware-tool verify"
VFU_SIMULATE="version=2.2.0;bootloader-after=never" timeout 30 vfu-update --yes --timeout 10 \
    </dev/null >"$work/update-stdout" 2>&1 || true
grep -qF "already runs firmware version 2.2.0" "$work/update-stdout" \
    || { cat "$work/update-stdout" >&2; fail "vfu-update does not take the package beside the program"; }
rm "$programs/quorrel-fw-2.2.0.vfw"

if [ -z "$root" ]; then
    echo "-- dpkg -r"
    dpkg -r vorn-firmware-updater >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "the package does not remove"; }
    for path in /usr/bin/vorn-firmware-updater /usr/bin/vfu-update "$programs"; do
        [ ! -e "$path" ] && [ ! -L "$path" ] || fail "$path is left after removal"
    done
fi

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
