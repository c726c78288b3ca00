#!/usr/bin/env bash
# Makes the Windows release from the Windows build (build-windows/) into a folder:
#   VornFirmwareUpdater-<version>-windows-x64.zip        the program with its firmware, the
#                                                        command-line tools, a read-me, the licences
#   VornFirmwareUpdater-<version>-windows-x64-setup.exe  the same as an installer (NSIS): Start-menu
#                                                        entry, licence page, an uninstaller that
#                                                        Windows lists; /S installs silently
# When VFU_AUTHENTICODE_CERT and VFU_AUTHENTICODE_KEY are set, every .exe is signed with
# Authenticode (scripts/authenticode-sign.sh): the programs before they go into the zip and the
# installer, the uninstaller as the installer is made, and the installer itself; setting only one
# of the two is an error. Without them nothing is signed.
#
# usage: package-windows.sh <output folder>     (scripts/package.sh runs it with dist/)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mkdir -p "$1"
out=$(realpath "$1")

signing=
if [ -n "${VFU_AUTHENTICODE_CERT:-}" ] || [ -n "${VFU_AUTHENTICODE_KEY:-}" ]; then
    [ -n "${VFU_AUTHENTICODE_CERT:-}" ] && [ -n "${VFU_AUTHENTICODE_KEY:-}" ] \
        || { echo "package-windows.sh: set both VFU_AUTHENTICODE_CERT and VFU_AUTHENTICODE_KEY, or neither" >&2; exit 2; }
    VFU_AUTHENTICODE_CERT=$(realpath "$VFU_AUTHENTICODE_CERT")
    VFU_AUTHENTICODE_KEY=$(realpath "$VFU_AUTHENTICODE_KEY")
    export VFU_AUTHENTICODE_CERT VFU_AUTHENTICODE_KEY
    signing=$root/scripts/authenticode-sign.sh
fi

version=$(sed -nE 's/^project\(VornFirmwareUpdater VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
name=VornFirmwareUpdater-$version-windows-x64
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/$name
mkdir -p "$stage"

# The program keeps its symbols stripped at link time: strip would cut off its firmware archive.
cp build-windows/src/VornFirmwareUpdater.exe "$stage/"
find build-windows/tools -mindepth 2 -maxdepth 2 -name '*.exe' -exec cp {} "$stage/" \;
# Windows text files: CR LF line ends.
crlf() { sed 's/\r*$/\r/' "$1" > "$2"; }
sed "s/@VERSION@/$version/" packaging/README-windows.txt > "$work/README.txt"
crlf "$work/README.txt" "$stage/README.txt"
crlf LICENSE "$stage/LICENSE.txt"
crlf packaging/LICENSE-DejaVu-fonts.txt "$stage/LICENSE-DejaVu-fonts.txt"

# Signed after the firmware archive was appended (by the build), before anything is packed.
if [ -n "$signing" ]; then
    "$signing" "$stage"/*.exe
    echo "signed: $(cd "$stage" && echo *.exe)"
fi

echo "== Windows zip =="
rm -f "$out/$name.zip"
(cd "$work" && zip -q -r -X -9 "$out/$name.zip" "$name")
ls "$out/$name.zip"

echo "== Windows installer =="
# The icon of the installer, the uninstaller and the Start-menu entry, made from the logo.
convert resources/VornLogo.png -background none -resize 256x256 -gravity center -extent 256x256 \
    -define icon:auto-resize=256,48,32,16 "$work/VornFirmwareUpdater.ico"
# The files it installs and removes, named one by one: the uninstaller removes only what it put there.
: > "$work/files.nsh"
for file in "$stage"/*; do
    echo "!insertmacro VFU_FILE \"$(basename "$file")\"" >> "$work/files.nsh"
done
echo "!insertmacro VFU_FILE \"VornFirmwareUpdater.ico\"" >> "$work/files.nsh"
cp "$work/VornFirmwareUpdater.ico" "$stage/"

setup=$out/$name-setup.exe
rm -f "$setup"
makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DSTAGE="$stage" -DFILES="$work/files.nsh" \
    -DICON="$work/VornFirmwareUpdater.ico" -DOUTFILE="$setup" ${signing:+-DSIGN="$signing"} \
    packaging/windows-installer.nsi
if [ -n "$signing" ]; then
    "$signing" "$setup"
fi
ls "$setup"
