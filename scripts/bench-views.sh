#!/usr/bin/env bash
# Benchmarks the views that look through a stack: a Maximum projection of 50
# focal planes of 2048 x 2048 16-bit against reading those planes alone (one
# channel and three), the orthogonal views' update after a click on the frame
# and the bytes it reads (planes stored in strips of one row), the pixel
# values following the pointer (tesseline-bench-views, offscreen); the peak
# memory of the real viewer on Xvfb with a projection, both orthogonal views
# and the pixel values open over a 1.7 GB stack; and stepping without them,
# beside the viewer as it was before those views (BASELINE, 80b534f unless
# given), built from `git archive` in /tmp: scripts/bench.sh's step set, and
# the steps of scripts/bench-recording.sh (one channel, its dataset, three
# channels).  Prints figures and a summary table; asserts nothing.  About 8
# minutes once built (inputs in memory), half of it bench.sh twice.
# TESSELINE_BUILD names another build folder than build/, BASELINE_DIR
# another folder for the baseline; SKIP_STEP_SET=1 leaves bench.sh out.
# The inputs (7 GB) go to a folder under /tmp/bench-views (BENCH_TMP=/dev/shm
# puts them in memory), deleted at the end.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TESSELINE_BUILD:-$root/build}
baseline=${BASELINE:-80b534f}
base=${BASELINE_DIR:-/tmp/tesseline-base-$baseline}
"$root/scripts/setup.sh" "$build" --target tesseline tesseline-bench-views >/dev/null
if [ ! -f "$base/CMakeLists.txt" ]; then
    mkdir -p "$base"
    git -C "$root" archive "$baseline" | tar -x -C "$base"
fi
echo "Building $baseline in $base/build..." >&2
"$base/scripts/setup.sh" "$base/build" --target tesseline tesseline-import >/dev/null
for tool in Xvfb xdotool; do
    command -v $tool >/dev/null || { echo "bench-views: needs $tool (scripts/setup.sh installs it)" >&2; exit 1; }
done

top=${BENCH_TMP:-/tmp}/bench-views
mkdir -p "$top"
work=$(mktemp -d "$top/run.XXXXXX")
cleanup() {
    kill $(jobs -p) 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
    rmdir "$top" 2>/dev/null || true
}
trap cleanup EXIT
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# --- the inputs ---------------------------------------------------------------
cat >"$work/make.py" <<'PY'
"""make.py KIND PATH: one ImageJ stack of 16-bit 2048 x 2048 planes, cells over
a background with noise that moves from plane to plane."""
import sys

import numpy as np
import tifffile

kind, path = sys.argv[1], sys.argv[2]
rng = np.random.default_rng(5)
side = 2048


def planes(count):
    y, x = np.mgrid[0:side, 0:side].astype(np.float32)
    base = np.full((side, side), 1000, np.float32)
    for cy, cx, r, a in zip(*rng.uniform([0, 0, side / 100, 2000], [side, side, side / 22, 30000], (60, 4)).T):
        base += a * np.exp(-((y - cy) ** 2 + (x - cx) ** 2) / (2 * r * r))
    noise = rng.normal(0, 400, (side, side)).astype(np.float32)
    for i in range(count):
        yield np.clip(base * (0.8 + 0.2 * np.sin(i)) + np.roll(noise, (i * 37, i * 101), axis=(0, 1)),
                      0, 65535).astype(np.uint16)


shapes = {
    'one': (4, 50, 1),      # projections of one channel, and the viewer's peak memory: 1.7 GB
    'three': (2, 50, 3),    # projections of three channels: 2.5 GB
    'rows': (1, 50, 1),     # the orthogonal views, in strips of one row: 420 MB
    'steps': (10, 10, 1),   # stepping, as scripts/bench-recording.sh: 840 MB
    'steps3': (10, 5, 3),   # the same with three channels: 1.26 GB
}
t, z, c = shapes[kind]
tifffile.imwrite(path, planes(t * z * c), shape=(t, z, c, side, side), dtype=np.uint16, imagej=True,
                 metadata={'axes': 'TZCYX'}, rowsperstrip=1 if kind == 'rows' else None)
PY

echo "Writing the inputs (about a minute)..." >&2
for kind in one three rows steps steps3; do
    /usr/bin/python3 "$work/make.py" $kind "$work/$kind.tif"
