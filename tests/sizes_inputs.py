#!/usr/bin/python3
# Writes the inputs of tst_sizes into the folder given: a small stack in each
# format that can give physical sizes, with and without them.
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
