#!/usr/bin/env bash
# The run command's headless path: with no display, the viewer must come up on
# a virtual display served over VNC on loopback only, let in a VNC client with
# the announced password and no other, let in X clients with the run's cookie
# and no other, show the frame in a window manager's frame that holds the
# keyboard focus, also after dialogs, follow the size a client asks for, write
# its trace to the announced log, and end in order on Ctrl+C, leaving nothing
# behind but the log.  The password differs from run to run, and --help
# starts no X server.
# Usage: headless.sh TESSELINE GENSAMPLE XPROBE
set -euo pipefail

tesseline=$1 gensample=$2 xprobe=$3
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$(mktemp -d)
run="" log=""
cleanup() {
    [ -n "$run" ] && kill "$run" 2>/dev/null || true
    rm -rf "$work" "$log"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    sed 's/^/  output: /' "$work/out" 2>/dev/null
    [ -n "$log" ] && sed 's/^/  log: /' "$log" 2>/dev/null
    exit 1
}

# Runs a check every 0.1 s until it holds, for up to 60 s: only a hang takes
# that long, however busy the machine.
until_true() {
    local end=$((SECONDS + 60))
    until "$@"; do
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.1
    done
}

"$gensample" "$work/data" --name flat --flat --times 4 --planes 3 >/dev/null
frame() { echo "$work/data/img/flat_t00$1_z00$2_ch000.jpg"; }

# The run command, in a copy of the scripts around the viewer under test,
# with stand-ins for cmake (nothing to build) and dpkg-query (all installed).
runtree=$work/runtree
mkdir -p "$runtree/scripts" "$runtree/build" "$work/bin"
cp "$root/scripts/run.sh" "$root/scripts/setup.sh" "$root/scripts/headless.sh" "$runtree/scripts/"
ln -s "$tesseline" "$runtree/build/tesseline"
ln -s "$gensample" "$runtree/build/tesseline-gensample"
printf '#!/bin/sh\n' >"$work/bin/cmake"
printf '#!/bin/sh\necho "install ok installed"\n' >"$work/bin/dpkg-query"
chmod +x "$work/bin/"*
export PATH="$work/bin:$PATH"

# start: runs the run command on the dataset as a person would, in a process
# group of its own as a terminal's job, and reads the connection message.
start() {
    # Not the last run's message: the new run may not have begun its own yet.
    rm -f "$work/out"
    set -m
    env -u DISPLAY -u WAYLAND_DISPLAY -u XAUTHORITY "$runtree/scripts/run.sh" \
        "$work/data/flat.tz" >"$work/out" 2>"$work/err" &
    run=$!
    set +m
    until_true grep -qs 'trace) go to' "$work/out" || true
    port=$(sed -n 's/^on localhost:\([0-9]*\) .*/\1/p' "$work/out")
    display=$(sed -n 's/.*virtual display :\([0-9]*\),.*/\1/p' "$work/out")
    password=$(sed -n 's/.*Password for this run: //p' "$work/out")
    log=$(sed -n 's/.*(its trace) go to //p' "$work/out")
    [ -n "$port" ] && [ -n "$display" ] && [ -n "$password" ] && [ -n "$log" ] ||
        fail "no port, display, password or log announced"
    # VNC reads 8 characters of a password: 48 random bits in base64, unpadded.
    [ "${#password}" = 8 ] && [[ $password != *=* ]] || fail "password '$password'"
    xvnc=$(pgrep -P "$run" Xvnc)
    cookie=$(ps -o args= -p "$xvnc" | sed -n 's/.* -auth \([^ ]*\) .*/\1/p')
    export DISPLAY=":$display" XAUTHORITY="$cookie" XDG_RUNTIME_DIR="$work"
    win=$(timeout 60 xdotool search --sync --onlyvisible --name '^Tesseline$' | head -n 1)
    viewer=$(pgrep -P "$run" tesseline)
}
ended() { ! kill -0 "$1" 2>/dev/null; }

# Waits until the trace's last line is the given one.
last_is() { [ "$(tail -n 1 "$log")" = "$1" ]; }
expect_last() { until_true last_is "$1" || fail "the trace does not end with $1"; }

# Waits until the window that has the focus is named as given.
active_is() { name=$(xdotool getactivewindow getwindowname 2>/dev/null || true); [ "$name" = "$1" ]; }
expect_active() { local name=""; until_true active_is "$1" || fail "the active window is '$name', wanted '$1'"; }

