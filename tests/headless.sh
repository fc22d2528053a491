#!/usr/bin/env bash
# The run command's headless path: with no display, the viewer must come up on
# a virtual display served over VNC on loopback only, refuse a client without
# the password, show the frame, and leave no process behind when interrupted.
# Usage: headless.sh TESSELINE GENSAMPLE XPROBE
set -euo pipefail

tesseline=$1 gensample=$2 xprobe=$3
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$(mktemp -d)
run=""
cleanup() {
    [ -n "$run" ] && kill "$run" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; sed 's/^/  output: /' "$work/out" 2>/dev/null; exit 1; }

"$gensample" "$work/data" --name flat --flat --times 2 --planes 3 >/dev/null

# Job control, so that the script gets SIGINT as it would from a terminal.
set -m
env -u DISPLAY -u WAYLAND_DISPLAY "$root/scripts/headless.sh" "$tesseline" "$work/data/flat.tz" \
    >"$work/out" 2>"$work/trace" &
run=$!
set +m

for _ in $(seq 600); do grep -q 'Password for this run' "$work/out" && break; sleep 0.1; done
port=$(sed -n 's/.*served over VNC$//; s/^on localhost:\([0-9]*\) .*/\1/p' "$work/out")
display=$(sed -n 's/.*virtual display :\([0-9]*\),.*/\1/p' "$work/out")
[ -n "$port" ] && [ -n "$display" ] || fail "no port or display announced"

echo "-- VNC banner on loopback"
exec 5<>"/dev/tcp/127.0.0.1/$port"
banner=$(head -c 12 <&5)
[[ "$banner" == "RFB 003.0"* ]] || fail "banner '$banner'"

echo "-- no password, no entry"
printf 'RFB 003.008\n' >&5
types=$(head -c 2 <&5 | od -An -tu1 | xargs)
[ "$types" = "1 2" ] || fail "security types '$types', wanted only VNC authentication"
printf '\x02' >&5
head -c 16 <&5 >/dev/null
head -c 16 /dev/zero >&5
result=$(head -c 4 <&5 | od -An -tu1 | xargs)
[ "$result" != "0 0 0 0" ] || fail "a wrong password was accepted"
exec 5>&-

echo "-- listening on loopback only"
xvnc=$(pgrep -P "$run" Xvnc)
addresses=$(ss -ltnpH | grep "pid=$xvnc," | awk '{print $4}')
[ -n "$addresses" ] || fail "Xvnc listens nowhere"
grep -Ev '^(127\.0\.0\.1|\[::1\]):' <<<"$addresses" && fail "Xvnc listens beyond loopback"

echo "-- the virtual display shows the frame"
export DISPLAY=":$display" XDG_RUNTIME_DIR="$work"
win=$(timeout 30 xdotool search --sync --onlyvisible --name '^Tesseline$' | head -n 1)
frame="$work/data/img/flat_t000_z001_ch000.jpg"
for _ in $(seq 50); do grep -q "$frame" "$work/trace" && break; sleep 0.1; done
sleep 0.3
shown=$("$xprobe" pixel "$win" 150 150)
wanted=$("$xprobe" filepixel "$frame" 100 100)
[ "$shown" = "$wanted" ] || fail "screen pixel is $shown, frame pixel is $wanted"

echo "-- Ctrl+C leaves nothing behind"
viewer=$(pgrep -P "$run" tesseline)
kill -INT "$run"
alive() { for p in "$@"; do kill -0 "$p" 2>/dev/null && return 0; done; return 1; }
for _ in $(seq 50); do alive "$run" "$xvnc" "$viewer" || break; sleep 0.1; done
for p in "$run" "$xvnc" "$viewer"; do
    kill -0 "$p" 2>/dev/null && fail "process $p is still running"
done
run=""
echo "headless: 1 passed, 0 failed"
