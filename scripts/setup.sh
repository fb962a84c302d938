#!/usr/bin/env bash
# Installs what is missing from scripts/debian-packages.txt, then configures and builds into
# ${BUILD_DIR:-build}. Extra arguments go to the CMake configure step.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}

bash "$root/scripts/install-packages.sh" "$root/scripts/debian-packages.txt"

cmake -S "$root" -B "$build" "$@"
cmake --build "$build" --parallel "$(nproc)"
