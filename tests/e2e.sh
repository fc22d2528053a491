#!/usr/bin/env bash
# Drives the real tesseline binary on a real X server (Xvfb) the way a person
# would, with xdotool: open through the dialog, step with keys and the wheel,
# look at the screen, open from the command line, zoom with the keys and
# Ctrl + wheel, quit with Ctrl+Q, show TIFF files in place, save one as a
# dataset and cancel saving a large one; then, on a 1920 x 1080 screen,
# frames larger than it: the layout, dragging, the fit view and double-clicks.
# Every wait is for a condition, for up to 30 s: a busy machine is slow.
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

# Runs a check every 0.1 s until it holds, for up to 30 s.
until_true() {
    local end=$((SECONDS + 30))
    until "$@"; do
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.1
    done
}

# Waits until the program's standard error holds exactly the expected lines.
expect_trace() {
    local want
    want=$(printf '%s\n' "$@")
    until_true trace_is "$want" || fail "trace is not as expected; wanted:"$'\n'"$want"
}
trace_is() { [ "$(cat "$work/trace")" = "$1" ]; }
# Presses keys, then waits for the frame they read.
press() { xdotool key "${@:2}"; trace+=("$1"); expect_trace "${trace[@]}"; }

expect_size() {
    size=""
    until_true size_is "$1" "$2" || fail "window is $size, expected $2"
}
size_is() { size=$(xdotool getwindowgeometry "$1" | sed -n 's/ *Geometry: //p') && [ "$size" = "$2" ]; }

# The visible windows titled TITLE, one a line.  A search fails now and then
# while another window goes away, saying so on standard error: then it is
# tried again.
titled() {
    local ids
    ids=$(xdotool search --onlyvisible --name "^$1\$" 2>"$work/search.err") || true
    [ ! -s "$work/search.err" ] && echo "$ids"
}
found() { id=$(titled "$1" | head -n 1) && [ -n "$id" ]; }
window() { until_true found "$1" || fail "no $1 window"; echo "$id"; }
hidden() { local ids; ids=$(titled "$1") && ! grep -qx "$2" <<<"$ids"; }
gone() { until_true hidden "$1" "$2" || fail "a window titled $1 stays"; }
# Waits until the window shows an image file's pixels (see xprobe compare).
matches() { "$xprobe" compare "$@" >"$work/compare.out"; }
expect_shown() { until_true matches "$@" || { cat "$work/compare.out" >&2; false; }; }
# near "R G B" COMMAND...: whether the colour the command prints is within 3 of it.
near() {
    local r g b R G B
    read -r R G B <<<"$1"
    shown=$("${@:2}") && read -r r g b <<<"$shown" && (( (r - R) ** 2 <= 9 && (g - G) ** 2 <= 9 && (b - B) ** 2 <= 9 ))
}
# Waits until the window's pixel at X, Y is within 3 of the colour "R G B".
expect_colour() { until_true near "$3" "$xprobe" pixel "$win" "$1" "$2" || fail "the pixel at $1,$2 is $shown, expected about $3"; }
pixel_is() { shown=$("$xprobe" pixel "$win" "$1" "$2") && [ "$shown" = "$want" ]; }
ended() { ! kill -0 "$1" 2>/dev/null; }

# Starts the viewer and waits for its window.  Xvfb now and then drops a
# connection being set up while another client connects: a viewer that could
# not connect to the display for that is started again.
up() { found Tesseline || ended "$app"; }
start() {
    for _ in 1 2 3; do
        : >"$work/trace"
        "$tesseline" "$@" 2>"$work/trace" &
        app=$!
        pids+=("$app")
        until_true up || fail "no Tesseline window"
        [ -n "$id" ] && break
        grep -q 'could not connect to display' "$work/trace" || fail "the viewer ended at start"
    done
    win=$id
    [ -n "$win" ] || fail "the viewer could not connect to the display"
    xdotool windowfocus --sync "$win"
}

quit() {
    xdotool windowfocus --sync "$win" key ctrl+q
    local rc=0
    until_true ended "$app" || fail "still running after Ctrl+Q"
    wait "$app" || rc=$?
    [ "$rc" -eq 0 ] || fail "exit code $rc after Ctrl+Q"
}

