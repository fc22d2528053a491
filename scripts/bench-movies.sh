#!/usr/bin/env bash
# Benchmarks the movies and the pictures Tesseline writes, on a recording of
# 100 time points of 2048 x 2048, 16 bits, two channels (tifffile, 1.7 GB):
# `tesseline-import --movie` to MP4 (H.264, the default quality) and to AVI
# (Motion JPEG), CPU time, wall time and peak memory (/usr/bin/time), beside
# Debian's ffmpeg encoding the same frames, given as raw 24-bit RGB from a
# file, with the same codec and quality: as the goal states it (libx264
# -preset medium -crf 18 -pix_fmt yuv420p; mjpeg -q:v 3) and with every
# setting the movie writer uses besides (no B-frames, a key frame every 5 s,
# threads within a frame, one frame of lookahead, one reference, BT.709,
# accurate rounding).  The raw frames are the importer's own
# (tesseline-bench-movies frames).  Then File > Export View of the whole
# 2048 x 2048 frame in the viewer, offscreen (tesseline-bench-movies view).
# Encoders take turns; of each one's runs the shorter CPU time counts.
# Prints figures and a summary; asserts nothing.  About 10 minutes once
# built.  TESSELINE_BUILD names another build folder than build/, ROUNDS the
# runs of each encoder (2).  The inputs (3 GB) go to a folder under
# /dev/shm/bench-movies (BENCH_TMP sets another place than /dev/shm),
# deleted at the end.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TESSELINE_BUILD:-$root/build}
rounds=${ROUNDS:-2}
"$root/scripts/setup.sh" "$build" --target tesseline-import tesseline-bench-movies >/dev/null
for tool in ffmpeg ffprobe /usr/bin/time; do
    command -v $tool >/dev/null || { echo "bench-movies: needs $tool (scripts/setup.sh installs it)" >&2; exit 1; }
done

top=${BENCH_TMP:-/dev/shm}/bench-movies
mkdir -p "$top"
work=$(mktemp -d "$top/run.XXXXXX")
cleanup() {
    rm -rf "$work"
    rmdir "$top" 2>/dev/null || true
}
trap cleanup EXIT
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
mkdir -m 700 "$work/xdg"
export XDG_RUNTIME_DIR="$work/xdg" QT_QPA_PLATFORM=offscreen

# --- the input ----------------------------------------------------------------
echo "Writing the input (about a minute)..." >&2
/usr/bin/python3 - "$work/cells.tif" <<'PY'
"""100 time points of two 16-bit channels of 2048 x 2048: cells that drift
over a background, with noise that moves from frame to frame."""
import sys

import numpy as np
import tifffile

rng = np.random.default_rng(7)
side, times = 2048, 100
y, x = np.mgrid[0:side, 0:side].astype(np.float32)
cells = rng.uniform([0, 0, side / 100, 2000], [side, side, side / 22, 30000], (40, 4))
noise = rng.normal(0, 300, (side, side)).astype(np.float32)


def planes():
    for t in range(times):
        for c in range(2):
            plane = np.full((side, side), 800 + 400 * c, np.float32)
            for cy, cx, r, a in cells[c::2]:
                cy, cx = cy + 3 * t, cx + 2 * t * (1 - 2 * c)
                box = (slice(max(0, int(cy - 4 * r)), int(cy + 4 * r)), slice(max(0, int(cx - 4 * r)), int(cx + 4 * r)))
                plane[box] += a * np.exp(-((y[box] - cy) ** 2 + (x[box] - cx) ** 2) / (2 * r * r))
            plane += np.roll(noise, (t * 37 + c * 11, t * 101), axis=(0, 1))
            yield np.clip(plane, 0, 65535).astype(np.uint16)


tifffile.imwrite(sys.argv[1], planes(), shape=(times, 1, 2, side, side), dtype=np.uint16, imagej=True,
                 metadata={'axes': 'TZCYX', 'finterval': 1 / 7})
PY
in=$work/cells.tif
"$build/tesseline-bench-movies" frames "$in" "$work/frames.rgb" >"$work/frames.txt"
read -r _ count width height <"$work/frames.txt"
ls -l "$in" "$work/frames.rgb" | awk '{ printf "  %s: %.2f GB\n", $NF, $5 / 1e9 }' >&2
raw=(-f rawvideo -pix_fmt rgb24 -s "${width}x${height}" -r 7 -i "$work/frames.rgb")
same=(-bf 0 -g 35 -x264-params sliced-threads=1:rc-lookahead=1:ref=1 -vf "scale=out_color_matrix=bt709:out_range=tv:flags=bicubic+accurate_rnd")

