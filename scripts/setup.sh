#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, once. Safe to run again.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config ccache
    juce-modules-source
    libasound2-dev libfreetype-dev libfontconfig1-dev libpng-dev libjpeg-dev libcurl4-openssl-dev
    libx11-dev libxrandr-dev libxinerama-dev libxcursor-dev libxcomposite-dev libxext-dev libgl-dev
    libgcrypt20-dev
    libgtest-dev libexpat1-dev
    clang libclang-rt-14-dev
    xvfb xauth xdotool imagemagick x11-utils
    zip unzip coreutils
    # the Windows flavour: MinGW-w64, zlib for it, Debian's source packages, Wine to test it
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix libz-mingw-w64-dev libgcrypt-mingw-w64-dev dpkg-dev
    wine wine64
    # the Debian package: CPack's dependency scan and the package check
    file lintian
    # manual pages, AppStream metadata and the definitions graph, and their checks
    man-db groff-base appstream graphviz
    # the check of the README's and the guides' links (and the program benchmark)
    python3
    # the Windows installer and its Authenticode signature
    nsis osslsigncode openssl
    # the kernel guest: QEMU, and busybox for its initramfs (the kernel itself is unpacked, not installed)
    qemu-system-x86 busybox-static cpio
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
    echo "Installing: ${missing[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

# libpng, libjpeg-turbo and Expat for the Windows flavour, built once into a cache folder.
"$(dirname "$0")"/setup-windows-deps.sh
