#!/usr/bin/env bash
# Benchmarks tesseline-import on a 16-bit greyscale stack of 2048 x 2048 x 10
# focal planes x 20 time points (1.6 GB, uncompressed, written by tifffile)
# and on a two-channel stack of 10 time points, in a temporary folder on disk:
# frames per second on two threads and on one, against cjpeg's rate on the
# same frames mapped to 8 bits and against ImageMagick; the cost of the
# histogram pass; peak memory; and the same import through the viewer's
# Save as Dataset on a virtual display.  Prints figures and ratios; asserts nothing.
# TESSELINE_BUILD names another build folder than build/; TMPDIR another
# place for the 2.5 GB of input than /var/tmp.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TESSELINE_BUILD:-$root/build}
"$root/scripts/setup.sh" "$build" --target tesseline-import tesseline >/dev/null
importer=$build/tesseline-import

work=$(mktemp -d "${TMPDIR:-/var/tmp}/bench-import.XXXXXX")
trap 'rm -rf "$work"' EXIT
df -h "$work" | tail -1 | awk '{ print "free on " $6 ": " $4 }'
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"


# Writes a stack of flat-topped cells over a background, with noise that
# moves from plane to plane: 2048 x 2048 pixels, TIMES x 10 x CHANNELS planes.
stack() {
    /usr/bin/python3 - "$@" <<'PY'
import sys
import numpy as np
import tifffile
path, times, channels = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = np.random.default_rng(7)
y, x = np.mgrid[0:2048, 0:2048].astype(np.float32)
base = np.full((2048, 2048), 1000, np.float32)
for cy, cx, r, a in zip(*rng.uniform([0, 0, 20, 2000], [2048, 2048, 90, 30000], (60, 4)).T):
    base += a * np.exp(-((y - cy) ** 2 + (x - cx) ** 2) / (2 * r * r))
noise = rng.normal(0, 150, (2048, 2048)).astype(np.float32)
def planes():
    for i in range(times * 10 * channels):
        shifted = np.roll(noise, (i * 37, i * 101), axis=(0, 1))
        yield np.clip(base * (0.8 + 0.2 * np.sin(i)) + shifted, 0, 65535).astype(np.uint16)
shape = (times, 10, 2048, 2048) if channels == 1 else (times, 10, channels, 2048, 2048)
tifffile.imwrite(path, planes(), shape=shape, dtype=np.uint16, imagej=channels > 1, photometric='minisblack',
                 metadata={'axes': 'TZYX' if channels == 1 else 'TZCYX'})
PY
}

# Runs the importer twice (the machine is shared); prints the shorter wall
# time in seconds, the larger peak memory in KiB and the CPU seconds of the
# shorter run.
timed() {
    for round in 1 2; do
        rm -rf "$work/out"
        /usr/bin/time -f '%e %M %U %S' -o "$work/time" "$importer" -q -o "$work/out" "$@" >"$work/stdout"
        cat "$work/time"
    done | sort -n | awk 'NR == 1 { t = $1; c = $3 + $4 } $2 > m { m = $2 } END { print t, m, c }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
perframe() { awk -v a="$1" -v n="$2" 'BEGIN { printf "%.1f ms", 1000 * a / n }'; }

echo "Writing the inputs..."
stack "$work/stack.tif" 20 1
sync
frames=200

# The auto window first, then the same window given: the difference is the histogram pass.
"$importer" --dry-run -o "$work/out" "$work/stack.tif" >"$work/dry"
read -r low high < <(sed -n 's/^channel 0: window \([-0-9.]*\) to \([-0-9.]*\) .*/\1 \2/p' "$work/dry")
read -r auto2 automem _ < <(timed --threads 2 "$work/stack.tif")
read -r given2 givenmem _ < <(timed --threads 2 --range "$low:$high" "$work/stack.tif")
read -r given1 _ cpu1 < <(timed --threads 1 --range "$low:$high" "$work/stack.tif")
du=$(du -sm "$work/out" | cut -f1)
rate2=$(ratio $frames "$given2")
rate1=$(ratio $frames "$given1")
echo "window $low to $high; $frames frames, $du MB of JPEG"
echo "importer, 2 threads:        $rate2 frames/s ($given2 s)"
echo "importer, 1 thread:         $rate1 frames/s ($given1 s); 2 threads / 1: $(ratio "$rate2" "$rate1") (goal >= 1.7)"
echo "auto window, 2 threads:     $(ratio $frames "$auto2") frames/s ($auto2 s); histogram pass $(ratio "$(awk -v a="$auto2" -v b="$given2" 'BEGIN { print a - b }')" "$given2") x the encoding (goal <= 0.3)"
echo "peak memory:                $((automem / 1024)) MiB with the auto window, $((givenmem / 1024)) MiB with --range (goal <= 100)"

# Through the viewer, on a virtual display: the stack shown in place, then
# Save as Dataset with the window it shows, from Enter in the dialog to the
# dataset written, with the viewer's own CPU time against the importer's.
viewer=$build/tesseline
if [ -x "$viewer" ] && command -v Xvfb >/dev/null && command -v xdotool >/dev/null; then
    source "$root/scripts/xvfb.sh"
    start_xvfb "$work" 1280x1024
    xvfb=$!
    now() { date +%s.%N; }
    since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }'; }
    # Wait up to a minute for a window, or for a line of the viewer's trace.
    shown() {
        for _ in $(seq 6000); do xdotool search --onlyvisible --name "$1" >/dev/null 2>&1 && return; sleep 0.01; done
        echo "no window $1" >&2; exit 1
    }
    # Read by the shell itself, without a process a look, to leave the importer its CPU.
    traced() {
        local line
        for _ in $(seq 1200); do
            while IFS= read -r line; do [[ $line == *"$1"* ]] && return; done <"$work/trace"
            sleep 0.05
        done
        echo "no $1 in the viewer's trace: $(tail -n 3 "$work/trace")" >&2; exit 1
    }
    cpu() { awk '{ printf "%.2f", ($14 + $15) / 100 }' "/proc/$1/stat"; }
    for round in 1 2; do
        rm -rf "$work/stack"
        start=$(now)
        "$viewer" 2>/dev/null & pid=$!
        shown '^Tesseline$'
        bare=$(since "$start")
        kill $pid; wait $pid 2>/dev/null || true
        start=$(now)
        "$viewer" "$work/stack.tif" 2>"$work/trace" & pid=$!
        traced 'stack.tif: t 0, z'
        dialog=$(since "$start")
        xdotool search --onlyvisible --name '^Tesseline$' | head -n 1 | xargs -I{} xdotool windowfocus --sync {} key ctrl+s
        shown '^Save as Dataset$'
        before=$(cpu $pid)
        xdotool search --onlyvisible --name '^Save as Dataset$' | head -n 1 | xargs -I{} xdotool windowfocus --sync {} key Return
        start=$(now)  # once the key is sent
        for _ in $(seq 12000); do [ -f "$work/stack/stack.tz" ] && break; sleep 0.05; done
        through=$(since "$start")
        spent=$(awk -v a="$before" -v b="$(cpu $pid)" 'BEGIN { print b - a }')
        kill $pid; wait $pid 2>/dev/null || true
        echo "$through $dialog $bare $spent"
    done | sort -n | head -1 >"$work/viewer"
    read -r through dialog bare spent <"$work/viewer"
    start=$(now)
    "$importer" --describe "$work/stack.tif" >/dev/null
    describe=$(since "$start")
    read -r cli _ clicpu < <(timed "$work/stack.tif")
    rm -rf "$work/stack"
    kill "$xvfb"
    echo "viewer, to the stack's first frame in place: $dialog s, of which starting the viewer alone $bare s; tesseline-import --describe alone $describe s"
    echo "viewer, Enter in Save as Dataset to the dataset written: $through s; the importer alone: $cli s; ratio $(ratio "$through" "$cli") (goal <= 1.1)"
    echo "viewer's own CPU while importing: $spent s; the importer's: $clicpu s; ratio $(ratio "$spent" "$clicpu") (goal < 0.05)"
