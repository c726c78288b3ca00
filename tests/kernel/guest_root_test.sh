#!/usr/bin/env bash
# guest_root_test.sh: where the kernel guest finds the repository (scripts/kernel-guest/guest-root.sh),
# checked without booting it, in a private mount namespace (unshare): once the guest's own empty
# /tmp, /var/tmp, /run and /root are mounted, a repository cloned into each of them that this
# account can write to, and this repository wherever it is, is mounted at its path and found
# through the path it was reached by: a symbolic link beside it, one in a hidden folder that leads
# to a seen one, and one in a seen folder that leads into a hidden one. Exits 77 (skipped) where
# no mount namespace can be made.
set -uo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
fail() { echo "FAIL: $*" >&2; exit 1; }

unshare --map-root-user --mount true 2>/dev/null || { echo "SKIPPED: no private mount namespace here"; exit 77; }

# The cases, as "PATH|REACHED_BY|FILE": the repository's path without symbolic links, the path it
# is reached by, and a file the guest must find through the latter. This repository comes first:
# the folder inside it is then seen, wherever the repository is.
repo="$(cd "$root" && pwd -P)"
cases=("$repo|$root|tests/kernel/guest_root_test.sh")
seen="$(mktemp -d "$root/build-guest-root.XXXXXX")"
folders=("$seen")
trap 'rm -rf "${folders[@]}"' EXIT

hidden=()
for base in /tmp /var/tmp /run /root "${HOME:-/root}"; do
    [ -d "$base" ] && [ -w "$base" ] || continue
    case " ${hidden[*]} " in *" $base "*) continue ;; esac
    hidden+=("$base")
    folder="$(mktemp -d "$base/vfu-guest-root.XXXXXX")" || fail "cannot make a folder in $base"
    folders+=("$folder")
    mkdir "$folder/clone" && echo "$base" >"$folder/clone/marker" && ln -s clone "$folder/link" || fail "cannot fill $folder"
    cases+=("$(cd "$folder/clone" && pwd -P)|$folder/link|marker")
done
[ ${#hidden[@]} -ge 2 ] || fail "neither /tmp nor /var/tmp can be written to"
first="${folders[1]}"
ln -s "$first/clone" "$seen/into-hidden" && ln -s "$repo" "$first/to-seen" || fail "cannot make the links"
cases+=("$(cd "$first/clone" && pwd -P)|$seen/into-hidden|marker" "$repo|$first/to-seen|tests/kernel/guest_root_test.sh")

# In the namespace, as the guest's init and job script do: each repository opened before the
# guest's own folders hide it, then mounted from that descriptor as the guest mounts its share.
unshare --map-root-user --mount bash -s -- "$root/scripts/kernel-guest/guest-root.sh" "${hidden[@]}" -- "${cases[@]}" <<'IN_NAMESPACE'
set -uo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
. "$1"
shift
hidden=()
while [ "$1" != -- ]; do hidden+=("$1"); shift; done
shift
descriptors=()
for c in "$@"; do
    exec {fd}<"${c%%|*}" || fail "cannot open ${c%%|*}"
    descriptors+=("$fd")
done

guest_own_folders "" || fail "cannot mount the guest's own folders"
for base in "${hidden[@]}"; do
    [ -z "$(ls -A "$base")" ] || [ "$base" = /run ] || fail "$base is not empty under the guest's own folders"
done

i=0
for c in "$@"; do
    path="${c%%|*}" rest="${c#*|}"
    reached="${rest%%|*}" file="${rest#*|}"
    fd="${descriptors[$i]}"
    i=$((i + 1))
    # (Two cases may share a repository; mount does not resolve the descriptor's path by its
    # name, which now leads into the guest's own folders.)
    if ! mountpoint -q "$path"; then
        problem=$(guest_repository_folder "" "$path") || fail "$path: $problem"
        mount --no-canonicalize --bind "/proc/self/fd/$fd" "$path" || fail "cannot mount $path"
    fi
    guest_repository_link "$path" "$reached" || fail "cannot link $reached to $path"
    [ -f "$path/$file" ] || fail "$path/$file is not found in the guest's root"
    [ -f "$reached/$file" ] || fail "$reached/$file (reached by a link to $path) is not found in the guest's root"
    (cd "$reached" && [ -f "$file" ]) || fail "cannot work in $reached"
    echo "ok: $reached -> $path"
done
IN_NAMESPACE
