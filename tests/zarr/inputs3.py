#!/usr/bin/python3
# Writes the Zarr v3 / OME-Zarr 0.5 inputs of tst_zarr3 into the folder
# given, with a small writer of its own (numpy, zlib, numcodecs), and a few
# Zarr v2 arrays written by hand.  Beside each: manifest.json (axes, shape)
# and expected.f8, every sample of the finest level as float64, fill values
# included.
import gzip, json, os, random, struct, sys
import numcodecs, numpy as np

out = sys.argv[1]


def crc32c(data):
    table = crc32c.table
    crc = 0xFFFFFFFF
    for b in data:
        crc = table[(crc ^ b) & 255] ^ (crc >> 8)
    return crc ^ 0xFFFFFFFF


crc32c.table = []
for i in range(256):
    c = i
    for _ in range(8):
        c = 0x82F63B78 ^ (c >> 1) if c & 1 else c >> 1
    crc32c.table.append(c)
assert crc32c(b'123456789') == 0xE3069283


def values(shape, axes, dtype):
    grids = np.ogrid[tuple(slice(0, n) for n in shape)]
    weights = {'t': 1601, 'c': 401, 'z': 101, 'y': 13, 'x': 7}
    v = 1 + sum(weights[a] * g for a, g in zip(axes, grids))
    kind = np.dtype(dtype)
    if kind.itemsize == 1:
        return (v % 251).astype(dtype)
    if kind.itemsize == 4 and kind.kind != 'f':   # past 16 bits, so swapped halves show
        return (v * 70001 * (-1 if kind.kind == 'i' else 1)).astype(dtype)
    v = v % 30011
    if kind.kind == 'i':
        v = v - 15000
    if kind.kind == 'f':
        v = v + 0.5
    return v.astype(dtype)


def encode(block, codecs):
    """block: a chunk's samples; codecs: (name, configuration) in order."""
    data = block
    for name, conf in codecs:
        if name == 'transpose':
            data = np.ascontiguousarray(np.transpose(data, conf['order']))
        elif name == 'bytes':
            data = data.astype(data.dtype.newbyteorder('>' if conf.get('endian') == 'big' else '<')).tobytes()
        elif name == 'gzip':
            data = gzip.compress(data, conf['level'], mtime=0)
        elif name == 'zstd':
            data = numcodecs.Zstd(conf['level']).encode(data)
        elif name == 'blosc':
            data = numcodecs.Blosc(conf['cname'], conf['clevel'], numcodecs.Blosc.SHUFFLE, 0).encode(
                np.frombuffer(data, dtype=block.dtype))
        elif name == 'crc32c':
            data = data + struct.pack('<I', crc32c(data))
    return data


def codec_json(codecs):
    return [{'name': n, 'configuration': c} if c else {'name': n} for n, c in codecs]


def chunk_of(data, index, chunks, fill):
    block = np.full(chunks, fill, dtype=data.dtype)
    parts = tuple(slice(i * c, min((i + 1) * c, n)) for i, c, n in zip(index, chunks, data.shape))
    block[tuple(slice(0, p.stop - p.start) for p in parts)] = data[parts]
    return block


