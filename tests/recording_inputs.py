#!/usr/bin/python3
# Writes the recordings of tst_recording into the folder given.  Every
# sample carries its plane's indices and a ripple across the frame:
# 16-bit channel c of (t, z) holds 1000 + 400 * t + 100 * z + 2000 * c + ripple.
import os, sys, numpy as np, tifffile
out = sys.argv[1]
H, W = 30, 40
y, x = np.ogrid[:H, :W]
ripple = (x * 3 + y * 5) % 64

def cube(T, Z, C, base=1000):
    t, z, c = np.ogrid[:T, :Z, :C]
    return (base + 400 * t + 100 * z + 2000 * c)[..., None, None] + ripple

def w(name, data, **kw):
    os.makedirs(os.path.dirname(os.path.join(out, name)), exist_ok=True)
    kw.setdefault('photometric', 'minisblack')
    tifffile.imwrite(os.path.join(out, name), data, **kw)

# Two channels with display ranges and LUTs of ImageJ's.
i = np.arange(256, dtype=np.uint8)
luts = [np.stack([i, 0 * i, i]), np.stack([0 * i, i, 0 * i])]
w('hyper.tif', cube(3, 4, 2).astype(np.uint16), imagej=True,
  metadata={'axes': 'TZCYX', 'Ranges': (1000.0, 4000.0, 3000.0, 6000.0), 'LUTs': luts})
# Eight bits without metadata: five time points, as far as anyone can tell.
w('plain8.tif', (cube(5, 1, 1, 10) // 40).reshape(5, H, W).astype(np.uint8), metadata=None)
# Sixteen bits without a display range: Auto on the first plane shown.
w('dim16.tif', cube(4, 1, 1).reshape(4, H, W).astype(np.uint16), metadata=None)
# A hyperstack whose last pages are cut off.
w('whole.tif', cube(2, 3, 1).astype(np.uint16), imagej=True, metadata={'axes': 'TZCYX', 'Ranges': (1000.0, 2000.0)})
data = open(os.path.join(out, 'whole.tif'), 'rb').read()
open(os.path.join(out, 'cut.tif'), 'wb').write(data[:len(data) * 2 // 3])
# Two stage positions of three time points each, as Micro-Manager names them.
for p in (1, 2):
    for t in range(3):
        w('positions/P%d_T%d.tif' % (p, t), cube(1, 1, 1, 1000 * p + 100 * t).reshape(H, W).astype(np.uint16),
          metadata=None)
# A series in a folder, numbered without padding.
for t in (1, 2, 10):
    w('series/cell_t%d.tif' % t, cube(1, 1, 1, 500 * t).reshape(H, W).astype(np.uint16), metadata=None)
open(os.path.join(out, 'garbage.tif'), 'wb').write(b'II*\0' + bytes(range(256)) * 4)
# A TIFF by its content alone, and a descriptor.
open(os.path.join(out, 'tiff.dat'), 'wb').write(open(os.path.join(out, 'plain8.tif'), 'rb').read())
open(os.path.join(out, 'notes.txt'), 'w').write('dataset notes width 40 height 30\n')
