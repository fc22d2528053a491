#!/usr/bin/env bash
# Sets up and builds the viewer (quietly when nothing changed) and opens a
# dataset in it: the descriptor given, or else the sample dataset, made the
# first time it is opened.  With no display at all, on a virtual display
# served over VNC (scripts/headless.sh).  Other arguments go to the viewer;
# --help, --version and misuse are answered at once, display or not.
# Usage: run.sh [VIEWER_OPTIONS...] [[--] descriptor.tz]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build
"$root/scripts/setup.sh" --run "$build" --target installable tesseline-gensample

# Whether the arguments name a descriptor: one after "--", or one that is
# neither an option nor the value of one.  Of the viewer's options only these
# take no value; Qt's other options do (-style fusion), unless given with "=".
flags='^(-h|-v|--?(help|version|reverse|widgetcount|nograb|dograb|sync))$'
names_descriptor() {
    while [ $# -gt 0 ]; do
        case $1 in
        --) [ $# -gt 1 ]; return ;;
        -*=*) ;;
        -*) [[ $1 =~ $flags ]] || [ $# -lt 2 ] || shift ;;
        *) return 0 ;;
        esac
        shift
    done
    return 1
}

# The arguments without a choice of platform or display, which would let the
# viewer start with none.
without_platform() {
    checked=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        case $1 in
        --platform=* | -platform=* | --display=* | -display=*) ;;
        --platform | -platform | --display | -display) [ $# -lt 2 ] && checked+=("$1") || shift ;;
        *) checked+=("$1") ;;
        esac
        shift
    done
    checked+=("$@")
}

# Help, version and misuse need no display: given none, the viewer prints
# them and ends, or else says it has no display, having started nothing.
without_platform "$@"
status=0
{ problem=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$build/tesseline" "${checked[@]}" 2>&1 >&3 3>&-) ||
    status=$?; } 3>&1
if [ "$status" -ne 1 ] || [[ $problem != *"no display to open a window on"* ]]; then
    [ -z "$problem" ] || echo "$problem" >&2
    exit "$status"
fi

if ! names_descriptor "$@"; then
    [ -f "$build/sample/sample.tz" ] || "$build/tesseline-gensample" "$build/sample"
    set -- "$build/sample/sample.tz" "$@"
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    exec "$root/scripts/headless.sh" "$build/tesseline" "$@"
fi
exec "$build/tesseline" "$@"
