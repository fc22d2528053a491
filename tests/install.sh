#!/usr/bin/env bash
# Installs into a temporary prefix and checks what a desktop gets: the files
# pass their own validators, descriptors get their MIME type, the icon comes
# at the usual sizes and looks the same in other renderers, the manual renders,
# and no file names a web or mail address the project does not have.  Then
# the same install from what the run command alone builds, in a copy of the
# sources.
# Usage: install.sh BUILD_DIR
set -euo pipefail

build=$1
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
prefix=$(mktemp -d)
copy=$(mktemp -d)
trap 'rm -rf "$prefix" "$copy"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# install_into BUILD_DIR PREFIX: installs and checks that every file is there.
install_into() {
    local out
    out=$(cmake --install "$1" --prefix "$2" 2>&1) || fail "cmake --install $1: $out"
    for f in bin/tesseline bin/tesseline-import share/man/man1/tesseline.1.gz share/man/man1/tesseline-import.1.gz \
             share/applications/org.tesseline.Tesseline.desktop \
             share/mime/packages/tesseline.xml share/icons/hicolor/scalable/apps/org.tesseline.Tesseline.svg \
             share/metainfo/org.tesseline.Tesseline.metainfo.xml share/doc/tesseline/copyright; do
        [ -f "$2/$f" ] || fail "$f is not installed from $1"
    done
    for size in 48 128 256; do
        png=$2/share/icons/hicolor/${size}x$size/apps/org.tesseline.Tesseline.png
        file "$png" | grep -q ": PNG image data, $size x $size," || fail "no $size x $size icon: $(file "$png")"
    done
}

install_into "$build" "$prefix"
share=$prefix/share

# ImageMagick's own renderer once drew the cell outside the frame, and outlines
# where there are none: compared on white at 32 x 32, the two must agree.
svg=$share/icons/hicolor/scalable/apps/org.tesseline.Tesseline.svg
rsvg-convert -w 128 -h 128 "$svg" | convert - -background white -flatten -resize 32x32 "$prefix/rsvg.png"
convert -background none "MSVG:$svg" -background white -flatten -resize 32x32 "$prefix/msvg.png"
# (compare's exit status says only whether the two differ at all.)
rmse=$({ compare -metric RMSE "$prefix/rsvg.png" "$prefix/msvg.png" null: 2>&1 || true; } | sed 's/.*(\(.*\))/\1/')
awk "BEGIN { exit !($rmse < 0.08) }" || fail "the icon renders differently in ImageMagick (RMSE $rmse)"

out=$(desktop-file-validate "$share/applications/org.tesseline.Tesseline.desktop")
[ -z "$out" ] || fail "desktop-file-validate: $out"
out=$(appstreamcli validate --no-net "$share/metainfo/org.tesseline.Tesseline.metainfo.xml" 2>&1) \
    || fail "appstreamcli: $out"
grep -Eq '^[EW]:' <<<"$out" && fail "appstreamcli: $out"

update-mime-database "$share/mime" >/dev/null 2>&1
printf 'dataset x\n' >"$prefix/some.tz"
type=$(XDG_DATA_DIRS="$share:/usr/share" xdg-mime query filetype "$prefix/some.tz")
[ "$type" = application/x-tesseline-dataset ] || fail "xdg-mime says $type"

urls=$({ cat "$share/metainfo/org.tesseline.Tesseline.metainfo.xml" "$share/applications/org.tesseline.Tesseline.desktop"
         zcat "$share/man/man1/tesseline.1.gz" "$share/man/man1/tesseline-import.1.gz"
         grep -v '^Format: ' "$share/doc/tesseline/copyright"; } |
       grep -Eo 'https?://[^ <"]*|[[:alnum:].-]+@[[:alnum:].-]+\.[a-z]+' || true)
[ -z "$urls" ] || fail "web or mail addresses: $urls"

for page in tesseline tesseline-import; do
    warnings=$(zcat "$share/man/man1/$page.1.gz" | groff -man -ww -z 2>&1)
    [ -z "$warnings" ] || fail "groff, $page(1): $warnings"
    MANWIDTH=80 man -l "$share/man/man1/$page.1.gz" 2>/dev/null | grep -q '^SYNOPSIS' || fail "man -l $page"
    "$prefix/bin/$page" --version | grep -q "^$page " || fail "installed $page"
done

# The run command builds what installing needs, and no tests (unoptimized
# and without debugging information here, which takes less than half the
# time and installs the same files).
tar -C "$root" --exclude=./.git --exclude='./build*' -c . | tar -C "$copy" -x
env -u DISPLAY -u WAYLAND_DISPLAY TESSELINE_BUILD_TYPE=None "$copy/scripts/run.sh" --version >"$copy/run.log" 2>&1 ||
    fail "run.sh --version: $(tail -n 20 "$copy/run.log")"
[ ! -e "$copy/build/tests/tst_window" ] || fail "run.sh built the tests"
install_into "$copy/build" "$copy/prefix"
echo "install: 1 passed, 0 failed"
