#!/usr/bin/env bash
# Installs what the build and the window need when it is missing, builds the updater and starts
# it. Run it as yourself: the set-up asks sudo for what it installs.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ]; then
    echo "run.sh: started through sudo: build/ will belong to root and the window runs as root." \
         "Run scripts/run.sh as yourself instead; it asks sudo only to install packages." >&2
fi
scripts/setup.sh run
scripts/build.sh release
exec build/src/VornFirmwareUpdater "$@"
