#!/usr/bin/env bash
# Sets up, builds and runs every test through ctest, on Qt's offscreen platform. Suites run side by
# side, one per core, but for those that listen to a sound server, which run alone (their RUN_SERIAL
# property). Extra arguments go to ctest: `bash scripts/test.sh -L fast` runs the fast tier only.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh"
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
cd "${BUILD_DIR:-$root/build}"
ctest --output-on-failure --timeout 600 --parallel "$(nproc)" "$@"
