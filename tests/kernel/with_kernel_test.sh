#!/usr/bin/env bash
# with_kernel_test.sh: checks what scripts/with-kernel.sh promises, on this machine (four guests,
# about a minute): COMMAND's status, its stdout and stderr apart, its folder and environment, the
# read-only root and the writable repository and scratch folders; --timeout (124); a guest that
# does not boot in time (125); an interrupt, after which no QEMU is left. Prints "ok" per check;
# exits 1 at the first failure.
set -uo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
with_kernel="$root/scripts/with-kernel.sh"
fail() { echo "FAIL: $*" >&2; exit 1; }

# Everything of this test's own, the guests' job folders included (TMPDIR), in one folder inside
# the repository (build-*/ is ignored by git), so that its QEMUs can be found by that path.
scratch="$(mktemp -d "$root/build-kernel-test.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
export TMPDIR="$scratch"

# One guest: the checks inside say what they found on stdout, errors on stderr, and end with 7.
cd "$root/tests" || exit 1
VFU_CHECK=passed UNLISTED=leaked "$with_kernel" --env EXTRA=given --env UNSET_HERE -- bash -c '
    echo "cwd=$PWD user=$(id -un) home=$HOME vfu=${VFU_CHECK:-} extra=${EXTRA:-} unlisted=${UNLISTED:-}"
    touch /usr/with-kernel-test 2>/dev/null && echo "root=writable" || echo "root=read-only"
    echo guest >'"$scratch"'/written-in-guest && echo "repository=writable"
    for d in /tmp /var/tmp /run /root /dev/shm; do touch $d/x || echo "$d not writable"; done
    echo "to stderr" >&2
    exit 7' >"$scratch/out" 2>"$scratch/err"
status=$?
[ $status = 7 ] || fail "status $status, not 7; stderr: $(cat "$scratch/err")"
expected="cwd=$root/tests user=root home=/root vfu=passed extra=given unlisted=
root=read-only
repository=writable"
[ "$(cat "$scratch/out")" = "$expected" ] || fail "the guest said: $(cat "$scratch/out"); expected: $expected"
grep -qx "to stderr" "$scratch/err" || fail "stderr was: $(cat "$scratch/err")"
[ "$(cat "$scratch/written-in-guest")" = guest ] || fail "the guest's write into the repository is not here"
echo "ok: status, stdout and stderr apart, folder, environment, read-only root, writable folders"

start=$SECONDS
"$with_kernel" --timeout 3 sh -c 'trap "" TERM; sleep 100' 2>"$scratch/err"
status=$?
[ $status = 124 ] || fail "--timeout 3: status $status, not 124"
grep -q "ran longer than 3 s" "$scratch/err" || fail "--timeout 3 said: $(cat "$scratch/err")"
[ $((SECONDS - start)) -lt 90 ] || fail "--timeout 3 took $((SECONDS - start)) s"
echo "ok: --timeout ends COMMAND, even one that ignores SIGTERM (124)"

VFU_KERNEL_BOOT_TIMEOUT=1 "$with_kernel" true 2>"$scratch/err"
status=$?
[ $status = 125 ] || fail "a guest allowed 1 s to boot: status $status, not 125"
grep -q "did not boot within 1 s" "$scratch/err" || fail "a guest allowed 1 s to boot said: $(cat "$scratch/err")"
echo "ok: a guest that does not boot in time (125)"

# An interrupt while COMMAND runs (in a job of its own, as a terminal's Ctrl-C would reach it).
set -m
"$with_kernel" sh -c 'echo running; sleep 100' >"$scratch/out" 2>/dev/null &
pid=$!
set +m
for _ in $(seq 120); do grep -q running "$scratch/out" && break; sleep 0.5; done
grep -q running "$scratch/out" || fail "the guest for the interrupt did not start COMMAND"
kill -INT $pid
wait $pid
status=$?
[ $status = 130 ] || fail "interrupted: status $status, not 130"
sleep 1
pgrep -f "qemu-system-x86_64.*$scratch" >/dev/null && fail "a QEMU is left after the interrupt"
echo "ok: an interrupt ends the guest (130), no QEMU left"
