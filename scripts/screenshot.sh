#!/usr/bin/env bash
# Takes the README's screenshot: the real viewer on the sample dataset under
# Xvfb, a few steps into the time-lapse.  Writes docs/screenshot.png.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh" "$root/build"
[ -f "$root/build/sample/sample.tz" ] || "$root/build/tesseline-gensample" "$root/build/sample"

work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
source "$root/scripts/xvfb.sh"
start_xvfb "$work" 1280x1024
export XDG_RUNTIME_DIR="$work"

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