# vnc_auth PASSWORD: answers the VNC authentication challenge on fd 5: its
# 16 bytes encrypted with DES, keyed by the password with the bits of each
# byte reversed.
vnc_auth() {
    local key="" i c r b
    for i in $(seq 0 7); do
        c=$(printf '%d' "'${1:i:1}")
        r=0
        for b in $(seq 0 7); do r=$(((r << 1) | ((c >> b) & 1))); done
        key+=$(printf '%02x' "$r")
    done
    head -c 16 <&5 | openssl enc -des-ecb -provider legacy -provider default -nopad -K "$key" >&5
}

# vnc_connect PASSWORD: opens fd 5 to the server and authenticates; sets
# answer to the server's, 0 for success.
vnc_connect() {
    exec 5<>"/dev/tcp/127.0.0.1/$port"
    banner=$(head -c 12 <&5)
    [[ "$banner" == "RFB 003.0"* ]] || fail "banner '$banner'"
    printf 'RFB 003.008\n' >&5
    types=$(head -c 2 <&5 | od -An -tu1 | xargs)
    [ "$types" = "1 2" ] || fail "security types '$types', wanted only VNC authentication"
    printf '\x02' >&5
    vnc_auth "$1"
    answer=$(head -c 4 <&5 | od -An -tu4 --endian=big | xargs)
}

start

echo "-- a VNC client needs the announced password"
vnc_connect "wrong!!!"
[ "$answer" != 0 ] || fail "a wrong password was accepted"
exec 5>&-
vnc_connect "$password"
[ "$answer" = 0 ] || fail "the announced password was refused"

echo "-- the desktop follows the size the client asks for"
printf '\x01' >&5
size=$(head -c 4 <&5 | od -An -tu2 --endian=big | xargs)
[ "$size" = "1280 800" ] || fail "the desktop starts at $size"
# SetEncodings: extended desktop size; SetDesktopSize: 1000 x 700, one screen.
printf '\x02\x00\x00\x01\xff\xff\xfe\xcc' >&5
printf '\xfb\x00\x03\xe8\x02\xbc\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x03\xe8\x02\xbc\x00\x00\x00\x00' >&5
geometry_is() { [ "$(xdotool getdisplaygeometry)" = "$1" ]; }
until_true geometry_is "1000 700" || fail "the desktop is $(xdotool getdisplaygeometry)"
exec 5>&-

echo "-- listening on loopback only"
addresses=$(ss -ltnpH | grep "pid=$xvnc," | awk '{print $4}')
[ -n "$addresses" ] || fail "Xvnc listens nowhere"
grep -Ev '^(127\.0\.0\.1|\[::1\]):' <<<"$addresses" && fail "Xvnc listens beyond loopback"

echo "-- an X client needs the run's cookie, which only its owner can read"
[ "$(stat -c %a "$cookie")" = 600 ] || fail "the cookie's mode is $(stat -c %a "$cookie")"
XAUTHORITY=/dev/null xdotool getdisplaygeometry 2>/dev/null && fail "a client without the cookie got in"
if [ "$(id -u)" = 0 ]; then
    runuser -u nobody -- env DISPLAY="$DISPLAY" xdotool getdisplaygeometry 2>/dev/null &&
        fail "another account got in"
fi
xdotool getdisplaygeometry >/dev/null || fail "a client with the cookie was refused"

echo "-- the trace goes to the announced log, the message stays on screen"
expect_last "$(frame 0 1)"
[ "$(head -n 7 "$log" | xargs)" = "flat 480 360 0 3 0 2" ] || fail "the trace begins otherwise"
[ ! -s "$work/err" ] || fail "the terminal got: $(cat "$work/err")"

echo "-- the virtual display shows the frame"
wanted=$("$xprobe" filepixel "$(frame 0 1)" 100 100)
shows_frame() { shown=$("$xprobe" pixel "$win" 150 150); [ "$shown" = "$wanted" ]; }
until_true shows_frame || fail "screen pixel is $shown, frame pixel is $wanted"

echo "-- a window manager frames the window and gives it the keyboard"
tree=$(xwininfo -id "$win" -tree)
[ "$(sed -n 's/^ *Parent window id: \(0x[0-9a-f]*\).*/\1/p' <<<"$tree")" != \
  "$(sed -n 's/^ *Root window id: \(0x[0-9a-f]*\).*/\1/p' <<<"$tree")" ] || fail "the window has no frame"
