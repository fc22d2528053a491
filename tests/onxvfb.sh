#!/usr/bin/env bash
# Runs a command on a real X server of its own (Xvfb, no window manager).
# Usage: onxvfb.sh COMMAND [ARGS...]
set -euo pipefail

work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/xvfb.sh"
start_xvfb "$work" 1280x1024
export XDG_RUNTIME_DIR="$work"
"$@"
