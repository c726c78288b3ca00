#!/usr/bin/env bash
# sequencer_semantics.sh PROGRAM [ARGS...]
#
# Runs the sequencer-semantics program (vfu_sequencer_semantics, the same one that ctest runs on
# the test sequencer as sequencer_semantics) against the kernel's own ALSA sequencer, in a guest
# running Debian's kernel (scripts/with-kernel.sh), so that the test sequencer is held to the
# kernel by the same checks. Exits with the program's status, or 77 (skipped) where the guest
# cannot run here: no QEMU, no kernel to be had, or no scripts/with-kernel.sh.
set -uo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
guest="$root/scripts/with-kernel.sh"

if [ $# -eq 0 ]; then
    echo "usage: sequencer_semantics.sh PROGRAM [ARGS...]" >&2
    exit 2
fi

program="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
shift

if [ ! -x "$guest" ]; then
    echo "sequencer_semantics.sh: $guest is missing: skipped" >&2
    exit 77
fi

if [ ! -x "$program" ]; then
    echo "sequencer_semantics.sh: no program $program" >&2
    exit 1
fi

# The guest sees this machine's / read-only and has its own /tmp, so the program runs where it was
# built, and writes nothing. with-kernel.sh says 2 for what this machine lacks (its tools, a kernel).
# A test sequencer this may run beside is not the guest's.
env -u VFU_TEST_SEQ_SOCKET "$guest" --timeout 300 -- "$program" "$@"
status=$?

if [ "$status" -eq 2 ]; then
    echo "sequencer_semantics.sh: the kernel guest cannot run here: skipped" >&2
    exit 77
fi

exit "$status"