extents=$(xprop -id "$win" _NET_FRAME_EXTENTS | sed -n 's/.* = //p')
top=$(cut -d, -f3 <<<"$extents")
[ "${top:-0}" -ge 10 ] || fail "no title bar: frame extents '$extents'"
expect_active Tesseline
[ "$(xdotool getactivewindow)" = "$win" ] || fail "another window is active"
xdotool key l
expect_last "$(frame 1 1)"

echo "-- the focus comes back after a dialog"
xdotool key alt+h
menu_open() { xdotool search --onlyvisible --classname '^tesseline$' 2>/dev/null | grep -vqx "$win"; }
until_true menu_open || fail "the Help menu did not open"
xdotool key a
expect_active "About Tesseline"
xdotool key Escape
expect_active Tesseline
xdotool key l
expect_last "$(frame 2 1)"

# Ctrl+C sends SIGINT to the terminal's whole foreground job, SIGTERM comes
# to the run command alone.
passwords=()
for signal in INT TERM; do
    echo "-- SIG$signal ends it all, quietly, and leaves nothing behind but the log"
    [ "$signal" = INT ] || start
    wm=$(pgrep -P "$run" openbox)
    # Else Ctrl+C would end Xvnc as soon as the viewer, which then may lose it.
    for p in "$xvnc" "$viewer" "$wm"; do
        [ "$(ps -o pgid= -p "$p" | xargs)" != "$run" ] || fail "process $p is in the terminal's job"
    done
    if [ "$signal" = INT ]; then kill -INT -- "-$run"; else kill -TERM "$run"; fi
    until_true ended "$run" || fail "still running after SIG$signal"
    rc=0
    kill -0 "$run" 2>/dev/null || wait "$run" || rc=$?
    [ "$rc" = 0 ] || fail "exit status $rc after SIG$signal"
    [ ! -s "$work/err" ] || fail "the terminal got: $(cat "$work/err")"
    grep -qF "kept in $log" "$work/out" || fail "the log is not named at the end"
    for p in "$run" "$xvnc" "$viewer" "$wm"; do
        kill -0 "$p" 2>/dev/null && fail "process $p is still running"
    done
    run=""
    [ ! -e "$cookie" ] || fail "the cookie is left behind"
    [ -s "$log" ] || fail "the log is gone"
    # A viewer whose display went first says so.
    grep -v "^$work/" "$log" | grep -Ei 'x11|xcb|display' && fail "the viewer lost its display"
    rm -f "$log"
    passwords+=("$password")
done
[ "${passwords[0]}" != "${passwords[1]}" ] || fail "two runs had the same password"

echo "-- Ctrl+Q after the Open dialog ends it all"
start
expect_active Tesseline
xdotool key ctrl+o
expect_active OpenFile
xdotool key Escape
expect_active Tesseline
# xdotool may see the display go away with the viewer.
xdotool key ctrl+q 2>/dev/null || true
rc=0
until_true ended "$run" || fail "still running after Ctrl+Q"
wait "$run" || rc=$?
run=""
[ "$rc" = 0 ] || fail "exit status $rc after Ctrl+Q"
kill -0 "$xvnc" 2>/dev/null && fail "Xvnc is still running"

echo "-- a viewer that fails: its exit status and the end of its log"
rm -f "$log"
rc=0
env -u DISPLAY -u WAYLAND_DISPLAY timeout 60 "$runtree/scripts/headless.sh" sh -c 'echo "cannot go on" >&2; exit 3' \
    >"$work/out" 2>"$work/err" || rc=$?
log=$(sed -n 's/.*(its trace) go to //p' "$work/out")
[ "$rc" = 3 ] || fail "exit status $rc, wanted the viewer's 3"
grep -q '^headless: the viewer ended with exit status 3' "$work/err" && grep -qx 'cannot go on' "$work/err" ||
    fail "the terminal got: $(cat "$work/err")"

echo "-- --help with no display prints the usage and starts no X server"
printf '#!/bin/sh\ntouch "%s/xvnc-started"\n' "$work" >"$work/bin/Xvnc"
chmod +x "$work/bin/Xvnc"
rc=0
env -u DISPLAY -u WAYLAND_DISPLAY timeout 60 "$runtree/scripts/run.sh" --help >"$work/out" 2>"$work/err" || rc=$?
[ "$rc" = 0 ] || fail "exit status $rc after --help"
[ "$(head -n 1 "$work/out")" = "Usage: tesseline [options] [descriptor.tz | recording... | folder | URL]" ] || fail "no usage first"
[ ! -e "$work/xvnc-started" ] || fail "an X server was started"
echo "headless: 1 passed, 0 failed"