def write_array(path, data, chunks, codecs, shard=None, index_start=False, index_crc=True, key='default', sep='/',
                fill=0, absent=lambda index: False, dtype_name=None, fill_json=None):
    """Writes a Zarr v3 array; absent(index) leaves out the chunk (sharded: the inner chunk) at that grid index."""
    os.makedirs(path, exist_ok=True)
    grid = shard or chunks
    index_codecs = [('bytes', {'endian': 'little'})] + ([('crc32c', None)] if index_crc else [])
    meta = {'zarr_format': 3, 'node_type': 'array', 'shape': list(data.shape), 'data_type': dtype_name or str(data.dtype),
            'chunk_grid': {'name': 'regular', 'configuration': {'chunk_shape': list(grid)}},
            'chunk_key_encoding': {'name': key, 'configuration': {'separator': sep}},
            'fill_value': fill if fill_json is None else fill_json, 'attributes': {},
            'codecs': codec_json(codecs) if not shard else [{'name': 'sharding_indexed', 'configuration': {
                'chunk_shape': list(chunks), 'codecs': codec_json(codecs), 'index_codecs': codec_json(index_codecs),
                'index_location': 'start' if index_start else 'end'}}]}
    json.dump(meta, open(os.path.join(path, 'zarr.json'), 'w'), indent=1)
    rng = random.Random(len(path))
    for g in np.ndindex(*[-(-n // c) for n, c in zip(data.shape, grid)]):
        name = os.path.join(path, *((['c'] if key == 'default' else []) + [str(i) for i in g])) if sep == '/' else \
            os.path.join(path, ('c.' if key == 'default' else '') + '.'.join(str(i) for i in g))
        os.makedirs(os.path.dirname(name), exist_ok=True)
        if not shard:
            if not absent(g):
                open(name, 'wb').write(encode(chunk_of(data, g, chunks, fill), codecs))
            continue
        per = [s // c for s, c in zip(shard, chunks)]
        inner = list(np.ndindex(*per))
        pieces = {}
        for k, i in enumerate(inner):
            index = tuple(a * p + b for a, p, b in zip(g, per, i))
            if any(x * c >= n for x, c, n in zip(index, chunks, data.shape)) or absent(index):
                continue
            pieces[k] = encode(chunk_of(data, index, chunks, fill), codecs)
        if not pieces:
            continue
        order = list(pieces)
        rng.shuffle(order)
        index_bytes = 16 * len(inner) + (4 if index_crc else 0)
        entries = [(2 ** 64 - 1, 2 ** 64 - 1)] * len(inner)
        body, at = b'', index_bytes if index_start else 0
        for k in order:
            entries[k] = (at, len(pieces[k]))
            body += pieces[k]
            at += len(pieces[k])
        index = b''.join(struct.pack('<QQ', *e) for e in entries)
        if index_crc:
            index += struct.pack('<I', crc32c(index))
        open(name, 'wb').write(index + body if index_start else body + index)


def expected(path, data, axes):
    json.dump({'axes': axes, 'shape': list(data.shape)}, open(os.path.join(path, 'manifest.json'), 'w'))
    data.astype('<f8').tofile(os.path.join(path, 'expected.f8'))


def image(name, axes, shape, dtype, chunks, codecs, levels=1, fill=0, absent=lambda index: False, **options):
    """An OME-Zarr 0.5 image of levels halved in y and x."""
    path = os.path.join(out, name)
    datasets = []
    for level in range(levels):
        f = 2 ** level
        level_shape = [max(1, n // f) if a in 'yx' else n for a, n in zip(axes, shape)]
        data = values(level_shape, axes, dtype)
        write_array(os.path.join(path, str(level)), data, chunks, codecs, fill=fill, absent=absent, **options)
        datasets.append({'path': str(level), 'coordinateTransformations': [
            {'type': 'scale', 'scale': [0.5 * f if a in 'yx' else 1.0 for a in axes]}]})
        if level == 0:
            shown = data.astype('f8')
            for index in np.ndindex(*[-(-n // c) for n, c in zip(data.shape, chunks)]):
                if absent(index):
                    shown[tuple(slice(i * c, (i + 1) * c) for i, c in zip(index, chunks))] = fill
    group(path, {'version': '0.5', 'multiscales': [{'name': name, 'axes': [
        {'name': a, 'type': 'space' if a in 'zyx' else 'time' if a == 't' else 'channel', **({'unit': 'micrometer'} if a in 'yx' else {})}
        for a in axes], 'datasets': datasets}],
        'omero': {'channels': [{'label': 'C%d' % c, 'color': 'FF00FF', 'window': {'start': 0, 'end': 1000}}
                               for c in range(shape[axes.index('c')] if 'c' in axes else 1)]}})
    expected(path, shown, axes)


def group(path, ome):
    os.makedirs(path, exist_ok=True)
    json.dump({'zarr_format': 3, 'node_type': 'group', 'attributes': {'ome': ome}}, open(os.path.join(path, 'zarr.json'), 'w'))


def zarr_v2(name, dtype, shape, chunks, fill, missing=(), separator=None):
    """A plain Zarr v2 array, uncompressed, written by hand; no dimension_separator when none is given."""
    path = os.path.join(out, name)
    os.makedirs(path, exist_ok=True)
    axes = 'tczyx'[5 - len(shape):]
    data = values(shape, axes, dtype)
    meta = {'zarr_format': 2, 'shape': shape, 'chunks': chunks, 'dtype': dtype, 'order': 'C', 'fill_value': fill,
            'compressor': None, 'filters': None}
    if separator:
        meta['dimension_separator'] = separator
    json.dump(meta, open(os.path.join(path, '.zarray'), 'w'))
    shown = data.astype('f8')
    kind = np.dtype(dtype)
    for index in np.ndindex(*[-(-n // c) for n, c in zip(shape, chunks)]):
        if index in missing:
            shown[tuple(slice(i * c, (i + 1) * c) for i, c in zip(index, chunks))] = \
                np.nan if fill == 'NaN' and kind.kind == 'f' else 0 if fill == 'NaN' else fill
            continue
        key = (separator or '.').join(str(i) for i in index)
        os.makedirs(os.path.dirname(os.path.join(path, key)), exist_ok=True)
        open(os.path.join(path, key), 'wb').write(chunk_of(data, index, chunks, 0).tobytes())
    expected(path, shown, axes)


gz = [('bytes', {'endian': 'little'}), ('gzip', {'level': 5})]
# Shards with the index at the end and a checksum, inner chunks in any order, some absent, overhanging edges.
image('shard-end', 'tczyx', [2, 2, 3, 37, 45], 'uint16', [1, 1, 1, 16, 16], gz, levels=2,
      shard=[1, 1, 2, 32, 32], fill=7, absent=lambda i: (i[2] + i[3] * 3 + i[4]) % 4 == 1)
# The index at the start without a checksum; big-endian blosc.
image('shard-start', 'zyx', [3, 30, 41], 'int16', [1, 8, 8],
      [('bytes', {'endian': 'big'}), ('blosc', {'cname': 'zstd', 'clevel': 5, 'shuffle': 'shuffle', 'typesize': 2})],
      shard=[3, 16, 16], index_start=True, index_crc=False)
# Transposed chunks, zstd and a crc32c on each; "." between the indices; no shards.
image('transpose', 'cyx', [2, 21, 19], 'float32', [1, 8, 8],
      [('transpose', {'order': [0, 2, 1]}), ('bytes', {'endian': 'little'}), ('zstd', {'level': 3}), ('crc32c', None)],
      sep='.', fill=float('nan'), fill_json='NaN', absent=lambda i: i == (1, 1, 1))
# v2 chunk keys, big-endian 32-bit samples past 16 bits, no compression.
image('v2-keys-u4', 'yx', [20, 21], 'uint32', [8, 8], [('bytes', {'endian': 'big'})], key='v2', sep='.')
image('v2-keys-i4', 'tyx', [2, 9, 10], 'int32', [1, 4, 4], [('bytes', {'endian': 'big'}), ('gzip', {'level': 1})],
      key='v2', sep='/', shard=[2, 8, 8])
# A plain v3 array of three dimensions without OME metadata, at the root.
plain = values([4, 12, 13], 'zyx', 'uint8')
write_array(os.path.join(out, 'plain-v3'), plain, [2, 5, 5], gz, shard=[2, 10, 10])
expected(os.path.join(out, 'plain-v3'), plain.astype('f8'), 'zyx')
# Plain v2 arrays: no dimension_separator (so "."), a fill value "NaN", big-endian 32-bit samples.
zarr_v2('v2-nosep', '<u2', [3, 2, 17, 18], [1, 1, 8, 8], 5, missing=[(1, 0, 1, 1)])
zarr_v2('v2-nan-float', '<f4', [2, 10, 10], [1, 5, 5], 'NaN', missing=[(0, 1, 0)], separator='/')
zarr_v2('v2-nan-int', '<i2', [10, 10], [5, 5], 'NaN', missing=[(1, 1)])
zarr_v2('v2-be-u4', '>u4', [2, 9, 11], [1, 4, 4], 0)
zarr_v2('v2-be-i4', '>i4', [9, 11], [4, 4], 0)

# A plate of two wells, a field in each.
plate = os.path.join(out, 'plate')
group(plate, {'version': '0.5', 'plate': {'wells': [{'path': 'A/1', 'rowIndex': 0, 'columnIndex': 0},
                                                    {'path': 'B/2', 'rowIndex': 1, 'columnIndex': 1}]}})
for well in ('A/1', 'B/2'):
    group(os.path.join(plate, well), {'version': '0.5', 'well': {'images': [{'path': '0'}]}})
    out_saved, out = out, os.path.join(plate, well)
    image('0', 'cyx', [2, 16, 17], 'uint8', [1, 8, 8], gz, shard=[1, 16, 16])
    out = out_saved
expected(plate, np.fromfile(os.path.join(plate, 'A/1/0/expected.f8')).reshape(2, 16, 17), 'cyx')

# Damaged shards: the first shard of a copy of shard-end each time.
bad = os.path.join(out, 'bad')
for name in ('short-index', 'past-end', 'checksum', 'codec', 'not-json'):
    image(os.path.join('bad', name), 'zyx', [2, 20, 20], 'uint16', [1, 10, 10], gz, shard=[2, 20, 20])
first = lambda name: os.path.join(bad, name, '0', 'c', '0', '0', '0')
whole = open(first('short-index'), 'rb').read()
open(first('short-index'), 'wb').write(whole[-30:])
entries = bytearray(whole[-132:])   # 8 chunks and a checksum
struct.pack_into('<Q', entries, 0, len(whole) + 100)
struct.pack_into('<I', entries, 128, crc32c(bytes(entries[:128])))
open(first('past-end'), 'wb').write(whole[:-132] + bytes(entries))
open(first('checksum'), 'wb').write(whole[:-1] + bytes([whole[-1] ^ 1]))
meta = json.load(open(os.path.join(bad, 'codec', '0', 'zarr.json')))
meta['codecs'][0]['configuration']['codecs'][1] = {'name': 'lz4'}
json.dump(meta, open(os.path.join(bad, 'codec', '0', 'zarr.json'), 'w'))
open(os.path.join(bad, 'not-json', 'zarr.json'), 'w').write('{"zarr_format": 3, "node_type": "group", ')
