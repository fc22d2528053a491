#ifndef ZARRMETADATA_H
#define ZARRMETADATA_H

#include "metadata.h"
#include "stack.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// Parsers of the JSON that describes OME-Zarr: a Zarr v2 array's .zarray,
// a Zarr v3 node's zarr.json, and an image's, a plate's or a collection's
// attributes.  They take the bytes as found and trust nothing in them.

// Most dimensions an array may have, and the largest chunk read.
constexpr int maxZarrDimensions = 5;
constexpr qint64 maxChunkBytes = qint64(1) << 30;

// How a Zarr v2 or v3 array is stored.
struct zarrArray
{
    std::vector<qint64> shape;
    std::vector<qint64> chunks;   // the chunks decoded one at a time (inside shards, when they are sharded)
    int itemBytes = 1;            // of a stored sample
    bool bigEndian = false;
    sampleFormat format = sampleFormat::unsignedInt;
    double fill = 0;
    QString compressor;           // "blosc", "zlib", "gzip", "zstd", or empty for none
    QChar separator = u'.';       // between the chunk indices of a key
    QString keyPrefix;            // before them: "c/" or "c." in Zarr v3's default encoding
    std::vector<int> order;       // transposed chunks: stored dimension k is dimension order[k]; empty when not
    bool checksum = false;        // a CRC-32C follows each stored chunk
    // Shards: keys hold a shard of this shape, with an index of where its chunks lie.
    std::vector<qint64> shard;    // empty when chunks are keys of their own
    bool indexAtStart = false;
    bool indexBigEndian = false;
    bool indexChecksum = false;

    qint64 chunkBytes() const;    // of a chunk decompressed
    qint64 chunksPerShard() const;
    qint64 shardIndexBytes() const;
};
// The largest shard index read, in chunks.
constexpr qint64 maxChunksPerShard = qint64(1) << 20;
// Returns false with *error saying what is wrong: a dtype, an order, a
// compressor or a filter that is not read, or a shape that makes no sense.
bool parseZarray(const QByteArray &json, zarrArray *out, QString *error);
// The same of a Zarr v3 array's zarr.json: its data type, chunk grid, chunk
// key encoding and codecs, sharding among them.
bool parseZarrJson(const QByteArray &json, zarrArray *out, QString *error);
// What a zarr.json describes: "group" or "array", with *attributes the OME
// metadata (attributes.ome) as .zattrs holds it in Zarr v2; empty with
// *error saying why when it is no Zarr v3 node.
QString zarrJsonNode(const QByteArray &json, QByteArray *attributes, QString *error);

// An image of NGFF's multiscales: its axes and its resolution levels.
struct zarrImage
{
    QString axes;                  // one letter an array dimension, of "tczyx"
    QStringList levels;            // the arrays' paths, finest first
    QStringList units;             // each axis's, as written; empty when none is given
    std::vector<std::vector<double>> scales;   // each level's scale per dimension (the image's own composed in), when given
    std::vector<channelInfo> channels;         // omero's, possibly fewer than the array holds
    QString name;
};
// The multiscales of an image's .zattrs; false with *error when it has none
// or they are unusable.
bool parseImageAttributes(const QByteArray &json, zarrImage *out, QString *error);
// The physical sizes of the finest level, its dimensions being the axes given.
physicalSizes finestSizes(const zarrImage &image, const QString &axes);

// The images a .zattrs leads to when it is no image itself: a plate's fields
// (each well's .zattrs lists them) or the series of the bioformats2raw
// layout.  Each is a path below the attributes' group and a name.
struct zarrChild
{
    QString path;
    QString name;
};
std::vector<zarrChild> parsePlateWells(const QByteArray &json);
// A well's fields below it, or below its plate when well is its path there.
std::vector<zarrChild> parseWellImages(const QByteArray &json, const QString &well);
bool isBioformats2raw(const QByteArray &json);

#endif
