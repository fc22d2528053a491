#!/usr/bin/env python3
# Writes the inputs of tst_importread into the folder given: TIFF files by
# tifffile whose samples carry their own (t, z, c), as sampleAt() there
# computes them, and files that must fail.
import base64
import sys, numpy as np, tifffile
out = sys.argv[1]
H, W = 23, 37
def cube(T, Z, C, kind='u16'):
    t, z, c, y, x = np.ogrid[:T, :Z, :C, :H, :W]
    ripple = (x + 2 * y) % 7
    if kind == 'u8':
        a = 40 * t + 10 * z + 3 * c + 1 + ripple
    else:
        a = 1000 * t + 100 * z + 10 * c + 1 + ripple
        a = {'u16': a, 'i16': a - 3000, 'u32': a * 70000, 'i32': a * -70000, 'f32': a + 0.25}[kind]
    types = {'u8': np.uint8, 'u16': np.uint16, 'i16': np.int16, 'u32': np.uint32, 'i32': np.int32, 'f32': np.float32}
    return np.broadcast_to(a, (T, Z, C, H, W)).astype(types[kind])
def pages(T, kind='u16'):
    return cube(T, 1, 1, kind).reshape(T, H, W)
def w(name, data, **kw):
    kw.setdefault('photometric', 'minisblack')
    tifffile.imwrite(out + '/' + name, data, **kw)

w('plain.tif', pages(4))
w('planes.tif', cube(2, 3, 1).reshape(6, H, W))
w('planes-tz.tif', cube(2, 3, 1).transpose(1, 0, 2, 3, 4).reshape(6, H, W))
w('shape-tz.tif', cube(2, 3, 1).reshape(2, 3, H, W))
w('axes-tzc.tif', cube(2, 3, 2), metadata={'axes': 'TZCYX'})
w('axes-ctz.tif', cube(2, 3, 2).transpose(2, 0, 1, 3, 4), metadata={'axes': 'CTZYX'})
w('axes-q.tif', pages(3), metadata={'axes': 'QYX'})
w('axes-qi.tif', cube(2, 3, 1).reshape(2, 3, H, W), metadata={'axes': 'QIYX'})
w('imagej.tif', cube(2, 3, 2), imagej=True, metadata={'axes': 'TZCYX'})
w('imagej-f32.tif', cube(2, 2, 1, 'f32').reshape(2, 2, H, W), imagej=True, metadata={'axes': 'TZYX'})
for order in ['TZCYX', 'CZTYX', 'ZTCYX', 'TCZYX']:
    perm = ['TZC'.index(a) for a in order[:3]]
    w('ome-' + order + '.tif', cube(2, 3, 2).transpose(*perm, 3, 4), ome=True, metadata={'axes': order})
w('bigtiff.tif', pages(3), bigtiff=True)
w('tiled.tif', pages(3), tile=(16, 16))
w('zlib.tif', pages(3), compression='zlib')
w('strips.tif', pages(3), rowsperstrip=5)
w('bigendian.tif', pages(3), byteorder='>')
for kind in ['u8', 'i16', 'u32', 'i32', 'f32']:
    w(kind + '.tif', pages(3, kind))
w('rgb8.tif', cube(2, 1, 3, 'u8').reshape(2, 3, H, W).transpose(0, 2, 3, 1), photometric='rgb')
w('rgb16-contig.tif', cube(2, 1, 3).reshape(2, 3, H, W).transpose(0, 2, 3, 1), photometric='rgb')
w('rgb16-planar.tif', cube(2, 1, 3).reshape(2, 3, H, W), photometric='rgb', planarconfig='separate')
i = np.arange(256)
# A picture's own palette is turned into colour; palette pages of a stack
# hold a channel's intensities, as ImageJ writes 8-bit channels with a LUT.
w('palette.tif', pages(1, 'u8'), photometric='palette',
  colormap=(np.stack([i, 255 - i, (i * 3) % 256]) * 257).astype(np.uint16))
w('palette-8bit.tif', pages(1, 'u8'), photometric='palette',
  colormap=np.stack([i, 255 - i, (i * 3) % 256]).astype(np.uint16))
