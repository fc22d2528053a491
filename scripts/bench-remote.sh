#!/usr/bin/env bash
# Benchmarks the viewer on OME-Zarr images served from far away: nginx on
# loopback behind tests/zarr/latencyproxy.py (a round trip of 50 ms, 1 Gbit/s
# each way), over HTTP/1.1 and over TLS with HTTP/2, against zarr-python
# (Debian's python3-zarr with fsspec and aiohttp) reading the same chunks
# through the same proxy.  The images: 10 time points x 10 focal planes of
# 2048 x 2048 16-bit, three channels or one, in 1024 x 1024 chunks
# (blosc-lz4), as NGFF 0.4 (Zarr v2) and as OME-Zarr 0.5 (Zarr v3) with a
# shard of the whole plane (2 x 2 chunks, the index at the end).  On a
# virtual display (Xvfb, 1920 x 1080), driving the real program with keys as
# a user would, it times a step to the next frame on screen, and
# `tesseline URL` from its launch to the first frame on screen; zarr-python
# the same frames read into arrays.  For each: the limit (the round trips
# the reads need, plus the bytes over the link at 125 MB/s), the ratios, the
# requests nginx served and when they came, and the connections the proxy
# saw.  Besides, a step over loopback without the proxy.  Prints figures,
# ratios and a summary table; asserts nothing.  About four minutes once the
# viewer is built; it needs Xvfb, xdotool, nginx-light, openssl, python3-zarr,
# python3-fsspec and python3-aiohttp.  TESSELINE_BUILD names another build
# folder than build/.  The inputs (about 90 MB on disk, most files hard links)
# go to a folder under /tmp/bench-remote, deleted at the end.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TESSELINE_BUILD:-$root/build}
"$root/scripts/setup.sh" "$build" --target tesseline >/dev/null
for tool in Xvfb xdotool /usr/sbin/nginx openssl; do
    command -v $tool >/dev/null || { echo "bench-remote: needs $tool (scripts/setup.sh installs it)" >&2; exit 1; }
done
/usr/bin/python3 -c 'import zarr, numcodecs, fsspec, aiohttp' 2>/dev/null ||
    { echo "bench-remote: needs python3-zarr, python3-fsspec and python3-aiohttp (scripts/setup.sh installs them)" >&2; exit 1; }

mkdir -p /tmp/bench-remote
work=$(mktemp -d /tmp/bench-remote/run.XXXXXX)
cleanup() {
    kill $(jobs -p) 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
    rmdir /tmp/bench-remote 2>/dev/null || true
}
trap cleanup EXIT
started=$(date +%s)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# --- the inputs ---------------------------------------------------------------
cat >"$work/make.py" <<'PY'
"""make.py FOLDER: writes the images of the benchmark into FOLDER/www, each
10 time points x 10 focal planes of 2048 x 2048 16-bit samples in 1024 x 1024
chunks, blosc-lz4 with byte shuffle: three.zarr and one.zarr (three channels
and one) as NGFF 0.4, Zarr v2 with '/', written by python3-zarr; three3.zarr
and one3.zarr the same as OME-Zarr 0.5, Zarr v3, each plane one shard of its
2 x 2 chunks with the index (and its crc32c) at the end.  Eight distinct
planes are encoded; channel c of frame (t, z) is plane (t + z + 3 c) mod 8,
and every chunk file and shard is a hard link to the one of its plane."""
import json
import os
import struct
import sys

import numcodecs
import numpy as np
import zarr

out = sys.argv[1]
TIMES, PLANES, SIDE, CHUNK, DISTINCT = 10, 10, 2048, 1024, 8
blosc = numcodecs.Blosc('lz4', 5, numcodecs.Blosc.SHUFFLE)
AXES = [{'name': 't', 'type': 'time'}, {'name': 'c', 'type': 'channel'}, {'name': 'z', 'type': 'space'},
        {'name': 'y', 'type': 'space', 'unit': 'micrometer'}, {'name': 'x', 'type': 'space', 'unit': 'micrometer'}]
DATASETS = [{'path': '0', 'coordinateTransformations': [{'type': 'scale', 'scale': [1.0, 1.0, 1.0, 0.5, 0.5]}]}]


def cells(side, count, seed):
    """Cells over a background as a 12-bit camera records them, with noise
    that moves from one to the next (as scripts/bench-zarr.sh has them)."""
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


def crc32c(data):
    """CRC-32C (Castagnoli), as the shard index's checksum (tests/zarr/inputs3.py)."""
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = 0x82F63B78 ^ (crc >> 1) if crc & 1 else crc >> 1
    return crc ^ 0xFFFFFFFF


