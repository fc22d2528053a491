#!/usr/bin/env bash
# Benchmarks the viewer on recordings shown where they lie, on a virtual
# display (Xvfb, 1920 x 1080), driving the real program with keys as a user
# would: `tesseline FILE` to the first frame on screen for an 800 MB ImageJ
# stack, a 20 GB one (written sparsely), a 2,500-page OME-TIFF, a 2,500-page
# TIFF with no metadata and a series of 2,500 files; the viewer's CPU time per
# step through 2048 x 2048 16-bit planes in the page cache, for one channel,
# for the dataset tesseline-import makes of the same file and for three
# merged channels; a change of brightness; reads of TIFF directories while
# stepping; and peak memory over every frame of the 20 GB stack.  Prints
# figures, ratios and a summary table; asserts nothing.  About 2.5 minutes,
# half of it writing the inputs; it needs Xvfb, xdotool and strace.
# TESSELINE_BUILD names another build folder than build/.  The inputs (6 GB
# on disk, 26 GB as files) go to a folder under /tmp/bench-recording,
# deleted at the end.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TESSELINE_BUILD:-$root/build}
"$root/scripts/setup.sh" "$build" --target tesseline tesseline-import >/dev/null
for tool in Xvfb xdotool strace; do
    command -v $tool >/dev/null || { echo "bench-recording: needs $tool (scripts/setup.sh installs it)" >&2; exit 1; }
done

mkdir -p /tmp/bench-recording
work=$(mktemp -d /tmp/bench-recording/run.XXXXXX)
cleanup() {
    kill $(jobs -p) 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
    rmdir /tmp/bench-recording 2>/dev/null || true
}
trap cleanup EXIT
df -h "$work" | tail -1 | awk '{ print "free on " $6 ": " $4 }'
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# --- the inputs ---------------------------------------------------------------
cat >"$work/make.py" <<'PY'
"""make.py KIND PATH: writes one input with tifffile, 16-bit planes of cells
over a background, with noise that moves from plane to plane."""
import os
import sys
import warnings

import numpy as np
import tifffile

kind, path = sys.argv[1], sys.argv[2]
rng = np.random.default_rng(11)


def planes(count, side):
    y, x = np.mgrid[0:side, 0:side].astype(np.float32)
    base = np.full((side, side), 1000, np.float32)
    for cy, cx, r, a in zip(*rng.uniform([0, 0, side / 100, 2000], [side, side, side / 22, 30000], (60, 4)).T):
        base += a * np.exp(-((y - cy) ** 2 + (x - cx) ** 2) / (2 * r * r))
    noise = rng.normal(0, 400, (side, side)).astype(np.float32)
    for i in range(count):
        shifted = np.roll(noise, (i * 37, i * 101), axis=(0, 1))
        yield np.clip(base * (0.8 + 0.2 * np.sin(i)) + shifted, 0, 65535).astype(np.uint16)


if kind == 'imagej':      # 10 time points x 10 focal planes of 2048 x 2048: 800 MB, a directory a plane
    tifffile.imwrite(path, planes(100, 2048), shape=(10, 10, 2048, 2048), dtype=np.uint16, imagej=True,
                     metadata={'axes': 'TZYX'})
elif kind == 'three':     # 10 time points x 5 focal planes x 3 channels: 1.26 GB
    tifffile.imwrite(path, planes(150, 2048), shape=(10, 5, 3, 2048, 2048), dtype=np.uint16, imagej=True,
                     metadata={'axes': 'TZCYX'})
elif kind == 'huge':      # 240 x 10 planes of 2048 x 2048: 20 GB
    # Over 4 GB tifffile writes ImageJ's layout: one directory, every plane
    # after it.  No data given, it seeks over the planes: a sparse file, whose
    # first time point is then written for real.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter('always')
        tifffile.imwrite(path, shape=(240, 10, 2048, 2048), dtype=np.uint16, imagej=True, metadata={'axes': 'TZYX'})
    with tifffile.TiffFile(path) as f:
        assert len(f.pages) == 1 and f.is_imagej, 'not a single directory'
        offset = f.pages[0].dataoffsets[0]
    with open(path, 'r+b') as f:
        f.seek(offset)
        for plane in planes(10, 2048):
            f.write(plane.tobytes())
    print('20 GB stack: %s; one directory, planes from byte %d on, %d MB on disk'
          % ('; '.join(str(w.message) for w in caught), offset, os.stat(path).st_blocks * 512 >> 20))
