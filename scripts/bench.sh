#!/usr/bin/env bash
# Builds Tesseline and runs its benchmark twice: on Qt's offscreen platform
# and on a real X server (Xvfb), each with a screen large enough to show a
# whole 2048 x 2048 frame.  The X screen is wider, so that windows the
# benchmark shows at the same time sit side by side and none covers another.
# Prints figures; asserts nothing.
# Extra arguments go to the benchmark (e.g. --steps 200, --sets clip,view).
# TESSELINE_BUILD names another build folder than build/.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TESSELINE_BUILD:-$root/build}
"$root/scripts/setup.sh" "$build" --target tesseline-bench tesseline-gensample >/dev/null
bench=("$build/tesseline-bench" "$build/tesseline-gensample" "$@")

work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
export XDG_RUNTIME_DIR="$work"
cat >"$work/offscreen.json" <<'JSON'
{ "screens": [ { "name": "bench", "x": 0, "y": 0, "width": 2400, "height": 2400,
                 "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1 } ] }
JSON

echo "### offscreen platform"
QT_QPA_PLATFORM="offscreen:configfile=$work/offscreen.json" "${bench[@]}" 2>/dev/null

echo
echo "### Xvfb (xcb platform)"
source "$root/scripts/xvfb.sh"
start_xvfb "$work" 4000x2400
"${bench[@]}" 2>/dev/null
