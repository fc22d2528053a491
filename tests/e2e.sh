#!/usr/bin/env bash
# Drives the real tesseline binary on a real X server (Xvfb) the way a person
# would, with xdotool: open through the dialog, step with keys and the wheel,
# look at the screen, open from the command line, quit with Ctrl+Q.
# Usage: e2e.sh TESSELINE GENSAMPLE XPROBE
set -euo pipefail

tesseline=$1 gensample=$2 xprobe=$3
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; [ -f "$work/trace" ] && sed 's/^/  trace: /' "$work/trace" >&2; exit 1; }
step() { echo "-- $*"; }

# Waits until the program's standard error holds exactly the expected lines.
expect_trace() {
    local want
    want=$(printf '%s\n' "$@")
    for _ in $(seq 100); do
        [ "$(cat "$work/trace")" = "$want" ] && return 0
        sleep 0.1
    done
    fail "trace is not as expected; wanted:"$'\n'"$want"
}

expect_size() {
    local size=""
    for _ in $(seq 50); do
        size=$(xdotool getwindowgeometry "$1" | sed -n 's/ *Geometry: //p')
        [ "$size" = "$2" ] && return 0
        sleep 0.1
    done
    fail "window is $size, expected $2"
}

start() {
    : >"$work/trace"
    "$tesseline" "$@" 2>"$work/trace" &
    app=$!
    pids+=("$app")
    win=$(xdotool search --sync --onlyvisible --name '^Tesseline$' | head -n 1)
    xdotool windowfocus --sync "$win"
}

quit() {
    xdotool windowfocus --sync "$win" key ctrl+q
    local rc=0
    wait "$app" || rc=$?
    [ "$rc" -eq 0 ] || fail "exit code $rc after Ctrl+Q"
}

"$gensample" "$work/data" --name flat --flat --times 4 --planes 5
frame() { echo "$work/data/img/flat_t00$1_z00$2_ch000.jpg"; }

source "$(dirname "${BASH_SOURCE[0]}")/../scripts/xvfb.sh"
start_xvfb "$work" 1280x1024 || fail "Xvfb did not start"
pids+=($!)
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$work/runtime"
cd "$work"

step "start-up window"
start
expect_size "$win" 310x425
expect_trace

step "File > Open through the dialog"
xdotool key ctrl+o
dialog=$(xdotool search --sync --onlyvisible --name '^OpenFile$' | head -n 1)
xdotool windowfocus --sync "$dialog"
xdotool type --delay 5 "$work/data/flat.tz"
sleep 0.3
xdotool key Return
trace=(flat 480 360 0 3 0 4 "$(frame 0 2)")
expect_trace "${trace[@]}"
expect_size "$win" 490x485
xdotool windowfocus --sync "$win"

step "keys"
for k in "l 1 2" "Right 2 2" "k 2 1" "Up 2 0" "h 1 0" "ctrl+h 0 0" "Down 0 1" "j 0 2"; do
    read -r key t z <<<"$k"
    xdotool key "$key"
    trace+=("$(frame "$t" "$z")")
    expect_trace "${trace[@]}"
done
xdotool key h Left x
sleep 0.3
expect_trace "${trace[@]}"

step "wheel over the image"
xdotool mousemove --window "$win" 150 150 click 4
trace+=("$(frame 0 1)")
expect_trace "${trace[@]}"
xdotool click 5 click 5
trace+=("$(frame 0 2)" "$(frame 0 3)")
expect_trace "${trace[@]}"

step "the screen shows the frame"
shown=$("$xprobe" pixel "$win" 150 150)
wanted=$("$xprobe" filepixel "$(frame 0 3)" 100 100)
[ "$shown" = "$wanted" ] || fail "screen pixel is $shown, frame pixel is $wanted"

step "wheel over the time slider moves time only, even at its ends"
# The slider's middle: 19 px of menu bar, then the slider at H + 44 = 404.
xdotool mousemove --window "$win" 250 431 click 4
sleep 0.3
expect_trace "${trace[@]}"
xdotool click 5
trace+=("$(frame 3 3)")
expect_trace "${trace[@]}"
xdotool click 5
sleep 0.3
expect_trace "${trace[@]}"

step "Ctrl+Q"
quit

step "a descriptor on the command line"
start "$work/data/flat.tz"
expect_trace flat 480 360 0 3 0 4 "$(frame 0 2)"
expect_size "$win" 490x485
quit

step "a grey frame is shown exactly as decoded"
"$gensample" "$work/grey" --name grey --grey --size 320x240 --times 2 --planes 3
start "$work/grey/grey.tz"
grey="$work/grey/img/grey_t000_z001_ch000.jpg"
expect_trace grey 320 240 0 1 0 2 "$grey"
sleep 0.3
# The image area starts at 5, 5 below the 19-pixel menu bar.
"$xprobe" compare "$win" 5 24 "$grey" || fail "the screen does not show the grey frame's pixels"
quit

step "an unreadable descriptor on the command line"
start "$work/none.tz"
expect_trace "tesseline: cannot read $work/none.tz: No such file or directory"
expect_size "$win" 310x425
xdotool key l
sleep 0.3
expect_trace "tesseline: cannot read $work/none.tz: No such file or directory"
quit

echo "e2e: 1 passed, 0 failed"