assert crc32c(b'123456789') == 0xE3069283


def omero(channels):
    colours = ['FF0000', '00FF00', '0000FF'] if channels == 3 else ['FFFFFF']
    return {'channels': [{'label': 'C%d' % c, 'color': colours[c], 'active': True,
                          'window': {'start': 800, 'end': 4500, 'min': 0, 'max': 65535}} for c in range(channels)]}


def link(source, path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    os.link(source, path)


def plane_of(t, c, z):
    return (t + z + 3 * c) % DISTINCT


# The distinct chunks, as python3-zarr writes them (blosc over the full chunk,
# C order), and each plane's shard: its four chunks in order, then the index
# of (offset, length) for each, little-endian, and the index's crc32c.
distinct = os.path.join(out, 'distinct')
os.makedirs(distinct)
planes = list(cells(SIDE, DISTINCT, 1))
n = SIDE // CHUNK
for k, plane in enumerate(planes):
    body, index = b'', b''
    for cy in range(n):
        for cx in range(n):
            data = blosc.encode(np.ascontiguousarray(plane[cy * CHUNK:(cy + 1) * CHUNK, cx * CHUNK:(cx + 1) * CHUNK]))
            open(f'{distinct}/{k}.{cy}.{cx}', 'wb').write(data)
            index += struct.pack('<QQ', len(body), len(data))
            body += data
    open(f'{distinct}/{k}.shard', 'wb').write(body + index + struct.pack('<I', crc32c(index)))

for name, channels in (('three', 3), ('one', 1)):
    # Zarr v2: the group's .zattrs and the array's .zarray from python3-zarr.
    path = f'{out}/www/{name}.zarr'
    group = zarr.open_group(path, mode='w')
    zarr.open_array(f'{path}/0', mode='w', shape=(TIMES, channels, PLANES, SIDE, SIDE), chunks=(1, 1, 1, CHUNK, CHUNK),
                    dtype='<u2', compressor=blosc, fill_value=0, dimension_separator='/')
    group.attrs['multiscales'] = [{'version': '0.4', 'name': name, 'axes': AXES, 'datasets': DATASETS}]
    group.attrs['omero'] = omero(channels)
    # Zarr v3: the group's and the array's zarr.json.
    path3 = f'{out}/www/{name}3.zarr'
    os.makedirs(f'{path3}/0')
    json.dump({'zarr_format': 3, 'node_type': 'group', 'attributes': {'ome': {
        'version': '0.5', 'multiscales': [{'name': name, 'axes': AXES, 'datasets': DATASETS}], 'omero': omero(channels)}}},
        open(f'{path3}/zarr.json', 'w'), indent=1)
    inner = [{'name': 'bytes', 'configuration': {'endian': 'little'}},
             {'name': 'blosc', 'configuration': {'cname': 'lz4', 'clevel': 5, 'shuffle': 'shuffle', 'typesize': 2}}]
    json.dump({'zarr_format': 3, 'node_type': 'array', 'shape': [TIMES, channels, PLANES, SIDE, SIDE],
               'data_type': 'uint16', 'chunk_grid': {'name': 'regular', 'configuration': {'chunk_shape': [1, 1, 1, SIDE, SIDE]}},
               'chunk_key_encoding': {'name': 'default', 'configuration': {'separator': '/'}}, 'fill_value': 0,
               'codecs': [{'name': 'sharding_indexed', 'configuration': {
                   'chunk_shape': [1, 1, 1, CHUNK, CHUNK], 'codecs': inner, 'index_location': 'end',
                   'index_codecs': [{'name': 'bytes', 'configuration': {'endian': 'little'}}, {'name': 'crc32c'}]}}],
               'dimension_names': ['t', 'c', 'z', 'y', 'x'], 'attributes': {}}, open(f'{path3}/0/zarr.json', 'w'), indent=1)
    for t in range(TIMES):
        for c in range(channels):
            for z in range(PLANES):
                k = plane_of(t, c, z)
                for cy in range(n):
                    for cx in range(n):
                        link(f'{distinct}/{k}.{cy}.{cx}', f'{path}/0/{t}/{c}/{z}/{cy}/{cx}')
                link(f'{distinct}/{k}.shard', f'{path3}/0/c/{t}/{c}/{z}/0/0')

# A check that python3-zarr reads the v2 images back, and that a shard holds its plane.
assert np.array_equal(zarr.open_array(f'{out}/www/three.zarr/0', mode='r')[3, 2, 4], planes[plane_of(3, 2, 4)])
shard = open(f'{out}/www/three3.zarr/0/c/3/2/4/0/0', 'rb').read()
entries = struct.unpack('<8Q', shard[-68:-4])
assert struct.unpack('<I', shard[-4:])[0] == crc32c(shard[-68:-4])
tile = np.frombuffer(blosc.decode(shard[entries[6]:entries[6] + entries[7]]), np.uint16).reshape(CHUNK, CHUNK)
assert np.array_equal(tile, planes[plane_of(3, 2, 4)][CHUNK:, CHUNK:])
print('  %d distinct chunks of %.2f to %.2f MB; shards of %.2f to %.2f MB' % (
    DISTINCT * n * n, min(os.path.getsize(f'{distinct}/{f}') for f in os.listdir(distinct) if 'shard' not in f) / 1e6,
    max(os.path.getsize(f'{distinct}/{f}') for f in os.listdir(distinct) if 'shard' not in f) / 1e6,
    min(os.path.getsize(f'{distinct}/{f}') for f in os.listdir(distinct) if 'shard' in f) / 1e6,
    max(os.path.getsize(f'{distinct}/{f}') for f in os.listdir(distinct) if 'shard' in f) / 1e6))
PY

echo "Writing the inputs..."
/usr/bin/python3 "$work/make.py" "$work"

# --- the web server and the link ----------------------------------------------
# nginx on two free loopback ports, with a configuration of its own: one
# process in the foreground; HTTP/1.1 on the first, TLS 1.3 with HTTP/2 on
# the second, with a certificate for 127.0.0.1 made now; every request
# logged with its port, status, body bytes, range, connection, the time it
# ended and how long it took.  Then a latency proxy in front of each port.
free_port() { /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
port=$(free_port)
tls_port=$(free_port)
mkdir "$work/nginx"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 \
    -keyout "$work/nginx/key.pem" -out "$work/nginx/cert.pem" 2>/dev/null
cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 256; }
http {
    client_body_temp_path $work/nginx; proxy_temp_path $work/nginx; fastcgi_temp_path $work/nginx;
    uwsgi_temp_path $work/nginx; scgi_temp_path $work/nginx;
    log_format timed '\$server_port \$request_uri \$status \$body_bytes_sent \$msec \$request_time \$connection \$server_protocol \$http_range';
    access_log $work/nginx/access.log timed;
    sendfile on;
    root $work/www;
    server { listen 127.0.0.1:$port; }
    server {
        listen 127.0.0.1:$tls_port ssl http2;
        ssl_certificate $work/nginx/cert.pem;
        ssl_certificate_key $work/nginx/key.pem;
        ssl_protocols TLSv1.2 TLSv1.3;
    }
}
CONF
/usr/sbin/nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
for p in $port $tls_port; do
    for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null && break; sleep 0.05; done
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "bench-remote: nginx does not answer on $p" >&2; exit 1; }
done
for name in http tls; do
    target=$port
    [ $name = tls ] && target=$tls_port
    /usr/bin/python3 "$root/tests/zarr/latencyproxy.py" "$target" --delay 50 --mbit 1000 >"$work/proxy-$name.out" &
    for _ in $(seq 100); do [ -s "$work/proxy-$name.out" ] && break; sleep 0.05; done
