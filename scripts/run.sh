#!/usr/bin/env bash
# Sets up and builds Tesseline, makes the sample dataset once, and opens it in
# the viewer.  Other arguments go to the viewer (Qt's standard options).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh" "$root/build"
[ -f "$root/build/sample/sample.tz" ] || "$root/build/tesseline-gensample" "$root/build/sample"
exec "$root/build/tesseline" "$root/build/sample/sample.tz" "$@"
