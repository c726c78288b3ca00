#!/usr/bin/env bash
# vfu-firmware-tool never blocks on an input that is no regular file: verify, inspect, pack's
# images and sign (package and key) all refuse a FIFO at once, and leave it where it was. A
# missing file, a folder and a file too large are refused with a reason that names the case.
# usage: firmware_tool_inputs.sh <vfu-firmware-tool>
set -euo pipefail

tool=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }

"$tool" image --family 6 --version 2.1.14 --size 2048 -o quorrel-fw-2.1.14.syx
"$tool" pack -o quorrel-fw-2.1.14.vfw quorrel-fw-2.1.14.syx
"$tool" keygen -o maker.key >/dev/null
mkfifo quorrel-fw-2.1.15.vfw quorrel-fw-2.1.15.syx fifo.key

# refuses <what> <command...>: exit status 1 within 10 s, with a reason, the FIFO still there.
refuses() {
    local what=$1; shift
    set +e
    out=$(timeout 10 "$tool" "$@" 2>&1)
    rc=$?
    set -e
    [ $rc -ne 124 ] || fail "$what: blocked on a FIFO"
    [ $rc -eq 1 ] || fail "$what: exit status $rc, expected 1 ($out)"
    printf '%s\n' "$out" | grep -q "cannot read" || fail "$what: no reason given: $out"
}

refuses "verify" verify quorrel-fw-2.1.15.vfw --device Quorrel
refuses "inspect" inspect quorrel-fw-2.1.15.syx
refuses "pack" pack -o quorrel-fw-2.1.15-packed.vfw quorrel-fw-2.1.15.syx
refuses "sign (package)" sign --key maker.key quorrel-fw-2.1.15.vfw
refuses "sign (key)" sign --key fifo.key quorrel-fw-2.1.14.vfw

for fifo in quorrel-fw-2.1.15.vfw quorrel-fw-2.1.15.syx fifo.key; do
    [ -p "$fifo" ] || fail "$fifo is no longer a FIFO"
done
[ ! -e quorrel-fw-2.1.15-packed.vfw ] || fail "pack wrote a package from a FIFO"

# Each other case is named as what it is: a missing file, a folder, a file too large.
says() {
    local what=$1 reason=$2; shift 2
    set +e
    out=$("$tool" "$@" 2>&1)
    rc=$?
    set -e
    [ $rc -eq 1 ] || fail "$what: exit status $rc, expected 1 ($out)"
    printf '%s\n' "$out" | grep -qF "$reason" || fail "$what: expected '$reason': $out"
}
mkdir folder.vfw
truncate -s 300M quorrel-fw-2.1.16.vfw
says "verify (missing)" "it does not exist" verify quorrel-fw-9.9.9.vfw --device Quorrel
says "sign (missing package)" "it does not exist" sign --key maker.key quorrel-fw-9.9.9.vfw
says "sign (missing key)" "it does not exist" sign --key missing.key quorrel-fw-2.1.14.vfw
says "inspect (missing)" "it does not exist" inspect quorrel-fw-9.9.9.syx
says "pack (missing)" "it does not exist" pack -o out.vfw quorrel-fw-9.9.9.syx
says "verify (folder)" "it is not a regular file" verify folder.vfw
says "verify (too large)" "it is larger than" verify quorrel-fw-2.1.16.vfw --device Quorrel
says "inspect (FIFO)" "it is not a regular file" inspect quorrel-fw-2.1.15.syx

# The same commands still read regular files.
[ "$("$tool" verify quorrel-fw-2.1.14.vfw --device Quorrel)" = 2.1.14 ] || fail "verify of a regular file"
"$tool" inspect quorrel-fw-2.1.14.syx | grep -q "version 2.1.14" || fail "inspect of a regular file"

echo "every input of the tool is refused at once when it is a FIFO, and every refusal says why"