done
far=$(head -1 "$work/proxy-http.out")
far_tls=$(head -1 "$work/proxy-tls.out")
[ -n "$far" ] && [ -n "$far_tls" ] || { echo "bench-remote: the latency proxy does not start" >&2; exit 1; }

# The certificate, trusted through CURL_CA_BUNDLE and SSL_CERT_FILE, which
# the viewer, curl and Python's ssl read.
cat /etc/ssl/certs/ca-certificates.crt "$work/nginx/cert.pem" >"$work/bundle.crt" 2>/dev/null ||
    cp "$work/nginx/cert.pem" "$work/bundle.crt"
export CURL_CA_BUNDLE="$work/bundle.crt" SSL_CERT_FILE="$work/bundle.crt"

# --- the driver -----------------------------------------------------------------
cat >"$work/driver.py" <<'PY'
"""Drives the viewer and zarr-python on the images and measures them, with
what scripts/benchdriver.py holds.  Each command takes a JSON argument and
prints one JSON line of figures; `summary` prints the tables from those lines."""
import os
import statistics
import sys
import time

import numpy as np

from benchdriver import WORK, Screen, Viewer, main, open_at_first, pick_blocks, results, shows, table, yes, zigzag

RTT, RATE = 0.05, 125e6          # the link: a round trip of 50 ms, 1 Gbit/s
LOG = os.path.join(WORK, 'nginx', 'access.log')


