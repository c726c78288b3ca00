#!/usr/bin/env bash
# build-initramfs.sh KERNEL_DIR OUTPUT MODULE...
#
# Writes the guest's initramfs (an uncompressed newc cpio archive, which the kernel unpacks
# fastest) to OUTPUT: the static busybox of the package busybox-static with a link for each of its
# commands, the init next to this script with the functions it sources (guest-root.sh), and the
# kernel modules MODULE... (names as modprobe takes them) of the kernel unpacked in KERNEL_DIR (by
# fetch-kernel.sh) with every module they depend on. The package has no modules.dep (depmod makes
# it when the package is installed), so the dependencies come from each module's own "depends="
# entry. Compressed modules are decompressed here, so that busybox's insmod need not understand
# the compression. /modules/order lists the modules in an order in which each one's dependencies
# come first: the init loads them so.
set -euo pipefail

[ $# -ge 2 ] || { echo "usage: build-initramfs.sh KERNEL_DIR OUTPUT MODULE..." >&2; exit 2; }
kernel="$1" output="$2"
shift 2
here="$(cd "$(dirname "$0")" && pwd)"
fail() { echo "build-initramfs.sh: $*" >&2; exit 1; }

busybox=/bin/busybox
[ -x "$busybox" ] && "$busybox" --list | grep -qx switch_root ||
    fail "$busybox is missing (package busybox-static)"
file -b "$busybox" 2>/dev/null | grep -q dynamic && fail "$busybox is not statically linked"

found=("$kernel"/lib/modules/*/)
[ -d "${found[0]}" ] || fail "no lib/modules in $kernel"
modules_dir="${found[0]%/}"

# The kernel treats "-" and "_" in module names alike.
norm() { echo "${1//-/_}"; }

declare -A file_of=()
while IFS= read -r -d '' f; do
    name="${f##*/}"
    name="${name%%.ko*}"
    file_of[$(norm "$name")]="$f"
done < <(find "$modules_dir" -name '*.ko' -print0 -o -name '*.ko.*' -print0)

staging="$(mktemp -d "${TMPDIR:-/tmp}/vorn-initramfs.XXXXXX")"
trap 'rm -rf "$staging"' EXIT
mkdir -p "$staging"/{bin,dev,proc,sys,newroot,modules}

# Copies a module (decompressed) into the staging folder.
unpack_module() {
    local from="$1" to="$staging/modules/$2.ko"
    case "$from" in
        *.ko) cp "$from" "$to" ;;
        *.ko.xz) xz -dc "$from" >"$to" ;;
        *.ko.zst) zstd -qdc "$from" >"$to" ;;
        *.ko.gz) gzip -dc "$from" >"$to" ;;
        *) fail "cannot decompress $from" ;;
    esac
}

declare -A state=()
order=()
# Depth first: a module goes into the order after all it depends on.
visit() {
    local name
    name="$(norm "$1")"
    case "${state[$name]:-}" in
        done) return ;;
        busy) fail "modules depend on each other in a circle at $name" ;;
    esac
    if [ -z "${file_of[$name]:-}" ]; then
        # Built into the kernel: nothing to load.
        grep -q "/${name//_/[-_]}\.ko\$" "$modules_dir/modules.builtin" 2>/dev/null && { state[$name]="done"; return; }
        fail "no module $1 in $modules_dir"
    fi
    state[$name]=busy
    unpack_module "${file_of[$name]}" "$name"
    local depends
    depends="$(readelf -p .modinfo "$staging/modules/$name.ko" |
        sed -n 's/^ *\[ *[0-9a-f]*\]  depends=//p')"
    local d
    for d in ${depends//,/ }; do visit "$d"; done
    state[$name]="done"
    order+=("$name")
}
for m in "$@"; do visit "$m"; done
printf '%s\n' "${order[@]}" >"$staging/modules/order"

cp "$busybox" "$staging/bin/busybox"
for applet in $("$busybox" --list); do
    [ "$applet" = busybox ] || ln -s busybox "$staging/bin/$applet"
done
ln -s bin "$staging/sbin"
install -m 755 "$here/init" "$staging/init"
install -m 644 "$here/guest-root.sh" "$staging/guest-root.sh"

tmp="$output.tmp.$$"
(cd "$staging" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$tmp"
mv "$tmp" "$output"
