#!/usr/bin/python3
# Writes the recordings of tst_views into the folder given, and beside each
# what numpy makes of it: every projection of time point 1 over the focal
# planes named, as little-endian doubles, channel after channel.
import os, sys, numpy as np, tifffile
out = sys.argv[1]
rng = np.random.default_rng(7)
T, Z, C, H, W = 2, 7, 2, 13, 11

def save(name, data, **kw):
    tifffile.imwrite(os.path.join(out, name), data, photometric='minisblack', **kw)

# Odd sizes, samples up to 65535 so that Sum leaves 16 bits.
odd = rng.integers(0, 65536, size=(T, Z, C, H, W), dtype=np.uint16)
save('odd.tif', odd, imagej=True, metadata={'axes': 'TZCYX'})
# Float samples with fractions.
flt = (rng.random((T, Z, 1, H, W)) * 1000 - 200).astype(np.float32)
save('float.tif', flt, imagej=True, metadata={'axes': 'TZCYX'})

# Wide enough planes to be projected in bands of rows.
tall = rng.integers(0, 65536, size=(T, Z, 1, 700, 200), dtype=np.uint16)
save('tall.tif', tall, imagej=True, metadata={'axes': 'TZCYX'})

# Black frames of 0.5 µm pixels, for the scale bar.
save('scaled.tif', np.zeros((2, 200, 300), np.uint8), imagej=True, resolution=(2.0, 2.0),
     metadata={'axes': 'TYX', 'unit': 'micron', 'finterval': 30.0})

kinds = {'max': lambda a: a.max(0), 'mean': lambda a: a.mean(0), 'min': lambda a: a.min(0),
         'sum': lambda a: a.sum(0), 'sd': lambda a: a.std(0)}
for name, data in (('odd', odd), ('float', flt), ('tall', tall)):
    for first, last in ((0, data.shape[1] - 1), (2, 4)):
        for kind, f in kinds.items():
            p = f(data[1, first:last + 1].astype(np.float64))
            p.astype('<f8').tofile(os.path.join(out, '%s_%s_%d_%d.raw' % (name, kind, first, last)))
    data.astype('<f8').tofile(os.path.join(out, name + '.raw'))
