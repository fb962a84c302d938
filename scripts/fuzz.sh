#!/usr/bin/env bash
# Fuzzes the engine's open, decode, seek and render path with libFuzzer (clang).
#
#   bash scripts/fuzz.sh [SECONDS] [extra libFuzzer options]   (60 s when not given)
#   bash scripts/fuzz.sh replay DIR...                         (every input in DIR, once)
#
# By default the target is built with AddressSanitizer and UndefinedBehaviorSanitizer in its own
# build tree, build-fuzz. With BRISNAK_FUZZ_SANITIZERS=leak it is built with LeakSanitizer alone
# (build-fuzz-leak): crashes, leaks, slow inputs and the engine's own checks are still caught, at
# about 2.5 times the executions a second. With BRISNAK_FUZZ_SANITIZERS=none there is no sanitizer
# at all (build-fuzz-plain): crashes, slow inputs and the engine's own checks only, at about 1.8
# times the rate of the LeakSanitizer build. The corpus a long run grows is then replayed here
# under AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer with "replay", which checks
# every kept input for memory errors, undefined behaviour and leaks.
#
# BRISNAK_FUZZ_TARGET=DecoderFuzzer fuzzes the decoders alone (tests/fuzz/FileExercise.h), about
# three times as fast, into <build>/corpus-decoders; "replay" always runs the whole engine.
#
# The corpus starts from generated seed files of every format (FuzzCorpusGenerator) and the inputs
# kept in tests/fuzz/regressions; what the fuzzer learns goes to <build>/corpus. A crash, a leak
# or an input that takes longer than a second fails the run and leaves the input in
# <build>/findings/: copy it into tests/fuzz/regressions once it is fixed (BadInputTest replays
# that folder in every test run).
#
# The long run (docs/reliability.md), 10 million executions on two cores. Inputs up to 16 KiB run
# at twice the rate of 64 KiB (BadInputTest replays the longer regression inputs whole). At nice 19
# a starved worker reports inputs as slow that are not: the replay holds each kept input to 1 s.
#   BRISNAK_FUZZ_TARGET=DecoderFuzzer BRISNAK_FUZZ_SANITIZERS=none nice -n 19 \
#       bash scripts/fuzz.sh 28800 -jobs=2 -workers=2 -runs=5000000 -rss_limit_mb=12288 \
#       -max_len=16384 -timeout=5
#   bash scripts/fuzz.sh replay build-fuzz-plain/corpus-decoders
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=sanitizer-env.sh
source "$root/scripts/sanitizer-env.sh"
require_tools clang clang++ cmake
require_symbolizer
sanitizers=${BRISNAK_FUZZ_SANITIZERS:-address,undefined}
if [[ $sanitizers == none ]]; then
    build=${BRISNAK_FUZZ_BUILD_DIR:-$root/build-fuzz-plain}
    flags="-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link"
    link=""
elif [[ $sanitizers == leak ]]; then
    build=${BRISNAK_FUZZ_BUILD_DIR:-$root/build-fuzz-leak}
    flags="-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,leak"
    link="-fsanitize=leak"
else
    build=${BRISNAK_FUZZ_BUILD_DIR:-$root/build-fuzz}
    flags="-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,$sanitizers -fno-sanitize-recover=undefined"
    link="-fsanitize=$sanitizers"
fi
jobs=${BRISNAK_JOBS:-2}
target=${BRISNAK_FUZZ_TARGET:-EngineFuzzer}
case $target in
EngineFuzzer) corpus=$build/corpus ;;
DecoderFuzzer) corpus=$build/corpus-decoders ;;
*)
    echo "fuzz: BRISNAK_FUZZ_TARGET is EngineFuzzer or DecoderFuzzer, not $target" >&2
    exit 2
    ;;
esac

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DBRISNAK_FUZZ=ON -DBRISNAK_BUILD_TESTS=ON \
    -DBRISNAK_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$link" >/dev/null
cmake --build "$build" --parallel "$jobs" --target EngineFuzzer DecoderFuzzer \
    FuzzCorpusGenerator

# Slow unwinding on malloc, 40 frames deep: the Ogg libraries have no frame pointers, and the
# suppressions in scripts/lsan.supp need to see the library call our code made, which a library's own
# calls can push far down the stack. A small quarantine: freed memory
# is reused sooner, which saves most of the page faults of the engine's per-input buffers.
# The suppressions match function names: the symbolizer is named explicitly (scripts/sanitizer-env.sh).
symbolizer=external_symbolizer_path=$brisnak_symbolizer
export ASAN_SYMBOLIZER_PATH=$brisnak_symbolizer
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:fast_unwind_on_malloc=0:malloc_context_size=40:quarantine_size_mb=4:$symbolizer
export LSAN_OPTIONS=suppressions=$root/scripts/lsan.supp:print_suppressions=0:fast_unwind_on_malloc=0:malloc_context_size=40:$symbolizer
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:$symbolizer

if [[ ${1:-} == replay ]]; then
    shift
    # -runs=0: each input of the folders runs once, then the fuzzer stops.
    "$build/tests/fuzz/EngineFuzzer" -runs=0 -timeout=1 -rss_limit_mb=2048 -max_len=65536 \
        -print_final_stats=1 "$@" 2>&1 | grep -E '^(stat::number_of_executed_units|SUMMARY)|INITED|ERROR'
    exit "${PIPESTATUS[0]}"
fi

seconds=${1:-60}
shift || true
mkdir -p "$build/seeds" "$corpus" "$build/findings"
"$build/tests/fuzz/FuzzCorpusGenerator" "$build/seeds"

# -timeout=1: an input that takes longer than a second is a finding. Inputs up to 64 KiB: the
# seeds are a few KiB each. With -jobs, each worker writes its own fuzz-N.log in the build tree.
set +e
(cd "$build" && "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=1 \
    -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 -artifact_prefix="$build/findings/" \
    "$@" "$corpus" "$build/seeds" "$root/tests/fuzz/regressions") >"$build/last-run.log" 2>&1
status=$?
set -e
grep -hE '^(stat::|Done [0-9]+ runs|SUMMARY|INFO: seed corpus)|ERROR|Test unit written' \
    "$build/last-run.log" "$build"/fuzz-*.log 2>/dev/null || true
if ((status != 0)); then
    echo "fuzz: the fuzzer stopped with status $status; the end of its log:" >&2
    tail -n 80 "$build/last-run.log" >&2
fi
exit "$status"
