#!/usr/bin/env bash
# guest_root_test.sh: where the kernel guest finds the repository (scripts/kernel-guest/guest-root.sh),
# checked without booting it, in a private mount namespace: once the guest's own empty /tmp,
# /var/tmp, /run and /root are mounted, this repository, a clone in each of those folders that can
# be written to, and symbolic links (beside a clone, from a seen folder into a hidden one and back)
# lead to their files. Exits 77 (skipped) where no mount namespace can be made.
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
unshare -rm true 2>/dev/null || { echo "SKIPPED: no private mount namespace here"; exit 77; }

# Cases of three words: the path without symbolic links, the path it is reached by, a file there.
# This repository comes first, so that the folder inside it is seen once it is mounted.
repo="$(cd "$root" && pwd -P)" me=tests/kernel/guest_root_test.sh
seen="$(mktemp -d "$root/build-guest-root.XXXXXX")"
folders=("$seen") hidden=() cases=("$repo" "$root" "$me")
trap 'rm -rf "${folders[@]}"' EXIT
for base in /tmp /var/tmp /run /root; do
    [ -w "$base" ] || continue
    f="$(mktemp -d "$base/vfu-guest-root.XXXXXX")" && mkdir "$f/clone" && touch "$f/clone/marker" &&
        ln -s clone "$f/link" || { echo "FAIL: cannot fill a folder in $base" >&2; exit 1; }
    folders+=("$f") hidden+=("$base") cases+=("$(cd "$f/clone" && pwd -P)" "$f/link" marker)
done
ln -s "${cases[3]}" "$seen/into-hidden" && ln -s "$repo" "${folders[1]}/to-seen" || exit 1
cases+=("${cases[3]}" "$seen/into-hidden" marker "$repo" "${folders[1]}/to-seen" "$me")

# As the guest's init and job script do; each repository is opened before the guest's own
# folders hide it and mounted from that descriptor (not by its name, which leads there now).
unshare -rm bash -s -- "$root/scripts/kernel-guest/guest-root.sh" "${hidden[*]}" "${cases[@]}" <<'IN_NAMESPACE'
fail() { echo "FAIL: $*" >&2; exit 1; }
. "$1"
hidden=($2)
shift 2
descriptors=()
for ((i = 1; i <= $#; i += 3)); do exec {fd}<"${!i}" && descriptors+=("$fd") || fail "cannot open ${!i}"; done
guest_own_folders "" || fail "cannot mount the guest's own folders"
for base in "${hidden[@]}"; do [ "$base" = /run ] || [ -z "$(ls -A "$base")" ] || fail "$base is not hidden"; done
for fd in "${descriptors[@]}"; do
    path=$1 reached=$2 file=$3
    shift 3
    if ! mountpoint -q "$path"; then
        problem=$(guest_repository_folder "" "$path") || fail "$path: $problem"
        mount --no-canonicalize --bind "/proc/self/fd/$fd" "$path" || fail "cannot mount $path"
    fi
    guest_repository_link "$path" "$reached" || fail "cannot link $reached to $path"
    (cd "$reached" && [ -f "$file" ]) || fail "$reached/$file (of $path) is not found"
    echo "ok: $reached -> $path"
done
IN_NAMESPACE
