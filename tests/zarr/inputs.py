#!/usr/bin/python3
# Writes the OME-Zarr images of tst_zarr into the folder given, with Debian's
# python3-zarr: every sample carries its indices,
#   value(t, c, z, y, x) = (1 + 7x + 13y + 101z + 401c + 1601t) mod M
# (M = 251 for 8 bits, 30011 otherwise; 15000 less for signed samples, half
# more for floats), so that any sample read in the wrong place shows.
import json, os, sys
import numcodecs, numpy as np, zarr

out = sys.argv[1]


def values(shape, axes, dtype):
    grids = np.ogrid[tuple(slice(0, n) for n in shape)]
    weights = {'t': 1601, 'c': 401, 'z': 101, 'y': 13, 'x': 7}
    v = 1 + sum(weights[a] * g for a, g in zip(axes, grids))
    kind = np.dtype(dtype)
    if kind.itemsize == 1:
        return (v % 251).astype(dtype)
    v = v % 30011
    if kind.kind == 'i':
        v = v - 15000
    if kind.kind == 'f':
        v = v + 0.5
    return v.astype(dtype)


def image(name, axes, shape, chunks, dtype='<u2', compressor=None, separator='/', levels=1, omero=None,
          missing=(), garbage=(), fill=0):
    path = os.path.join(out, name)
    group = zarr.open_group(path, mode='w')
    datasets = []
    for level in range(levels):
        factor = 2 ** level
        level_shape = [max(1, n // factor) if a in 'yx' else n for a, n in zip(axes, shape)]
        array = zarr.open_array(os.path.join(path, str(level)), mode='w', shape=level_shape, chunks=chunks,
                                dtype=dtype, compressor=compressor, fill_value=fill, dimension_separator=separator)
        array[...] = values(level_shape, axes, dtype)
        datasets.append({'path': str(level), 'coordinateTransformations': [
            {'type': 'scale', 'scale': [float(factor) if a in 'yx' else 1.0 for a in axes]}]})
    group.attrs['multiscales'] = [{'version': '0.4', 'name': name, 'axes': [{'name': a} for a in axes],
                                   'datasets': datasets}]
    if omero:
        group.attrs['omero'] = omero
    for key in missing:
        os.remove(os.path.join(path, key))
    for key in garbage:
        open(os.path.join(path, key), 'wb').write(os.urandom(200))
    # What the test needs to know of it.
    json.dump({'axes': axes, 'shape': shape, 'dtype': dtype, 'levels': levels, 'fill': fill},
              open(os.path.join(path, 'manifest.json'), 'w'))


blosc = numcodecs.Blosc
image('tczyx', 'tczyx', [2, 3, 4, 37, 23], [1, 1, 1, 16, 16], compressor=blosc('lz4', 5, blosc.SHUFFLE))
image('zyx-gzip', 'zyx', [5, 30, 40], [5, 16, 16], dtype='|u1', compressor=numcodecs.GZip(6))
image('cyx-dots', 'cyx', [3, 20, 21], [1, 8, 8], dtype='>u2', compressor=numcodecs.Zlib(1), separator='.')
image('tyx-zstd', 'tyx', [3, 17, 19], [2, 8, 8], dtype='<i2', compressor=numcodecs.Zstd(3))
image('czyx-float', 'czyx', [2, 3, 12, 13], [1, 2, 5, 5], dtype='<f4', compressor=blosc('zstd', 3, blosc.BITSHUFFLE))
image('tyx-double', 'tyx', [2, 9, 10], [1, 4, 4], dtype='<f8', compressor=blosc('blosclz', 5, blosc.NOSHUFFLE))
image('yx-u4', 'yx', [33, 35], [10, 10], dtype='<u4', compressor=blosc('zlib', 5, blosc.SHUFFLE))
image('yx-raw', 'yx', [9, 11], [4, 4], dtype='<u2')
image('missing', 'zyx', [2, 20, 20], [1, 10, 10], compressor=blosc('lz4', 5, blosc.SHUFFLE), missing=['0/1/1/0'], fill=77)
image('garbage', 'zyx', [2, 20, 20], [1, 10, 10], compressor=blosc('lz4', 5, blosc.SHUFFLE), garbage=['0/1/0/1'])
# A pyramid: 2048² in 256² chunks over four levels, two time points, two channels.
image('pyramid', 'tcyx', [2, 2, 2048, 2048], [1, 1, 256, 256], compressor=blosc('lz4', 5, blosc.SHUFFLE), levels=4,
      omero={'channels': [{'label': 'DNA', 'color': 'FF00FF', 'window': {'start': 0, 'end': 30000}},
                          {'label': 'Actin', 'color': '00FF00', 'window': {'start': 0, 'end': 30000}}]})