def log_at():
    return os.path.getsize(LOG)


def served(since, until=None):
    """Each request nginx logged between two offsets of its log: its port, path,
    status, body bytes, range, connection, protocol, and when it came (the
    time it ended less the time it took, seconds of the epoch)."""
    with open(LOG, 'rb') as f:
        f.seek(since)
        text = f.read(None if until is None else until - since).decode()
    out = []
    for line in text.splitlines():
        port, uri, status, sent, ended, took, connection, protocol, span = line.split()
        out.append({'port': int(port), 'uri': uri, 'status': int(status), 'bytes': int(sent), 'range': span,
                    'came': float(ended) - float(took), 'connection': int(connection), 'protocol': protocol})
    return out


def waves(requests, gap=0.015):
    """The bursts the requests came in, each its requests' count and when it
    began after start: one burst for each round trip the reader waited for."""
    out = []
    for r in sorted(requests, key=lambda r: r['came']):
        if not out or r['came'] - out[-1][2] > gap:
            out.append([0, r['came'], r['came']])
        out[-1][0] += 1
        out[-1][2] = r['came']
    return out


def proxy_at(name):
    return os.path.getsize(os.path.join(WORK, 'proxy-%s.out' % name)) if name else 0


def most_open(name, since):
    """The most connections open at once through that proxy since an offset of its output."""
    if not name:
        return None
    with open(os.path.join(WORK, 'proxy-%s.out' % name)) as f:
        f.seek(since)
        counts = [int(line.split()[1]) for line in f if line.startswith('connections ')]
    return max(counts, default=0)


def described(requests, start):
    """What a step or an opening asked for: requests, bytes, bursts (from start), statuses."""
    return {'requests': len(requests), 'bytes': sum(r['bytes'] for r in requests),
            'waves': [[n, round(a - start, 4)] for n, a, _ in waves(requests)],
            'statuses': sorted({r['status'] for r in requests}), 'protocols': sorted({r['protocol'] for r in requests}),
            'shards': len({r['uri'] for r in requests if '/c/' in r['uri']}),
            'list': [[r['uri'], r['status'], r['bytes'], r['range'], round(r['came'] - start, 4)] for r in requests]}


def frames_of(keys, t, z):
    """The frames (t, z) that keys from zigzag lead to."""
    out = []
    for key in keys:
        t, z = (t + 1, z) if key == 'Right' else (t, z + (1 if key == 'Down' else -1))
        out.append((t, z))
    return out


# --- the viewer -------------------------------------------------------------------

def frame_blocks(screen):
    """Three 16 x 16 blocks of the screen inside the frame shown."""
    shown = screen.grab(0, 0, 1920, 1080)
    return [(x, y) for x, y, *_ in pick_blocks(np.full(shown.shape, 0xffffffff, np.uint32), shown, True)]


def viewer_round(kind, steps):
    """Opens the viewer, then presses keys to new frames, each once the frame
    before is on screen: from each key to the frame on screen, to its trace
    line, and what nginx served meanwhile; the first step is not counted
    (the first key after the focus moved may be lost)."""
    proxied = proxy_at(kind.get('proxy'))
    v, screen, window, t, z = open_at_first(kind['args'])
    blocks = frame_blocks(screen)
    keys = zigzag(t, z, 10, 10)[:steps + 1]
    out = []
    for i, key in enumerate(keys):
        before = [screen.grab(x, y, 16, 16) for x, y in blocks]
        n, at = v.count(), log_at()
        wall, t0 = time.time(), time.monotonic()
        screen.key(key)
        if i == 0 and not v.wait_frames(n + 1, 2):
            screen.key(key)
        while sum(not np.array_equal(screen.grab(x, y, 16, 16), b) for (x, y), b in zip(blocks, before)) < 2:
            if time.monotonic() - t0 > 20 or v.p.poll() is not None:
                sys.exit('%s: step %d never showed; the trace ends: %s' % (kind['label'], i, v.lines[-3:]))
            time.sleep(0.001)
        shown = time.monotonic() - t0
        time.sleep(0.1)
        if i > 0:
            step = described(served(at), wall)
            step.update(shown=shown, trace=v.frames[n][0] - t0 if v.count() > n else None)
            out.append(step)
    most = most_open(kind.get('proxy'), proxied)
    v.close()
    return out, most


# --- zarr-python ------------------------------------------------------------------

