#!/usr/bin/env bash
# Writes the fuzzers' seeds into OUT/frame, OUT/descriptor and OUT/import:
# frames of the sample generator in each of its variants and of
# tests/fuzz/seeds.cpp, small descriptors, and stacks for tesseline-import.
# Usage: tests/fuzz/seeds.sh BUILD_DIR OUT
set -euo pipefail

build=$1
out=$2
mkdir -p "$out/frame" "$out/descriptor"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# name, then the generator's options
variants=(
    "colour --size 160x120 --planes 3"
    "default --planes 1"
    "grey --grey --size 97x61 --planes 2"
    "flat --flat --size 64x48 --planes 2"
    "flatgrey --flat --grey --size 40x30"
    "tiny --size 1x1"
    "thin --size 517x9"
    "tall --size 7x300"
    "large --flat --size 1280x720"
)
for variant in "${variants[@]}"; do
    read -r name options <<<"$variant"
    # shellcheck disable=SC2086
    "$build/tests/fuzz/tesseline-gensample" "$work/$name" --name "$name" --times 1 --planes 1 $options
    for frame in "$work/$name"/img/*.jpg; do
        cp "$frame" "$out/frame/gensample-$(basename "$frame")"
    done
    cp "$work/$name/$name.tz" "$out/descriptor/gensample-$name.tz"
done
"$build/tests/fuzz/fuzz-seeds" "$out/frame"

d=$out/descriptor
printf 'dataset cellA width 320 height 240 mint 0 maxt 59 minz 1 maxz 21\n' >"$d/one-line.tz"
printf 'dataset cellA\r\nwidth 320\r\nheight 240\r\nmint 0\r\nmaxt 59\r\n' >"$d/crlf.tz"
printf 'maxz\t21 minz\v1\fmaxt\n\n59 mint 0 height\r240 width   320 dataset\ncellA' >"$d/white-space.tz"
printf 'mint -2147483648 maxt 2147483647 minz +7 maxz 0x10 width 3.5 height 2147483648\n' >"$d/numbers.tz"
printf 'dataset zell\xc3\xa4 width 320px dataset\n' >"$d/eight-bit.tz"
printf 'dataset a\0b width\0 1 \x01\x02 height 6 \xff\xd8' >"$d/binary.tz"
{ printf 'dataset '; head -c 4100 /dev/zero | tr '\0' n; printf ' width 8\n'; } >"$d/long-name.tz"
: >"$d/empty.tz"

# tesseline-import's reader: the stacks and series its test writes with
# tifffile, libtiff's own encodings of some, and metadata texts alone.
i=$out/import
mkdir -p "$i"
/usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/../importread_inputs.py" "$i"
tiffcp -c lzw "$i/u8.tif" "$i/lzw.tif"
tiffcp -c packbits "$i/u8.tif" "$i/packbits.tif"
tiffcp -c jpeg:90 "$i/rgb8.tif" "$i/jpeg-ycbcr.tif"
tiffcp -c zip:2 -t -w 16 -l 16 "$i/plain.tif" "$i/zip-tiled.tif"
tiffcp -B -c lzw:2 -r 4 "$i/imagej-luts.tif" "$i/lzw-bigendian.tif"
printf 'ImageJ=1.53t\nimages=12\nchannels=2\nslices=3\nframes=2\nhyperstack=true\nmin=0.0\nmax=4095.0\n' >"$i/imagej.txt"
printf '{"shape": [2, 3, 2, 23, 37], "axes": "TZCQX"}' >"$i/shape.txt"
printf '<OME><Image><Pixels DimensionOrder="XYZTC" SizeX="37" SizeY="23" SizeC="2" SizeZ="3" SizeT="2" Type="uint16"><Channel Color="-16776961"/><TiffData IFD="1" FirstZ="2" PlaneCount="3"><UUID FileName="x.ome.tif"/></TiffData></Pixels></Image></OME>' >"$i/ome.txt"
printf '{"zarr_format": 2, "shape": [2, 3, 37, 23], "chunks": [1, 1, 16, 16], "dtype": "<u2", "order": "C", "fill_value": 0, "filters": null, "compressor": {"id": "blosc", "cname": "lz4", "clevel": 5, "shuffle": 1}, "dimension_separator": "/"}' >"$i/zarray.txt"
printf '{"multiscales": [{"version": "0.4", "axes": [{"name": "t"}, {"name": "c"}, {"name": "y"}, {"name": "x"}], "datasets": [{"path": "0", "coordinateTransformations": [{"type": "scale", "scale": [1, 1, 1, 1]}]}, {"path": "1"}]}], "omero": {"channels": [{"label": "DNA", "color": "FF00FF", "window": {"start": 0, "end": 4095}}]}}' >"$i/zattrs.txt"
printf '{"plate": {"wells": [{"path": "A/1"}, {"path": "../B"}]}, "well": {"images": [{"path": "0"}]}, "bioformats2raw.layout": 3}' >"$i/plate.txt"
# Zarr v3: an array's and an OME-Zarr 0.5 group's zarr.json, and shards
# (read by fuzz-import as the one shard of an array), index at the end and at the start.
z=$work/zarr3
/usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/../zarr/inputs3.py" "$z"
cp "$z/shard-end/0/zarr.json" "$i/zarr-array.json"
cp "$z/shard-end/zarr.json" "$i/zarr-group.json"
cp "$z/plate/zarr.json" "$i/zarr-plate.json"
cp "$z/shard-end/0/c/0/0/0/0/0" "$i/shard-end.bin"
cp "$z/shard-start/0/c/0/0/0" "$i/shard-start.bin"
/usr/bin/python3 - "$i" <<'PY'
import struct, sys
# A shard of fuzz-import's own array, 8 chunks of 10 x 10 uint16, its index at the end; one chunk absent.
chunks = [struct.pack('<100H', *range(k, k + 100)) for k in range(7)]
index = b''.join(struct.pack('<QQ', 200 * k, 200) for k in range(7)) + struct.pack('<QQ', 2**64 - 1, 2**64 - 1)
open(sys.argv[1] + '/shard-own.bin', 'wb').write(b''.join(chunks) + index)
PY