"$gensample" "$work/data" --name flat --flat --times 4 --planes 5
frame() { echo "$work/data/img/flat_t00$1_z00$2_ch000.jpg"; }

source "$(dirname "${BASH_SOURCE[0]}")/../scripts/xvfb.sh"
start_xvfb "$work" 1280x1024 || fail "Xvfb did not start"
xvfb=$!
pids+=("$xvfb")
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$work/runtime"
cd "$work"

step "start-up window"
start
expect_size "$win" 310x425
expect_trace

step "File > Open through the dialog"
xdotool key ctrl+o
dialog=$(window OpenFile)
xdotool windowfocus --sync "$dialog" type --delay 5 "$work/data/flat.tz"
xdotool key Return
trace=(flat 480 360 0 3 0 4 "$(frame 0 2)")
expect_trace "${trace[@]}"
expect_size "$win" 490x485
xdotool windowfocus --sync "$win"

step "keys"
for k in "l 1 2" "Right 2 2" "k 2 1" "Up 2 0" "h 1 0" "ctrl+h 0 0" "Down 0 1" "j 0 2"; do
    read -r key t z <<<"$k"
    press "$(frame "$t" "$z")" "$key"
done
# Keys that do nothing here, then L: its frame comes next.  (Each frame is
# read when the window is drawn, so quick steps may read only the last one.)
press "$(frame 1 2)" h Left x l
press "$(frame 0 2)" h

step "wheel over the image"
xdotool mousemove --window "$win" 150 150 click 4
trace+=("$(frame 0 1)")
expect_trace "${trace[@]}"
for z in 2 3; do
    xdotool click 5
    trace+=("$(frame 0 "$z")")
    expect_trace "${trace[@]}"
done

step "the screen shows the frame"
want=$("$xprobe" filepixel "$(frame 0 3)" 100 100)
until_true pixel_is 150 150 || fail "screen pixel is $shown, frame pixel is $want"

step "wheel over the time slider moves time only, even at its ends"
# The slider's middle: 19 px of menu bar, then the slider at H + 44 = 404.
# At either end the wheel does nothing, so the next step's frame comes next.
xdotool mousemove --window "$win" 250 431 click 4 click 5
trace+=("$(frame 3 3)")
expect_trace "${trace[@]}"
xdotool click 5 click 4
trace+=("$(frame 0 3)")
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
# The image area starts at 5, 5 below the 19-pixel menu bar.
expect_shown "$win" 5 24 "$grey" || fail "the screen does not show the grey frame's pixels"
quit

step "an unreadable descriptor on the command line"
start "$work/none.tz"
expect_trace "tesseline: cannot read $work/none.tz: No such file or directory"
expect_size "$win" 310x425
# L does nothing; once the Open dialog it comes before has been shown and
# closed, the viewer has done all it would for it.
xdotool key l ctrl+o
dialog=$(window OpenFile)
xdotool windowfocus --sync "$dialog" key Escape
gone OpenFile "$dialog"
expect_trace "tesseline: cannot read $work/none.tz: No such file or directory"
quit

# Zoom on a 256 x 256 frame of 8 x 8 blocks with a 32-pixel square in each
# corner; the image area starts at 5, 24 in the window, which is laid out
# around the frame at each level.
step "zoom: Ctrl++ twice lays the window out around the frame at 200 %, each frame pixel a 2 x 2 square"
mkdir -p "$work/marks/img"
printf 'dataset marks width 256 height 256\n' >"$work/marks/marks.tz"
marks=$work/marks/img/marks_t000_z000_ch000.jpg
"$xprobe" blocks "$marks" 256 256 7
# Waits until the image area's pixel at X, Y shows the frame's pixel at FX, FY.
zoomed() { # X Y FX FY
    want=$("$xprobe" filepixel "$marks" "$3" "$4") shown=""
    until_true pixel_is $((5 + $1)) $((24 + $2)) || fail "image area pixel $1,$2 is $shown, frame pixel $3,$4 is $want"
}
start "$work/marks/marks.tz"
expect_trace marks 256 256 "$marks"
expect_size "$win" 266x381
expect_shown "$win" 5 24 "$marks" || fail "the frame is not shown at 100 %"
xdotool key ctrl+plus ctrl+plus
expect_size "$win" 522x637
# The whole frame at 200 % in a 512 x 512 area.
for p in "0 0 0 0" "1 1 0 0" "2 0 1 0" "129 77 64 38" "511 511 255 255"; do
    read -r x y fx fy <<<"$p"
    zoomed "$x" "$y" "$fx" "$fy"
