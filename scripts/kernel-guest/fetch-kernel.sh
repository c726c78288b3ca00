#!/usr/bin/env bash
# fetch-kernel.sh [CACHE]
#
# Downloads Debian's kernel package, the one linux-image-amd64 depends on (Debian 12:
# linux-image-6.1.0-N-amd64), and unpacks it with dpkg-deb into CACHE/<release>/ (boot/vmlinuz-*
# and lib/modules/<release>/). Nothing is installed on this machine. CACHE/current then names the
# release that with-kernel.sh boots. Prints that folder's path.
#
# It also writes boot/vmlinux-<release>, the kernel decompressed from vmlinuz: QEMU starts that
# ELF file directly (PVH entry), which saves the seven seconds that the kernel's own
# decompressor takes under TCG. with-kernel.sh boots vmlinuz when there is no vmlinux.
#
# CACHE defaults to ${XDG_CACHE_HOME:-$HOME/.cache}/vorn-kernel-guest. with-kernel.sh calls this
# when the cache has no kernel yet; run it by hand to move to a newer kernel after apt-get update.
set -euo pipefail

cache="${1:-${XDG_CACHE_HOME:-$HOME/.cache}/vorn-kernel-guest}"
say() { echo "fetch-kernel.sh: $*" >&2; }

# extract_vmlinux VMLINUZ OUT: finds the compressed kernel inside the bzImage (xz in Debian's
# kernels; zstd and gzip are tried too) and writes it decompressed, if it is an ELF file with the
# PVH entry note (type 18) that QEMU needs to start it.
extract_vmlinux() {
    local magic tool offset
    for magic in $'\xfd7zXZ:xz -dc --single-stream' $'\x28\xb5\x2f\xfd:zstd -qdc' $'\x1f\x8b\x08:gzip -dc'; do
        tool="${magic#*:}"
        for offset in $(LC_ALL=C grep -abo "${magic%%:*}" "$1" | cut -d: -f1); do
            # The decompressor stops at the stream's end, before the bzImage's: tail's SIGPIPE.
            tail -c +$((offset + 1)) "$1" 2>/dev/null | $tool >"$2" 2>/dev/null || true
            if [ "$(head -c 4 "$2")" = $'\x7fELF' ] &&
                readelf -n "$2" 2>/dev/null | grep -E 'Xen.*(\(0x00000012\)|PHYS32_ENTRY)' >/dev/null; then
                return 0
            fi
        done
    done
    rm -f "$2"
    return 1
}

# The metapackage names the current kernel; the package lists are read on a fresh machine first.
kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | sed -n 1p
}
package="$(kernel_package)"
if [ -z "$package" ]; then
    say "the package lists do not know linux-image-amd64; running apt-get update"
    if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
    $SUDO apt-get update -qq
    package="$(kernel_package)"
fi
[ -n "$package" ] || { say "cannot tell which kernel package linux-image-amd64 depends on"; exit 1; }
release="${package#linux-image-}"

target="$cache/$release"
if [ ! -f "$target/boot/vmlinuz-$release" ] || [ ! -d "$target/lib/modules/$release" ]; then
    mkdir -p "$cache"
    work="$(mktemp -d "$cache/.fetch.XXXXXX")"
    trap 'rm -rf "$work"' EXIT
    say "downloading $package"
    # apt downloads as its own user, who cannot write into a cache under /root: as root, it need not.
    sandbox=()
    [ "$(id -u)" -eq 0 ] && sandbox=(-o APT::Sandbox::User=root)
    (cd "$work" && apt-get download -q "${sandbox[@]}" "$package" >&2)
    deb=("$work"/*.deb)
    [ -f "${deb[0]}" ] || { say "apt-get download left no package"; exit 1; }
    dpkg-deb -x "${deb[0]}" "$work/unpacked"
    # Some releases ship the modules under usr/lib (merged /usr): look in both places.
    modules="$work/unpacked/lib/modules/$release"
    [ -d "$modules" ] || modules="$work/unpacked/usr/lib/modules/$release"
    [ -f "$work/unpacked/boot/vmlinuz-$release" ] && [ -d "$modules" ] ||
        { say "$package holds no vmlinuz-$release or no modules"; exit 1; }
    mkdir -p "$work/kernel/boot" "$work/kernel/lib/modules"
    mv "$work/unpacked/boot/vmlinuz-$release" "$work/unpacked/boot/config-$release" "$work/kernel/boot/"
    mv "$modules" "$work/kernel/lib/modules/"
    rm -rf "$target"
    mv "$work/kernel" "$target"
    say "unpacked into $target"
fi

if [ ! -f "$target/boot/vmlinux-$release" ]; then
    if extract_vmlinux "$target/boot/vmlinuz-$release" "$target/boot/vmlinux-$release.tmp.$$"; then
        mv "$target/boot/vmlinux-$release.tmp.$$" "$target/boot/vmlinux-$release"
    else
        say "cannot decompress vmlinuz-$release; the guest will boot it as it is, more slowly"
    fi
fi

# A second process that fetched the same release at the same time leaves the same link.
ln -sfn "$release" "$cache/current"
echo "$target"
