#!/usr/bin/python3
"""Writes the inputs of tst_import into the folder given; or, with
--project FILE KIND FIRST LAST, prints numpy's projection of a hyperstack's
focal planes FIRST to LAST as float64 (T, C, H, W).

Most stacks have 3 time points, 4 focal planes and up to 3 channels of
64 x 48 pixels.  Every plane is flat and carries its own indices: with
i = t * 4 + z, channel c maps to the 8-bit value level(c, i), whatever the
order the file stores its planes in.  16-bit channel c holds
level * 100 + 1000 * c, so that its window is 1000c:1000c+25500.
"""
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import numpy as np
import tifffile

T, Z, H, W = 3, 4, 48, 64

if sys.argv[1] == '--project':
    stack = tifffile.imread(sys.argv[2]).astype(np.float64)[:, int(sys.argv[4]):int(sys.argv[5]) + 1]
    reduce = {'max': np.max, 'mean': np.mean, 'min': np.min, 'sum': np.sum, 'sd': np.std}[sys.argv[3]]
    sys.stdout.buffer.write(reduce(stack, axis=1).tobytes())
    sys.exit()
out = Path(sys.argv[1])


def level(c, i):
    return (16 + 18 * i, 214 - 18 * i, 60 + 12 * i)[c]


def planes(channels, raw, times=T, focal=Z):
    """A (T, Z, C, H, W) stack whose planes hold raw(c, level)."""
    a = np.empty((times, focal, channels, H, W), np.float64)
    for t in range(times):
        for z in range(focal):
            for c in range(channels):
                a[t, z, c] = raw(c, level(c, t * focal + z))
    return a


def u16(c, v):
    return v * 100 + 1000 * c


def lut(colour):
    return (np.outer(np.array(colour, np.uint32), np.arange(256)) // 255).astype(np.uint8)


def write(name, data, **kw):
    # tifffile would store a first axis of 3 or 4 as the samples of RGB(A) planes.
    kw.setdefault('photometric', 'minisblack')
    tifffile.imwrite(out / name, data, **kw)


def png(path, plane):
    """A 16-bit grey PNG: Python alone, without an imaging library."""
    rows = b''.join(b'\0' + row.astype('>u2').tobytes() for row in plane)
    def chunk(kind, body):
        return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))
    path.write_bytes(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', W, H, 16, 0, 0, 0, 0))
                     + chunk(b'IDAT', zlib.compress(rows)) + chunk(b'IEND', b''))


def jpeg(path, value):
    pgm = path.with_suffix('.pgm')
    pgm.write_bytes(b'P5 %d %d 255\n' % (W, H) + bytes([value]) * (W * H))
    subprocess.run(['cjpeg', '-quality', '100', '-outfile', str(path), str(pgm)], check=True)
    pgm.unlink()


one = planes(1, u16)[:, :, 0].astype(np.uint16)                 # T, Z, H, W
two = planes(2, u16).astype(np.uint16)
three = planes(3, u16).astype(np.uint16)
green, magenta = (0, 255, 0), (255, 0, 255)

# ImageJ hyperstacks: display ranges and colours from the file, or none.
write('ij16.tif', two, imagej=True, metadata={'axes': 'TZCYX', 'Ranges': (0, 25500, 1000, 26500),
                                              'LUTs': [lut(green), lut(magenta)]})
write('ij3.tif', three, imagej=True, metadata={'axes': 'TZCYX'})
write('ij8.tif', planes(1, lambda c, v: v)[:, :, 0].astype(np.uint8), imagej=True, metadata={'axes': 'TZYX'})
write('ijminmax.tif', one + 5000, imagej=True, metadata={'axes': 'TZYX', 'min': 5000.0, 'max': 30500.0})

# OME-TIFF in two dimension orders, colours magenta and green (RGBA as signed 32 bits).
colours = {'Color': [-16711681, 16711935]}
write('xyzct.ome.tif', two.transpose(0, 2, 1, 3, 4), ome=True, metadata={'axes': 'TCZYX', 'Channel': colours})
write('xyctz.ome.tif', two.transpose(1, 0, 2, 3, 4), ome=True, metadata={'axes': 'ZTCYX', 'Channel': colours})
# Pages stored backwards, each found by a TiffData element of its own.
xyzct = two.transpose(0, 2, 1, 3, 4).reshape(-1, H, W)
tiffdata = ''.join(f'<TiffData IFD="{23 - k}" FirstZ="{k % 4}" FirstC="{k // 4 % 2}" FirstT="{k // 8}" PlaneCount="1"/>'
                   for k in range(24))
write('tiffdata.ome.tif', xyzct[::-1].copy(), metadata=None, description=(
    '<?xml version="1.0" encoding="UTF-8"?><OME xmlns="http://www.openmicroscopy.org/Schemas/OME/2016-06">'
    '<Image ID="Image:0"><Pixels ID="Pixels:0" DimensionOrder="XYZCT" Type="uint16" SizeX="64" SizeY="48" '
    'SizeZ="4" SizeC="2" SizeT="3"><Channel ID="Channel:0:0" SamplesPerPixel="1" Color="-16711681"/>'
    '<Channel ID="Channel:0:1" SamplesPerPixel="1" Color="16711935"/>' + tiffdata + '</Pixels></Image></OME>'))