fi

# The encoder's limit: cjpeg on 20 of the same frames, mapped to 8 bits beforehand.
mkdir "$work/pgm"
/usr/bin/python3 - "$work/stack.tif" "$work/pgm" "$low" "$high" <<'PY'
import sys
import numpy as np
import tifffile
path, out, low, high = sys.argv[1], sys.argv[2], float(sys.argv[3]), float(sys.argv[4])
pages = tifffile.memmap(path).reshape(-1, 2048, 2048)
for i in range(20):
    v = np.clip(np.rint((pages[i].astype(np.float64) - low) * 255 / (high - low)), 0, 255).astype(np.uint8)
    with open(f'{out}/f{i:02d}.pgm', 'wb') as f:
        f.write(b'P5 2048 2048 255\n' + v.tobytes())
PY
for round in 1 2; do
    /usr/bin/time -f '%e %U %S' -o "$work/time" bash -c \
        'for f in "$1"/*.pgm; do cjpeg -quality 95 -optimize -outfile "${f%.pgm}.jpg" "$f"; done' - "$work/pgm"
    cat "$work/time"
done | sort -n | head -1 >"$work/cjpeg"
read -r cjpegwall cjpegu cjpegs <"$work/cjpeg"
cjpeg1=$(ratio 20 "$cjpegwall")
limit=$(awk -v r="$cjpeg1" 'BEGIN { print 2 * r }')
echo "cjpeg -quality 95 -optimize: $cjpeg1 frames/s on one core, limit on 2: $limit; importer / limit: $(ratio "$rate2" "$limit") (goal >= 0.7)"
echo "CPU time a frame: importer on 1 thread $(perframe "$cpu1" $frames), cjpeg $(perframe "$(awk -v u="$cjpegu" -v s="$cjpegs" 'BEGIN { print u + s }')" 20)"
rm -rf "$work/pgm"

# ImageMagick doing the same job on the first 20 pages.
mkdir "$work/magick"
start=$(date +%s.%N)
(cd "$work/magick" && convert "$work/stack.tif[0-19]" -level "$low,$high" -depth 8 -quality 95 out_%03d.jpg)
magick=$(ratio 20 "$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')")
echo "convert stack.tif[0-19] -level $low,$high -depth 8 -quality 95 out_%03d.jpg: $magick frames/s; importer / ImageMagick: $(ratio "$rate2" "$magick") (goal >= 10)"
rm -rf "$work/magick" "$work/stack.tif" "$work/out"

# Two channels merged into colour frames: 10 time points, the same number of frames.
stack "$work/two.tif" 10 2
sync
"$importer" --dry-run -o "$work/out" "$work/two.tif" >"$work/dry"
ranges=()
while read -r c l h; do
    ranges+=(--range "$c=$l:$h")
done < <(sed -n 's/^channel \([0-9]*\): window \([-0-9.]*\) to \([-0-9.]*\) .*/\1 \2 \3/p' "$work/dry")
read -r merge2 mergemem _ < <(timed --threads 2 "${ranges[@]}" "$work/two.tif")
echo "two channels merged, 2 threads: $(ratio 100 "$merge2") frames/s ($merge2 s), peak $((mergemem / 1024)) MiB"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
