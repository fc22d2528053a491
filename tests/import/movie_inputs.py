#!/usr/bin/python3
"""Writes the inputs of tst_movie into the folder given: textured 16-bit
ImageJ hyperstacks of odd width and height, one calibrated and with a
playback rate (fps) stored, one with neither, and a long one."""
import sys, numpy as np, tifffile
from pathlib import Path

out = Path(sys.argv[1])

def stack(times, planes, channels, height, width):
    t, z, y, x = np.ogrid[:times, :planes, :height, :width]
    a = np.empty((times, planes, channels, height, width), np.uint16)
    a[:, :, 0] = 1000 + 800 * np.sin(x / 5 + t) + 600 * np.cos(y / 7 + z)
    if channels > 1:
        a[:, :, 1] = 2000 + 1500 * np.sin((x + y) / 9 + 0.7 * t + z)
    return a

tifffile.imwrite(out / 'calibrated.tif', stack(6, 5, 2, 121, 161), imagej=True, resolution=(2, 2),
                 metadata={'axes': 'TZCYX', 'unit': 'um', 'spacing': 2.0, 'fps': 3.0, 'finterval': 30.0})
tifffile.imwrite(out / 'plain.tif', stack(4, 3, 1, 49, 65)[:, :, 0], imagej=True, metadata={'axes': 'TZYX'})
tifffile.imwrite(out / 'long.tif', stack(300, 1, 1, 240, 320)[:, 0, 0], imagej=True, metadata={'axes': 'TYX'})
