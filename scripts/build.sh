#!/usr/bin/env bash
# Configures and builds one flavour of the project:
#   build.sh [release|asan|tsan|fuzz|windows] [-DNAME=VALUE...] [TARGET...]
# (every target when none is named). -D settings are CMake cache settings for that flavour's
# folder (for example -DVFU_FIRMWARE_VERSION=2.1.14); they stay set for later builds.
# A folder that was configured by hand (cmake -B build ...) is accepted: one made with another
# generator than Ninja is configured again with Ninja, keeping its VFU_* settings.
set -euo pipefail
cd "$(dirname "$0")/.."

flavour=${1:-release}
if [ $# -gt 0 ]; then shift; fi
targets=()
settings=()
for arg in "$@"; do
    case "$arg" in
        -D*) settings+=("$arg") ;;
        *) targets+=("$arg") ;;
    esac
done
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
    *) echo "unknown flavour $flavour (release, asan, tsan, fuzz or windows)" >&2; exit 2 ;;
esac

# cached NAME FOLDER: the value of a cache entry, empty when the folder has none.
cached() {
    [ -f "$2/CMakeCache.txt" ] || return 0
    sed -n "s/^$1:[A-Z]*=//p" "$2/CMakeCache.txt" | head -n 1
}

# A folder that CMake configured with another generator (Unix Makefiles is CMake's default) cannot
# be switched to Ninja in place. Its cache and CMake's files in it are removed and it is configured
# again with Ninja; the settings given to it (VFU_*, the build type) are passed on, so a maker's
# firmware settings stay. Objects in it are made again (from the compiler cache).
convert_to_ninja() {
    local folder=$1 generator kept=()
    generator=$(cached CMAKE_GENERATOR "$folder")
    [ -n "$generator" ] && [ "$generator" != Ninja ] || return 0
    while IFS= read -r line; do
        kept+=("-D$line")
    done < <(sed -nE '/^(VFU_[A-Za-z0-9_]*|CMAKE_BUILD_TYPE):(STRING|BOOL|PATH|FILEPATH|UNINITIALIZED)=/p' \
                 "$folder/CMakeCache.txt")
    echo "build.sh: $folder/ was configured with the generator '$generator'; these scripts build" \
         "with Ninja, so it is configured again with Ninja, keeping its settings:" \
         "${kept[*]:-(none)}" >&2
    rm -rf "$folder/CMakeCache.txt" "$folder/CMakeFiles"
    cmake -S . -B "$folder" -G Ninja "${kept[@]}" "${opts[@]}" "${settings[@]}" >/dev/null
}

# configure FOLDER: configure once; afterwards ninja re-runs CMake itself when a CMake file
# changes. (A fresh configure would rewrite the resource list and so rebuild and relink
# everything.) It configures again only when -D settings are given or the folder's cache lacks
# one of the flavour's settings (a folder configured by hand without a build type).
configure() {
    local folder=$1 again=0 setting name value
    convert_to_ninja "$folder"
    if [ ! -f "$folder/build.ninja" ]; then
        cmake -S . -B "$folder" -G Ninja "${opts[@]}" "${settings[@]}" >/dev/null
        return
    fi
    [ ${#settings[@]} -eq 0 ] || again=1
    for setting in "${opts[@]}"; do
        name=${setting#-D}; name=${name%%=*}; value=${setting#*=}
        case "$name" in CMAKE_TOOLCHAIN_FILE|CMAKE_C_COMPILER|CMAKE_CXX_COMPILER) continue ;; esac
        [ "$(cached "$name" "$folder")" = "$value" ] || again=1
    done
    if [ $again -eq 1 ]; then
        cmake -S . -B "$folder" "${opts[@]}" "${settings[@]}" >/dev/null
    fi
}

# The Windows build makes its firmware package with the firmware tool of the Linux build.
if [ "$flavour" = windows ]; then
    if [ ! -f build/build.ninja ] || [ "$(cached CMAKE_GENERATOR build)" != Ninja ]; then
        opts_windows=("${opts[@]}") settings_windows=("${settings[@]}")
        opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) settings=()
        configure build
        opts=("${opts_windows[@]}") settings=("${settings_windows[@]}")
    fi
    ninja -C build -j2 vfu-firmware-tool
fi

configure "$dir"
ninja -C "$dir" -j2 "${targets[@]}"
