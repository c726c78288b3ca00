#!/usr/bin/env bash
# vfu-firmware-tool's signing commands as a maker uses them: keygen, sign, verify with a key.
# usage: firmware_tool_signing.sh <vfu-firmware-tool>
set -euo pipefail

tool=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }

# Exit code and output of one command, without stopping the script.
# (A debug build's framework prints its version banner first; it is not the tool's output.)
run() { set +e; out=$("$tool" "$@" 2>&1); rc=$?; set -e; out=$(printf '%s\n' "$out" | grep -v '^JUCE v' || true); }

public=$("$tool" keygen -o maker.key)
[[ "$public" =~ ^[0-9a-f]{64}$ ]] || fail "keygen printed no public key: $public"
[ "$(stat -c %a maker.key)" = 600 ] || fail "the key file is readable by others: $(stat -c %a maker.key)"
run keygen -o maker.key
[ $rc -eq 1 ] || fail "keygen replaced an existing key file"

"$tool" image --family 6 --version 2.1.14 --size 2048 -o quorrel-fw-2.1.14.syx
"$tool" pack -o quorrel-fw-2.1.14.vfw quorrel-fw-2.1.14.syx

run verify quorrel-fw-2.1.14.vfw --device Quorrel --public-key "$public"
[ $rc -eq 1 ] && [ "$out" = "not acceptable: not signed" ] || fail "unsigned: $rc $out"

"$tool" sign --key maker.key quorrel-fw-2.1.14.vfw
run verify quorrel-fw-2.1.14.vfw --device Quorrel --public-key "$public"
[ $rc -eq 0 ] && [ "$out" = 2.1.14 ] || fail "signed: $rc $out"

other=$("$tool" keygen -o other.key)
run verify quorrel-fw-2.1.14.vfw --device Quorrel --public-key "$other"
[ $rc -eq 1 ] && [ "$out" = "not acceptable: signature does not verify" ] || fail "other key: $rc $out"

run verify quorrel-fw-2.1.14.vfw --device Quorrel --public-key 1234
[ $rc -eq 1 ] || fail "a malformed public key was taken: $rc $out"

echo "keygen, sign and verify behave"
