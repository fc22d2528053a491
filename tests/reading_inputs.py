#!/usr/bin/python3
# Writes the inputs of tst_reading into the folder given: NAME.tif, or a
# folder NAME of one file per time point, beside NAME.raw, the samples as
# numpy holds them (planes, [channels,] rows, columns, machine byte order).
import os, subprocess, sys, numpy as np, tifffile
out = sys.argv[1] + '/'
rng = np.random.default_rng(7)

def samples(dtype, shape=(3, 37, 45)):
    if np.dtype(dtype).kind == 'f':
        return (rng.standard_normal(shape) * 1000).astype(dtype)
    info = np.iinfo(dtype)
    return rng.integers(info.min, info.max, shape, dtype=dtype, endpoint=True)

def w(name, data, raw=True, **kw):
    tifffile.imwrite(out + name + '.tif', data, **{'photometric': 'minisblack', 'metadata': {'axes': 'ZYX'}, **kw})
    if raw:
        data.tofile(out + name + '.raw')

# ImageJ's large stacks: one page, the samples of the other planes after its own.
def imagej(name, data, byteorder, raw=True):
    w(name, data[0], False, byteorder=byteorder, metadata=None,
      description='ImageJ=1.54f\nimages=%d\nslices=%d\nloop=false\n' % (len(data), len(data)))
    with open(out + name + '.tif', 'ab') as f:
        f.write(data[1:].astype(data.dtype.newbyteorder(byteorder)).tobytes())
    if raw:
        data.tofile(out + name + '.raw')

w('strip_u16', samples(np.uint16), rowsperstrip=37)
w('strips_i16_be', samples(np.int16), rowsperstrip=4, byteorder='>')
w('deflate_u16', samples(np.uint16), rowsperstrip=6, compression='zlib', predictor=True)
w('lzw_u8', samples(np.uint8), rowsperstrip=7)
# tifffile writes no LZW of its own.
subprocess.run(['tiffcp', '-c', 'lzw:2', '-r', '7', out + 'lzw_u8.tif', out + 'lzw.tif'], check=True)
os.replace(out + 'lzw.tif', out + 'lzw_u8.tif')
w('tiles_f32_be', samples(np.float32), tile=(16, 16), byteorder='>')
w('tiles_deflate_u8', samples(np.uint8), tile=(32, 16), compression='zlib')
w('planar_rgb_u16', samples(np.uint16, (3, 3, 37, 45)), photometric='rgb', planarconfig='separate', rowsperstrip=5,
  metadata={'axes': 'ZSYX'})
imagej('imagej_be_u16', samples(np.uint16), '>')
imagej('imagej_be_u32', samples(np.uint32), '>')
# tifffile's own, of two channels.
for name, dtype, order in (('imagej_tifffile_be_f32', np.float32, '>'), ('imagej_tifffile_le_u16', np.uint16, '<')):
    w(name, samples(dtype, (3, 2, 37, 45)), imagej=True, truncate=True, byteorder=order, metadata={'axes': 'ZCYX'})

# Two planes of 2048 x 2048 16-bit samples in each layout, their samples in one file for all.
big = np.arange(2048 * 2048, dtype=np.uint16).reshape(1, 2048, 2048) * np.ones((2, 1, 1), np.uint16)
big.tofile(out + 'big.raw')
for name, kw in (('strip', dict(rowsperstrip=2048)), ('strips', dict(rowsperstrip=16)),
                 ('deflate', dict(rowsperstrip=16, compression='zlib')), ('tiles', dict(tile=(256, 256))),
                 ('tiles_deflate', dict(tile=(256, 256), compression='zlib'))):
    w('big_' + name, big, False, **kw)
imagej('big_imagej', big, '>', False)
for name in ('strip', 'strips', 'deflate', 'tiles', 'tiles_deflate', 'imagej'):
    os.symlink('big.raw', out + 'big_' + name + '.raw')

series = samples(np.uint8, (1100, 3, 4))
os.makedirs(out + 'series')
for t, plane in enumerate(series):
    tifffile.imwrite(out + 'series/cell_t%04d.tif' % t, plane, metadata=None)
series.tofile(out + 'series.raw')
