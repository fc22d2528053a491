#!/usr/bin/env bash
# Sets up, builds and runs every test of Tesseline.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh" "$root/build"
ctest --test-dir "$root/build" --output-on-failure
