#!/bin/sh
# append-firmware-archive.sh EXECUTABLE ARCHIVE ZIP
# Appends a zip archive to a freshly linked executable and makes its offsets count from the
# executable's first byte. On failure the executable is removed, so that the next build links
# it again instead of keeping a half-made one.
set -u
executable=$1 archive=$2 zip=$3

if cat "$archive" >> "$executable" && "$zip" -A -q "$executable"; then
    exit 0
fi

echo "appending $archive to $executable failed" >&2
rm -f "$executable"
exit 1
