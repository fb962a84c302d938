#!/usr/bin/env bash
# Sets up, builds and runs every test through ctest, on Qt's offscreen platform.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh"
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
cd "${BUILD_DIR:-$root/build}"
ctest --output-on-failure --timeout 600 "$@"
