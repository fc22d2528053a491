#!/usr/bin/env bash
# Takes the README's screenshots: the real viewer on the sample dataset under
# Xvfb, a few steps into the time-lapse (docs/screenshot.png), a two-channel
# OME-TIFF written here shown in place with its Brightness and Contrast
# dialog beside it (docs/recording.png), then as a projection with its
# orthogonal views (docs/views.png), and the
# headless run as a VNC user sees it through TigerVNC's viewer, after the same
# steps typed into that viewer (docs/vnc.png).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh" "$root/build" --target tesseline tesseline-import tesseline-gensample xprobe
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

# Two channels with their names and colours, 12 time points of 5 focal planes.
/usr/bin/python3 - "$work/cells.ome.tif" <<'PY'
import sys, numpy as np, tifffile
rng = np.random.default_rng(5)
y, x = np.mgrid[0:256, 0:320]
planes = np.empty((12, 2, 5, 256, 320), np.uint16)
for t in range(12):
    for z in range(5):
        blur = 1 + abs(z - 2)
        for c, (cy, cx) in enumerate([(110 + 4 * t, 140 + 3 * t), (120, 170)]):
            cell = np.exp(-((y - cy) ** 2 + (x - cx) ** 2) / (2 * (30 + 8 * c) ** 2 * blur))
            planes[t, c, z] = 800 + 9000 * cell / blur + rng.normal(0, 120, (256, 320)).clip(-700, 700)
tifffile.imwrite(sys.argv[1], planes, photometric='minisblack', metadata={
    'axes': 'TCZYX', 'PhysicalSizeX': 0.2, 'PhysicalSizeY': 0.2, 'PhysicalSizeZ': 3.0,
    'Channel': {'Name': ['H2B-mCherry', 'Tubulin-GFP'], 'Color': [-16776961, 16711935]}})
PY
# The recording at the window's top-left corner, five time points on.
open_cells() {
    "$root/build/tesseline" "$work/cells.ome.tif" 2>"$work/trace" &
    viewer=$!
    win=$(xdotool search --sync --onlyvisible --name '^Tesseline$' | head -n 1)
    xdotool windowmove --sync "$win" 20 20
    xdotool windowfocus --sync "$win"
    for _ in $(seq 5); do xdotool key l; done
}
open_cells
xdotool key ctrl+shift+c
dialog=$(xdotool search --sync --onlyvisible --name '^Brightness and Contrast$' | head -n 1)
for _ in $(seq 50); do grep -q 't 5, z 2' "$work/trace" && break; sleep 0.1; done
sleep 0.5
# Both windows, and the screen between them.
eval "$(xdotool getwindowgeometry --shell "$dialog")"
"$root/build/tests/xprobe" shot 0 "$root/docs/recording.png" 20 20 $((X + WIDTH - 20)) $((Y + HEIGHT - 20))
echo "wrote docs/recording.png"
kill "$viewer"

# The same recording as a maximum projection, with the orthogonal views
# through a point clicked on a cell.
open_cells
xdotool key ctrl+shift+p ctrl+shift+o
xz=$(xdotool search --sync --onlyvisible --name '^XZ$' | head -n 1)
yz=$(xdotool search --sync --onlyvisible --name '^YZ$' | head -n 1)
eval "$(xdotool getwindowgeometry --shell "$win")"
xdotool mousemove $((X + 5 + 160)) $((Y + 5 + 130)) click 1
for _ in $(seq 50); do [ "$(grep -c 't 5, z' "$work/trace")" -ge 15 ] && break; sleep 0.1; done
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$xz")"
bottom=$((Y + HEIGHT))
eval "$(xdotool getwindowgeometry --shell "$yz")"
"$root/build/tests/xprobe" shot 0 "$root/docs/views.png" 20 20 $((X + WIDTH - 20)) $((bottom - 20))
echo "wrote docs/views.png"
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
