#!/usr/bin/env bash
# Installs what building and testing Tesseline needs (Debian packages), or
# with --run only what building, installing and running it need, then
# configures and builds it: everything, or only the targets named after
# --target.  Lines for targets that are up to date are left out, so a build
# with nothing to do prints nothing.  TESSELINE_BUILD_TYPE sets CMake's build
# type (RelWithDebInfo unless given).
# Usage: scripts/setup.sh [--run] [BUILD_DIR [CMAKE_ARGS...] [--target TARGET...]]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
purpose=test
[ "${1:-}" = --run ] && { purpose=run; shift; }
build=${1:-$root/build}
shift || true
cmake_args=()
build_args=(-j"$(nproc)")
while [ $# -gt 0 ]; do
    [ "$1" = --target ] && { build_args+=("$@"); break; }
    cmake_args+=("$1")
    shift
done

# Building (TIFF, libcurl and the Zarr codecs for reading recordings,
# rsvg-convert for the icons), then the
# virtual display of a run without one: Xvnc, its password tool, xauth for
# its cookie, Openbox, and xprop to wait for Openbox.
packages=(build-essential cmake pkg-config qt6-base-dev libjpeg62-turbo-dev libtiff-dev libcurl4-openssl-dev
          libblosc-dev libzstd-dev zlib1g-dev librsvg2-bin libavcodec-dev libavformat-dev libswscale-dev
          tigervnc-standalone-server tigervnc-tools xauth openbox x11-utils)
[ "$purpose" = run ] ||
    packages+=(clang libfuzzer-14-dev xvfb xdotool fonts-dejavu-core libjpeg-turbo-progs tigervnc-viewer openssl iproute2
               dpkg-dev file lintian desktop-file-utils appstream shared-mime-info xdg-utils
               imagemagick libmagickcore-6.q16-6-extra libfile-mimeinfo-perl man-db groff-base
               python3-tifffile python3-numpy python3-zarr python3-fsspec python3-aiohttp nginx-light libtiff-tools time ffmpeg)
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

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="${TESSELINE_BUILD_TYPE:-RelWithDebInfo}" "${cmake_args[@]}" >/dev/null
cmake --build "$build" "${build_args[@]}" |
    sed -u -e '/\] Built target /d' -e '/\] Automatic MOC and UIC for target /d'
