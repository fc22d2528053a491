#!/usr/bin/python3
# Writes the inputs of tst_sizes into the folder given: a small stack in each
# format that can give physical sizes or times, with and without them.
import os, sys
import numpy as np, tifffile, zarr

out = sys.argv[1]
stack = np.zeros((3, 8, 9), np.uint16)


def tiff(name, **kw):
    tifffile.imwrite(os.path.join(out, name), stack, **kw)


# ImageJ keeps the resolution tags in pixels per unit and escapes µ.
tiff('imagej.tif', imagej=True, resolution=(4, 2), metadata={'axes': 'ZYX', 'spacing': 2.5, 'unit': '\\u00B5m'})
tiff('imagej-micron.tif', imagej=True, resolution=(2, 2), metadata={'axes': 'ZYX', 'spacing': 0.5, 'unit': 'micron'})
tiff('imagej-uncalibrated.tif', imagej=True, metadata={'axes': 'ZYX'})
tiff('ome-units.tif', ome=True, metadata={'axes': 'ZYX', 'PhysicalSizeX': 0.2, 'PhysicalSizeXUnit': 'µm',
                                          'PhysicalSizeY': 0.3, 'PhysicalSizeZ': 1500, 'PhysicalSizeZUnit': 'nm'})
tiff('ome-no-units.tif', ome=True, metadata={'axes': 'ZYX', 'PhysicalSizeX': 0.4, 'PhysicalSizeY': 0.4,
                                             'PhysicalSizeZ': 3})
tiff('plain.tif')

# Times: ImageJ's frame interval (seconds unless tunit says), OME's increment and each time point's DeltaT.
series = np.zeros((3, 2, 8, 9), np.uint16)
tifffile.imwrite(os.path.join(out, 'imagej-times.tif'), series, imagej=True,
                 metadata={'axes': 'TZYX', 'finterval': 2.5, 'fps': 4.0, 'Info': 'Objective: 63x/1.4 Oil'})
tifffile.imwrite(os.path.join(out, 'imagej-minutes.tif'), series, imagej=True,
                 metadata={'axes': 'TZYX', 'finterval': 0.5, 'tunit': 'min'})
tifffile.imwrite(os.path.join(out, 'ome-increment.tif'), series, ome=True,
                 metadata={'axes': 'TZYX', 'TimeIncrement': 30, 'TimeIncrementUnit': 's'})
tifffile.imwrite(os.path.join(out, 'ome-deltat.tif'), series, ome=True,
                 metadata={'axes': 'TZYX', 'TimeIncrement': 0.5, 'TimeIncrementUnit': 'h',
                           'Plane': {'DeltaT': [5, 5, 15, 15, 30, 30], 'DeltaTUnit': ['min'] * 6}})

# Zeiss LSM of 3 time points: the interval in CZ_LSMINFO, the time stamps in a block it points to.
import struct
info = bytearray(512)
struct.pack_into('<IiiiiiiI', info, 0, 0x0400494C, 512, 9, 8, 1, 1, 3, 1)
struct.pack_into('<H', info, 88, 3)
struct.pack_into('<d', info, 112, 2.0)
struct.pack_into('<ii', info, 264, 1, 1)
with tifffile.TiffWriter(os.path.join(out, 'times.lsm')) as f:
    for t in range(3):
        f.write(np.zeros((8, 9), np.uint8), metadata=None,
                extratags=[(34412, 'B', len(info), bytes(info), True)] if t == 0 else [])
data = bytearray(open(os.path.join(out, 'times.lsm'), 'rb').read())
struct.pack_into('<I', data, data.find(struct.pack('<I', 0x0400494C)) + 132, len(data))
stamps = [1000.0, 1001.5, 1004.0]
data += struct.pack('<ii3d', 8 + 8 * 3, 3, *stamps)
# ScanInformation: a recording block with its name and objective, and a
# track block with an entry of the same tag that is not the recording's.
struct.pack_into('<I', data, data.find(struct.pack('<I', 0x0400494C)) + 124, len(data))
def entry(tag, kind, value=b''):
    return struct.pack('<III', tag, kind, len(value)) + value
data += (entry(0x10000000, 0) + entry(0x10000001, 2, b'times\0') + entry(0x20000000, 0)
         + entry(0x40000000, 0) + entry(0x10000004, 2, b'not this\0') + entry(0x0FFFFFFF, 0) + entry(0x0FFFFFFF, 0)
         + entry(0x10000004, 2, b'Plan-Apochromat 20x/0.8 M27\0') + entry(0x0FFFFFFF, 0))
open(os.path.join(out, 'times.lsm'), 'wb').write(data)


def zarr_image(name, axes, units, scale, image_scale=None):
    path = os.path.join(out, name)
    group = zarr.open_group(path, mode='w')
    datasets = []
    for level in range(2):
        shape = [1] * (len(axes) - 3) + [3, 8 >> level, 9 >> level]
        array = zarr.open_array(os.path.join(path, str(level)), mode='w', shape=shape, chunks=shape, dtype='<u2')
        array[...] = 0
        level_scale = [f * 2 ** level if a in 'yx' else f for a, f in zip(axes, scale)]
        datasets.append({'path': str(level), 'coordinateTransformations': [
            {'type': 'scale', 'scale': level_scale}, {'type': 'translation', 'translation': [0.0] * len(axes)}]})
    multiscale = {'version': '0.4', 'datasets': datasets,
                  'axes': [dict({'name': a}, **({'unit': u} if u else {})) for a, u in zip(axes, units)]}
    if image_scale:
        multiscale['coordinateTransformations'] = [{'type': 'scale', 'scale': image_scale}]
    group.attrs['multiscales'] = [multiscale]


# OME-Zarr 0.4: the image's scale applies after each level's; the planes' unit differs from x's.
zarr_image('ome.zarr', 'tzyx', ['second', 'nanometer', 'micrometer', 'micrometer'], [1.0, 1000.0, 0.5, 0.25],
           [10.0, 2.0, 1.0, 2.0])
zarr_image('ome-no-units.zarr', 'zyx', [None] * 3, [4.0, 0.5, 0.5])
