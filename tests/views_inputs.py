#!/usr/bin/python3
# Writes the recordings of tst_views into the folder given, and beside each
# its samples and numpy's projections of time point 1 over the focal planes
# named, as little-endian doubles, channel after channel.
import os, sys, numpy as np, tifffile
out = sys.argv[1]
rng = np.random.default_rng(7)

def save(name, data, **kw):
    tifffile.imwrite(os.path.join(out, name), data, photometric='minisblack', imagej=True, **kw)

def stack(name, data):
    save(name + '.tif', data, metadata={'axes': 'TZCYX'})
    data.astype('<f8').tofile(os.path.join(out, name + '.raw'))
    for first, last in ((0, 6), (2, 4)):
        a = data[1, first:last + 1].astype(np.float64)
        for kind, p in (('max', a.max(0)), ('mean', a.mean(0)), ('min', a.min(0)), ('sum', a.sum(0)), ('sd', a.std(0))):
            p.astype('<f8').tofile(os.path.join(out, '%s_%s_%d_%d.raw' % (name, kind, first, last)))

# Samples up to 65535, so that Sum leaves 16 bits; floats with fractions;
# planes tall enough to be projected in bands of rows.
stack('odd', rng.integers(0, 65536, size=(2, 7, 2, 13, 11), dtype=np.uint16))
stack('float', (rng.random((2, 7, 1, 13, 11)) * 1000 - 200).astype(np.float32))
stack('tall', rng.integers(0, 65536, size=(2, 7, 1, 700, 200), dtype=np.uint16))
# Black frames of 0.5 µm pixels, for the scale bar.
save('scaled.tif', np.zeros((2, 200, 300), np.uint8), resolution=(2.0, 2.0),
     metadata={'axes': 'TYX', 'unit': 'micron', 'finterval': 30.0})
