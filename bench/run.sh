#!/usr/bin/env bash
# Brisnak's benchmarks: the engine (build/bench/EngineBench) and the whole player against its
# floors (decoding alone, its own window without the engine, the least Qt window) and against
# mpv, on the same files, machine and run.
#
#     bash bench/run.sh            # the full run: about 40 minutes, plus about 10 to write the
#                                  # files the first time; writes docs/benchmarks.json, and the
#                                  # table in docs/benchmarks.md and README.md
#     QUICK=1 bash bench/run.sh    # short windows, 10-minute files, one repeat (about 6 minutes),
#                                  # to try the harness out: writes into ${BENCH_DIR}/work only
#
# Installs what is missing (the project's packages and bench/debian-packages.txt), builds the
# player and the harnesses into ${BENCH_DIR:-build-bench}/build, writes the files it plays once
# into ${BENCH_DIR}/files, then measures (bench/whole_player.py). Not part of ctest: it takes
# minutes. Extra arguments go to bench/whole_player.py (--only PARTS, for one).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${BENCH_DIR:-$root/build-bench}
mkdir -p "$out"

bash "$root/scripts/install-packages.sh" "$root/bench/debian-packages.txt"

# The same build the README's run command makes, without the test suites.
BUILD_DIR="$out/build" bash "$root/scripts/setup.sh" -DBRISNAK_BUILD_TESTS=OFF -DBRISNAK_BUILD_BENCH=ON

exec /usr/bin/python3 "$root/bench/whole_player.py" --root "$root" --build "$out/build" \
    --files "$out/files" --work "$out/work" ${QUICK:+--quick} "$@"
