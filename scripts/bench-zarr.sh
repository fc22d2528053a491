#!/usr/bin/env bash
# Benchmarks the viewer on OME-Zarr images (NGFF 0.4, Zarr v2) read from a
# folder and from nginx over loopback HTTP, on a virtual display (Xvfb,
# 1920 x 1080), driving the real program with keys as a user would:
# `tesseline DIR` and `tesseline http://...` to the first frame on screen for
# 1,000 frames of 2048 x 2048 16-bit (1024 x 1024 chunks, blosc-lz4), with one
# resolution level and with three, beside a TIFF of the same planes; the
# viewer's CPU time per step from the folder and over HTTP, interleaved; the
# requests and bytes nginx served for each step against the chunk files of the
# frame shown; and the chunks the fit view (Ctrl+F) fetches of a 20,000 x
# 20,000 plane with five levels.  Prints figures, ratios and a summary table;
# asserts nothing.  About a minute and a half once the viewer is built; it
# needs Xvfb, xdotool, nginx, python3-zarr and python3-tifffile.
# TESSELINE_BUILD names another build folder than build/.  The inputs (about
# 1 GB on disk, 15 GB as files: most chunk files are hard links) go to a
# folder under /tmp/bench-zarr, deleted at the end.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TESSELINE_BUILD:-$root/build}
"$root/scripts/setup.sh" "$build" --target tesseline >/dev/null
for tool in Xvfb xdotool /usr/sbin/nginx; do
    command -v $tool >/dev/null || { echo "bench-zarr: needs $tool (scripts/setup.sh installs it)" >&2; exit 1; }
done
/usr/bin/python3 -c 'import zarr, numcodecs, tifffile' 2>/dev/null ||
    { echo "bench-zarr: needs python3-zarr and python3-tifffile (scripts/setup.sh installs them)" >&2; exit 1; }

mkdir -p /tmp/bench-zarr
work=$(mktemp -d /tmp/bench-zarr/run.XXXXXX)
cleanup() {
    kill $(jobs -p) 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
    rmdir /tmp/bench-zarr 2>/dev/null || true
}
trap cleanup EXIT
started=$(date +%s)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# --- the inputs ---------------------------------------------------------------
cat >"$work/make.py" <<'PY'
"""make.py FOLDER: writes the OME-Zarr images of the benchmark (NGFF 0.4,
Zarr v2, '/' separator, blosc-lz4 with byte shuffle) with python3-zarr and
numcodecs into FOLDER/www, and an ImageJ TIFF of the same planes with
tifffile.  Only a few distinct chunks are encoded; every other chunk file
is a hard link to one of them, which the reader cannot tell."""
import json
import os
import sys

import numcodecs
import numpy as np
import tifffile
import zarr

out = sys.argv[1]
blosc = numcodecs.Blosc('lz4', 5, numcodecs.Blosc.SHUFFLE)
CHUNK = 1024


def cells(side, count, seed):
    """Cells over a background as a 12-bit camera records them, with noise
    that moves from one to the next."""
    r = np.random.default_rng(seed)
    y, x = np.ogrid[0:side, 0:side]
    base = np.full((side, side), 1000, np.float32)
    for cy, cx, radius, a in zip(*r.uniform([0, 0, side / 100, 200], [side, side, side / 22, 3000], (60, 4)).T):
        ys, ye = int(max(0, cy - 4 * radius)), int(min(side, cy + 4 * radius + 1))
        xs, xe = int(max(0, cx - 4 * radius)), int(min(side, cx + 4 * radius + 1))
        base[ys:ye, xs:xe] += a * np.exp(-((y[ys:ye] - cy) ** 2 + (x[:, xs:xe] - cx) ** 2) / (2 * radius * radius))
    noise = r.normal(0, 60, (side, side)).astype(np.float32)
    for i in range(count):
        shifted = np.roll(noise, (i * 37, i * 101), axis=(0, 1))
        yield np.clip(base * (0.8 + 0.2 * np.sin(i)) + shifted, 0, 65535).astype(np.uint16)