ramp = lambda r, g, b, scale=257: (np.outer([r, g, b], i) // 255 * scale).astype(np.uint16)
w('palette-stack.tif', pages(3, 'u8'), photometric='palette', colormap=ramp(255, 0, 255))
w('palette-stack-8bit.tif', pages(3, 'u8'), photometric='palette', colormap=ramp(0, 255, 255, 1))
with tifffile.TiffWriter(out + '/palette-imagej.tif', imagej=True) as f:
    f.write(cube(1, 1, 2, 'u8').reshape(2, H, W), photometric='palette', colormap=ramp(255, 0, 255),
            metadata={'axes': 'CYX', 'LUTs': [np.stack([0 * i, i, 0 * i]).astype(np.uint8),
                                              np.stack([i, 0 * i, 0 * i]).astype(np.uint8)]})
# ImageJ's composite of 16-bit channels: one page of three samples.
w('imagej-rgb48.tif', cube(1, 1, 3).reshape(3, H, W).transpose(1, 2, 0), photometric='rgb', metadata=None,
  description='ImageJ=1.54f\nchannels=3\nmode=composite\nmin=165.0\nmax=2832.0\n')
# Old ImageJ versions give only the number of images.
w('imagej-images.tif', cube(1, 4, 1).reshape(4, H, W), description='ImageJ=1.11a\nimages=4\n', metadata=None)
w('miniswhite.tif', pages(2), photometric='miniswhite')

# ImageJ's display ranges and LUTs; OME's channel colours.
luts = [np.stack([i, 0 * i, 0 * i]).astype(np.uint8), np.stack([i // 2, i, 0 * i]).astype(np.uint8)]
meta = {'axes': 'TCYX', 'Ranges': (10.0, 900.0, 20.5, 3000.0), 'LUTs': luts}
w('imagej-luts.tif', cube(2, 1, 2).reshape(2, 2, H, W), imagej=True, metadata=meta)
w('imagej-luts-be.tif', cube(2, 1, 2).reshape(2, 2, H, W), imagej=True, metadata=meta, byteorder='>')
w('imagej-minmax.tif', pages(3), imagej=True, metadata={'axes': 'ZYX', 'min': 5.0, 'max': 2000.0})
w('ome-colours.tif', cube(1, 1, 2).reshape(2, H, W), ome=True,
  metadata={'axes': 'CYX', 'Channel': {'Name': ['dapi', 'gfp'], 'Color': [-16776961, 16711935]}})

# Two images (stage positions) with their planes interleaved, as Micro-Manager
# writes them, with ImageJ's display range in a second description and its
# tags.  Image 1 holds the planes of cube(); image 0 is black.
planes2 = np.stack([np.zeros((2, H, W), np.uint16), cube(2, 1, 1).reshape(2, H, W)], 1).reshape(4, H, W)
image = lambda k: ('<Image ID="Image:%d" Name="Pos%d"><Pixels ID="Pixels:%d" DimensionOrder="XYCZT" Type="uint16" '
                   'SizeX="37" SizeY="23" SizeC="1" SizeZ="1" SizeT="2">%s</Pixels></Image>') % (k, k, k, ''.join(
                       '<TiffData IFD="%d" FirstT="%d" PlaneCount="1"/>' % (2 * t + k, t) for t in range(2)))
xml = '<?xml version="1.0"?><OME xmlns="http://www.openmicroscopy.org/Schemas/OME/2015-01">%s%s</OME>' % (image(0), image(1))
import struct
ranges = b'IJIJrang' + struct.pack('>I', 1) + struct.pack('>dd', 1030.0, 1041.5)
w('ome-positions.tif', planes2, description=xml, metadata=None, extratags=[
    (270, 's', 0, 'ImageJ=1.49h\nframes=2\nmin=0\nmax=0\n', True),
    (50838, 'I', 2, (12, 16), True), (50839, 'B', len(ranges), ranges, True)])

# Zeiss LSM: pages of every channel (planar), each followed by a thumbnail;
# the counts, scan order and channel colours in CZ_LSMINFO.
def lsm(name, T, Z, scan, claim=None):
    info = bytearray(512)
    struct.pack_into('<IiiiiiiI', info, 0, 0x0400494C, 512, W, H, *(claim or (Z, 3, T)), 1)
    struct.pack_into('<H', info, 88, scan)
    struct.pack_into('<ii', info, 264, 1, 1)
    with tifffile.TiffWriter(out + '/' + name) as f:
        order = [(t, z) for z in range(Z) for t in range(T)] if scan == 3 else [(t, z) for t in range(T) for z in range(Z)]
        for k, (t, z) in enumerate(order):
            plane = cube(T, Z, 3, 'u8')[t, z]
            f.write(plane, photometric='rgb', planarconfig='separate', metadata=None,
                    extratags=[(34412, 'B', len(info), bytes(info), True)] if k == 0 else [])
            f.write(plane[:, ::4, ::4], photometric='rgb', planarconfig='separate', subfiletype=1, metadata=None)
    names = b''.join(struct.pack('<I', len(n) + 1) + n + b'\0' for n in [b'Ch1-T1', b'Ch2-T2', b'T PMT-T2'])
    block = struct.pack('<6I', 24 + 12 + len(names), 3, 3, 24, 36, 0) + bytes([0, 0, 255, 0, 255, 0, 0, 0, 255, 255, 255, 0]) + names
    data = bytearray(open(out + '/' + name, 'rb').read())
    at = data.find(struct.pack('<I', 0x0400494C))
    struct.pack_into('<I', data, at + 108, len(data))
    open(out + '/' + name, 'wb').write(data + block)
lsm('zstack.lsm', 2, 3, 0)
lsm('timeseries.lsm', 3, 2, 3)
lsm('lsm-lies.lsm', 2, 3, 0, claim=(4, 3, 2))

# Series of files.
import os
for d in ['nat', 'tz', 'chan', 'gap', 'zstack', 'ct/c1', 'ct/c2', 'odd', 'dup', 'nomatch', 'timelapses']:
    os.makedirs(out + '/' + d, exist_ok=True)
for n, t in [(1, 0), (2, 1), (10, 2)]:
    w('nat/p_t%d.tif' % n, cube(t + 1, 1, 1)[t, 0, 0])
for t in range(2):
    for z in range(3):
        w('tz/s_t%d_z%d.tif' % (t + 1, z), cube(2, 3, 1)[t, z, 0])
for c in range(2):
    w('chan/C%d-x.tif' % (c + 1), cube(3, 1, 2)[:, 0, c])
    for t in range(3):
        w('ct/c%d/C%d-m_t%d.tif' % (c + 1, c + 1, t), cube(3, 1, 2)[t, 0, c])
for n in [1, 2, 4]:
    w('gap/g_t%d.tif' % n, cube(4, 1, 1)[n - 1, 0, 0])
for t in range(2):
    w('zstack/s_t%d.tif' % t, cube(2, 3, 1)[t, :, 0])
w('odd/a_t0.tif', pages(1)); w('odd/a_t1.tif', pages(1)[:, :20, :20])
w('dup/d_t1.tif', pages(1)); w('dup/d_t01.tif', pages(1))
w('nomatch/m_t0.tif', pages(1)); w('nomatch/other.tif', pages(1))
w('timelapses/x_t0.tif', cube(2, 2, 1).reshape(2, 2, H, W), imagej=True, metadata={'axes': 'TZYX'})
# Series whose names say what their numbers index, by rank; and what they cannot say.
for d in ['letters', 'mm', 'mitocheck', 'positions', 'positions-uneven', 'positions-unnamed', 'unnamed', 'twotimes']:
    os.makedirs(out + '/' + d, exist_ok=True)
for t, z in np.ndindex(2, 3):
    w('letters/cells_T%d_Z%d.tif' % (7 * t, z + 1), cube(2, 3, 1)[t, z, 0])
for t, z, c in np.ndindex(2, 2, 2):
    w('mm/img_channel%03d_position000_time%09d_z%03d.tif' % (c, t, z), cube(2, 2, 2)[t, z, c])
for t in range(3):
    w('mitocheck/EMBO_2012_Group3--W0002--P001--T%05d--Z000--C.tif' % t, cube(3, 1, 1)[t, 0, 0])
# Stage position p's time point t holds plane (t, z = p) of cube().
for a, b in np.ndindex(2, 2):
    w('positions/P%d_T%d.tif' % (a + 1, b), cube(2, 2, 1)[b, a, 0])
    w('positions-unnamed/P%d_img-%d-%d.tif' % (a + 1, a + 1, b + 5), pages(1))
    w('unnamed/img-%d-%d.tif' % (a + 1, b + 5), pages(1))
    w('twotimes/x_t%d_t%d.tif' % (a, b), pages(1))
# Pos0: time points 0 to 2; Pos1: time points 0 and 2 (read as 0 and 1) of two channels.
for p, t, c in [(0, 0, 0), (0, 1, 0), (0, 2, 0), (1, 0, 0), (1, 0, 1), (1, 2, 0), (1, 2, 1)]:
    w('positions-uneven/Pos%d_t%d_c%d.tif' % (p, t, c), cube(3, 2, 2)[t // (1 + p), p, c])

# ImageJ's layout for large stacks: one page, the samples of the others after its own.
for name, order in [('imagej-onepage.tif', '<'), ('imagej-onepage-be.tif', '>')]:
    stack = cube(2, 3, 1).reshape(6, H, W)
    w(name, stack[0], description='ImageJ=1.53t\nimages=6\nslices=3\nframes=2\n', metadata=None, byteorder=order)
    with open(out + '/' + name, 'ab') as f:
        f.write(stack[1:].astype(order + 'u2').tobytes())

# Each page followed by a thumbnail, as Zeiss LSM files have them.
with tifffile.TiffWriter(out + '/thumbnails.tif') as f:
    for page in pages(3):
        f.write(page, photometric='minisblack', metadata=None)
        f.write(page[::4, ::4], photometric='minisblack', subfiletype=1, metadata=None)

# What must fail.
w('sizes.tif', pages(1)[0])
with tifffile.TiffWriter(out + '/sizes.tif', append=True) as f:
    f.write(pages(1)[0, :10, :20], photometric='minisblack')
w('types.tif', pages(1)[0])
with tifffile.TiffWriter(out + '/types.tif', append=True) as f:
    f.write(pages(1, 'u8')[0], photometric='minisblack')
w('imagej-lies.tif', pages(4), description='ImageJ=1.11a\nimages=6\nchannels=2\nslices=3\n', metadata=None)
w('shape-lies.tif', pages(4), description='{"shape": [5, 23, 37]}', metadata=None)
w('f64.tif', pages(2).astype(np.float64))
data = open(out + '/plain.tif', 'rb').read()
open(out + '/truncated.tif', 'wb').write(data[:len(data) - 300])
w('one.tif', pages(1))
open(out + '/truncated-samples.tif', 'wb').write(open(out + '/one.tif', 'rb').read()[:1000])
open(out + '/text.tif', 'wb').write(b'II*\0' + b'\xff' * 12)
open(out + '/notimage.png', 'w').write('hello\n')
# A directory on which libtiff's own message runs over two lines.
open(out + '/inks.tif', 'wb').write(base64.b64decode(
    'SUkqAAgAAAAOAAABBAABAAAAJQAAAAEBBAABAAAAFwAAAAIBAwABAAAAEIlQzk4BAwABAAAACAAAAAYBA8UCAAAAAAAAAA4BAgAXAAAAtgAAABEB'
    'BIABAAAAAAEAABUBAwABAAAA////HP//////////////////////////////////////////////////////AAEAAAAxAQAMAAACAO4AAAAkAQAA'
    'eyJfHOWN8kZ5o7xR3ig0AAAAbxDxAEYO2Bo='))
def ome(name, data, sizes, tiffData):
    xml = ('<?xml version="1.0" encoding="UTF-8"?><OME xmlns="http://www.openmicroscopy.org/Schemas/OME/2016-06">'
           '<Image ID="Image:0"><Pixels ID="Pixels:0" DimensionOrder="XYCZT" Type="uint16" SizeX="%d" SizeY="%d" '
           'SizeC="%d" SizeZ="%d" SizeT="%d">%s</Pixels></Image></OME>') % (sizes + (tiffData,))
    w(name, data, description=xml, metadata=None)
planes = cube(2, 3, 2).reshape(12, H, W)
ome('ome-lies-sizet.tif', planes, (37, 23, 2, 3, 9), '<TiffData/>')
ome('ome-lies-ifd.tif', planes, (37, 23, 2, 3, 2), '<TiffData IFD="5" PlaneCount="12"/>')
ome('ome-lies-sizex.tif', planes, (38, 23, 2, 3, 2), '')
ome('ome-other-file.tif', planes, (37, 23, 2, 3, 2), '<TiffData><UUID FileName="x.ome.tif">urn:uuid:1</UUID></TiffData>')
ome('ome-tiffdata-all.tif', planes, (37, 23, 2, 3, 2), '<TiffData/>')
# One TiffData per plane, the pages in reverse order.
ome('ome-tiffdata.tif', planes[::-1], (37, 23, 2, 3, 2), ''.join(
    '<TiffData IFD="%d" FirstC="%d" FirstZ="%d" FirstT="%d"><UUID FileName="ome-tiffdata.tif">urn:uuid:1</UUID></TiffData>'
    % (11 - k, k % 2, k // 2 % 3, k // 6) for k in range(12)))

# Cut short: an ImageJ hyperstack in its eighth directory, ImageJ's one-page
# layout in its fifth image.  And pages without metadata, one of another size.
for name, cut in [('imagej', lambda f: f.pages[7].offset + 4), ('imagej-onepage', lambda f: f.pages[0].dataoffsets[0] + 9 * H * W)]:
    with tifffile.TiffFile(out + '/' + name + '.tif') as f:
        open(out + '/' + name + '-cut.tif', 'wb').write(open(out + '/' + name + '.tif', 'rb').read()[:cut(f)])
for k, page in enumerate(pages(3)):
    w('odd-page.tif', page[:10, :20] if k == 1 else page, metadata=None, append=True)
