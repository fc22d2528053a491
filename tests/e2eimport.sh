#!/usr/bin/env bash
# Opens a microscope file the way a person would, with the real importer
# beside the viewer, on a real X server (Xvfb) driven by xdotool:
# `tesseline stack.tif`, Enter in the import dialog, and the first frame on
# screen in the file's colours; then Cancel in the middle of a large import,
# which leaves the folder as it was and the viewer as it was.
# Usage: e2eimport.sh TESSELINE XPROBE
set -euo pipefail

tesseline=$1 xprobe=$2
[ -x "$(dirname "$tesseline")/tesseline-import" ] || { echo "FAIL: no tesseline-import beside $tesseline" >&2; exit 1; }
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; [ -f "$work/trace" ] && sed 's/^/  trace: /' "$work/trace" >&2; exit 1; }
step() { echo "-- $*"; }

# A two-channel ImageJ hyperstack of flat planes: channel 0 at 10000 in a
# window of 0..12750 is 200, green; channel 1 at 2000 in 0..5100 is 100,
# magenta; merged (100, 200, 100).  And a large stack of noise.
mkdir "$work/data"
/usr/bin/python3 - "$work/data" <<'PY'
import sys, numpy as np, tifffile
out = sys.argv[1]
i = np.arange(256)
lut = lambda r, g, b: np.stack([i * r // 255, i * g // 255, i * b // 255]).astype(np.uint8)
planes = np.empty((2, 3, 2, 48, 64), np.uint16)
planes[:, :, 0], planes[:, :, 1] = 10000, 2000
tifffile.imwrite(out + '/cells.tif', planes, imagej=True,
                 metadata={'axes': 'TZCYX', 'Ranges': (0, 12750, 0, 5100), 'LUTs': [lut(0, 255, 0), lut(255, 0, 255)]})
rng = np.random.default_rng(3)
tifffile.imwrite(out + '/large.tif', rng.integers(0, 256, (150, 1024, 1024), np.uint8), photometric='minisblack',
                 metadata=None)
PY

source "$(dirname "${BASH_SOURCE[0]}")/../scripts/xvfb.sh"
start_xvfb "$work" 1280x1024 || fail "Xvfb did not start"
pids+=($!)
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$work/runtime"
cd "$work"

# Waits for a window of this title and prints its id.
window_named() {
    local id=""
    for _ in $(seq 100); do
        id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1) && [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    fail "no window named $1"
}

# Waits until the window is no longer shown.
gone() {
    for _ in $(seq 100); do
        xdotool search --onlyvisible --name '^Import$' 2>/dev/null | grep -qx "$1" || return 0
        sleep 0.1
    done
    fail "window $1 is still shown"
}

step "tesseline cells.tif, then Enter in the import dialog"
: >"$work/trace"
"$tesseline" "$work/data/cells.tif" 2>"$work/trace" &
app=$!
pids+=("$app")
win=$(window_named '^Tesseline$')
dialog=$(window_named '^Import$')
xdotool windowfocus --sync "$dialog" key Return
frame="$work/data/cells/img/cells_t000_z001_ch000.jpg"
for _ in $(seq 100); do grep -qx "$frame" "$work/trace" && break; sleep 0.1; done
grep -qx "$frame" "$work/trace" || fail "the first frame was not read"
[ "$(head -n 1 "$work/trace")" = cells ] || fail "the imported dataset is not what opened"

step "the first frame on screen, green and magenta merged"
# The image area starts at 5, 24 (below the 19-pixel menu bar).
near() { # "R G B" "R G B"
    read -r r g b <<<"$1"
    read -r R G B <<<"$2"
    [ $((r > R ? r - R : R - r)) -le 3 ] && [ $((g > G ? g - G : G - g)) -le 3 ] && [ $((b > B ? b - B : B - b)) -le 3 ]
}
shown=""
for _ in $(seq 50); do
    shown=$("$xprobe" pixel "$win" 37 48)
    near "$shown" "100 200 100" && break
    sleep 0.1
done
near "$shown" "100 200 100" || fail "the screen shows $shown, not 100 200 100"

step "Cancel in the middle of a large import leaves everything as it was"
before=$(ls -A "$work/data")
xdotool windowfocus --sync "$win" key ctrl+i
chooser=$(window_named '^Import$')
xdotool windowfocus --sync "$chooser"
xdotool type --delay 5 "$work/data/large.tif"
sleep 0.3
xdotool key Return
gone "$chooser"
dialog=$(window_named '^Import$')
xdotool windowfocus --sync "$dialog" key Return
gone "$dialog"
# Once frames are being written into the hidden folder, Escape cancels the progress dialog.
for _ in $(seq 200); do
    compgen -G "$work/data/.large.tesseline-import-*/img/*.jpg" >/dev/null && break
    sleep 0.05
done
compgen -G "$work/data/.large.tesseline-import-*/img/*.jpg" >/dev/null || fail "no frame was being written"
progress=$(xdotool search --onlyvisible --name '^Import$' | head -n 1)
xdotool windowfocus --sync "$progress" key Escape
for _ in $(seq 100); do pgrep -f "tesseline-import.*large.tif" >/dev/null || break; sleep 0.1; done
pgrep -f "tesseline-import.*large.tif" >/dev/null && fail "the importer is still running"
[ "$(ls -A "$work/data")" = "$before" ] || fail "the folder holds $(ls -A "$work/data"), not $before"
[ -z "$(xdotool search --onlyvisible --name '^Import$' || true)" ] || fail "a dialog is still open"
near "$("$xprobe" pixel "$win" 37 48)" "100 200 100" || fail "the viewer no longer shows what it did"

step "Ctrl+Q"
xdotool windowfocus --sync "$win" key ctrl+q
rc=0
wait "$app" || rc=$?
[ "$rc" -eq 0 ] || fail "exit code $rc after Ctrl+Q"
echo "e2eimport: passed"
