#!/usr/bin/env bash
# Whole-player benchmarks: Brisnak against its floors (decoding alone, its own window without the
# engine, the least Qt window) and against mpv, on the same files, machine and run.
#
#     bash bench/run.sh            # the full run: about 35 minutes, plus a few of encoding the first time
#     QUICK=1 bash bench/run.sh    # short windows and one repeat (about 6 minutes), to try the harness out
#
# Installs what is missing (the project's packages and bench/debian-packages.txt), builds the player
# and the harnesses into ${BENCH_DIR:-build-bench}/build, encodes the test files once into
# ${BENCH_DIR}/files, then measures and writes docs/benchmarks.md (between its whole-player
# markers), docs/benchmarks.png and the table in README.md. Not part of ctest: it takes minutes.
# Extra arguments go to bench/whole_player.py (--only PARTS, for one).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${BENCH_DIR:-$root/build-bench}
mkdir -p "$out"

bash "$root/scripts/install-packages.sh" "$root/bench/debian-packages.txt"

# The same build the README's run command makes, without the test suites.
BUILD_DIR="$out/build" bash "$root/scripts/setup.sh" -DBRISNAK_BUILD_TESTS=OFF -DBRISNAK_BUILD_BENCH=ON

# Test files, encoded once: a tone and white noise, 10 and 60 minutes, as MP3 (lame -V2) and Ogg
# Vorbis (q5); for the seek measure, 5 minutes of a pitch that changes every 10 seconds; for the
# change of rate, a low pitch at 44.1 kHz and a high one at 48 kHz (2 minutes each, MP3).
files="$out/files"
mkdir -p "$files"
encode() { # KIND SECONDS RATE OUTPUT
    local kind=$1 seconds=$2 rate=$3 target=$4
    [[ -s "$target" ]] && return
    echo "Encoding $target"
    case "$target" in
    *.mp3)
        /usr/bin/python3 "$root/bench/make_audio.py" "$kind" "$seconds" "$rate" |
            lame --quiet -r -s "$(awk "BEGIN { print $rate / 1000 }")" --bitwidth 16 --signed \
                --little-endian -m j -V 2 - "$target.tmp" 2>/dev/null
        ;;
    *.ogg)
        /usr/bin/python3 "$root/bench/make_audio.py" "$kind" "$seconds" "$rate" |
            oggenc -Q -r -B 16 -C 2 -R "$rate" -q 5 -o "$target.tmp" -
        ;;
    esac
    mv "$target.tmp" "$target"
}
for kind in tone noise; do
    for minutes in 10 60; do
        encode "$kind" $((minutes * 60)) 44100 "$files/$kind-${minutes}min.mp3"
        encode "$kind" $((minutes * 60)) 44100 "$files/$kind-${minutes}min.ogg"
    done
done
encode blocks 300 44100 "$files/blocks-5min.mp3"
encode low 120 44100 "$files/low-44k.mp3"
encode high 120 48000 "$files/high-48k.mp3"

exec /usr/bin/python3 "$root/bench/whole_player.py" --root "$root" --build "$out/build" \
    --files "$files" --work "$out/work" ${QUICK:+--quick} "$@"
