#!/usr/bin/env bash
# Makes the Debian package with cpack and checks it without installing it:
# contents, computed dependencies, no made-up homepage, lintian, and the
# packaged binary running.
# Usage: package.sh BUILD_DIR
set -euo pipefail

build=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1) ||
    fail "cpack: $(cat "$work/cpack.log")"
deb=$(ls "$work"/tesseline_*_*.deb)
contents=$(dpkg-deb --contents "$deb")
for f in usr/bin/tesseline usr/bin/tesseline-import usr/share/man/man1/tesseline.1.gz usr/share/man/man1/tesseline-import.1.gz \
         usr/share/applications/org.tesseline.Tesseline.desktop usr/share/mime/packages/tesseline.xml \
         usr/share/icons/hicolor/scalable/apps/org.tesseline.Tesseline.svg \
         usr/share/icons/hicolor/{48x48,128x128,256x256}/apps/org.tesseline.Tesseline.png \
         usr/share/metainfo/org.tesseline.Tesseline.metainfo.xml \
         usr/share/doc/tesseline/copyright usr/share/doc/tesseline/changelog.gz; do
    grep -q " \./$f\$" <<<"$contents" || fail "$f is not in the package"
done
depends=$(dpkg-deb --field "$deb" Depends)
grep -q 'libqt6widgets6' <<<"$depends" || fail "Depends: $depends"
grep -q 'libtiff6' <<<"$depends" || fail "Depends, for the importer: $depends"
[ "$(dpkg-deb --field "$deb" Recommends)" = qt6-wayland ] || fail "Recommends"
[ -z "$(dpkg-deb --field "$deb" Homepage)" ] || fail "a homepage the project does not have"
version=$(dpkg-deb --field "$deb" Version)
[ "$(basename "$deb")" = "tesseline_${version}_$(dpkg --print-architecture).deb" ] || fail "name $(basename "$deb")"

report=$(lintian --allow-root "$deb" 2>&1 || true)
grep -q '^[EW]:' <<<"$report" && fail "lintian: $report"

dpkg-deb -x "$deb" "$work/root"
"$work/root/usr/bin/tesseline" --version | grep -qx "tesseline $version" || fail "packaged binary"
"$work/root/usr/bin/tesseline-import" --version | grep -qx "tesseline-import $version" || fail "packaged importer"
echo "package: 1 passed, 0 failed"