KEPT = []


def reference_round(kind, steps):
    """zarr-python over fsspec (aiohttp), from nothing: a file system of its
    own (new connections), the group, its multiscales, the array and the
    first frame (t 0, z 4), timed, as an opening; then the frames the viewer's
    keys lead to, each timed."""
    import zarr
    channels = slice(None) if kind['channels'] == 3 else 0
    part = (slice(0, kind['rows']), slice(0, kind['columns']))    # the chunks the viewer reads
    proxied, at, wall, t0 = proxy_at(kind.get('proxy')), log_at(), time.time(), time.monotonic()
    store = zarr.storage.FSStore(kind['url'], mode='r', skip_instance_cache=True)
    group = zarr.open_group(store, mode='r')
    array = group[group.attrs['multiscales'][0]['datasets'][0]['path']]
    array[(0, channels, 4) + part]
    opened = dict(described(served(at), wall), shown=time.monotonic() - t0)
    out = []
    for i, (t, z) in enumerate(frames_of(zigzag(0, 4, 10, 10)[:steps + 1], 0, 4)):
        at, wall, t0 = log_at(), time.time(), time.monotonic()
        got = array[(t, channels, z) + part]
        if i > 0:     # the frames of the viewer's steps that count
            out.append(dict(described(served(at), wall), shown=time.monotonic() - t0, shape=list(got.shape)))
    # Closed now, and kept: a file system that is collected closes its
    # session from its finalizer, which can hold fsspec's loop for a second.
    store.fs.close_session(store.fs.loop, store.fs._session)
    KEPT.append(store)
    return out, most_open(kind.get('proxy'), proxied), opened


def v3(given):
    """Whether python3-zarr reads the OME-Zarr 0.5 image (Zarr v3 with shards)."""
    import zarr
    try:
        group = zarr.open_group(zarr.storage.FSStore(given['url'], mode='r'), mode='r')
        return {'what': 'v3', 'reads': True, 'how': str(group.attrs.asdict())[:200]}
    except Exception as e:
        return {'what': 'v3', 'reads': False, 'version': zarr.__version__, 'how': '%s: %s' % (type(e).__name__, e)}


def steps(given):
    """Rounds of each kind in turn: the viewer's steps or zarr-python's reads."""
    out = {'what': 'steps', 'kinds': {}}
    for r in range(given['rounds']):
        for label, kind in given['kinds'].items():
            kind['label'] = label
            entry = out['kinds'].setdefault(label, {'rounds': [], 'most': [], 'opened': []})
            if kind['reader'] == 'tesseline':
                got, most = viewer_round(kind, given['steps'])
            else:
                got, most, opened = reference_round(kind, given['steps'])
                entry['opened'].append(opened)
            entry['rounds'].append(got)
            entry['most'].append(most)
        print('  round %d of %d' % (r + 1, given['rounds']), file=sys.stderr)
    return out


# --- launch to the first frame ------------------------------------------------------

def launch(given):
    """`tesseline ARGS` from its launch to its first frame on screen, as
    benchdriver's `first` times it (a first run finds the frame's pixels;
    then the inputs take turns), with what nginx served for each run."""
    screen = Screen()
    cases = given['cases']
    for case in cases:
        before = screen.grab(0, 0, 1920, 1080)
        v = Viewer(case['args'])
        if case['textured']:
            v.need_frames(1)
        v.window()
        v.settle(0.3)
        time.sleep(0.3)
        case['blocks'] = pick_blocks(before, screen.grab(0, 0, 1920, 1080), case['textured'])
        v.close()
        case['runs'] = []
    for _ in range(given['runs']):
        for case in cases:
            end = time.monotonic() + 10
            while not shows(screen, case['blocks'], 1):
                if time.monotonic() > end:
                    sys.exit('the screen does not go back to what it was')
                time.sleep(0.01)
            proxied, at, wall, t0 = proxy_at(case.get('proxy')), log_at(), time.time(), time.monotonic()
            v = Viewer(case['args'])
            while not shows(screen, case['blocks'], 0):
                if time.monotonic() - t0 > 30 or v.p.poll() is not None:
                    sys.exit('%s: the first frame never showed; its trace: %s' % (case['label'], v.lines[-3:]))
                time.sleep(0.001)
            shown = time.monotonic() - t0
            run = dict(described(served(at), wall), shown=shown, trace=v.frames[0][0] - t0 if v.frames else None)
            v.close()
            run['most'] = most_open(case.get('proxy'), proxied)
            case['runs'].append(run)
    return {'what': 'launch', 'cases': {c['label']: c['runs'] for c in cases}}


