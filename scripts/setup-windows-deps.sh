#!/usr/bin/env bash
# Builds the libraries that the Windows flavour links statically and Debian does not package for
# MinGW-w64: libpng, libjpeg-turbo and Expat, from Debian's own source packages, with the same
# toolchain as the program. Runs once: a later call finds the stamp and returns at once.
#
# The sources come through a private apt configuration whose deb-src entries are made from the
# machine's own apt sources, so the machine's apt configuration is left as it is.
#
# The result goes to $VFU_WINDOWS_DEPS (default ~/.cache/vfu-windows-deps), where
# cmake/mingw-w64-x86_64.cmake looks for it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

prefix=${VFU_WINDOWS_DEPS:-$HOME/.cache/vfu-windows-deps}
source_packages=(libpng1.6 libjpeg-turbo expat)
# Bump when the way the libraries are built changes, so that old caches are rebuilt.
recipe=1
stamp=$prefix/.built-$recipe-$(IFS=-; echo "${source_packages[*]}")

if [ -f "$stamp" ]; then
    exit 0
fi

echo "Building the Windows libraries (${source_packages[*]}) into $prefix"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A private apt: its own source list (the machine's entries, as deb-src), lists and archives.
apt_dir=$work/apt
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/archives/partial"
for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    sed -E 's/^Types:.*/Types: deb-src/' "$f" > "$apt_dir/sources.list.d/$(basename "$f")"
done
: > "$apt_dir/sources.list"
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -nE 's/^[[:space:]]*deb[[:space:]]+/deb-src /p' "$f" >> "$apt_dir/sources.list"
done
apt_options=(
    -o "Dir::Etc::SourceList=$apt_dir/sources.list"
    -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
    -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::Cache::Archives=$apt_dir/archives"
    -o "Dir::Cache::pkgcache="
    -o "Dir::Cache::srcpkgcache="
    -o "APT::Sandbox::User=root"
)
apt-get "${apt_options[@]}" -qq update
# The newest source first; a mirror that lacks it (security updates are not always mirrored)
# still has the release's own.
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
for p in "${source_packages[@]}"; do
    (cd "$work" && { apt-get "${apt_options[@]}" -qq source "$p" >/dev/null 2>&1 \
                     || apt-get "${apt_options[@]}" -qq source "$p/$codename" >/dev/null; })
done

toolchain=$root/cmake/mingw-w64-x86_64.cmake
export CCACHE_DISABLE=1
rm -rf "$prefix"
mkdir -p "$prefix"

# Debian's patches to Expat test "#if XML_DTD == 1", as its autotools build defines it; the
# CMake build defines it empty.
after_configure() {
    if [ "$1" = expat ]; then
        sed -i -E 's/^#define XML_DTD[[:space:]]*$/#define XML_DTD 1/' "$2/expat_config.h"
    fi
}

build() {
    local name=$1; shift
    local source
    source=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name "$name-*" | sed -n 1p)
    [ -n "$source" ] || { echo "no unpacked source for $name" >&2; exit 1; }
    local cmake_source=$source
    [ -f "$cmake_source/CMakeLists.txt" ] || cmake_source=$source/expat
    local log=$work/build-$name.log
    if ! { cmake -S "$cmake_source" -B "$work/build-$name" -G Ninja -Wno-dev \
               -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DVFU_WINDOWS_DEPS="$prefix" \
               -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
               -DCMAKE_POSITION_INDEPENDENT_CODE=ON "$@" \
           && after_configure "$name" "$work/build-$name" \
           && ninja -C "$work/build-$name" -j2 install; } >"$log" 2>&1; then
        tail -40 "$log" >&2
        echo "building $name for Windows failed" >&2
        exit 1
    fi
    echo "  $name: $(basename "$source")"
}

build libpng1.6 -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF -DSKIP_INSTALL_PROGRAMS=ON
build libjpeg-turbo -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DWITH_SIMD=OFF
build expat -DEXPAT_SHARED_LIBS=OFF -DEXPAT_BUILD_TOOLS=OFF -DEXPAT_BUILD_TESTS=OFF \
    -DEXPAT_BUILD_EXAMPLES=OFF -DEXPAT_BUILD_DOCS=OFF -DEXPAT_BUILD_FUZZERS=OFF

# The framework's decoder includes the library's internal header as well.
jpeg_source=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'libjpeg-turbo-*' | sed -n 1p)
cp "$jpeg_source/jpegint.h" "$prefix/include/"

# jconfig.h leaves out its boolean typedef when windows.h came first (rpcndr.h has one), but the
# framework includes the library inside a namespace of its own and names that namespace's
# boolean. A repeated typedef of the same type is harmless, so the installed header always has it.
sed -i 's|^#ifndef __RPCNDR_H__.*|#if 1 /* always: the framework looks for its own boolean */|' "$prefix/include/jconfig.h"
grep -q 'typedef unsigned char boolean;' "$prefix/include/jconfig.h" \
    || { echo "jconfig.h has no boolean typedef to keep" >&2; exit 1; }

touch "$stamp"
