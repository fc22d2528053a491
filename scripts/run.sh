#!/usr/bin/env bash
# Sets up and builds Tesseline, makes the sample dataset once, and opens it in
# the viewer; with no display at all, on a virtual display served over VNC
# (scripts/headless.sh).  Other arguments go to the viewer.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh" "$root/build"
[ -f "$root/build/sample/sample.tz" ] || "$root/build/tesseline-gensample" "$root/build/sample"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    exec "$root/scripts/headless.sh" "$root/build/tesseline" "$root/build/sample/sample.tz" "$@"
fi
exec "$root/build/tesseline" "$root/build/sample/sample.tz" "$@"