def half(plane):
    """The next level: the mean of each 2 x 2 block."""
    h, w = plane.shape[0] // 2 * 2, plane.shape[1] // 2 * 2
    p = plane[:h, :w].astype(np.uint32)
    return ((p[0::2, 0::2] + p[0::2, 1::2] + p[1::2, 0::2] + p[1::2, 1::2] + 2) // 4).astype(np.uint16)


def chunk_bytes(plane, cy, cx, chunk):
    """One chunk of a plane as zarr stores it: the full chunk (an edge chunk
    padded with the fill value), C order, blosc-compressed."""
    tile = np.zeros((chunk, chunk), np.uint16)
    part = plane[cy * chunk:(cy + 1) * chunk, cx * chunk:(cx + 1) * chunk]
    tile[:part.shape[0], :part.shape[1]] = part
    return blosc.encode(tile)


def group(path, name, sides, chunks, times, planes):
    """The group's .zattrs and each level's .zarray, as python3-zarr writes them."""
    root = zarr.open_group(path, mode='w')
    datasets = []
    for level, (side, chunk) in enumerate(zip(sides, chunks)):
        zarr.open_array(os.path.join(path, str(level)), mode='w', shape=(times, 1, planes, side, side),
                        chunks=(1, 1, 1, chunk, chunk), dtype='<u2', compressor=blosc, fill_value=0,
                        dimension_separator='/')
        factor = sides[0] / side
        datasets.append({'path': str(level), 'coordinateTransformations': [
            {'type': 'scale', 'scale': [1.0, 1.0, 1.0, factor, factor]}]})
    root.attrs['multiscales'] = [{'version': '0.4', 'name': name, 'datasets': datasets, 'axes': [
        {'name': 't', 'type': 'time'}, {'name': 'c', 'type': 'channel'}, {'name': 'z', 'type': 'space'},
        {'name': 'y', 'type': 'space'}, {'name': 'x', 'type': 'space'}]}]


def put(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)


def link(source, path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    os.link(source, path)


# --- 1,000 frames of 2048 x 2048: 100 time points x 10 focal planes -------------
# Ten distinct planes; frame (t, z) is plane (t + z) mod 10, so that every
# step shows other pixels.  one.zarr has the one level; pyramid.zarr the
# same chunk files for its finest level, and levels of 1024 and 512 besides.
TIMES, PLANES, DISTINCT = 100, 10, 10
distinct = os.path.join(out, 'distinct')
sides, chunks = [2048, 1024, 512], [CHUNK, CHUNK, 512]
planes = list(cells(2048, DISTINCT, 1))
for k, plane in enumerate(planes):
    for level, (side, chunk) in enumerate(zip(sides, chunks)):
        for cy in range(-(-side // chunk)):
            for cx in range(-(-side // chunk)):
                put(f'{distinct}/frames/{level}/{k}/{cy}/{cx}', chunk_bytes(plane, cy, cx, chunk))
        plane = half(plane)
group(f'{out}/www/one.zarr', 'one level', sides[:1], chunks[:1], TIMES, PLANES)
group(f'{out}/www/pyramid.zarr', 'three levels', sides, chunks, TIMES, PLANES)
for t in range(TIMES):
    for z in range(PLANES):
        k = (t + z) % DISTINCT
        for name, levels in (('one.zarr', 1), ('pyramid.zarr', 3)):
            for level in range(levels):
                n = -(-sides[level] // chunks[level])
                for cy in range(n):
                    for cx in range(n):
                        link(f'{distinct}/frames/{level}/{k}/{cy}/{cx}', f'{out}/www/{name}/{level}/{t}/0/{z}/{cy}/{cx}')

# The same frames as an ImageJ hyperstack, 10 time points x 10 focal planes (800 MB).
tifffile.imwrite(f'{out}/stack.tif', (planes[(t + z) % DISTINCT] for t in range(10) for z in range(PLANES)),
                 shape=(10, PLANES, 2048, 2048), dtype=np.uint16, imagej=True, metadata={'axes': 'TZYX'})

# --- one plane of 20,000 x 20,000, five levels, 1024 x 1024 chunks ----------------
# Each level is its own 1024 x 1024 tiles of cells (eight distinct ones a
# level, the coarsest level's four chunks all distinct), laid out in turn.
big = [20000, 10000, 5000, 2500, 1250]
group(f'{out}/www/big.zarr', '20000 x 20000, five levels', big, [CHUNK] * 5, 1, 1)
for level, side in enumerate(big):
    tiles = list(cells(CHUNK, 8, 100 + level))
    n = -(-side // CHUNK)
    for k, tile in enumerate(tiles):
        put(f'{distinct}/big/{level}/{k}', chunk_bytes(tile, 0, 0, CHUNK))
    for cy in range(n):
        for cx in range(n):
            link(f'{distinct}/big/{level}/{(cy * n + cx) % 8}', f'{out}/www/big.zarr/{level}/0/0/0/{cy}/{cx}')

# What the benchmark needs to know, and a check that python3-zarr reads them back.
check = zarr.open_array(f'{out}/www/one.zarr/0', mode='r')
assert check.shape == (TIMES, 1, PLANES, 2048, 2048)
first = check[3, 0, 4]
assert np.array_equal(first, planes[7])
assert np.array_equal(zarr.open_array(f'{out}/www/pyramid.zarr/1', mode='r')[1, 0, 6], half(first))
assert zarr.open_array(f'{out}/www/big.zarr/4', mode='r')[0, 0, 0, 1249, 1249] is not None
sizes = {}
for dirpath, _, files in os.walk(f'{out}/www'):
    for f in files:
        p = os.path.join(dirpath, f)
        sizes[os.path.relpath(p, f'{out}/www')] = os.path.getsize(p)
json.dump(sizes, open(f'{out}/sizes.json', 'w'))
distinct_bytes = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(distinct) for f in fs)
print('  %d files and links under www/, %.0f MB as files, %.0f MB of distinct chunks on disk; stack.tif %.0f MB'
      % (len(sizes), sum(sizes.values()) / 1e6, distinct_bytes / 1e6, os.path.getsize(f'{out}/stack.tif') / 1e6))
PY

echo "Writing the inputs..."
/usr/bin/python3 "$work/make.py" "$work"
sync

# --- the web server -------------------------------------------------------------
# nginx on a free loopback port, with a configuration of its own: one process
# in the foreground, every request logged with its status and the bytes of
# its body, temporary files in the work folder.
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir "$work/nginx"
cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
    client_body_temp_path $work/nginx; proxy_temp_path $work/nginx; fastcgi_temp_path $work/nginx;
    uwsgi_temp_path $work/nginx; scgi_temp_path $work/nginx;
    log_format counted '\$request_uri \$status \$body_bytes_sent';
    access_log $work/nginx/access.log counted;
    sendfile on;
    server {
        listen 127.0.0.1:$port;
        root $work/www;
    }
}
CONF
/usr/sbin/nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
nginx_pid=$!
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.05; done
(exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "bench-zarr: nginx does not answer" >&2; exit 1; }
url=http://127.0.0.1:$port

# --- the driver -----------------------------------------------------------------
cat >"$work/driver.py" <<'PY'
"""Drives the viewer on the OME-Zarr images and measures it, with what
scripts/benchdriver.py holds.  Each command takes a JSON argument and prints
one JSON line of figures; `summary` prints the table from those lines."""
import json
import os
import re
import statistics
import subprocess

from benchdriver import WORK, main, ms, open_at_first, results, sec, step_through, table, warm, yes, zigzag
from benchdriver import first   # a command, run by name as the ones below


def server_cpu():
    """The CPU time of nginx (one process, no workers), in seconds."""
    with open('/proc/%s/schedstat' % os.environ['NGINX_PID']) as f:
        return int(f.read().split()[0]) / 1e9


ACCESS_LOG = os.path.join(WORK, 'nginx', 'access.log')


def log_at():
    return os.path.getsize(ACCESS_LOG)


def served(since, until=None):
    """(request URI, status, body bytes) of each request nginx logged between two offsets of its log."""
    with open(ACCESS_LOG, 'rb') as f:
        f.seek(since)
        text = f.read(None if until is None else until - since).decode()
    out = []
    for line in text.splitlines():
        uri, status, sent = line.split()
        out.append((uri, int(status), int(sent)))
    return out


SIZES = None


def size_of(uri):
    """The size of the file behind a request, as the input's writer listed it."""
    global SIZES
    if SIZES is None:
        with open(os.path.join(WORK, 'sizes.json')) as f:
            SIZES = json.load(f)
    return SIZES.get(uri.lstrip('/'))


# A chunk of an image below the server's root: /IMAGE/LEVEL/T/C/Z/Y/X.
CHUNK = re.compile(r'^/([\w.]+)/(\d+)/(\d+)/0/(\d+)/(\d+)/(\d+)$')


def image_area(window):
    """The image area of the viewer's window: the window less the counters,
    sliders and margins around the frame (125 x 10 pixels, as the viewer lays
    itself out)."""
    out = subprocess.run(['xdotool', 'getwindowgeometry', str(window)], capture_output=True, text=True).stdout
    w, h = map(int, re.search(r'Geometry: (\d+)x(\d+)', out).groups())
    return w - 10, h - 125


# --- steps ------------------------------------------------------------------------

def fetched_per_frame(requests, frames, image, grid):
    """Compares what nginx served while stepping with the chunk files of
    each frame shown: the finest level's chunks of that (t, z) in grid."""
    wanted = {(t, z, cy, cx) for t, z in frames for cy, cx in grid}
    got, repeated, other, short, bytes_sent, statuses = [], 0, [], 0, 0, set()
    for uri, status, sent in requests:
        m = CHUNK.match(uri)
        statuses.add(status)
        bytes_sent += sent
        if not m or m.group(1) != image or m.group(2) != '0':
            other.append(uri)
            continue
        key = tuple(int(g) for g in m.groups()[2:])
        if key in got:
            repeated += 1
        got.append(key)
        if sent != size_of(uri):
            short += 1
    expected_bytes = sum(size_of('/%s/0/%d/0/%d/%d/%d' % ((image,) + k)) for k in wanted)
    return {'requests': len(requests), 'chunks': len(got), 'distinct': len(set(got)), 'wanted': len(wanted),
            'missing': len(wanted - set(got)), 'unwanted': len(set(got) - wanted), 'repeated': repeated,
            'other': other[:5], 'others': len(other), 'short': short, 'bytes': bytes_sent,
            'expected_bytes': expected_bytes, 'statuses': sorted(statuses)}


def steps(given):
    """CPU per step through the frames, the kinds taking turns each round;
    over HTTP, the requests nginx served for the steps and its CPU time."""
    warm(given['warm'])
    per = {label: [] for label in given['kinds']}
    fetch = {}
    for _ in range(given['rounds']):
        for label, kind in given['kinds'].items():
            v, screen, window, t, z = open_at_first(kind['args'])
            keys = zigzag(t, z, kind['times'], kind['planes'])
            n = v.count()
            at, s0 = log_at(), server_cpu()
            cpu, wall = step_through(v, screen, keys)
            s1, until = server_cpu(), log_at()
            frames = [f for _, f in v.frames[n:]]
            per[label].append((cpu, wall, len(keys), (s1 - s0) / len(keys) if kind.get('image') else None))
            if kind.get('image') and label not in fetch:
                w, h = image_area(window)
                if kind['whole']:
                    grid = [(cy, cx) for cy in range(2) for cx in range(2)]
                else:     # the chunks of the finest level that the image area shows, at the top left
                    grid = [(cy, cx) for cy in range(-(-min(h, 2048) // 1024)) for cx in range(-(-min(w, 2048) // 1024))]
                fetch[label] = fetched_per_frame(served(at, until), frames, kind['image'], grid)
                fetch[label].update(steps=len(keys), frames=len(set(frames)), area=[w, h], grid=grid)
            v.close()
    out = {'what': 'steps', 'fetch': fetch}
    for label, rs in per.items():
        out[label] = {'cpu': statistics.median(r[0] for r in rs), 'wall': statistics.median(r[1] for r in rs),
                      'steps': rs[0][2], 'rounds': [r[0] for r in rs],
                      'server': statistics.median(r[3] for r in rs) if rs[0][3] is not None else None}
    return out


def opening(given):
    """What opening an image over HTTP fetches: every request from the start to the first frame shown."""
    at = log_at()
    v, screen, window, t, z = open_at_first(given['args'])
    requests = served(at)
    area = image_area(window)
    v.close()
    return {'what': 'opening', 'label': given['label'], 'requests': requests, 'area': area, 'frame': [t, z]}


def fit(given):
    """Fit to Window (Ctrl+F) of the 20,000 x 20,000 plane: the chunks nginx
    served for it, by level, and the viewer's CPU time for it, over HTTP and
    from the folder, in turns."""
    out = {'what': 'fit', 'rounds': []}
    for _ in range(given['rounds']):
        for label, args in (('web', given['web']), ('folder', given['folder'])):
            at = log_at()
            v, screen, window, t, z = open_at_first(args)
            opened = log_at()
            n = v.count()
            c0 = v.cpu()
            screen.key('ctrl+f')
            # The first key after the focus moved may be lost: then once more.
            if not v.wait_frames(n + 1, 2):
                screen.key('ctrl+f')
            v.need_frames(n + 1)
            v.settle()
            cpu = v.cpu() - c0
            requests = served(opened)
            levels = {}
            for uri, status, sent in requests:
                m = CHUNK.match(uri)
                level = int(m.group(2)) if m else 'other'
                entry = levels.setdefault(level, {'chunks': 0, 'bytes': 0, 'keys': [], 'statuses': []})
                entry['chunks'] += 1
                entry['bytes'] += sent
                entry['keys'].append(uri)
                entry['statuses'].append(status)
            at_open = {}
            for uri, status, sent in served(at, opened):
                m = CHUNK.match(uri)
                if m:
                    at_open.setdefault(int(m.group(2)), [0, 0])
                    at_open[int(m.group(2))][0] += 1
                    at_open[int(m.group(2))][1] += sent
            out['rounds'].append({'how': label, 'cpu': cpu, 'area': image_area(window),
                                  'levels': {str(k): v_ for k, v_ in levels.items()} if label == 'web' else None,
                                  'at_open': {str(k): v_ for k, v_ in at_open.items()} if label == 'web' else None})
            v.close()
    return out


# --- the summary ------------------------------------------------------------------

def summary(given):
    r = results(given['results'])
    f, s, fit_ = r['first'], r['steps'], r['fit']
    rows = []

    print('\nFirst frame on screen, from the exec of `tesseline ARG` (median of %d warm runs; cold: the input dropped'
          ' from the page cache first; viewer alone: `tesseline` to its empty window, %s)'
          % (len(f['bare']['runs']), sec(f['bare']['warm'])))
    print('  %-52s %8s %13s %8s %10s %9s %8s  %s' % ('input', 'warm', 'warm runs', 'cold', 'trace line', 'file part',
                                                     '÷ TIFF', 'goal'))
    names = [('tiff', 'TIFF of the same planes (ImageJ, 100 × 2048²)', None),
             ('one_dir', '1,000 × 2048², one level, folder', 0.15), ('one_web', '1,000 × 2048², one level, HTTP', 0.3),
             ('pyr_dir', '1,000 × 2048², three levels, folder', 0.15), ('pyr_web', '1,000 × 2048², three levels, HTTP', 0.3)]
    tiff = f['tiff']['warm']
    for key, name, goal in names:
        c = f[key]
        print('  %-52s %8s %13s %8s %10s %9s %8s  %s' % (
            name, sec(c['warm']), '%.3f-%.3f' % (min(c['runs']), max(c['runs'])), sec(c['cold']), sec(c['read']),
            sec(c['warm'] - f['bare']['warm']), '%.2f' % (c['warm'] / tiff),
            '<= %.2f s: %s' % (goal, yes(c['warm'] <= goal)) if goal else ''))
        if goal:
            rows.append((name + ', first frame', '%s (cold %s; %.2f × TIFF)' % (sec(c['warm']), sec(c['cold']), c['warm'] / tiff),
                         '<= %.2f s' % goal, yes(c['warm'] <= goal)))
    rows.insert(0, ('TIFF of the same planes, first frame (reference)', '%s (cold %s); viewer alone %s'
                    % (sec(tiff), sec(f['tiff']['cold']), sec(f['bare']['warm'])), '', ''))

    for key in ('opening-one', 'opening-pyramid'):
        o = r[key]
        chunks = [u for u, _, _ in o['requests'] if CHUNK.match(u)]
        print('\nOpening %s over HTTP (image area %d × %d, frame t %d, z %d): %d requests, %d of them chunks, %d bytes'
              % (key.split('-')[1], o['area'][0], o['area'][1], o['frame'][0], o['frame'][1], len(o['requests']),
                 len(chunks), sum(b for _, _, b in o['requests'])))
        for uri, status, sent in o['requests']:
            print('    %s %d %d' % (uri, status, sent))

    print('\nCPU per step through 2048² frames in the page cache, the viewer\'s threads (median of %d interleaved rounds)'
          % len(s['tiff']['rounds']))
    kinds = [('tiff', 'TIFF, the same planes'), ('one_dir', 'one level, folder'), ('one_web', 'one level, HTTP'),
             ('pyr_dir', 'three levels, folder'), ('pyr_web', 'three levels, HTTP')]
    for label, name in kinds:
        c = s[label]
        print('  %-24s %8s CPU, %8s wall  (%d steps; rounds: %s)%s' % (
            name, ms(c['cpu']), ms(c['wall']), c['steps'], ', '.join('%.1f' % (x * 1000) for x in c['rounds']),
            '; nginx %s CPU a step' % ms(c['server']) if c['server'] is not None else ''))
    for a, b, name in (('one_web', 'one_dir', 'one level'), ('pyr_web', 'pyr_dir', 'three levels')):
        ratio = s[a]['cpu'] / s[b]['cpu']
        print('  %s: HTTP ÷ folder %.2f (goal <= 1.5: %s); folder ÷ TIFF %.2f; HTTP with nginx\'s CPU ÷ folder %.2f'
              % (name, ratio, yes(ratio <= 1.5), s[b]['cpu'] / s['tiff']['cpu'], (s[a]['cpu'] + s[a]['server']) / s[b]['cpu']))
        rows.append(('CPU a step, %s: HTTP ÷ folder' % name, '%.2f (%s ÷ %s)' % (ratio, ms(s[a]['cpu']), ms(s[b]['cpu'])),
                     '<= 1.5', yes(ratio <= 1.5)))

    print('\nWhat nginx served for the steps of the first round, against the chunk files of each frame shown')
    for label, name in (('one_web', 'one level'), ('pyr_web', 'three levels')):
        x = s['fetch'][label]
        exact = (x['missing'] == 0 and x['unwanted'] == 0 and x['repeated'] == 0 and x['others'] == 0
                 and x['short'] == 0 and x['statuses'] == [200] and x['bytes'] == x['expected_bytes'])
        print('  %s: %d steps to %d frames, image area %d × %d, the chunks (y, x) %s of each: %d requests (%.2f a step),'
              ' %d chunk files wanted, %d missing, %d not wanted, %d fetched twice, %d other requests %s, %d bodies'
              ' unlike their file; %d bytes served (%.2f MB a step), %d bytes in the files wanted: %s'
              % (name, x['steps'], x['frames'], x['area'][0], x['area'][1], x['grid'], x['requests'],
                 x['requests'] / x['steps'], x['wanted'], x['missing'], x['unwanted'], x['repeated'], x['others'],
                 x['other'], x['short'], x['bytes'], x['bytes'] / x['steps'] / 1e6, x['expected_bytes'],
                 'exact' if exact else 'NOT exact'))
        rows.append(('requests and bytes a step, %s, HTTP' % name, '%.2f requests, %.2f MB a step (%d bytes; files %d)'
                     % (x['requests'] / x['steps'], x['bytes'] / x['steps'] / 1e6, x['bytes'], x['expected_bytes']),
                     'the chunks of the frame shown', yes(exact)))

    print('\nFit to Window (Ctrl+F) of the 20,000² plane, five levels (20000, 10000, 5000, 2500, 1250), 1024² chunks')
    web = [x for x in fit_['rounds'] if x['how'] == 'web']
    folder = [x for x in fit_['rounds'] if x['how'] == 'folder']
    for i, x in enumerate(web):
        print('  round %d: image area %d × %d; at 100 %%: %s; after Ctrl+F: %s' % (
            i + 1, x['area'][0], x['area'][1],
            ', '.join('level %s %d chunks %d bytes' % (k, c, b) for k, (c, b) in sorted(x['at_open'].items())),
            ', '.join('level %s %d requests %d bytes' % (k, e['chunks'], e['bytes']) for k, e in sorted(x['levels'].items()))))
    x = web[0]
    for k, e in sorted(x['levels'].items()):
        print('    level %s: %s' % (k, ' '.join('%s (%s)' % (u, st) for u, st in zip(e['keys'], e['statuses']))))
    chunk_levels = {k: e for k, e in x['levels'].items() if k != 'other'}
    total = sum(e['chunks'] for e in chunk_levels.values())
    others = x['levels'].get('other', {'chunks': 0})['chunks']
    consistent = all(x2['levels'] == x['levels'] for x2 in web)
    print('  the same in every round: %s' % ('yes' if consistent else 'no'))
    print('  the viewer\'s CPU for the fit (median of %d): HTTP %s, folder %s' % (
        len(web), ms(statistics.median(y['cpu'] for y in web)), ms(statistics.median(y['cpu'] for y in folder))))
    ok = len(chunk_levels) == 1 and total <= 4 and others == 0
    rows.append(('fit view of 20,000², chunks read', '%s; %d other requests' % (', '.join(
        'level %s (%d²): %d chunks, %.2f MB' % (k, 20000 >> int(k), e['chunks'], e['bytes'] / 1e6)
        for k, e in sorted(chunk_levels.items())), others), '<= 4 chunks of one level', yes(ok)))
    table(rows)


if __name__ == '__main__':
    main(globals())
PY

# --- the measures ---------------------------------------------------------------------
source "$root/scripts/xvfb.sh"
start_xvfb "$work" 1920x1080
mkdir -m 700 "$work/xdg"
export XDG_RUNTIME_DIR="$work/xdg" VIEWER="$build/tesseline" WORK="$work" NGINX_PID=$nginx_pid \
    PYTHONPATH="$root/scripts" PYTHONDONTWRITEBYTECODE=1
measure() {
    echo "$1..." >&2
    /usr/bin/python3 "$work/driver.py" "$1" "$2" | tee -a "$work/results"
}
w=$work/www
measure first '{"runs": 7, "cases": [
    {"label": "bare", "args": [], "files": [], "textured": false},
    {"label": "tiff", "args": ["'$work'/stack.tif"], "files": ["'$work'/stack.tif"], "textured": true},
    {"label": "one_dir", "args": ["'$w'/one.zarr"], "files": ["'$w'/one.zarr"], "textured": true},
    {"label": "one_web", "args": ["'$url'/one.zarr"], "files": ["'$w'/one.zarr"], "textured": true},
    {"label": "pyr_dir", "args": ["'$w'/pyramid.zarr"], "files": ["'$w'/pyramid.zarr"], "textured": true},
    {"label": "pyr_web", "args": ["'$url'/pyramid.zarr"], "files": ["'$w'/pyramid.zarr"], "textured": true}]}' >/dev/null
measure opening '{"label": "one", "args": ["'$url'/one.zarr"]}' >/dev/null
measure opening '{"label": "pyramid", "args": ["'$url'/pyramid.zarr"]}' >/dev/null
measure steps '{"rounds": 7, "warm": ["'$work'/stack.tif", "'$w'/one.zarr", "'$w'/pyramid.zarr"], "kinds": {
    "tiff": {"args": ["'$work'/stack.tif"], "times": 10, "planes": 10},
    "one_dir": {"args": ["'$w'/one.zarr"], "times": 10, "planes": 10},
    "one_web": {"args": ["'$url'/one.zarr"], "times": 10, "planes": 10, "image": "one.zarr", "whole": true},
    "pyr_dir": {"args": ["'$w'/pyramid.zarr"], "times": 10, "planes": 10},
    "pyr_web": {"args": ["'$url'/pyramid.zarr"], "times": 10, "planes": 10, "image": "pyramid.zarr", "whole": false}}}' >/dev/null
measure fit '{"rounds": 3, "web": ["'$url'/big.zarr"], "folder": ["'$w'/big.zarr"]}' >/dev/null

echo
echo "Machine: $(nproc) cores ($(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -1)), $(free -g | awk '/^Mem/ { print $2 }') GiB," \
     "$(. /etc/os-release && echo "$PRETTY_NAME"), Linux $(uname -r), Qt $(dpkg-query -W -f='${Version}' libqt6core6 2>/dev/null | cut -d- -f1)," \
     "libcurl $(dpkg-query -W -f='${Version}' libcurl4 2>/dev/null | cut -d- -f1), libblosc $(dpkg-query -W -f='${Version}' libblosc1 2>/dev/null | cut -d- -f1)," \
     "$(/usr/sbin/nginx -v 2>&1 | sed 's/.*: //'); load average before $load_before, after $(cut -d' ' -f1-3 /proc/loadavg);" \
     "$(( $(date +%s) - started )) s in all"
/usr/bin/python3 "$work/driver.py" summary '{"results": "'$work'/results"}'