# --- the encoders, taking turns ---------------------------------------------------
results=$work/results
# run NAME COMMAND...: one run; appends "NAME wall user sys maxrss_kb".
run() {
    local name=$1
    shift
    /usr/bin/time -f "$name %e %U %S %M" -a -o "$results" "$@" >/dev/null
    tail -1 "$results" >&2
}
for ((r = 1; r <= rounds; ++r)); do
    echo "Round $r of $rounds..." >&2
    run import-mp4 "$build/tesseline-import" -q --force --movie "$work/import.mp4" "$in"
    run ffmpeg-mp4 ffmpeg -v error -y "${raw[@]}" -c:v libx264 -preset medium -crf 18 -pix_fmt yuv420p "$work/ffmpeg.mp4"
    run ffmpeg-mp4-same ffmpeg -v error -y "${raw[@]}" "${same[@]}" -c:v libx264 -preset medium -crf 18 -pix_fmt yuv420p \
        "$work/same.mp4"
    run ffmpeg-mp4-1thread ffmpeg -v error -y "${raw[@]}" "${same[@]}" -c:v libx264 -threads 1 -preset medium -crf 18 \
        -pix_fmt yuv420p "$work/one.mp4"
    run import-avi "$build/tesseline-import" -q --force --movie "$work/import.avi" "$in"
    run ffmpeg-avi ffmpeg -v error -y "${raw[@]}" -c:v mjpeg -q:v 3 -pix_fmt yuvj420p "$work/ffmpeg.avi"
    run ffmpeg-avi-same ffmpeg -v error -y "${raw[@]}" -vf "scale=out_range=pc:flags=bicubic+accurate_rnd" -c:v mjpeg \
        -q:v 3 -pix_fmt yuvj420p "$work/same.avi"
done

# The same pixels: the importer's movies against ffmpeg's with the same settings.
psnr() {
    ffmpeg -v info -i "$1" -i "$2" -lavfi "[0:v][1:v]psnr" -f null - 2>&1 | sed -n 's/.*PSNR .*average:\([0-9.inf]*\).*/\1/p'
}
psnr_mp4=$(psnr "$work/import.mp4" "$work/same.mp4")
psnr_avi=$(psnr "$work/import.avi" "$work/same.avi")
sizes=$(for f in import.mp4 ffmpeg.mp4 same.mp4 import.avi ffmpeg.avi same.avi; do
    printf '%s=%.1f ' "${f/./-}" "$(($(stat -c %s "$work/$f") / 1000))e-3"
done)

# --- Export View ----------------------------------------------------------------------
echo "Export View..." >&2
"$build/tesseline-bench-movies" view "$in" "$work/view.png" --rounds 7 | tee "$work/view.txt"

echo
echo "Machine: $(nproc) cores ($(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -1)), $(free -g | awk '/^Mem/ { print $2 }') GiB," \
     "Linux $(uname -r), $(ffmpeg -version | head -1 | cut -d' ' -f1-3); load average before $load_before, after $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Runs (name, wall s, user s, sys s, peak KiB):"
sed 's/^/  /' "$results"
echo "Movie sizes, MB: $sizes"
echo "PSNR of the importer's movie against ffmpeg's with the same settings: MP4 $psnr_mp4 dB, AVI $psnr_avi dB"
/usr/bin/python3 - "$results" "$work/view.txt" "$count" "$width" "$height" <<'PY'
import sys

best = {}
for line in open(sys.argv[1]):
    name, wall, user, system, rss = line.split()
    cpu = float(user) + float(system)
    if name not in best or cpu < best[name][1]:
        best[name] = (float(wall), cpu, int(rss) / 1024)
view = dict(p.split('=') for p in next(l for l in open(sys.argv[2]) if l.startswith('RESULT')).split()[2:])
count, width, height = sys.argv[3:6]


def yes(ok):
    return 'met' if ok else 'MISSED'


def fig(name):
    w, c, m = best[name]
    return '%.1f s CPU, %.1f s wall, %.0f MiB' % (c, w, m)


rows = [('movie', 'CPU, wall, peak memory', '')]
for name in ('import-mp4', 'ffmpeg-mp4', 'ffmpeg-mp4-same', 'ffmpeg-mp4-1thread', 'import-avi', 'ffmpeg-avi', 'ffmpeg-avi-same'):
    rows.append((name, fig(name), ''))
rows.append(('', '', ''))
r = best['import-mp4'][1] / best['ffmpeg-mp4'][1]
rows.append(('MP4 H.264 of %s frames of %sx%s, CPU ÷ ffmpeg' % (count, width, height),
             '%.2f (÷ ffmpeg with the same settings %.2f, one thread %.2f)'
             % (r, best['import-mp4'][1] / best['ffmpeg-mp4-same'][1], best['import-mp4'][1] / best['ffmpeg-mp4-1thread'][1]),
             '≤ 1.2: ' + yes(r <= 1.2)))
m = best['import-mp4'][2]
rows.append(('the same, peak memory of tesseline-import', '%.0f MiB' % m, '≤ 200 MiB: ' + yes(m <= 200)))
r = best['import-avi'][1] / best['ffmpeg-avi'][1]
rows.append(('AVI Motion JPEG, CPU ÷ ffmpeg', '%.2f (÷ ffmpeg with the same settings %.2f); peak %.0f MiB'
             % (r, best['import-avi'][1] / best['ffmpeg-avi-same'][1], best['import-avi'][2]), '≤ 1.2: ' + yes(r <= 1.2)))
v = float(view['png_ms'])
rows.append(('Export View of the %sx%s frame, PNG, action to file written' % (width, height),
             '%.0f ms (picture %s ms, writing %s ms, at zlib level 1 %s ms%s)'
             % (v, view['picture_ms'], view['write_ms'], view['fast_ms'],
                '; TIFF %s ms' % view['tiff_ms'] if float(view['tiff_ms']) else ''),
             '≤ 0.2 s: ' + yes(v <= 200)))
widths = [max(len(row[i]) for row in rows) for i in range(3)]
print()
for row in rows:
    print('  '.join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip())
PY
