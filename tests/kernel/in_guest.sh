#!/usr/bin/env bash
# in_guest.sh [WITH_KERNEL_OPTIONS...] -- COMMAND [ARGS...]
#
# Runs COMMAND in the kernel guest (scripts/with-kernel.sh) for ctest, and exits with status 77
# (ctest: skipped) where the guest cannot run: no QEMU, no static busybox for its initramfs, or
# no kernel in the cache and none to download.
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
skip() { echo "SKIPPED: $*"; exit 77; }

command -v qemu-system-x86_64 >/dev/null || skip "no qemu-system-x86_64 (package qemu-system-x86)"
[ -x /bin/busybox ] && /bin/busybox --list | grep -qx switch_root || skip "no static busybox (package busybox-static)"
"$root/scripts/kernel-guest/fetch-kernel.sh" >/dev/null 2>&1 || skip "no kernel in the cache and none to download"

exec "$root/scripts/with-kernel.sh" "$@"
