#!/usr/bin/env bash
# The Windows release as a maker signs it and as a user installs it, under Wine:
#   - scripts/package-windows.sh with a throwaway self-signed certificate signs every .exe of the
#     zip and the installer, the installer itself and the uninstaller it writes, and each
#     signature verifies;
#   - the installer runs silently (/S) in a Wine prefix of its own: the program, the tools, the
#     licence and the uninstaller are in Program Files, the Start-menu entry is there, and
#     Windows' uninstall key holds what Settings > Apps shows;
#   - the installed, signed program starts in demo mode and detects the simulated instrument,
#     which it only does after finding the firmware archive inside its own executable, and the
#     signed vfu-update.exe offers that firmware too;
#   - the key's quiet uninstall command removes all of it: files, folder, entry and key.
#
# usage: check_windows_release.sh     (after scripts/build.sh windows)
set -euo pipefail
root=$(realpath "$(dirname "$0")/../..")
version=$(sed -nE 's/^project\(VornFirmwareUpdater VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")

if [ -z "${VFU_RELEASE_DISPLAY:-}" ]; then
    export VFU_RELEASE_DISPLAY=1
    exec xvfb-run -a -s "-screen 0 1024x768x24 -noreset" "$0" "$@"
fi

work=$(mktemp -d)
prefix=$work/prefix
export WINEPREFIX=$prefix WINEDEBUG=-all
app_pid=
cleanup() {
    if [ -n "$app_pid" ]; then kill -KILL "$app_pid" 2>/dev/null || true; fi
    if [ -d "$prefix" ]; then wineserver -k 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
wine_run() { sh "$root/cmake/wine-run.sh" "$prefix" "$@"; }

echo "-- signing with a throwaway certificate"
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj "/CN=Vorn test signing" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
VFU_AUTHENTICODE_CERT=$work/cert.pem VFU_AUTHENTICODE_KEY=$work/key.pem \
    "$root/scripts/package-windows.sh" "$work/dist" >"$work/package.log" 2>&1 \
    || { cat "$work/package.log" >&2; fail "package-windows.sh failed"; }
name=VornFirmwareUpdater-$version-windows-x64
setup=$work/dist/$name-setup.exe
[ -f "$setup" ] && [ -f "$work/dist/$name.zip" ] || fail "no installer or no zip"

verify() {
    osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$work/verify.log" 2>&1 \
        || { cat "$work/verify.log" >&2; fail "the signature of $(basename "$1") does not verify"; }
}
unzip -q -d "$work/zip" "$work/dist/$name.zip"
for exe in "$work/zip/$name"/*.exe "$setup"; do verify "$exe"; done
# The archive appended to the program is still where a zip reader looks for it.
unzip -l "$work/zip/$name/VornFirmwareUpdater.exe" >"$work/archive" 2>&1 || true
grep -E 'quorrel-fw-[^ ]*\.vfw$' "$work/archive" >/dev/null \
    || { cat "$work/archive" >&2; fail "the signed program's firmware archive cannot be read"; }

echo "-- silent install under Wine"
wine_run "$setup" /S >/dev/null 2>&1 || fail "the installer failed"
dir="$prefix/drive_c/Program Files/Vorn Firmware Updater"
for file in VornFirmwareUpdater.exe vfu-update.exe vfu-check-definitions.exe vfu-firmware-tool.exe \
            LICENSE.txt LICENSE-DejaVu-fonts.txt README.txt Uninstall.exe; do
    [ -f "$dir/$file" ] || fail "not installed: $file"
done
verify "$dir/Uninstall.exe"
shortcut="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Quorrel Firmware Updater.lnk"
[ -f "$shortcut" ] || fail "no Start-menu entry"

key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\VornFirmwareUpdater'
wine_run reg query "$key" 2>/dev/null | tr -d '\r' >"$work/key" || fail "no uninstall key"
value() { sed -nE "s/^ +$1 +REG_[A-Z_]+ +(.*)$/\1/p" "$work/key"; }
[ "$(value DisplayName)" = "Quorrel Firmware Updater" ] || fail "DisplayName: $(value DisplayName)"
[ "$(value DisplayVersion)" = "$version" ] || fail "DisplayVersion: $(value DisplayVersion)"
[ "$(value Publisher)" = "Vorn" ] || fail "Publisher: $(value Publisher)"
[ "$(value InstallLocation)" = 'C:\Program Files\Vorn Firmware Updater' ] || fail "InstallLocation: $(value InstallLocation)"
[ "$(value UninstallString)" = '"C:\Program Files\Vorn Firmware Updater\Uninstall.exe"' ] || fail "UninstallString: $(value UninstallString)"
quiet=$(value QuietUninstallString)
[ "$quiet" = '"C:\Program Files\Vorn Firmware Updater\Uninstall.exe" /S' ] || fail "QuietUninstallString: $quiet"
[ -n "$(value DisplayIcon)" ] || fail "no DisplayIcon"
size=$(value EstimatedSize)
[ -n "$size" ] && [ $((size)) -gt 1000 ] || fail "EstimatedSize: $size"

echo "-- the installed, signed program starts in demo mode and finds its firmware"
user_dir=$(find "$prefix/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | sed -n 1p)
log="$user_dir/AppData/Roaming/Vorn Firmware Updater/vfu-quorrel-demo"
VFU_SIMULATE="version=2.1.12;bootloader-after=never" wine_run 'C:\Program Files\Vorn Firmware Updater\VornFirmwareUpdater.exe' \
    >"$work/stdout" 2>&1 &
app_pid=$!
deadline=$((SECONDS + 90))
until [ -f "$log" ] && grep -q "firmware version : 2.1.12" "$log"; do
    if [ $SECONDS -ge $deadline ] || ! kill -0 "$app_pid" 2>/dev/null; then
        [ -f "$log" ] && cat "$log" >&2
        fail "the installed program did not detect the simulated instrument"
    fi
    sleep 0.5
done
grep -q "No firmware file" "$log" && fail "the installed program found no firmware"
wine_run taskkill /f /im VornFirmwareUpdater.exe >/dev/null 2>&1 || true
wait "$app_pid" 2>/dev/null || true
app_pid=

VFU_SIMULATE="version=2.1.12;bootloader-after=never" timeout 60 \
    sh "$root/cmake/wine-run.sh" "$prefix" 'C:\Program Files\Vorn Firmware Updater\vfu-update.exe' --timeout 2 \
    </dev/null >"$work/update-stdout" 2>&1 || true
grep -qF "Available version: 2.1.13" "$work/update-stdout" \
    || { cat "$work/update-stdout" >&2; fail "the installed vfu-update.exe offers no firmware"; }

echo "-- silent uninstall with the key's QuietUninstallString"
# Split as Windows splits a command line: the quoted program, then its arguments.
uninstaller=${quiet#\"}
uninstaller=${uninstaller%%\"*}
read -r -a arguments <<<"${quiet:${#uninstaller}+2}"
wine_run "$uninstaller" "${arguments[@]}" >/dev/null 2>&1 || fail "the uninstaller failed"
# The uninstaller runs on from a copy of itself in the temporary folder; wait for its work.
deadline=$((SECONDS + 60))
while [ -e "$dir" ] || wine_run reg query "$key" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || { ls -la "$dir" >&2 || true; fail "the uninstaller left the folder or the key"; }
    sleep 0.5
done
[ ! -e "$shortcut" ] || fail "the Start-menu entry is left"

echo "Windows release checked: signed, installed, started, uninstalled"