elif kind == 'ome':       # 250 time points x 10 focal planes of 512 x 512, OME-XML: 2,500 pages
    tifffile.imwrite(path, planes(2500, 512), shape=(250, 10, 512, 512), dtype=np.uint16, ome=True,
                     metadata={'axes': 'TZYX'})
elif kind == 'plain':     # 2,500 pages of 512 x 512, no description at all, written page by page
    # as a camera program writes them: each page's directory before its data.
    with tifffile.TiffWriter(path) as tif:
        for plane in planes(2500, 512):
            tif.write(plane, contiguous=False, metadata=None)
elif kind == 'series':    # 2,500 files cell_tTTT_zZZ.tif of one 512 x 512 plane each
    os.makedirs(path)
    for i, plane in enumerate(planes(2500, 512)):
        tifffile.imwrite(f'{path}/cell_t{i // 10:03d}_z{i % 10:02d}.tif', plane, metadata=None)
PY

echo "Writing the inputs (about two minutes)..."
write_input() { /usr/bin/python3 "$work/make.py" "$@"; }
write_input imagej "$work/stack.tif"
write_input huge "$work/huge.tif"
write_input three "$work/three.tif"
write_input ome "$work/cells.ome.tif"
write_input plain "$work/plain.tif"
write_input series "$work/series"
"$build/tesseline-import" -q -o "$work/dataset" "$work/stack.tif"
sync
ls -l "$work"/*.tif | awk '{ printf "  %s: %.2f GB\n", $NF, $5 / 1e9 }'
echo "  dataset: $(ls "$work/dataset/img" | wc -l) frames, $(du -sm "$work/dataset" | cut -f1) MB of JPEG"

# --- the driver -----------------------------------------------------------------
cat >"$work/driver.py" <<'PY'
"""Drives the viewer on the recordings and measures it, with what
scripts/benchdriver.py holds.  Each command takes a JSON argument and prints
one JSON line of figures; `summary` prints the table from those lines."""
import os
import re
import signal
import statistics
import subprocess
import time

import numpy as np

from benchdriver import (WORK, Screen, Viewer, main, ms, open_at_first, results, sec, step_through, table, uncache,
                         warm, yes, zigzag)
from benchdriver import first   # a command, run by name as the ones below


# --- steps ------------------------------------------------------------------------

def steps(given):
    """CPU per step through the frames, the kinds taking turns each round."""
    warm(given['warm'])
    per = {label: [] for label in given['kinds']}
    for _ in range(given['rounds']):
        for label, (args, times, planes, tmin, zmin) in given['kinds'].items():
            v, screen, _, t, z = open_at_first(args)
            keys = zigzag(t - tmin, z - zmin, times, planes)
            per[label].append(step_through(v, screen, keys) + (len(keys),))
            v.close()
    out = {'what': 'steps'}
    for label, rs in per.items():
        out[label] = {'cpu': statistics.median(r[0] for r in rs), 'wall': statistics.median(r[1] for r in rs),
                      'steps': rs[0][2], 'rounds': [r[0] for r in rs]}
    return out


def reads_of(log, fd, since, until):
    count = 0
    for line in open(log):
        m = re.match(r'\d+ +([\d.]+) (read|pread64|readv|preadv|preadv2)\((\d+),', line)
        if m and int(m.group(3)) == fd and since <= float(m.group(1)) <= until:
            count += 1
    return count


def brightness(given):
    """CPU per change of a channel's low value in Brightness and Contrast,
    beside a step with the dialog closed and open; reads of the file."""
    path = given['path']
    warm([path])
    v, screen, window, t, z = open_at_first([path])
    square = ['Right', 'Down', 'Left', 'Up'] * 5     # round four frames, each key a new one
    closed = step_through(v, screen, square)[0]
    screen.key('ctrl+shift+c')
    dialog = v.window('^Brightness and Contrast$')
    v.settle()
    screen.focus(dialog)
    for _ in range(7):                  # from Close to the Low spin box
        screen.key('Tab')
    v.settle()
    probes = [(200, 200), (1700, 200), (200, 900), (1700, 900)]   # frame pixels beside the dialog
    shown = [screen.grab(x, y, 16, 16) for x, y in probes]

    def change(n):
        c0 = v.cpu()
        for _ in range(n):
            screen.key('Prior')         # Page Up: the low value 10 higher
            v.settle(0.05)
        return (v.cpu() - c0) / n

    per_change = change(given['changes'])
    changed = sum(not np.array_equal(screen.grab(x, y, 16, 16), s) for (x, y), s in zip(probes, shown))

    # Again under strace: reads of the file's descriptor while changing, then while stepping.
    fd = v.fd_of(path)
    log = os.path.join(WORK, 'strace-brightness.log')
    tracer = subprocess.Popen(['strace', '-f', '-qq', '-ttt', '-e', 'trace=read,pread64,readv,preadv,preadv2',
                               '-p', str(v.pid), '-o', log], stderr=subprocess.DEVNULL)
    time.sleep(1)
    a = time.time()
    change(10)
    b = time.time()
    screen.focus(window)
    v.settle()
    stepped = step_through(v, screen, ['Right', 'Left'])
    c = time.time()
    tracer.send_signal(signal.SIGINT)
    tracer.wait()

    # Steps with the dialog open, its histogram following the frame.
    opened = step_through(v, screen, square)[0]
    v.close()
    return {'what': 'brightness', 'change': per_change, 'changes': given['changes'], 'step_closed': closed,
            'step_open': opened, 'probes_changed': changed, 'probes': len(probes),
            'reads_per_change': reads_of(log, fd, a, b) / 10, 'reads_per_step': reads_of(log, fd, b, c) / 2}


def directories(given):
    """Reads of the TIFF's directories, and calls on the file, while opening and per step."""
    import tifffile
    path = given['path']
    with tifffile.TiffFile(path) as f:
        ifds = {p.offset for p in f.pages}
    log = os.path.join(WORK, 'strace-directories.log')
    v = Viewer([path], wrap=['strace', '-f', '-qq', '-ttt', '-e', 'trace=openat,close,lseek,read,pread64', '-o', log])
    v.need_frames(1, 120)
    with open('/proc/%d/task/%d/children' % (v.pid, v.pid)) as f:
        v.pid = int(f.read().split()[0])     # the viewer, under strace
    screen = Screen()
    window = v.window()
    v.settle()
    screen.focus(window)
    v.settle()
    marks = [time.time()]
    n = v.count()
    for i in range(given['steps']):
        screen.key('Right')
        if i == 0 and not v.wait_frames(n + 1, 2):
            screen.key('Right')
        v.need_frames(n + i + 1)
        v.settle(0.05)
        marks.append(time.time())
    v.close()

    fds, pos = set(), {}
    opening = {'calls': 0, 'ifd': 0}
    per_ifd = {}
    per_step = [{'calls': 0, 'ifd': 0, 'bytes': 0} for _ in range(given['steps'])]
    for line in open(log):
        m = re.match(r'\d+ +([\d.]+) (\w+)\((.*)\) += (-?\d+)', line)
        if not m:
            continue
        when, call, argtext, ret = float(m.group(1)), m.group(2), m.group(3), int(m.group(4))
        if call == 'openat':
            if '"%s"' % path in argtext and ret >= 0:
                fds.add(ret)
                pos[ret] = 0
            continue
        fd = int(argtext.split(',')[0])
        if fd not in fds:
            continue
        if call == 'close':
            fds.discard(fd)
            continue
        at = None
        if call == 'lseek':
            whence = argtext.rsplit(',', 1)[1].strip()
            if whence in ('SEEK_SET', 'SEEK_CUR', 'SEEK_END'):
                pos[fd] = ret
        elif call == 'read':
            at = pos.get(fd, 0)
            pos[fd] = at + max(ret, 0)
        elif call == 'pread64':
            at = int(argtext.rsplit(',', 1)[1])
        if when <= marks[0]:
            bucket = opening
        else:
            step = next((i for i in range(given['steps']) if marks[i] < when <= marks[i + 1]), None)
            if step is None:
                continue
            bucket = per_step[step]
            if at is not None:
                bucket['bytes'] += max(ret, 0)
        bucket['calls'] += 1
        if at in ifds:
            bucket['ifd'] += 1
            if bucket is opening:
                per_ifd[at] = per_ifd.get(at, 0) + 1
    return {'what': 'directories', 'pages': len(ifds), 'open_calls': opening['calls'], 'open_ifd_reads': opening['ifd'],
            'open_ifds_read': len(per_ifd), 'open_most_reads_of_one': max(per_ifd.values(), default=0),
            'step_calls': [s['calls'] for s in per_step], 'step_ifd_reads': [s['ifd'] for s in per_step],
            'step_bytes': [s['bytes'] for s in per_step]}


def memory(given):
    """Peak memory while stepping through every frame; the file is dropped
    from the page cache every 200 steps, as reading 20 GB would fill it."""
    path = given['path']
    v, screen, _, t, z = open_at_first([path])
    start = v.status('VmHWM')
    keys = zigzag(t, z, given['times'], given['planes'], every=True)
    cpu, wall = step_through(v, screen, keys, every=200, drop=[path])
    out = {'what': 'memory', 'steps': len(keys), 'frames': len({f for _, f in v.frames}),
           'hwm_first': start, 'hwm': v.status('VmHWM'), 'rss': v.status('VmRSS'), 'cpu': cpu, 'wall': wall}
    v.close()
    uncache([path])
    return out


# --- the summary ------------------------------------------------------------------

def summary(given):
    r = results(given['results'])
    f, s, b, d, m = r['first'], r['steps'], r['brightness'], r['directories'], r['memory']
    rows = []
    names = [('stack', '800 MB ImageJ stack (100 planes of 2048²)'), ('huge', '20 GB ImageJ stack (2,400 planes of 2048², one directory)'),
             ('ome', '2,500-page OME-TIFF (512²)'), ('plain', '2,500-page TIFF, no metadata (512², page by page)'),
             ('series', 'series of 2,500 files (512²)')]
    print('\nFirst frame on screen, from the exec of `tesseline FILE` (median of %d warm runs; cold: the input dropped'
          ' from the page cache first; viewer alone: `tesseline` to its empty window, %s)'
          % (len(f['bare']['runs']), sec(f['bare']['warm'])))
    print('  %-58s %9s %15s %9s %11s %9s  %s' % ('input', 'warm', 'warm runs', 'cold', 'trace line', 'file part',
                                                 'goal <= 0.15 s'))
    for key, name in names:
        c = f[key]
        print('  %-58s %9s %15s %9s %11s %9s  %s' % (name, sec(c['warm']), '%.3f-%.3f' % (min(c['runs']), max(c['runs'])),
                                                   sec(c['cold']), sec(c['read']), sec(c['warm'] - f['bare']['warm']),
                                                   yes(c['warm'] <= 0.15)))
        rows.append((name + ', first frame', sec(c['warm']) + ' (cold %s)' % sec(c['cold']), '<= 0.15 s', yes(c['warm'] <= 0.15)))
    ratio = f['huge']['warm'] / f['stack']['warm']
    print('  20 GB / 800 MB: %.2f (goal <= 1.3: %s)' % (ratio, yes(ratio <= 1.3)))
    rows.append(('20 GB first frame / 800 MB first frame', '%.2f' % ratio, '<= 1.3', yes(ratio <= 1.3)))

    one, ds, three = s['recording'], s['dataset'], s['three']
    print('\nCPU per step through 2048² 16-bit frames in the page cache (median of %d interleaved rounds)' % len(one['rounds']))
    for label, c in (('recording, one channel', one), ('dataset imported from it', ds), ('recording, three channels', three)):
        print('  %-30s %8s CPU, %8s wall  (%d steps; rounds: %s)' % (label, ms(c['cpu']), ms(c['wall']), c['steps'],
                                                                    ', '.join('%.1f' % (x * 1000) for x in c['rounds'])))
    r1, r3 = one['cpu'] / ds['cpu'], three['cpu'] / one['cpu']
    print('  one channel / dataset: %.2f (goal <= 0.6: %s); three channels / one: %.2f (goal <= 2: %s)'
          % (r1, yes(r1 <= 0.6), r3, yes(r3 <= 2)))
    rows.append(('step, one channel / dataset step', '%.2f (%s / %s)' % (r1, ms(one['cpu']), ms(ds['cpu'])), '<= 0.6', yes(r1 <= 0.6)))
    rows.append(('step, three channels / one channel', '%.2f (%s)' % (r3, ms(three['cpu'])), '<= 2', yes(r3 <= 2)))

    rb = b['change'] / b['step_closed']
    print('\nBrightness and Contrast, the low value raised %d times (Page Up in its spin box)' % b['changes'])
    print('  CPU per change %s; a step of the same file %s: %.2f (goal <= 0.5: %s)' % (ms(b['change']), ms(b['step_closed']), rb, yes(rb <= 0.5)))
    print('  frame probes changed on screen: %d of %d; reads of the file per change: %g (a step: %g)'
          % (b['probes_changed'], b['probes'], b['reads_per_change'], b['reads_per_step']))
    print('  a step with the dialog open: %s, %.2f of one with it closed' % (ms(b['step_open']), b['step_open'] / b['step_closed']))
    rows.append(('brightness change / step', '%.2f (%s / %s)' % (rb, ms(b['change']), ms(b['step_closed'])), '<= 0.5', yes(rb <= 0.5)))
    rows.append(('file reads per brightness change', '%g' % b['reads_per_change'], '0', yes(b['reads_per_change'] == 0)))

    print('\nDirectories of the 2,500-page TIFF with no metadata (strace of the file descriptor)')
    print('  opening: %d directory reads of %d directories (%d read, the most-read one %d times), %d calls on the file'
          % (d['open_ifd_reads'], d['pages'], d['open_ifds_read'], d['open_most_reads_of_one'], d['open_calls']))
    print('  per step (%d steps): directory reads %d to %d, calls on the file %d to %d, bytes %d to %d'
          % (len(d['step_calls']), min(d['step_ifd_reads']), max(d['step_ifd_reads']), min(d['step_calls']),
             max(d['step_calls']), min(d['step_bytes']), max(d['step_bytes'])))
    once = d['open_ifds_read'] == d['pages'] and d['open_ifd_reads'] <= d['pages'] + 5 and max(d['step_ifd_reads']) <= 1
    rows.append(('directory reads: opening / per step', '%d of %d / %d to %d' % (d['open_ifd_reads'], d['pages'],
                 min(d['step_ifd_reads']), max(d['step_ifd_reads'])), 'one walk, none per step', yes(once)))

    hwm = m['hwm'] / 1024
    print('\nEvery frame of the 20 GB stack: %d steps, %d frames; peak memory %.1f MiB (%.1f MiB at the first frame);'
          ' %s CPU, %s wall a step' % (m['steps'], m['frames'], hwm, m['hwm_first'] / 1024, ms(m['cpu']), ms(m['wall'])))
    rows.append(('peak memory, every frame of the 20 GB stack', '%.1f MiB' % hwm, '<= 150 MiB', yes(hwm <= 150)))
    table(rows)


if __name__ == '__main__':
    main(globals())
PY

# --- the measures ---------------------------------------------------------------------
source "$root/scripts/xvfb.sh"
start_xvfb "$work" 1920x1080
mkdir -m 700 "$work/xdg"
export XDG_RUNTIME_DIR="$work/xdg" VIEWER="$build/tesseline" WORK="$work" \
    PYTHONPATH="$root/scripts" PYTHONDONTWRITEBYTECODE=1
measure() {
    echo "$1..." >&2
    /usr/bin/python3 "$work/driver.py" "$1" "$2" | tee -a "$work/results"
}
w=$work
measure first '{"runs": 7, "cases": [
    {"label": "bare", "args": [], "textured": false},
    {"label": "stack", "args": ["'$w'/stack.tif"], "textured": true},
    {"label": "huge", "args": ["'$w'/huge.tif"], "textured": true},
    {"label": "ome", "args": ["'$w'/cells.ome.tif"], "textured": true},
    {"label": "plain", "args": ["'$w'/plain.tif"], "textured": true},
    {"label": "series", "args": ["'$w'/series"], "textured": true}]}' >/dev/null
measure steps '{"rounds": 3, "warm": ["'$w'/stack.tif", "'$w'/three.tif", "'$w'/dataset/img"], "kinds": {
    "recording": [["'$w'/stack.tif"], 10, 10, 0, 0],
    "dataset": [["'$w'/dataset/stack.tz"], 10, 10, 0, 0],
    "three": [["'$w'/three.tif"], 10, 5, 0, 0]}}' >/dev/null
measure brightness '{"path": "'$w'/stack.tif", "changes": 30}' >/dev/null
measure directories '{"path": "'$w'/plain.tif", "steps": 20}' >/dev/null
measure memory '{"path": "'$w'/huge.tif", "times": 240, "planes": 10}' >/dev/null

echo
echo "Machine: $(nproc) cores ($(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -1)), $(free -g | awk '/^Mem/ { print $2 }') GiB," \
     "$(. /etc/os-release && echo "$PRETTY_NAME"), Linux $(uname -r), Qt $(dpkg-query -W -f='${Version}' libqt6core6 2>/dev/null | cut -d- -f1)," \
     "libtiff $(dpkg-query -W -f='${Version}' libtiff6 2>/dev/null | cut -d- -f1); load average before $load_before, after $(cut -d' ' -f1-3 /proc/loadavg)"
/usr/bin/python3 "$work/driver.py" summary '{"results": "'$work'/results"}'
