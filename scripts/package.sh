#!/usr/bin/env bash
# Builds the release packages into dist/:
#   VornFirmwareUpdater-<version>-windows-x64.zip   the Windows program with its firmware, the
#                                                  command-line tools, a read-me and the licences
#   vorn-firmware-updater_<version>_amd64.deb       the Debian package, made with CPack
# Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/setup.sh
scripts/build.sh release
scripts/build.sh windows

version=$(sed -nE 's/^project\(VornFirmwareUpdater VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
mkdir -p dist

echo "== Debian package =="
rm -f dist/vorn-firmware-updater_*.deb
ninja -C build vfu_package_files
(cd build && cpack -G DEB >/dev/null)
ls dist/vorn-firmware-updater_"$version"_amd64.deb

echo "== Windows zip =="
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

rm -f "dist/$name.zip"
(cd "$work" && zip -q -r -X -9 "$root/dist/$name.zip" "$name")
ls "dist/$name.zip"
