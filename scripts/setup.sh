#!/usr/bin/env bash
# Installs what building and testing Tesseline needs (Debian packages), then
# configures and builds it.  Usage: scripts/setup.sh [BUILD_DIR [CMAKE_ARGS...]]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
shift || true

packages=(build-essential cmake qt6-base-dev libjpeg62-turbo-dev clang libfuzzer-14-dev xvfb xdotool fonts-dejavu-core libjpeg-turbo-progs
          tigervnc-standalone-server tigervnc-tools xauth openbox x11-utils openssl iproute2
          dpkg-dev file lintian desktop-file-utils appstream shared-mime-info xdg-utils
          libfile-mimeinfo-perl man-db groff-base)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
