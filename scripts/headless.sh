#!/usr/bin/env bash
# Runs the viewer where there is no display: on a virtual X display served by
# TigerVNC's Xvnc, with Openbox as its window manager.  VNC clients get in from
# this machine only (loopback) and with a password made for this run; X clients
# only with an authority cookie of this run, in a file only its owner can read.
# The viewer's standard error goes to a log file, named in the connection
# message.  Ctrl+C, or the viewer's Exit, ends it all.
# Usage: headless.sh VIEWER [VIEWER_ARGS...]
set -euo pipefail

work=$(mktemp -d)
log=$(mktemp "${TMPDIR:-/tmp}/tesseline-XXXXXX.log")
pids=()
# Ends what was started in reverse order, each before the next, so that the
# viewer and the window manager never lose their display while they run.
cleanup() {
    local status=$? i
    trap '' INT TERM HUP
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop "${pids[i]}"; done
    rm -rf "$work"
    exit "$status"
}
stop() {
    kill "$1" 2>/dev/null || return 0
    for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
# Ctrl+C reaches only this script: each child runs in a session of its own
# (setsid), so that it is ended in order rather than all at once.
stopped() {
    echo "Stopped.  The viewer's messages are kept in $log"
    exit 0
}
trap cleanup EXIT
trap stopped INT TERM HUP

# VNC passwords are 8 characters: 48 random bits, in base64.
password=$(head -c 6 /dev/urandom | base64 | tr '+/' 'xy')
vncpasswd -f <<<"$password" >"$work/passwd"
chmod 600 "$work/passwd"

# One cookie, valid for whichever display number Xvnc picks (address and
# number left empty), as only the server knows that number once it runs.
export XAUTHORITY="$work/xauthority"
(umask 077 && : >"$XAUTHORITY")
echo "ffff 0000  0000  0012 $(printf MIT-MAGIC-COOKIE-1 | od -An -tx1 | tr -d ' \n') 0010 $(mcookie)" |
    xauth -q -f "$XAUTHORITY" nmerge -

# The desktop starts at a size most screens show whole, and follows the size
# of the client's window when the client asks (AcceptSetDesktopSize).
setsid Xvnc -displayfd 3 -localhost -SecurityTypes VncAuth -PasswordFile "$work/passwd" -auth "$XAUTHORITY" \
    -geometry 1280x800 -depth 24 -nolisten tcp -AlwaysShared -AcceptSetDesktopSize \
    3>"$work/display" 2>"$work/xvnc.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] || ! kill -0 "${pids[0]}" 2>/dev/null && break; sleep 0.1; done
[ -s "$work/display" ] || { cat "$work/xvnc.log" >&2; echo "headless: Xvnc did not start" >&2; exit 1; }
display=$(cat "$work/display")
port=$((5900 + display))
export DISPLAY=":$display" XDG_RUNTIME_DIR="$work"
unset WAYLAND_DISPLAY

# Openbox gives windows their title bars, focuses each new window and gives
# the focus back to the main window when a dialog closes.  Its cache and
# session files stay in this run's folder.
XDG_CACHE_HOME="$work" setsid openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q '#' && break; sleep 0.1; done

cat <<MSG
No display found: the viewer runs on virtual display :$display, served over VNC
on localhost:$port (this machine only).  Password for this run: $password
From another machine: ssh -L $port:localhost:$port $(hostname), then point a
VNC viewer at localhost:$port.  Ctrl+C ends it all.
The viewer's messages (its trace) go to $log
MSG

setsid "$@" 2>"$log" &
pids+=($!)
status=0
wait "${pids[2]}" || status=$?
if [ "$status" -ne 0 ]; then
    echo "headless: the viewer ended with exit status $status; the end of $log:" >&2
    tail -n 5 "$log" >&2
fi
exit "$status"
