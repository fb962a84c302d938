#!/usr/bin/env bash
# Builds the player (through setup.sh), starts the real binary on a virtual X display, waits for
# its window and captures it into docs/screenshot.png (or the path given as the first argument),
# at the screen scale given as the second (1 when not given; docs/screenshot-2x.png is taken at 2).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
out=$(realpath -m "${1:-$root/docs/screenshot.png}")
scale=${2:-1}

bash "$root/scripts/install-packages.sh" "$root/scripts/screenshot-packages.txt"

bash "$root/scripts/setup.sh"
mkdir -p "$(dirname "$out")"

export BRISNAK_BINARY="$build/src/brisnak" BRISNAK_SHOT="$out" QT_SCALE_FACTOR="$scale"
export BRISNAK_SIZE="$((700 * scale))x$((419 * scale))"
# Runs on the virtual display: start the player, wait until its window is mapped and painted,
# capture it, then end the player.
capture='
set -euo pipefail
unset QT_QPA_PLATFORM
"$BRISNAK_BINARY" &
player=$!
trap "kill $player 2>/dev/null || true" EXIT
window=""
for _ in $(seq 100); do
    window=$(xwininfo -root -tree | awk "/\"brisnak\"\\)/ && / $BRISNAK_SIZE/ { print \$1; exit }")
    [[ -n "$window" ]] && break
    kill -0 $player 2>/dev/null || { echo "the player exited before showing its window" >&2; exit 1; }
    sleep 0.1
done
[[ -n "$window" ]] || { echo "no player window appeared" >&2; exit 1; }
# A freshly mapped window may not be painted yet: grab until the picture has some detail.
for _ in $(seq 50); do
    import -window "$window" "$BRISNAK_SHOT"
    (( $(identify -format "%k" "$BRISNAK_SHOT") > 64 )) && exit 0
    sleep 0.1
done
echo "the window stayed blank" >&2
exit 1
'
xvfb-run --auto-servernum --server-args="-screen 0 $((1024 * scale))x$((768 * scale))x24" \
    bash -c "$capture"
echo "Saved $out"
