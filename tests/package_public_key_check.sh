#!/usr/bin/env bash
# The configuration refuses every encoding of a point of small order as the maker's public key,
# and takes a real one. usage: package_public_key_check.sh <cmake> <VfuPublicKeyCheck.cmake>
set -euo pipefail

cmake=$1
check=$2

fail() { echo "FAIL: $*" >&2; exit 1; }

# The y coordinates of the eight points of small order, and p and p + 1; the last byte's top bit
# is the sign of x, so each is tried with both.
for y in 0000000000000000000000000000000000000000000000000000000000000000 \
         0100000000000000000000000000000000000000000000000000000000000000 \
         ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f \
         26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05 \
         c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a \
         edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f \
         eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f; do
    last=${y:62:2}
    negative=$(printf '%02x' $(( 0x$last | 0x80 )))
    for key in "$y" "${y:0:62}$negative" "$(echo "$y" | tr a-f A-F)"; do
        if out=$("$cmake" -DVFU_PACKAGE_PUBLIC_KEY="$key" -P "$check" 2>&1); then
            fail "the small-order key $key was taken"
        fi
        # CMake wraps its messages; the reason is looked for with the line ends taken out.
        tr -s " \n" "  " <<<"$out" | grep -q "is a point of small order" || fail "no reason given for $key: $out"
    done
done

"$cmake" -DVFU_PACKAGE_PUBLIC_KEY=d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a -P "$check" >/dev/null \
    || fail "a real key was refused"
echo "small-order keys are refused at configuration"
