#!/usr/bin/env bash
# Whole-player benchmarks, side by side with mpv on the same files, machine and run.
#
#     bash bench/run.sh            # the full run: about 15 minutes, plus a few minutes of encoding the first time
#     QUICK=1 bash bench/run.sh    # short windows and few repeats, to try the harness out
#
# Installs what is missing (the project's packages and bench/debian-packages.txt), builds the player
# and the harnesses into ${BENCH_DIR:-build-bench}/build, encodes the test files once into
# ${BENCH_DIR}/files, then measures and writes docs/benchmarks.md, docs/benchmarks.png and the
# table in README.md. Not part of ctest: it takes minutes.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${BENCH_DIR:-$root/build-bench}
mkdir -p "$out"

missing=()
while read -r pkg; do
    [[ -z "$pkg" || "$pkg" == \#* ]] && continue
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done < "$root/bench/debian-packages.txt"
if ((${#missing[@]})); then
    sudo=""
    [[ $(id -u) -ne 0 ]] && sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The same build the README's run command makes, without the test suites.
BUILD_DIR="$out/build" bash "$root/scripts/setup.sh" -DBRISNAK_BUILD_TESTS=OFF -DBRISNAK_BUILD_BENCH=ON

# Test files: a tone and white noise, 10 and 60 minutes, as MP3 (lame -V2) and Ogg Vorbis (q5).
files="$out/files"
mkdir -p "$files"
for kind in tone noise; do
    for minutes in 10 60; do
        base="$files/$kind-${minutes}min"
        if [[ ! -s "$base.mp3" ]]; then
            echo "Encoding $base.mp3"
            /usr/bin/python3 "$root/bench/make_audio.py" "$kind" $((minutes * 60)) |
                lame --quiet -r -s 44.1 --bitwidth 16 --signed --little-endian -m j -V 2 - "$base.tmp.mp3" 2>/dev/null
            mv "$base.tmp.mp3" "$base.mp3"
        fi
        if [[ ! -s "$base.ogg" ]]; then
            echo "Encoding $base.ogg"
            /usr/bin/python3 "$root/bench/make_audio.py" "$kind" $((minutes * 60)) |
                oggenc -Q -r -B 16 -C 2 -R 44100 -q 5 -o "$base.tmp.ogg" -
            mv "$base.tmp.ogg" "$base.ogg"
        fi
    done
done

exec /usr/bin/python3 "$root/bench/whole_player.py" --root "$root" --build "$out/build" \
    --files "$files" --work "$out/work" ${QUICK:+--quick}
