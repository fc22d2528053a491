#!/usr/bin/env bash
# Runs the viewer where there is no display: on a virtual X display served by
# TigerVNC's Xvnc, reachable from this machine only (loopback) and protected
# by a password made for this run.  Ctrl+C, or the viewer's Exit, ends it all.
# Usage: headless.sh VIEWER [VIEWER_ARGS...]
set -euo pipefail

work=$(mktemp -d)
pids=()
cleanup() {
    trap - EXIT INT TERM
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# VNC passwords are 8 characters: 48 random bits, in base64.
password=$(head -c 6 /dev/urandom | base64 | tr '+/' 'xy')
vncpasswd -f <<<"$password" >"$work/passwd"
chmod 600 "$work/passwd"

Xvnc -displayfd 3 -localhost -SecurityTypes VncAuth -PasswordFile "$work/passwd" \
    -geometry 1280x1024 -depth 24 -nolisten tcp -AlwaysShared 3>"$work/display" 2>"$work/xvnc.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { cat "$work/xvnc.log" >&2; echo "headless: Xvnc did not start" >&2; exit 1; }
display=$(cat "$work/display")
port=$((5900 + display))

cat <<MSG
No display found: the viewer runs on virtual display :$display, served over VNC
on localhost:$port (this machine only).  Password for this run: $password
From another machine: ssh -L $port:localhost:$port $(hostname), then point a
VNC viewer at localhost:$port.  Ctrl+C ends it all.
MSG

export DISPLAY=":$display" XDG_RUNTIME_DIR="$work"
unset WAYLAND_DISPLAY
"$@" &
pids+=($!)
wait "${pids[1]}"