# --- the summary ------------------------------------------------------------------

def ms(v):
    return '%.0f ms' % (v * 1000)


def median_of_rounds(rounds, field):
    """The median over rounds of each round's median."""
    return statistics.median(statistics.median(s[field] for s in r) for r in rounds)


def bursts(waves):
    return ', '.join('%d at %s' % (n, ms(a)) for n, a in waves)


def summary(given):
    r = results(given['results'])
    kinds, runs, v3 = r['steps']['kinds'], r['launch']['cases'], r['v3']
    rows = []
    print('\nzarr-python %s and the OME-Zarr 0.5 image: %s' % (
        v3.get('version', ''), 'read' if v3['reads'] else 'not read (%s)' % v3['how']))

    print('\nA step to a new frame, from the key to the frame on screen (the viewer) or the read (zarr-python);'
          ' median over %d rounds of the median of %d steps.  Limit: one round trip (%s) and the bytes at %.0f MB/s.'
          % (len(kinds['v2-http-3']['rounds']), len(kinds['v2-http-3']['rounds'][0]), ms(RTT), RATE / 1e6))
    print('  (zarr-py: zarr-python reading the same chunks over the same link, HTTP/1.1 where the viewer has HTTP/2;'
          ' trace: from the key to the viewer\'s trace line, when its read begins; conns: the most connections open'
          ' at once through the proxy in a round; bursts: the requests as nginx saw them come, grouped when less'
          ' than 15 ms apart, from the key)')
    print('  %-40s %7s %7s %6s %7s %6s %7s %6s %12s %5s  %s' % (
        'kind', 'viewer', 'zarr-py', 'MB', 'limit', '÷ zarr', '÷ limit', 'trace', 'requests', 'conns', 'bursts a step (n at ms)'))
    names = {'http': 'HTTP/1.1, 50 ms', 'h2': 'TLS + HTTP/2, 50 ms', 'near': 'HTTP/1.1, loopback'}
    reference = {'http': 'zarr-http', 'h2': 'zarr-tls', 'near': 'zarr-near'}
    for label, kind in kinds.items():
        if not label.startswith('v'):
            continue
        image, how, channels = label.split('-')
        ref = kinds['%s-%s' % (reference[how], channels)]
        mine = median_of_rounds(kind['rounds'], 'shown')
        theirs = median_of_rounds(ref['rounds'], 'shown')
        steps_ = [s for rr in kind['rounds'] for s in rr]
        size = statistics.median(s['bytes'] for s in steps_)
        their_size = statistics.median(s['bytes'] for rr in ref['rounds'] for s in rr)
        limit = RTT + size / RATE
        requests = statistics.median(s['requests'] for s in steps_)
        shards = statistics.median(s['shards'] for s in steps_)
        typical = min(steps_, key=lambda s: abs(s['shown'] - mine))
        name = '%s, %s, %s ch' % ('Zarr v3 shards' if image == 'v3' else 'Zarr v2', names[how], channels)
        print('  %-40s %7s %7s %6.2f %7s %6.2f %7s %6s %12s %5s  %s' % (
            name, ms(mine), ms(theirs), size / 1e6, ms(limit) if how != 'near' else '-', mine / theirs,
            '%.2f' % (mine / limit) if how != 'near' else '-',
            ms(statistics.median(s['trace'] for s in steps_ if s['trace'] is not None)),
            '%g' % requests + (' (%g/shard)' % (requests / shards) if shards else ''), max(kind['most'] or [0]) if how != 'near' else '',
            bursts(typical['waves'])))
        if their_size != size:
            print('    (zarr-python fetched %.2f MB a step, the viewer %.2f MB)' % (their_size / 1e6, size / 1e6))
        served_as = sorted({p for s in steps_ for p in s['protocols']})
        if served_as != (['HTTP/2.0'] if how == 'h2' else ['HTTP/1.1']):
            print('    (nginx served these steps as %s)' % ', '.join(served_as))
        if how != 'near':
            rows.append(('step, %s' % name, '%s (zarr-python %s, limit %s; ÷ %.2f, ÷ %.2f)' % (
                ms(mine), ms(theirs), ms(limit), mine / theirs, mine / limit),
                '≤ zarr-python, ≤ 1.5 × limit', 'met' if mine <= theirs and mine <= 1.5 * limit else 'NOT met (%s)' % ', '.join(
                    w for w, bad in (('slower than zarr-python', mine > theirs), ('over 1.5 × limit', mine > 1.5 * limit)) if bad)))
        else:
            rows.append(('step, %s' % name, '%s (zarr-python %s)' % (ms(mine), ms(theirs)), '', ''))
        if image == 'v3' and how != 'near':
            per = requests / shards
            rows.append(('requests a new shard, %s' % name, '%g (%d requests, %d shards a step)' % (per, requests, shards),
                         '≤ 2', yes(per <= 2)))
    for label, kind in kinds.items():
        if label.startswith('zarr'):
            steps_ = [s for rr in kind['rounds'] for s in rr]
            print('  zarr-python %-18s %s a step, %g requests in %g bursts, at most %s connections;'
                  ' from nothing to the first frame %s (%d requests in %d bursts)' % (
                      label, ms(median_of_rounds(kind['rounds'], 'shown')),
                      statistics.median(s['requests'] for s in steps_), statistics.median(len(s['waves']) for s in steps_),
                      max(kind['most'] or [0]) if 'near' not in label else '-',
                      ms(statistics.median(o['shown'] for o in kind['opened'])),
                      kind['opened'][0]['requests'], len(kind['opened'][0]['waves'])))

    print('\nFrom the launch of `tesseline URL` to the first frame on screen (median of %d runs).  Limit: the round'
          ' trips it needs (connection, TLS, the group\'s and the array\'s metadata, the chunks: one for Zarr v2, the'
          ' shard index and the chunks for v3) and its bytes at %.0f MB/s.' % (len(runs['bare']), RATE / 1e6))
    print('  (opened: from the launch to the trace line of the first frame, when its read begins; bursts from the launch)')
    bare = statistics.median(x['shown'] for x in runs['bare'])
    print('  %-40s %7s' % ('the viewer alone, to its empty window', ms(bare)))
    print('  %-40s %7s %7s %6s %16s %7s %8s %5s  %s' % ('kind', 'viewer', 'opened', 'MB', 'limit (ms)', '÷ limit', 'requests',
                                                      'conns', 'bursts (n at ms)'))
    for label, case in runs.items():
        if label == 'bare':
            continue
        image, how, channels = label.split('-')
        shown = statistics.median(x['shown'] for x in case)
        size = statistics.median(x['bytes'] for x in case)
        trips = (1 + (how == 'h2') + 2 + (2 if image == 'v3' else 1)) if how != 'near' else 0
        limit = trips * RTT + size / RATE
        typical = min(case, key=lambda x: abs(x['shown'] - shown))
        name = '%s, %s, %s ch' % ('Zarr v3 shards' if image == 'v3' else 'Zarr v2', names[how], channels)
        print('  %-40s %7s %7s %6.2f %16s %7s %8d %5s  %s' % (
            name, ms(shown), ms(statistics.median(x['trace'] for x in case)), size / 1e6,
            '%d × %d + %d = %d' % (trips, RTT * 1000, size / RATE * 1000, limit * 1000) if how != 'near' else '-',
            '%.2f' % (shown / limit) if how != 'near' else '-', typical['requests'], typical['most'] if how != 'near' else '', bursts(typical['waves'])))
        print('    %s' % '; '.join('%s %d %s%s at %s' % (u, st, b, '' if span == '-' else ' ' + span, ms(a))
                                  for u, st, b, span, a in typical['list']))
        if how != 'near':
            rows.append(('launch to first frame, %s' % name, '%s (limit %s: %d round trips + %s; ÷ %.2f)' % (
                ms(shown), ms(limit), trips, ms(size / RATE), shown / limit), '≤ 2 × limit', yes(shown <= 2 * limit)))

    print('\nOne step of each kind, request by request (path, status, bytes, range, when it came after the key):')
    for label, kind in kinds.items():
        mine = median_of_rounds(kind['rounds'], 'shown')
        steps_ = [s for rr in kind['rounds'] for s in rr]
        typical = min(steps_, key=lambda s: abs(s['shown'] - mine))
        print('  %s (%s): %s' % (label, ms(typical['shown']), '; '.join(
            '%s %d %d%s at %s' % (u, st, b, '' if span == '-' else ' ' + span, ms(a)) for u, st, b, span, a in typical['list'])))
    table(rows)


