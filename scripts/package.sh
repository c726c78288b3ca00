#!/usr/bin/env bash
# Builds the release packages into dist/:
#   VornFirmwareUpdater-<version>-windows-x64.zip        the Windows program with its firmware,
#                                                        the command-line tools, a read-me and
#                                                        the licences
#   VornFirmwareUpdater-<version>-windows-x64-setup.exe  the same as an installer
#   vorn-firmware-updater_<version>_amd64.deb            the Debian package, made with CPack
# With VFU_AUTHENTICODE_CERT and VFU_AUTHENTICODE_KEY set, the Windows programs and the installer
# are signed (scripts/package-windows.sh). Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

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

scripts/package-windows.sh dist
