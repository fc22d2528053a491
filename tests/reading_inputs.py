#!/usr/bin/python3
# Writes the stacks of tst_reading into the folder given: NAME.tif, a stack
# of focal planes, beside NAME.raw, its samples as numpy holds them
# (planes, [channels,] rows, columns, machine byte order).
import os, subprocess, sys, numpy as np, tifffile
out = sys.argv[1]
Z, H, W = 3, 37, 45
rng = np.random.default_rng(7)

def samples(dtype):
    if np.dtype(dtype).kind == 'f':
        return (rng.standard_normal((Z, H, W)) * 1000).astype(dtype)
    info = np.iinfo(dtype)
    return rng.integers(info.min, info.max, (Z, H, W), dtype=dtype, endpoint=True)

def w(name, data, raw=True, **kw):
    tifffile.imwrite(os.path.join(out, name + '.tif'), data, photometric='minisblack', metadata={'axes': 'ZYX'}, **kw)
    if raw:
        data.tofile(os.path.join(out, name + '.raw'))

# ImageJ's large stacks: one page, the samples of the other planes after its own.
def imagej(name, data, byteorder, raw=True):
    path = os.path.join(out, name + '.tif')
    description = 'ImageJ=1.54f\nimages=%d\nslices=%d\nloop=false\n' % (len(data), len(data))
    tifffile.imwrite(path, data[0], byteorder=byteorder, photometric='minisblack', description=description,
                     metadata=None)
    with tifffile.TiffFile(path) as f:
        assert f.pages[0].dataoffsets[0] + data[0].nbytes == os.path.getsize(path)
    with open(path, 'ab') as f:
        f.write(data[1:].astype(data.dtype.newbyteorder(byteorder)).tobytes())
    if raw:
        data.tofile(os.path.join(out, name + '.raw'))

w('strip_u16', samples(np.uint16), rowsperstrip=H)
w('strip_f32', samples(np.float32), rowsperstrip=H)
w('strips_u8', samples(np.uint8), rowsperstrip=5)
w('strips_i16_be', samples(np.int16), rowsperstrip=4, byteorder='>')
w('strips_u32', samples(np.uint32), rowsperstrip=8)
w('deflate_u16', samples(np.uint16), rowsperstrip=6, compression='zlib', predictor=True)
w('deflate_strip_f32', samples(np.float32), rowsperstrip=H, compression='zlib')
# tifffile writes no LZW of its own.
w('lzw_u8', samples(np.uint8), rowsperstrip=7)
subprocess.run(['tiffcp', '-c', 'lzw:2', '-r', '7', os.path.join(out, 'lzw_u8.tif'), os.path.join(out, 'lzw.tif')], check=True)
os.replace(os.path.join(out, 'lzw.tif'), os.path.join(out, 'lzw_u8.tif'))
w('tiles_u16', samples(np.uint16), tile=(16, 32))
# Red, green and blue planes of each page.
data = np.stack([samples(np.uint16) for c in range(3)], axis=1)
tifffile.imwrite(os.path.join(out, 'planar_rgb_u16.tif'), data, photometric='rgb', planarconfig='separate',
                 rowsperstrip=5, metadata={'axes': 'ZSYX'})
data.tofile(os.path.join(out, 'planar_rgb_u16.raw'))
w('tiles_f32_be', samples(np.float32), tile=(16, 16), byteorder='>')
w('tiles_deflate_u8', samples(np.uint8), tile=(32, 16), compression='zlib')
for dtype, kind in ((np.uint8, 'u8'), (np.uint16, 'u16'), (np.uint32, 'u32'), (np.float32, 'f32')):
    imagej('imagej_be_' + kind, samples(dtype), '>')
    imagej('imagej_le_' + kind, samples(dtype), '<')
# tifffile's own: focal planes of two channels each.
for dtype, byteorder, kind in ((np.float32, '>', 'be_f32'), (np.uint16, '<', 'le_u16')):
    data = np.concatenate([samples(dtype), samples(dtype)]).reshape(3, 2, H, W)
    tifffile.imwrite(os.path.join(out, 'imagej_tifffile_' + kind + '.tif'), data, imagej=True, truncate=True,
                     byteorder=byteorder, metadata={'axes': 'ZCYX'})
    data.tofile(os.path.join(out, 'imagej_tifffile_' + kind + '.raw'))

# Large planes, to count what reading one row or column of each costs: sample (x, y) is x + 2048 y, in 16 bits.
big = np.arange(2048 * 2048, dtype=np.uint16).reshape(1, 2048, 2048) * np.ones((2, 1, 1), np.uint16)
for name, kw in (('big_strip', dict(rowsperstrip=2048)), ('big_strips', dict(rowsperstrip=16)),
                 ('big_deflate', dict(rowsperstrip=16, compression='zlib')),
                 ('big_tiles', dict(tile=(256, 256))), ('big_tiles_deflate', dict(tile=(256, 256), compression='zlib'))):
    w(name, big, raw=False, **kw)
imagej('big_imagej', big, '>', raw=False)

# A long series of tiny files, one time point each.
os.makedirs(os.path.join(out, 'series'))
for t in range(1100):
    tifffile.imwrite(os.path.join(out, 'series', 'cell_t%04d.tif' % t), np.full((3, 4), t % 251, np.uint8),
                     metadata=None)
