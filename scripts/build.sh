#!/usr/bin/env bash
# Configures and builds one flavour of the project: build.sh [release|asan|tsan|fuzz|windows] [TARGET...]
# (every target when none is named).
set -euo pipefail
cd "$(dirname "$0")/.."

flavour=${1:-release}
targets=("${@:2}")
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1

case "$flavour" in
    release) dir=build;      opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    asan)    dir=build-asan; opts=(-DCMAKE_BUILD_TYPE=Debug -DVFU_SANITIZE=ON) ;;
    tsan)    dir=build-tsan; opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVFU_TSAN=ON) ;;
    fuzz)    dir=build-fuzz; opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVFU_FUZZ=ON -DVFU_BUILD_TESTS=OFF
                                   -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
    windows) dir=build-windows; opts=(-DCMAKE_BUILD_TYPE=Release
                                      -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake"
                                      -DVFU_HOST_FIRMWARE_TOOL="$PWD/build/tools/vfw-tool/vfu-firmware-tool") ;;
    *) echo "unknown flavour $flavour" >&2; exit 2 ;;
esac

# The Windows build makes its firmware package with the firmware tool of the Linux build.
if [ "$flavour" = windows ]; then
    if [ ! -f build/build.ninja ]; then
        cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    fi
    ninja -C build -j2 vfu-firmware-tool
fi

# Configure once; afterwards ninja re-runs CMake itself when a CMake file changes. (A fresh
# configure would rewrite the resource list and so rebuild and relink everything.)
if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja "${opts[@]}" >/dev/null
fi
ninja -C "$dir" -j2 "${targets[@]}"