done
"$base/build/tesseline-import" -q -o "$work/dataset" "$work/steps.tif"
sync
ls -l "$work"/*.tif | awk '{ printf "  %s: %.2f GB\n", $NF, $5 / 1e9 }' >&2

# --- the driver ---------------------------------------------------------------
cat >"$work/driver.py" <<'PY'
"""Drives the real viewers on Xvfb with what scripts/benchdriver.py holds.
Each command takes a JSON argument and prints one JSON line of figures;
`summary` prints the table from those lines and the other drivers' output."""
import json
import statistics
import time

import benchdriver
from benchdriver import main, ms, open_at_first, step_through, table, warm, yes, zigzag


def steps(given):
    """CPU per step through the frames, the builds and kinds taking turns each round."""
    warm(given['warm'])
    per = {}
    for _ in range(given['rounds']):
        for build, viewer in given['viewers'].items():
            benchdriver.VIEWER = viewer
            for label, (args, times, planes) in given['kinds'].items():
                v, screen, _, t, z = open_at_first(args)
                per.setdefault(build + '-' + label, []).append(step_through(v, screen, zigzag(t, z, times, planes))[0])
                v.close()
    return {'what': 'steps', 'cpu': {k: statistics.median(r) for k, r in per.items()}, 'rounds': per}


def memory(given):
    """Peak memory over every time point of the stack, back and forth:
    plainly, then with the Maximum projection, both orthogonal views and
    the pixel values open."""
    benchdriver.VIEWER = given['viewer']
    warm([given['path']])
    out = {'what': 'memory'}
    for views in (False, True):
        v, screen, window, t, z = open_at_first([given['path']])
        n = v.count()
        if views:
            for combo in ('ctrl+shift+p', 'ctrl+shift+o', 'ctrl+shift+v'):
                screen.key(combo)
                v.settle(0.3)
                screen.focus(window)
                v.settle()
        keys = ['Right'] * (given['times'] - 1) + ['Left'] * (given['times'] - 1)
        for key in keys:
            n = v.count()
            screen.key(key)
            time.sleep(0.05)
            v.settle(0.2)
        planes_read = v.count()
        out['views' if views else 'plain'] = {'hwm': v.status('VmHWM'), 'rss': v.status('VmRSS'), 'reads': planes_read,
                                               'steps': len(keys)}
        v.close()
    return out


def summary(given):
    r = {}
    for line in open(given['results']):
        if line.startswith('{'):
            d = json.loads(line)
            r[d['what']] = d
        elif line.startswith('RESULT '):
            parts = line.split()
            r[parts[1]] = {k: float(v) for k, v in (p.split('=') for p in parts[2:])}
    rows = []
    one, three = r['projection-one'], r['projection-three']
    ratio = one['step_ms'] / one['read_ms']
    rows.append(('Maximum of 50 planes of 2048², one channel, per time step',
                 '%.0f ms; %.2f × reading them alone (%.0f ms)' % (one['step_ms'], ratio, one['read_ms']),
                 '≤ 1.3 × and ≤ 0.35 s', yes(ratio <= 1.3 and one['step_ms'] <= 350)))
    r3 = three['step_ms'] / one['step_ms']
    rows.append(('the same, three channels', '%.0f ms; %.2f × one channel (%.2f × reading alone)'
                 % (three['step_ms'], r3, three['step_ms'] / three['read_ms']), '≤ 3.3 × one channel', yes(r3 <= 3.3)))
    o = r['ortho']
    whole = o['plane_bytes'] * o['planes']
    rows.append(('orthogonal views after a click (50 planes, strips of one row)',
                 '%.1f ms; %.0f KB read (%.4f of the planes, %d calls)' % (o['click_ms'], o['bytes'] / 1e3,
                                                                         o['bytes'] / whole, o['calls']),
                 '≤ 0.1 s, no plane read whole', yes(o['click_ms'] <= 100 and o['bytes'] < o['plane_bytes'])))
    p = r['values']
    rows.append(('pixel values following the pointer', '%.3f ms a move; %d bytes read, %d planes'
                 % (p['move_ms'], p['bytes'], p['lines']), 'no read, ≤ 1 ms', yes(p['move_ms'] <= 1 and p['lines'] == 0)))
    m = r['memory']
    hwm = m['views']['hwm'] / 1024
    rows.append(('peak memory, projection and both orthogonal views, 4 × 50 planes of 2048²',
                 '%.1f MiB (stepping plainly: %.1f MiB)' % (hwm, m['plain']['hwm'] / 1024), '≤ 250 MiB', yes(hwm <= 250)))
    s = r['steps']['cpu']
    for label, name in (('recording', 'step, one channel'), ('dataset', 'step, dataset'), ('three', 'step, three channels')):
        now, before = s['now-' + label], s['before-' + label]
        rows.append(('%s (bench-recording), CPU' % name, '%s, before %s: %.2f' % (ms(now), ms(before), now / before),
                     'no slower (≤ 1.05 × before)', yes(now / before <= 1.05)))
    for platform, figures in given.get('step_set', {}).items():
        for frames, limit in (('colour 2048x2048', 1.25), ('grey 2048x2048', 1.6)):
            if frames in figures.get('now', {}) and frames in figures.get('before', {}):
                now, before = figures['now'][frames], figures['before'][frames]
                rows.append(('bench.sh step, %s, %s, step CPU ÷ djpeg' % (frames, platform), '%.3f, before %.3f' % (now, before),
                             '≤ %g; no slower (≤ 1.05 × before)' % limit,
                             '%s; %s' % (yes(now <= limit), 'no slower' if now <= before * 1.05 else 'SLOWER')))
    table(rows)


if __name__ == '__main__':
    main(globals())
PY

w=$work
results=$work/results
# --- in-process: projections, orthogonal views, pixel values (offscreen) --------
cat >"$work/offscreen.json" <<'JSON'
{ "screens": [ { "name": "bench", "x": 0, "y": 0, "width": 2400, "height": 2400,
                 "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1 } ] }
JSON
mkdir -m 700 "$work/xdg"
export XDG_RUNTIME_DIR="$work/xdg"
for f in one three rows; do cat "$w/$f.tif" >/dev/null; done
echo "Projections, orthogonal views and pixel values (offscreen)..." >&2
QT_QPA_PLATFORM="offscreen:configfile=$work/offscreen.json" \
    "$build/tesseline-bench-views" "$w/one.tif" "$w/three.tif" "$w/rows.tif" --rounds 7 | tee -a "$results"

# --- the real viewers on Xvfb ----------------------------------------------------
source "$root/scripts/xvfb.sh"
start_xvfb "$work" 1920x1080
export VIEWER="$build/tesseline" WORK="$work" PYTHONPATH="$root/scripts" PYTHONDONTWRITEBYTECODE=1
measure() {
    echo "$1..." >&2
    /usr/bin/python3 "$work/driver.py" "$1" "$2" | tee -a "$results"
}
measure memory '{"viewer": "'$build'/tesseline", "path": "'$w'/one.tif", "times": 4}'
measure steps '{"rounds": 3, "warm": ["'$w'/steps.tif", "'$w'/steps3.tif", "'$w'/dataset/img"],
    "viewers": {"now": "'$build'/tesseline", "before": "'$base'/build/tesseline"}, "kinds": {
    "recording": [["'$w'/steps.tif"], 10, 10],
    "dataset": [["'$w'/dataset/steps.tz"], 10, 10],
    "three": [["'$w'/steps3.tif"], 10, 5]}}'
kill $(jobs -p) 2>/dev/null || true
wait 2>/dev/null || true
unset DISPLAY QT_QPA_PLATFORM

# --- scripts/bench.sh's step set, now and before ------------------------------------
step_json='{}'
if [ "${SKIP_STEP_SET:-}" != 1 ]; then
    for which in now before; do
        if [ $which = now ]; then dir=$root b=$build; else dir=$base b=$base/build; fi
        echo "bench.sh --sets step ($which)..." >&2
        TESSELINE_BUILD=$b bash "$dir/scripts/bench.sh" --sets step --steps 200 >"$work/step-$which.txt"
        sed -n '/^== stepping summary/,/^$/p' "$work/step-$which.txt"
    done
    step_json=$(/usr/bin/python3 - "$work/step-now.txt" "$work/step-before.txt" <<'PY'
import json, re, sys
out = {}
for which, path in zip(('now', 'before'), sys.argv[1:]):
    platform = None
    for line in open(path):
        m = re.match(r'== stepping summary, platform (\S+)', line)
        if m:
            platform = m.group(1)
        elif platform and re.match(r'(colour|grey) \d', line):
            f = line.split()
            out.setdefault(platform, {}).setdefault(which, {})[f[0] + ' ' + f[1]] = float(f[-1])
        elif not line.strip():
            platform = None
print(json.dumps(out))
PY
)
fi

echo
echo "Machine: $(nproc) cores ($(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -1)), $(free -g | awk '/^Mem/ { print $2 }') GiB," \
     "Linux $(uname -r); load average before $load_before, after $(cut -d' ' -f1-3 /proc/loadavg)"
/usr/bin/python3 "$work/driver.py" summary '{"results": "'$results'", "step_set": '"$step_json"'}'
