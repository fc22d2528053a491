#!/usr/bin/env bash
# Takes the README's screenshots of a frame larger than the screen: the real
# viewer on a 2048 x 2048 sample under a 1920 x 1080 Xvfb, panned to the
# dividing cell, then the same frame in the fit view (Ctrl+F).  Writes
# docs/screenshot-2048.png and docs/screenshot-fit.png.
# Usage: scripts/screenshot-large.sh [BUILD_DIR]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
"$root/scripts/setup.sh" "$build"
sample=$build/sample-2048
[ -f "$sample/img/sample_t011_z004_ch000.jpg" ] ||
    "$build/tesseline-gensample" "$sample" --size 2048x2048 --times 12 --planes 5

work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
source "$root/scripts/xvfb.sh"
start_xvfb "$work" 1920x1080
export XDG_RUNTIME_DIR="$work"
xprobe=$build/tests/xprobe
frame=$sample/img/sample_t007_z002_ch000.jpg

"$build/tesseline" "$sample/sample.tz" 2>"$work/trace" &
win=$(xdotool search --sync --onlyvisible --name '^Tesseline$' | head -n 1)
xdotool windowfocus --sync "$win"
for _ in $(seq 7); do xdotool key l; done
# Drag the frame up and left: its 138, 450 comes to the image area's top-left.
xdotool mousemove --window "$win" 1000 800 mousedown 1 mousemove --window "$win" 862 350 mouseup 1
"$xprobe" compare "$win" 5 24 "$frame" 138 450 1910 955
mkdir -p "$root/docs"
"$xprobe" shot "$win" "$root/docs/screenshot-2048.png"

lines=$(wc -l <"$work/trace")
xdotool key ctrl+f
for _ in $(seq 50); do [ "$(wc -l <"$work/trace")" -gt "$lines" ] && break; sleep 0.1; done
sleep 0.5
"$xprobe" shot "$win" "$root/docs/screenshot-fit.png"
echo "wrote docs/screenshot-2048.png and docs/screenshot-fit.png"
