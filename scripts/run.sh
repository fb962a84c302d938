#!/usr/bin/env bash
# Sets up, builds and starts the player.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh"
exec "${BUILD_DIR:-$root/build}/src/brisnak" "$@"