if __name__ == '__main__':
    main(globals())
PY

# --- the measures ---------------------------------------------------------------------
source "$root/scripts/xvfb.sh"
start_xvfb "$work" 1920x1080
mkdir -m 700 "$work/xdg"
export XDG_RUNTIME_DIR="$work/xdg" VIEWER="$build/tesseline" WORK="$work" PYTHONPATH="$root/scripts" PYTHONDONTWRITEBYTECODE=1
measure() {
    echo "$1..." >&2
    /usr/bin/python3 "$work/driver.py" "$1" "$2" >>"$work/results"
}
far=http://127.0.0.1:$far
tls=https://127.0.0.1:$far_tls
near=http://127.0.0.1:$port
measure v3 '{"url": "'$far'/three3.zarr"}'
measure launch '{"runs": 7, "cases": [
    {"label": "bare", "args": [], "textured": false},
    {"label": "v2-http-3", "args": ["'$far'/three.zarr"], "textured": true, "proxy": "http"},
    {"label": "v2-h2-3", "args": ["'$tls'/three.zarr"], "textured": true, "proxy": "tls"},
    {"label": "v3-http-3", "args": ["'$far'/three3.zarr"], "textured": true, "proxy": "http"},
    {"label": "v3-h2-3", "args": ["'$tls'/three3.zarr"], "textured": true, "proxy": "tls"},
    {"label": "v2-near-3", "args": ["'$near'/three.zarr"], "textured": true}]}'
