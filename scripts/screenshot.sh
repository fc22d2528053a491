#!/usr/bin/env bash
# Takes the README's screenshot: the real viewer on the sample dataset under
# Xvfb, a few steps into the time-lapse.  Writes docs/screenshot.png.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh" "$root/build"
[ -f "$root/build/sample/sample.tz" ] || "$root/build/tesseline-gensample" "$root/build/sample"

work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")" QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work"

"$root/build/tesseline" "$root/build/sample/sample.tz" 2>"$work/trace" &
win=$(xdotool search --sync --onlyvisible --name '^Tesseline$' | head -n 1)
xdotool windowfocus --sync "$win"
for _ in $(seq 14); do xdotool key l; done
xdotool key k
for _ in $(seq 50); do grep -q "_t014_z006_ch000.jpg" "$work/trace" && break; sleep 0.1; done
sleep 0.5
mkdir -p "$root/docs"
"$root/build/tests/xprobe" shot "$win" "$root/docs/screenshot.png"
echo "wrote docs/screenshot.png"
