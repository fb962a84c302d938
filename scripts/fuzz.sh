#!/usr/bin/env bash
# Fuzzes the engine's open, decode, seek and render path with libFuzzer (clang, with AddressSanitizer
# and UndefinedBehaviorSanitizer), in its own build tree build-fuzz.
#
#   bash scripts/fuzz.sh [SECONDS] [extra libFuzzer options]   (60 s when not given)
#
# The corpus starts from generated seed files of every format (FuzzCorpusGenerator) and the inputs
# kept in tests/fuzz/regressions; what the fuzzer learns goes to build-fuzz/corpus. A crash, a leak
# or an input that takes longer than a second fails the run and leaves the input in
# build-fuzz/findings/: copy it into tests/fuzz/regressions once it is fixed (BadInputTest replays
# that folder in every test run).
#
# The long run (docs/reliability.md) is the same command with a larger budget, for example
#   nice -n 19 bash scripts/fuzz.sh 3600
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BRISNAK_FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${1:-60}
shift || true
jobs=${BRISNAK_JOBS:-2}

flags="-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DBRISNAK_FUZZ=ON -DBRISNAK_BUILD_TESTS=ON \
    -DBRISNAK_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$build" --parallel "$jobs" --target EngineFuzzer FuzzCorpusGenerator

mkdir -p "$build/seeds" "$build/corpus" "$build/findings"
"$build/tests/fuzz/FuzzCorpusGenerator" "$build/seeds"

# Slow unwinding on malloc: the Ogg libraries have no frame pointers, and the suppressions in
# scripts/lsan.supp need to see the library call our code made.
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:fast_unwind_on_malloc=0:malloc_context_size=12
export LSAN_OPTIONS=suppressions=$root/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# -timeout=1: an input that takes longer than a second is a finding. Inputs up to 64 KiB: the
# seeds are a few KiB each.
set +e
"$build/tests/fuzz/EngineFuzzer" -max_total_time="$seconds" -timeout=1 -rss_limit_mb=2048 \
    -max_len=65536 -print_final_stats=1 -artifact_prefix="$build/findings/" "$@" \
    "$build/corpus" "$build/seeds" "$root/tests/fuzz/regressions" >"$build/last-run.log" 2>&1
status=$?
set -e
grep -E '^(stat::|Done [0-9]+ runs|SUMMARY|INFO: seed corpus)|ERROR|Test unit written' \
    "$build/last-run.log" || true
if ((status != 0)); then
    echo "fuzz: the fuzzer stopped with status $status; the end of its log:" >&2
    tail -n 80 "$build/last-run.log" >&2
fi
exit "$status"
