#!/usr/bin/env bash
# Installs what is missing on Debian 12 (bookworm) or 13 (trixie), once. Safe to run again.
#   setup.sh run    what the release build and its window need (scripts/run.sh)
#   setup.sh [test] all of that, and what every flavour and every test need (scripts/test.sh)
# Run it as yourself: it calls sudo for apt-get when you are not root.
set -euo pipefail

set_name=${1:-test}
case "$set_name" in
    run|test) ;;
    *) echo "usage: setup.sh [run|test]" >&2; exit 2 ;;
esac

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi

# The major version of the release's default clang, whose sanitizer runtimes come in a package
# named after it: the known releases by name, any other by what its package "clang" depends on.
clang_version() {
    local codename version
    codename=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release 2>/dev/null | tr -d '"')
    case "$codename" in
        bookworm) echo 14; return ;;
        trixie) echo 19; return ;;
    esac
    clang_depends() {
        apt-cache depends clang 2>/dev/null | sed -n 's/^ *Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -n 1
    }
    version=$(clang_depends)
    if [ -z "$version" ]; then
        $SUDO apt-get update -qq
        version=$(clang_depends)
    fi
    [ -n "$version" ] ||
        { echo "setup.sh: cannot tell which clang this release has (${codename:-no codename})" >&2; exit 1; }
    echo "$version"
}

# The release build (its configuration needs GoogleTest, ImageMagick's convert for the icon, zip
# for the firmware archive and Python for the tests' registration) and the window program.
run_packages=(
    build-essential cmake ninja-build pkg-config ccache
    juce-modules-source
    libasound2-dev libfreetype-dev libfontconfig1-dev libpng-dev libjpeg-dev libcurl4-openssl-dev
    libx11-dev libxrandr-dev libxinerama-dev libxcursor-dev libxcomposite-dev libxext-dev libgl-dev
    libgcrypt20-dev
    libgtest-dev libexpat1-dev
    imagemagick
    zip unzip coreutils
    python3
)

# Only for the tests, the other flavours and the release packages.
test_packages=(
    # the fuzzing flavour (its sanitizer runtimes, of the release's own clang, are added below)
    clang
    # display tests
    xvfb xauth xdotool x11-utils
    # the Windows flavour: MinGW-w64, zlib for it, Debian's source packages, Wine to test it
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix libz-mingw-w64-dev libgcrypt-mingw-w64-dev dpkg-dev
    wine wine64
    # the Debian package: CPack's dependency scan and the package check
    file lintian
    # manual pages, AppStream metadata and the definitions graph, and their checks
    man-db groff-base appstream graphviz
    # the Windows installer and its Authenticode signature
    nsis osslsigncode openssl
    # the kernel guest: QEMU, and busybox for its initramfs (the kernel itself is unpacked, not installed)
    qemu-system-x86 busybox-static cpio
)

packages=("${run_packages[@]}")
if [ "$set_name" = test ]; then
    clang_major=$(clang_version)
    packages+=("${test_packages[@]}" "libclang-rt-$clang_major-dev")
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

# libpng, libjpeg-turbo and Expat for the Windows flavour, built once into a cache folder.
if [ "$set_name" = test ]; then
    "$(dirname "$0")"/setup-windows-deps.sh
fi
