#!/usr/bin/env bash
# Installs what is missing, builds the updater and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh release
exec build/src/VornFirmwareUpdater "$@"
