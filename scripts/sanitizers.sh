#!/usr/bin/env bash
# Builds and runs the tests under the sanitizers, each in its own build tree beside the normal one:
#
#   build-asan  the whole test suite with AddressSanitizer + UndefinedBehaviorSanitizer (the suites
#               matching $deep_tests with exact allocation stacks, see below)
#   build-tsan  only the engine's tests (those whose names match $tsan_tests) with ThreadSanitizer
#
# Usage: bash scripts/sanitizers.sh [asan|tsan]...   (both when no argument is given)
# Any report fails the run: UBSan does not recover, ASan and TSan exit non-zero. There are no
# suppressions for our own code; scripts/lsan.supp and scripts/tsan.supp list the only third-party
# ones, with reasons. They match function names, so the run stops at once when the symbolizer is
# missing (scripts/sanitizer-env.sh).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${BRISNAK_JOBS:-2}
# The engine's suites: the ones that exercise its threads (read-ahead, output, the ring between),
# and the faults of the sound server. The output test is left out: it times what it hears to the
# millisecond, which an engine slowed down ten times by ThreadSanitizer cannot keep up with.
tsan_tests=${BRISNAK_TSAN_TESTS:-'^(AudioSystem|OutputController|SoundPlayer|SpscRing|Decoder|AudioFault)Test$'}

# The suites that give the decoders damaged files (or cut a file while it plays) record exact,
# deep allocation stacks under ASan: the third-party leaks in scripts/lsan.supp happen inside
# libsndfile, which has no frame pointers, and only such a stack shows the
# library call our code made, which the suppressions match. The Wayland test is here for the same
# reason: the leaks of Qt's Wayland client and Mesa's EGL in the program it runs (scripts/lsan.supp). The other suites keep the fast
# unwinder: exact stacks make the window's suites many times slower.
deep_tests=${BRISNAK_ASAN_DEEP_TESTS:-'^(BadInput|Decoder|DecoderBase|VoiceFeeder|AudioSystem|SoundPlayer|AudioFault|Wayland)Test$'}
deep_stacks=fast_unwind_on_malloc=0:malloc_context_size=40

common=(-DBRISNAK_BUILD_BENCH=OFF -DBRISNAK_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)

# shellcheck source=sanitizer-env.sh
source "$root/scripts/sanitizer-env.sh"
require_tools cmake ctest
require_symbolizer

symbolizer=external_symbolizer_path=$brisnak_symbolizer
export ASAN_SYMBOLIZER_PATH=$brisnak_symbolizer
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:$symbolizer
export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1:$symbolizer
export LSAN_OPTIONS=suppressions=$root/scripts/lsan.supp:print_suppressions=0:$symbolizer
# die_after_fork=0: QProcess (the output tests start parec, pactl and pulseaudio) spawns its children
# with vfork semantics, after which ThreadSanitizer would refuse any new thread in the test itself.
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:die_after_fork=0:suppressions=$root/scripts/tsan.supp:$symbolizer

run_asan() {
    local build=$root/build-asan
    local flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
    echo "== sanitizers: AddressSanitizer + UndefinedBehaviorSanitizer, whole suite ($build)"
    cmake -S "$root" -B "$build" "${common[@]}" \
        -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
    cmake --build "$build" --parallel "$jobs"
    local status=0
    (cd "$build" && ctest --output-on-failure --timeout 900 --parallel "$jobs" -E "$deep_tests") ||
        status=1
    (cd "$build" && ASAN_OPTIONS=$ASAN_OPTIONS:$deep_stacks LSAN_OPTIONS=$LSAN_OPTIONS:$deep_stacks \
        ctest --output-on-failure --timeout 900 --parallel "$jobs" -R "$deep_tests") || status=1
    return "$status"
}

run_tsan() {
    local build=$root/build-tsan
    local flags="-fsanitize=thread -fno-omit-frame-pointer"
    echo "== sanitizers: ThreadSanitizer, engine tests matching $tsan_tests ($build)"
    cmake -S "$root" -B "$build" "${common[@]}" \
        -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread"
    # Build only the executables of the tests that run here: a test is named after its target.
    local targets
    mapfile -t targets < <(cd "$build" && ctest -N -R "$tsan_tests" | sed -n 's/^ *Test *#[0-9]*: *//p')
    if ((${#targets[@]} == 0)); then
        echo "sanitizers: no test matches $tsan_tests" >&2
        return 1
    fi
    cmake --build "$build" --parallel "$jobs" --target "${targets[@]}"
    (cd "$build" && ctest --output-on-failure --timeout 900 -R "$tsan_tests")
}

stages=("$@")
((${#stages[@]})) || stages=(asan tsan)
for stage in "${stages[@]}"; do
    case "$stage" in
    asan) run_asan ;;
    tsan) run_tsan ;;
    *)
        echo "usage: $0 [asan|tsan]..." >&2
        exit 2
        ;;
    esac
done
