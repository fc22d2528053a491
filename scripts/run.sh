#!/usr/bin/env bash
# Sets up and builds the viewer (quietly when nothing changed) and opens a
# dataset in it: the descriptor given, or else the sample dataset, made the
# first time it is opened.  With no display at all, on a virtual display
# served over VNC (scripts/headless.sh).  Other arguments go to the viewer.
# Usage: run.sh [VIEWER_OPTIONS...] [[--] descriptor.tz]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build
"$root/scripts/setup.sh" "$build" --target tesseline tesseline-gensample

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

if ! names_descriptor "$@"; then
    [ -f "$build/sample/sample.tz" ] || "$build/tesseline-gensample" "$build/sample"
    set -- "$build/sample/sample.tz" "$@"
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    exec "$root/scripts/headless.sh" "$build/tesseline" "$@"
fi
exec "$build/tesseline" "$@"
