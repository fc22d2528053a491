#!/usr/bin/env bash
# Takes the README's screenshots: the real viewer on the sample dataset under
# Xvfb, a few steps into the time-lapse (docs/screenshot.png), and the headless
# run as a VNC user sees it through TigerVNC's viewer, after the same steps
# typed into that viewer (docs/vnc.png).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh" "$root/build" --target tesseline tesseline-gensample xprobe
[ -f "$root/build/sample/sample.tz" ] || "$root/build/tesseline-gensample" "$root/build/sample"
sample=$root/build/sample/sample.tz
shown="_t014_z006_ch000.jpg"

work=$(mktemp -d)
log=""
trap 'kill $(jobs -p) 2>/dev/null || true; wait; rm -rf "$work" "$log"' EXIT
source "$root/scripts/xvfb.sh"
start_xvfb "$work" 1280x1024
export XDG_RUNTIME_DIR="$work"

# steps: 14 time points on, one focal plane up; then waits for that frame.
steps() {
    for _ in $(seq 14); do xdotool key l; done
    xdotool key k
    for _ in $(seq 50); do grep -q "$shown" "$1" && break; sleep 0.1; done
    sleep 0.5
}

"$root/build/tesseline" "$sample" 2>"$work/trace" &
viewer=$!
win=$(xdotool search --sync --onlyvisible --name '^Tesseline$' | head -n 1)
xdotool windowfocus --sync "$win"
steps "$work/trace"
mkdir -p "$root/docs"
"$root/build/tests/xprobe" shot "$win" "$root/docs/screenshot.png"
echo "wrote docs/screenshot.png"
kill "$viewer"

env -u DISPLAY "$root/scripts/headless.sh" "$root/build/tesseline" "$sample" >"$work/headless" &
for _ in $(seq 100); do grep -q 'trace) go to' "$work/headless" && break; sleep 0.1; done
log=$(sed -n 's/.*(its trace) go to //p' "$work/headless")
port=$(sed -n 's/^on localhost:\([0-9]*\) .*/\1/p' "$work/headless")
sed -n 's/.*Password for this run: //p' "$work/headless" | vncpasswd -f >"$work/vncpasswd"
vncviewer -passwd "$work/vncpasswd" "localhost:$port" 2>/dev/null &
client=$(xdotool search --sync --onlyvisible --name 'TigerVNC$' | head -n 1)
xdotool windowfocus --sync "$client"
sleep 4  # until the client's hint about its menu key is gone
steps "$log"
"$root/build/tests/xprobe" shot "$client" "$root/docs/vnc.png"
echo "wrote docs/vnc.png"
