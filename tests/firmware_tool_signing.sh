#!/usr/bin/env bash
# vfu-firmware-tool as a maker uses it: keygen, sign, verify with a key, and pack and verify
# judging a package by the images the definitions send.
# usage: firmware_tool_signing.sh <vfu-firmware-tool> <StateMachines.xml>
set -euo pipefail

tool=$(realpath "$1")
definitions=$(realpath "$2")
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

# A placeholder key of zeros is a point of small order: refused, and the tool does not abort.
run verify quorrel-fw-2.1.14.vfw --public-key 0000000000000000000000000000000000000000000000000000000000000000
[ $rc -eq 1 ] && [[ "$out" == *"is a point of small order"* ]] || fail "a small-order key: $rc $out"

# pack writes nothing the updater would refuse: image names that do not give the list's version
# in the form the definitions send it.
for name in Quorrel-FW-2.2.0.syx quorrel-fw-02.2.0.syx; do
    "$tool" image --family 6 --version 2.2.0 --size 1024 -o "$name"
    run pack -o slip.vfw "$name"
    [ $rc -eq 1 ] && [ ! -e slip.vfw ] && [[ "$out" == *"it holds no quorrel-fw-2.2.0.syx"* ]] || fail "pack $name: $rc $out"
done

# verify judges as the updater does: a list named 2.2.0 over the 2.1.14 image, made by hand.
sha256sum -b quorrel-fw-2.1.14.syx > quorrel-fw-2.2.0.sha
zip -q -0 stale.vfw quorrel-fw-2.2.0.sha quorrel-fw-2.1.14.syx
run verify stale.vfw
[ $rc -eq 1 ] && [ "$out" = "not acceptable: it holds no quorrel-fw-2.2.0.syx, the image the definitions send at version 2.2.0" ] \
    || fail "stale list: $rc $out"

# With definitions that send another image, the same package lacks it.
sed 's/messageKind="quorrel-fw-/messageKind="quorrel-main-/' "$definitions" > StateMachines.xml
run verify quorrel-fw-2.1.14.vfw --definitions StateMachines.xml
[ $rc -eq 1 ] && [[ "$out" == *"it holds no quorrel-main-2.1.14.syx"* ]] || fail "other definitions: $rc $out"
run verify quorrel-fw-2.1.14.vfw
[ $rc -eq 0 ] && [ "$out" = 2.1.14 ] || fail "inbuilt definitions: $rc $out"

echo "keygen, sign, pack and verify behave"