measure steps '{"rounds": 5, "steps": 6, "kinds": {
    "v2-http-3": {"reader": "tesseline", "args": ["'$far'/three.zarr"], "proxy": "http"},
    "v2-http-1": {"reader": "tesseline", "args": ["'$far'/one.zarr"], "proxy": "http"},
    "v2-h2-3": {"reader": "tesseline", "args": ["'$tls'/three.zarr"], "proxy": "tls"},
    "v2-h2-1": {"reader": "tesseline", "args": ["'$tls'/one.zarr"], "proxy": "tls"},
    "v3-http-3": {"reader": "tesseline", "args": ["'$far'/three3.zarr"], "proxy": "http"},
    "v3-http-1": {"reader": "tesseline", "args": ["'$far'/one3.zarr"], "proxy": "http"},
    "v3-h2-3": {"reader": "tesseline", "args": ["'$tls'/three3.zarr"], "proxy": "tls"},
    "v3-h2-1": {"reader": "tesseline", "args": ["'$tls'/one3.zarr"], "proxy": "tls"},
    "v2-near-3": {"reader": "tesseline", "args": ["'$near'/three.zarr"]},
    "v2-near-1": {"reader": "tesseline", "args": ["'$near'/one.zarr"]},
    "zarr-http-3": {"reader": "zarr", "url": "'$far'/three.zarr", "channels": 3, "proxy": "http", "rows": 1024, "columns": 2048},
    "zarr-http-1": {"reader": "zarr", "url": "'$far'/one.zarr", "channels": 1, "proxy": "http", "rows": 1024, "columns": 2048},
    "zarr-tls-3": {"reader": "zarr", "url": "'$tls'/three.zarr", "channels": 3, "proxy": "tls", "rows": 1024, "columns": 2048},
    "zarr-tls-1": {"reader": "zarr", "url": "'$tls'/one.zarr", "channels": 1, "proxy": "tls", "rows": 1024, "columns": 2048},
    "zarr-near-3": {"reader": "zarr", "url": "'$near'/three.zarr", "channels": 3, "rows": 1024, "columns": 2048},
    "zarr-near-1": {"reader": "zarr", "url": "'$near'/one.zarr", "channels": 1, "rows": 1024, "columns": 2048}}}'

echo
echo "Machine: $(nproc) cores ($(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -1)), $(. /etc/os-release && echo "$PRETTY_NAME"),"\
     "Qt $(dpkg-query -W -f='${Version}' libqt6core6 2>/dev/null | cut -d- -f1), libcurl $(dpkg-query -W -f='${Version}' libcurl4 2>/dev/null | cut -d- -f1)"\
     "with nghttp2 $(dpkg-query -W -f='${Version}' libnghttp2-14 2>/dev/null | cut -d- -f1), $(/usr/sbin/nginx -v 2>&1 | sed 's/.*: //'),"\
     "python3-zarr $(dpkg-query -W -f='${Version}' python3-zarr | cut -d+ -f1), fsspec $(dpkg-query -W -f='${Version}' python3-fsspec | cut -d- -f1),"\
     "aiohttp $(dpkg-query -W -f='${Version}' python3-aiohttp | cut -d- -f1); load average before $load_before,"\
     "after $(cut -d' ' -f1-3 /proc/loadavg); $(( $(date +%s) - started )) s in all"
/usr/bin/python3 "$work/driver.py" summary '{"results": "'$work'/results"}'
