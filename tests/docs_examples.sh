#!/usr/bin/env bash
# The guides' shell examples that need no instrument, run as a reader runs them: every indented
# code block that follows a line "<!-- docs-example -->" in README.md and docs/*.md. The blocks of
# one guide run in order in one bash (set -euo pipefail), so that a later block uses the files an
# earlier one made, in a scratch folder that looks like a source tree after
# `scripts/build.sh release` (resources/, scripts/ and build/ are links to the real ones), with the
# built tools first on PATH as the guides say, a home folder and a port-lock folder of its own
# (VFU_LOCK_FOLDER). A guide passes when its blocks end with status 0.
#
# usage: docs_examples.sh <source folder> <build folder>
set -uo pipefail

source_dir=$(realpath "$1")
build_dir=$(realpath "$2")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
ran=0

# blocks_of FILE: the marked blocks of FILE as one script, each block after a comment naming
# its line; nothing when FILE has none.
blocks_of() {
    # A marker may be indented (inside a list item); its block is indented four more spaces.
    awk -v file="$(basename "$1")" '
        /^ *<!-- docs-example --> *$/ {
            match($0, /^ */); indent = RLENGTH + 4; marked = 1; inblock = 0; next
        }
        marked && !inblock && /^[[:space:]]*$/ { next }
        marked && substr($0, 1, indent) == sprintf("%" indent "s", "") {
            if (!inblock) print "# " file ", line " NR
            inblock = 1; print substr($0, indent + 1); next
        }
        marked && inblock && /^[[:space:]]*$/ { print ""; next }
        { marked = 0; inblock = 0 }
    ' "$1"
}

for guide in "$source_dir/README.md" "$source_dir"/docs/*.md; do
    name=$(basename "$guide")
    script="$work/$name.sh"
    blocks_of "$guide" >"$script"
    [ -s "$script" ] || continue

    tree="$work/tree-$name"
    mkdir -p "$tree/home/Desktop" "$tree/locks"
    ln -s "$source_dir/resources" "$tree/resources"
    ln -s "$source_dir/scripts" "$tree/scripts"
    ln -s "$build_dir" "$tree/build"

    ran=$((ran + 1))
    start=$SECONDS
    (
        cd "$tree" || exit 1
        export HOME="$tree/home"
        # The examples' updaters never meet the port locks of another test or of the machine's updaters.
        export VFU_LOCK_FOLDER="$tree/locks"
        export PATH="$PWD/build/tools/check-definitions:$PWD/build/tools/vfw-tool:$PWD/build/tools/vfu-update:$PWD/build/tools/vfu-instrument:$PATH"
        unset VFU_SIMULATE VFU_TRACE XDG_CONFIG_HOME DISPLAY
        exec timeout 120 bash -euo pipefail "$script" </dev/null
    ) >"$work/$name.out" 2>&1
    status=$?
    if [ $status -eq 0 ]; then
        echo "$name: examples ran ($((SECONDS - start)) s)"
    else
        echo "FAIL: $name: the examples ended with status $status; script and output:" >&2
        cat -n "$script" >&2
        echo "--- output" >&2
        tail -n 60 "$work/$name.out" >&2
        failures=$((failures + 1))
    fi
done

[ $ran -gt 0 ] || { echo "FAIL: no marked examples found" >&2; exit 1; }
[ $failures -eq 0 ] || exit 1
echo "guides with examples checked: $ran"
