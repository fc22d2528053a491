#!/usr/bin/env bash
# Installs into a temporary prefix and checks what a desktop gets: the files
# pass their own validators, descriptors get their MIME type, the manual renders.
# Usage: install.sh BUILD_DIR
set -euo pipefail

build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
share=$prefix/share
for f in bin/tesseline share/man/man1/tesseline.1.gz share/applications/org.tesseline.Tesseline.desktop \
         share/mime/packages/tesseline.xml share/icons/hicolor/scalable/apps/org.tesseline.Tesseline.svg \
         share/metainfo/org.tesseline.Tesseline.metainfo.xml share/doc/tesseline/copyright; do
    [ -f "$prefix/$f" ] || fail "$f is not installed"
done

desktop-file-validate "$share/applications/org.tesseline.Tesseline.desktop" | grep -v ': hint: ' \
    && fail "desktop-file-validate complains"
out=$(appstreamcli validate --no-net "$share/metainfo/org.tesseline.Tesseline.metainfo.xml" 2>&1) \
    || fail "appstreamcli: $out"
grep -Eq '^[EW]:' <<<"$out" && fail "appstreamcli: $out"

update-mime-database "$share/mime" >/dev/null 2>&1
printf 'dataset x\n' >"$prefix/some.tz"
type=$(XDG_DATA_DIRS="$share:/usr/share" xdg-mime query filetype "$prefix/some.tz")
[ "$type" = application/x-tesseline-dataset ] || fail "xdg-mime says $type"

warnings=$(zcat "$share/man/man1/tesseline.1.gz" | groff -man -ww -z 2>&1)
[ -z "$warnings" ] || fail "groff: $warnings"
MANWIDTH=80 man -l "$share/man/man1/tesseline.1.gz" 2>/dev/null | grep -q '^SYNOPSIS' || fail "man -l"
"$prefix/bin/tesseline" --version | grep -q '^tesseline ' || fail "installed binary"
echo "install: 1 passed, 0 failed"
