# Sourced by the scripts and the end-to-end test: start_xvfb FOLDER WxH starts
# an X server of that screen size in the background, waits for it, and points
# DISPLAY and Qt at it.  The caller kills it (it is a job of the caller's shell).
start_xvfb() {
    Xvfb -displayfd 3 -screen 0 "$2x24" -nolisten tcp 3>"$1/display" 2>/dev/null &
    for _ in $(seq 100); do [ -s "$1/display" ] && break; sleep 0.1; done
    [ -s "$1/display" ] || return 1
    export DISPLAY=":$(cat "$1/display")" QT_QPA_PLATFORM=xcb
}