done
expect_trace marks 256 256 "$marks"

step "zoom: Ctrl+0 shrinks the window again; Ctrl + wheel over the corner of a mark zooms about it"
xdotool key ctrl+0
expect_size "$win" 266x381
expect_shown "$win" 5 24 "$marks" || fail "Ctrl+0 does not show the frame at 100 %"
# The bottom-right square's top-left pixel is at 224, 224; at 200 % the frame
# is shown whole, so it comes to 448, 448.
xdotool mousemove --window "$win" $((5 + 224)) $((24 + 224)) keydown ctrl click 4 click 4 keyup ctrl
expect_size "$win" 522x637
for p in "448 448 224 224" "449 449 224 224" "447 447 223 223" "446 447 223 223" "450 450 225 225"; do
    read -r x y fx fy <<<"$p"
    zoomed "$x" "$y" "$fx" "$fy"
done
xdotool keydown ctrl click 5 click 5 keyup ctrl
expect_size "$win" 266x381
expect_shown "$win" 5 24 "$marks" || fail "Ctrl + wheel down does not come back to 100 %"
expect_trace marks 256 256 "$marks"
quit

# Microscope files, shown where they lie: a two-channel ImageJ hyperstack of
# flat planes (channel 0 at 10000 in a window of 0..12750 is 200, green;
# channel 1 at 2000 in 0..5100 is 100, magenta: merged 100, 200, 100), and a
# large stack of noise, whose first plane is also kept as a PGM for xprobe.
mkdir "$work/tiffs"
/usr/bin/python3 - "$work" <<'PY'
import sys, numpy as np, tifffile
out, i = sys.argv[1], np.arange(256)
lut = lambda r, g, b: np.stack([i * r // 255, i * g // 255, i * b // 255]).astype(np.uint8)
planes = np.empty((2, 3, 2, 48, 64), np.uint16)
planes[:, :, 0], planes[:, :, 1] = 10000, 2000
tifffile.imwrite(out + '/tiffs/cells.tif', planes, imagej=True,
                 metadata={'axes': 'TZCYX', 'Ranges': (0, 12750, 0, 5100), 'LUTs': [lut(0, 255, 0), lut(255, 0, 255)]})
noise = np.random.default_rng(3).integers(0, 256, (150, 1024, 1024), np.uint8)
tifffile.imwrite(out + '/tiffs/large.tif', noise, photometric='minisblack', metadata=None)
open(out + '/large.pgm', 'wb').write(b'P5 1024 1024 255\n' + noise[0].tobytes())
PY
# The settings, the progress dialog and the message box of Save as Dataset
# all bear its name; only the message box is modal.
saving="Save as Dataset"
boxed() { found "$saving" && xprop -id "$id" _NET_WM_STATE 2>/dev/null | grep -q _NET_WM_STATE_MODAL; }

step "a TIFF on the command line is shown in place, in the file's colours, and nothing is written"
start "$work/tiffs/cells.tif"
cells=("$work/tiffs/cells.tif: t 0, z 1")
expect_trace "${cells[@]}"
expect_colour 37 48 "100 200 100"
[ "$(ls -A "$work/tiffs")" = "$(printf 'cells.tif\nlarge.tif')" ] || fail "the folder holds $(ls -A "$work/tiffs")"

step "Save as Dataset writes what is shown; the view stays on the recording"
xdotool key ctrl+s
settings=$(window "$saving")
xdotool windowfocus --sync "$settings" key Return
gone "$saving" "$settings"
until_true boxed || fail "no message box says that the dataset was saved"
xdotool windowfocus --sync "$id" key Return
gone "$saving" '.\+'
near "100 200 100" "$xprobe" filepixel "$work/tiffs/cells/img/cells_t000_z000_ch000.jpg" 32 24 ||
    fail "the dataset's first frame shows ${shown:-nothing}, not about 100 200 100"
expect_colour 37 48 "100 200 100"
expect_trace "${cells[@]}"

step "Save as Dataset, cancelled in the middle of a large import, leaves the folder and the window as they were"
xdotool windowfocus --sync "$win" key ctrl+i
chooser=$(window "Open Recording")
xdotool windowfocus --sync "$chooser" type --delay 5 "$work/tiffs/large.tif"
xdotool key Return
gone "Open Recording" "$chooser"
large=("${cells[@]}" "$work/tiffs/large.tif: t 0, z 0")
expect_trace "${large[@]}"
expect_shown "$win" 5 24 "$work/large.pgm" 0 0 600 600 || fail "the screen does not show large.tif's first plane"
before=$(ls -A "$work/tiffs")
xdotool windowfocus --sync "$win" key ctrl+s
settings=$(window "$saving")
xdotool windowfocus --sync "$settings" key Return
gone "$saving" "$settings"
writing() { compgen -G "$work/tiffs/.large.tesseline-import-*/img/*.jpg" >/dev/null; }
until_true writing || fail "no frame is being written"
progress=$(window "$saving")
importer=$(pgrep -P "$app" -f json-progress) || fail "the viewer runs no importer"
xdotool windowfocus --sync "$progress" key Escape
until_true ended "$importer" || fail "the importer is still running"
[ "$(ls -A "$work/tiffs")" = "$before" ] || fail "the folder holds $(ls -A "$work/tiffs"), not $before"
gone "$saving" '.\+'
expect_shown "$win" 5 24 "$work/large.pgm" 0 0 600 600 || fail "the frame shown has changed"
expect_trace "${large[@]}"
quit

# Frames larger than a 1920 x 1080 screen, made of 8 x 8 blocks of colours
# hashed from their place, so that any shift shows, with a square of its own
# colour in each corner: red, green, blue, yellow.  The window then fills the
# screen (no window manager, so no title bar): an image area of 1910 x 955.
kill "$xvfb"
mkdir "$work/1080p"
start_xvfb "$work/1080p" 1920x1080 || fail "the second Xvfb did not start"
pids+=($!)
blocks() { # NAME SIZE FRAMES
    mkdir -p "$work/$1/img"
    printf 'dataset %s\nwidth %d\nheight %d\nmint 0\nmaxt %d\nminz 0\nmaxz 0\n' "$1" "$2" "$2" $(($3 - 1)) >"$work/$1/$1.tz"
    for t in $(seq 0 $(($3 - 1))); do "$xprobe" blocks "$work/$1/img/$1_t00${t}_z000_ch000.jpg" "$2" "$2" "$t"; done
}
blocks big 2048 2
blocks huge 8000 1
big() { echo "$work/big/img/big_t00$1_z000_ch000.jpg"; }
huge=$work/huge/img/huge_t000_z000_ch000.jpg

# Waits until the image area shows the frame file's pixels from X, Y on, or
# from no further than SLACK pixels away.
shows() {
    expect_shown "$win" 5 24 "$1" "$2" "$3" 1910 955 "${4:-0}" ||
        fail "the image area does not show $(basename "$1") from $2,$3"
}
drag() { # FROM_X FROM_Y BY_X BY_Y, in the window
    xdotool mousemove --window "$win" "$1" "$2" mousedown 1 \
        mousemove --window "$win" $(($1 + $3)) $(($2 + $4)) mouseup 1
}
# The four corner squares in the fit view: 2048 x 2048 scaled to 955 x 955 at
# the image area's top-left, and the label's background right of it.
expect_fitted() {
    expect_colour 7 26 "255 0 0"
    expect_colour 958 26 "0 255 0"
    expect_colour 7 977 "0 0 255"
    expect_colour 958 977 "255 255 0"
    expect_colour 961 26 "$background"
}
# Saves a picture of a window, or of a part of it, once two in a row are alike.
alike() { "$xprobe" shot "$2" "$1.again" "${@:3}" && { cmp -s "$1" "$1.again" || { mv "$1.again" "$1"; false; }; }; }
snap() { "$xprobe" shot "$2" "$1" "${@:3}"; until_true alike "$@" || fail "the picture of $2 does not settle"; }
# Saves the View menu's picture, opened from the keyboard as a user would.
menu_open() { menu=$(xdotool search --onlyvisible --classname '^tesseline$' 2>/dev/null | grep -vx "$win"); }
menu_shut() { ! menu_open; }
view_menu() {
    xdotool key alt+v
    until_true menu_open || fail "the View menu did not open"
    snap "$1" "$menu"
    xdotool key Escape
    until_true menu_shut || fail "the View menu did not close"
}
# Whether the time counter, at 5, H + 40 below the menu bar, shows what it showed at t 0.
at_t0() { "$xprobe" shot "$win" "$work/counter.png" 5 1014 48 25 && cmp -s "$work/t0.png" "$work/counter.png"; }
not_t0() { "$xprobe" shot "$win" "$work/counter.png" 5 1014 48 25 && ! cmp -s "$work/t0.png" "$work/counter.png"; }

step "a 2048 x 2048 frame on a 1920 x 1080 screen: the window and its controls fit"
start "$work/big/big.tz"
trace=(big 2048 2048 0 1 0 0 "$(big 0)")
expect_trace "${trace[@]}"
expect_size "$win" 1920x1080
[ "$(xdotool getwindowgeometry "$win" | sed -n 's/ *Position: \([0-9,]*\) .*/\1/p')" = 0,0 ] ||
    fail "the window is not at the screen's top-left"
shows "$(big 0)" 0 0
background=$("$xprobe" pixel "$win" 2 500)
[ "$("$xprobe" pixel "$win" 1915 500)" = "$background" ] || fail "the image area is wider than 1910"
[ "$("$xprobe" pixel "$win" 500 979)" = "$background" ] || fail "the image area is higher than 955"
snap "$work/t0.png" "$win" 5 1014 48 25
view_menu "$work/menu-unchecked.png"

step "dragging moves the decoded frame, reading nothing again"
drag 1000 700 -100 -600
shows "$(big 0)" 100 600
expect_trace "${trace[@]}"

step "stepping keeps the place, the slider and counter below the frame work"
press "$(big 1)" l
shows "$(big 1)" 100 600
until_true not_t0 || fail "the time counter does not change"
# The time slider's middle: at H + 44 below the menu bar, 16 high.
xdotool mousemove --window "$win" 1000 1026 click 4
trace+=("$(big 0)")
expect_trace "${trace[@]}"
shows "$(big 0)" 100 600
until_true at_t0 || fail "the time counter does not show 0 again"

step "a drag stops at the frame's edges"
drag 1800 970 -1700 -950
shows "$(big 0)" 138 1093
drag 500 100 50 50
shows "$(big 0)" 88 1043
expect_trace "${trace[@]}"

step "opening again goes back to the top-left"
xdotool key ctrl+o
dialog=$(window OpenFile)
xdotool windowfocus --sync "$dialog" type --delay 5 "$work/big/big.tz"
xdotool key Return
trace+=(big 2048 2048 0 1 0 0 "$(big 0)")
expect_trace "${trace[@]}"
xdotool windowfocus --sync "$win"
shows "$(big 0)" 0 0
drag 1000 600 -50 -400
shows "$(big 0)" 50 400
drag 1000 100 300 800
shows "$(big 0)" 0 0

step "Ctrl+F fits the whole frame, a double-click shows 100 % around the point"
xdotool key ctrl+f
trace+=("$(big 0)")
expect_trace "${trace[@]}"
expect_fitted
view_menu "$work/menu-checked.png"
cmp -s "$work/menu-unchecked.png" "$work/menu-checked.png" && fail "the View menu shows no check mark in the fit view"
# The label's 480, 500 is the frame's 1029.4, 1072.3; centred in 1910 x 955
# that is an offset of 74.4, 594.8.
xdotool mousemove --window "$win" 485 524 click --repeat 2 --delay 50 1
trace+=("$(big 0)")
expect_trace "${trace[@]}"
shows "$(big 0)" 74 595 1
view_menu "$work/menu-after.png"
cmp -s "$work/menu-unchecked.png" "$work/menu-after.png" || fail "the View menu still shows a check mark at 100 %"
xdotool mousemove --window "$win" 900 500 click --repeat 2 --delay 50 1
trace+=("$(big 0)")
expect_trace "${trace[@]}"
expect_fitted
quit

step "an 8000 x 8000 frame: a drag decodes the area around what is visible, then again only past it"
start "$work/huge/huge.tz"
trace=(huge 8000 8000 0 0 0 0 "$huge")
expect_trace "${trace[@]}"
shows "$huge" 0 0
drag 1500 800 -300 -200
trace+=("$huge")
shows "$huge" 300 200
expect_trace "${trace[@]}"
drag 1500 800 -600 -200
shows "$huge" 900 400
expect_trace "${trace[@]}"
drag 1500 800 -1200 -500
trace+=("$huge")
expect_trace "${trace[@]}"
shows "$huge" 2100 900
drag 500 300 300 200
shows "$huge" 1800 700
expect_trace "${trace[@]}"
quit

step "with a window manager, the framed window stays on the screen"
# Started again when it could not connect, as the viewer is.
wm_up() { ended "$wm" || xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
for _ in 1 2 3; do
    openbox --config-file /dev/null >"$work/openbox.log" 2>&1 &
    wm=$!
    pids+=("$wm")
    until_true wm_up || fail "Openbox did not start"
    ended "$wm" && grep -q 'open the display' "$work/openbox.log" || break
done
ended "$wm" && fail "Openbox ended: $(cat "$work/openbox.log")"
start "$work/big/big.tz"
trace=(big 2048 2048 0 1 0 0 "$(big 0)")
expect_trace "${trace[@]}"
framed() {
    extents=$(xprop -id "$win" _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/.*= //p' | tr -d ' ')
    IFS=, read -r left right top bottom <<<"${extents:-0,0,0,0}"
    geometry=$(xwininfo -id "$win")
    X=$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$geometry")
    Y=$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$geometry")
    WIDTH=$(sed -n 's/.*Width: *//p' <<<"$geometry")
    HEIGHT=$(sed -n 's/.*Height: *//p' <<<"$geometry")
    [ "${top:-0}" -gt 0 ] && [ $((Y - top)) -ge 0 ] && [ $((Y + HEIGHT + bottom)) -le 1080 ] &&
        [ $((X - left)) -ge 0 ] && [ $((X + WIDTH + right)) -le 1920 ]
}
until_true framed || true # what is wrong is told below
[ "${top:-0}" -gt 0 ] || fail "the window manager put no title bar on the window"
[ $((Y + HEIGHT + bottom)) -le 1080 ] || fail "the framed window ends at $((Y + HEIGHT + bottom)), below the screen"
[ $((HEIGHT)) -eq $((1080 - top - bottom)) ] || fail "the window is $HEIGHT high in a frame of $top + $bottom"

step "with a window manager, a size set by hand and the controls stay when the window moves"
xdotool windowsize "$win" 1200 "$HEIGHT"
expect_size "$win" "1200x$HEIGHT"
# The time counter and the start of its slider, at H + 40 below the menu bar.
snap "$work/framed.png" "$win" 5 $((HEIGHT - 66)) 200 25
xdotool windowmove "$win" 300 40
moved() { xwininfo -id "$win" | grep -q 'Absolute upper-left X: *300$'; }
until_true moved || fail "the window did not move"
# The viewer handles the move before L and H, whose frames are then read.
press "$(big 1)" l
press "$(big 0)" h
size_is "$win" "1200x$HEIGHT" || fail "moving the window changed its size to $size"
controls() { "$xprobe" shot "$win" "$work/moved.png" 5 $((HEIGHT - 66)) 200 25 && cmp -s "$work/framed.png" "$work/moved.png"; }
until_true controls || fail "moving the window moved its controls"
quit

echo "e2e: 1 passed, 0 failed"
