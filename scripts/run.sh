#!/usr/bin/env bash
# Sets up and builds Tesseline, then starts the viewer.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh" "$root/build"
exec "$root/build/tesseline" "$@"