# tifffile's own shape description, in its variants of storage and sample type.
shape = {'metadata': {'axes': 'TZYX'}}
write('shape.tif', one, **shape)
write('bigtiff.tif', one, bigtiff=True, **shape)
write('tiled.tif', one, tile=(32, 32), **shape)
write('zlib.tif', one, compression='zlib', **shape)
write('bigendian.tif', one, byteorder='>', **shape)
write('int16.tif', (one.astype(np.int32) - 12800).astype(np.int16), **shape)
write('uint32.tif', one.astype(np.uint32) * 100, **shape)
write('int32.tif', (one.astype(np.int64) * 100 - 1000000).astype(np.int32), **shape)
write('float32.tif', planes(1, lambda c, v: v / 255)[:, :, 0].astype(np.float32), **shape)
write('rgb8.tif', planes(3, lambda c, v: v).transpose(0, 1, 3, 4, 2).astype(np.uint8), photometric='rgb',
      metadata={'axes': 'TZYXS'})
write('rgb16.tif', three.transpose(0, 1, 3, 4, 2), photometric='rgb', metadata={'axes': 'TZYXS'})
palette = np.zeros((3, 256), np.uint16)
palette[0] = np.arange(256) * 257
palette[1] = np.arange(256) // 2 * 257
write('palette.tif', planes(1, lambda c, v: v)[:, :, 0].astype(np.uint8), photometric='palette',
      colormap=palette, **shape)

# No metadata: pages with focal planes fastest, or time points fastest; then
# the same pages as libtiff's tiffcp rewrites them.
write('plain.tif', one.reshape(T * Z, H, W), metadata=None)
write('plaintz.tif', one.transpose(1, 0, 2, 3).reshape(T * Z, H, W), metadata=None)
write('plain8.tif', planes(1, lambda c, v: v)[:, :, 0].astype(np.uint8).reshape(T * Z, H, W), metadata=None)
for name, args, source in [('lzw', ['-c', 'lzw'], 'plain'), ('deflate', ['-c', 'zip'], 'plain'),
                           ('packbits', ['-c', 'packbits'], 'plain'), ('tiles', ['-t', '-w', '16', '-l', '16'], 'plain'),
                           ('strips', ['-s', '-r', '5'], 'plain'), ('jpeg', ['-c', 'jpeg:95'], 'plain8')]:
    subprocess.run(['tiffcp', *args, str(out / f'{source}.tif'), str(out / f'tiffcp-{name}.tif')], check=True)

# Series of files: a stack per time point, of one channel or of each
# channel; PNG planes numbered 1 to 12 without padding; JPEG planes numbered
# from 1 and 5 as --pattern finds them, once whole and once with a gap at
# t = 1, z = 2.
for folder in ['tiffs', 'channels', 'pngs', 'jpegs', 'gap']:
    (out / folder).mkdir()
for t in range(T):
    write(f'tiffs/cell_t{t + 1}.tif', one[t], metadata={'axes': 'ZYX'})
    for c in range(2):
        write(f'channels/C{c + 1}-cell_t{t + 1}.tif', two[t, :, c], metadata={'axes': 'ZYX'})
for t in range(T * Z):
    png(out / f'pngs/cell_t{t + 1}.png', np.full((H, W), u16(0, level(0, t)), np.uint16))
for t in range(T):
    for z in range(Z):
        jpeg(out / f'jpegs/img-{z + 1}-{t + 5}.jpg', level(0, t * Z + z))
        if (t, z) != (1, 2):
            jpeg(out / f'gap/img-{z + 1}-{t + 5}.jpg', level(0, t * Z + z))

# Projections: 2 time points of 5 focal planes, 2 channels of 32 x 24, each
# pixel's values a wave over the planes; with physical sizes.
y, x = np.mgrid[0:24, 0:32]
proj = np.array([[[3000 + 150 * x + 100 * y + 2000 * t + 1000 * c + (500 + 60 * y) * np.cos(2 * np.pi * (z / 5 + x / 32))
                   for c in range(2)] for z in range(5)] for t in range(2)]).round().astype(np.uint16)
write('proj.tif', proj, imagej=True, resolution=(4, 2),
      metadata={'axes': 'TZCYX', 'Ranges': (0, 16000, 1000, 17000), 'spacing': 2.5, 'unit': 'um'})

# Brightness: a ramp of 0..9999 once, and again after a black plane; clipping.
ramp = np.arange(10000, dtype=np.uint16).reshape(100, 100)
write('ramp.tif', ramp, metadata=None)
write('ramp2.tif', np.stack([np.zeros_like(ramp), ramp]), metadata=None)
write('clip.tif', np.stack([np.full((H, W), v, np.uint16) for v in (500, 1500, 60000)]), metadata=None)

# Time points 999 and 1000: the names grow a digit.
write('long.tif', np.zeros((1001, 8, 8), np.uint8), metadata=None)

# Bad input.
(out / 'text.tif').write_text('not an image\n')
(out / 'truncated.tif').write_bytes((out / 'ij16.tif').read_bytes()[:20000])
with tifffile.TiffWriter(out / 'sizes.tif') as tif:
    tif.write(np.zeros((H, W), np.uint16), metadata=None)
    tif.write(np.zeros((H // 2, W // 2), np.uint16), metadata=None)
write('ijlie.tif', one.reshape(T * Z, H, W), metadata=None,
      description='ImageJ=1.11a\nimages=24\nchannels=2\nslices=4\nframes=3\nhyperstack=true\n')
ome = (out / 'xyzct.ome.tif').read_bytes()
assert ome.count(b'SizeT="3"') == 1
(out / 'omelie.ome.tif').write_bytes(ome.replace(b'SizeT="3"', b'SizeT="5"'))
write('ten.tif', np.zeros((10, H, W), np.uint8), metadata=None)
rng = np.random.default_rng(1)
write('noise.tif', rng.integers(0, 256, (4, 256, 256), np.uint8), metadata=None)
# Large enough to interrupt in the middle.
write('large.tif', rng.integers(0, 256, (60, 1024, 1024), np.uint8), metadata=None)
