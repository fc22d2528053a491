#include "zarrmetadata.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

bool failWith(QString *error, const QString &what)
{
    *error = what;
    return false;
}

// A path below the group that stays below it: no "..", no root, no empty part.
bool isRelativePath(const QString &path)
{
    if (path.isEmpty() || path.size() > 1024)
        return false;
    for (const QString &part : path.split(u'/')) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..") || part.contains(u'\\'))
            return false;
    }
    return true;
}

// A count of one dimension: a whole number from 1.
qint64 count(const QJsonValue &value)
{
    const double n = value.toDouble(-1);
    return n >= 1 && n <= double(std::numeric_limits<int>::max()) && n == std::floor(n) ? qint64(n) : -1;
}

std::vector<qint64> counts(const QJsonValue &value)
{
    std::vector<qint64> result;
    for (const QJsonValue &n : value.toArray())
        result.push_back(count(n));
    return result;
}

// The factors of a list of coordinate transformations' scale; empty when it has none.
std::vector<double> scaleOf(const QJsonValue &transformations)
{
    std::vector<double> scale;
    for (const QJsonValue &transform : transformations.toArray()) {
        if (transform[QLatin1String("type")].toString() == QLatin1String("scale") && scale.empty()) {
            for (const QJsonValue &factor : transform[QLatin1String("scale")].toArray())
                scale.push_back(factor.toDouble());
        }
    }
    return scale;
}

QString named(const QJsonValue &value, const QString &field = QStringLiteral("id"))
{
    const QString text = value.isObject() ? value[field].toString() : value.toString();
    return text.isEmpty() ? QStringLiteral("unnamed") : text.left(64);
}

// A fill value: a number, "NaN", "Infinity", "-Infinity", or a float's bits in hex ("0x7fc00000").
double fillValue(const QJsonValue &fill, int itemBytes)
{
    const QString text = fill.toString();
    if (fill.isDouble())
        return fill.toDouble();
    if (text == QLatin1String("NaN"))
        return std::numeric_limits<double>::quiet_NaN();
    if (text == QLatin1String("Infinity"))
        return std::numeric_limits<double>::infinity();
    if (text == QLatin1String("-Infinity"))
        return -std::numeric_limits<double>::infinity();
    bool ok = false;
    const quint64 bits = text.startsWith(QLatin1String("0x")) ? text.mid(2).toULongLong(&ok, 16) : 0;
    if (ok && itemBytes == 4) {
        const quint32 b = quint32(bits);
        float f;
        std::memcpy(&f, &b, 4);
        return f;
    }
    if (ok && itemBytes == 8) {
        double d;
        std::memcpy(&d, &bits, 8);
        return d;
    }
    return 0;
}

// The bytes codec's byte order: false for little-endian or none given.
bool bigEndianOf(const QJsonValue &codec, bool *known)
{
    const QString endian = codec[QLatin1String("configuration")][QLatin1String("endian")].toString(QStringLiteral("little"));
    *known = endian == QLatin1String("little") || endian == QLatin1String("big");
    return endian == QLatin1String("big");
}

// A chain of codecs of chunks: transpose, then bytes, then gzip, zstd or
// blosc, then crc32c.  Sharding, when allowed, is the whole chain.
bool parseCodecs(const QJsonArray &codecs, bool shards, zarrArray *out, QString *error)
{
    enum { arrays, serializer, compressor, checksum } stage = arrays;
    const int dimensions = int(out->shape.size());
    for (const QJsonValue &codec : codecs) {
        const QString name = named(codec, QStringLiteral("name"));
        const QJsonValue configuration = codec[QLatin1String("configuration")];
        if (name == QLatin1String("sharding_indexed") && shards) {
            if (codecs.size() != 1)
                return failWith(error, QStringLiteral("codecs beside sharding_indexed are not read"));
            out->shard = out->chunks;
            out->chunks = counts(configuration[QLatin1String("chunk_shape")]);
            if (out->chunks.size() != out->shard.size() || std::count(out->chunks.begin(), out->chunks.end(), -1))
                return failWith(error, QStringLiteral("sharding_indexed gives no chunk shape of %1 dimensions").arg(dimensions));
            for (size_t d = 0; d < out->shard.size(); ++d)
                if (out->shard[d] % out->chunks[d])
                    return failWith(error, QStringLiteral("a shard's shape is no multiple of its chunks'"));
            if (out->chunksPerShard() > maxChunksPerShard)
                return failWith(error, QStringLiteral("shards of more than %1 chunks are not read").arg(maxChunksPerShard));
            const QString location = configuration[QLatin1String("index_location")].toString(QStringLiteral("end"));
            if (location != QLatin1String("end") && location != QLatin1String("start"))
                return failWith(error, QStringLiteral("index location '%1' is not read").arg(location.left(16)));
            out->indexAtStart = location == QLatin1String("start");
            const QJsonArray index = configuration[QLatin1String("index_codecs")].toArray();
            bool known = false;
            out->indexBigEndian = bigEndianOf(index.isEmpty() ? QJsonValue() : index[0], &known);
            out->indexChecksum = index.size() == 2 && index[1][QLatin1String("name")].toString() == QLatin1String("crc32c");
            if (index.isEmpty() || index.size() > 2 || !known || index[0][QLatin1String("name")].toString() != QLatin1String("bytes")
                || (index.size() == 2 && !out->indexChecksum))
                return failWith(error, QStringLiteral("shard index codecs other than bytes and crc32c are not read"));
            return parseCodecs(configuration[QLatin1String("codecs")].toArray(), false, out, error);
        }
        if (name == QLatin1String("transpose") && stage == arrays && out->order.empty()) {
            const QJsonValue order = configuration[QLatin1String("order")];
            for (int d = 0; d < dimensions; ++d)
                out->order.push_back(order.toString() == QLatin1String("F") ? dimensions - 1 - d
                                     : order.isArray()                     ? order[d].toInt(-1)
                                                                           : d);
            std::vector<int> sorted = out->order;
            std::sort(sorted.begin(), sorted.end());
            for (int d = 0; d < dimensions; ++d)
                if (sorted[size_t(d)] != d || (order.isArray() && order.toArray().size() != dimensions))
                    return failWith(error, QStringLiteral("a transpose order that is no order of the %1 dimensions").arg(dimensions));
        } else if (name == QLatin1String("bytes") && stage == arrays) {
            bool known = false;
            out->bigEndian = bigEndianOf(codec, &known);
            if (!known)
                return failWith(error, QStringLiteral("the bytes codec's endian is neither little nor big"));
            stage = serializer;
        } else if ((name == QLatin1String("gzip") || name == QLatin1String("zstd") || name == QLatin1String("blosc")) && stage == serializer) {
            out->compressor = name;
            stage = compressor;
        } else if (name == QLatin1String("crc32c") && (stage == serializer || stage == compressor)) {
            out->checksum = true;
            stage = checksum;
        } else {
            return failWith(error, QStringLiteral("codec '%1' is not read here; bytes, transpose, gzip, zstd, blosc, crc32c and sharding_indexed are").arg(name));
        }
    }
    if (stage == arrays)
        return failWith(error, QStringLiteral("no bytes codec"));
    return true;
}

} // namespace

qint64 zarrArray::chunkBytes() const
{
    qint64 bytes = itemBytes;
    for (qint64 n : chunks)
        bytes = n > 0 && bytes <= maxChunkBytes / n ? bytes * n : maxChunkBytes + 1;
    return bytes;
}

qint64 zarrArray::chunksPerShard() const
{
    qint64 count = 1;
    for (size_t d = 0; d < shard.size() && d < chunks.size(); ++d)
        count = chunks[d] > 0 && count <= maxChunksPerShard ? count * (shard[d] / chunks[d]) : maxChunksPerShard + 1;
    return count;
}

qint64 zarrArray::shardIndexBytes() const
{
    return 16 * chunksPerShard() + (indexChecksum ? 4 : 0);
}

bool parseZarray(const QByteArray &json, zarrArray *out, QString *error)
{
    *out = zarrArray();
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    if (o.isEmpty())
        return failWith(error, QStringLiteral(".zarray is not a JSON object"));
    if (o.contains(QLatin1String("zarr_format")) && o[QLatin1String("zarr_format")].toInt() != 2)
        return failWith(error, QStringLiteral("Zarr format %1 is not read; 2 is").arg(o[QLatin1String("zarr_format")].toInt()));
    out->shape = counts(o[QLatin1String("shape")]);
    out->chunks = counts(o[QLatin1String("chunks")]);
    const size_t dimensions = out->shape.size();
    if (dimensions < 2 || dimensions > size_t(maxZarrDimensions) || out->chunks.size() != dimensions
        || std::count(out->shape.begin(), out->shape.end(), -1) || std::count(out->chunks.begin(), out->chunks.end(), -1))
        return failWith(error, QStringLiteral(".zarray gives no shape and chunks of 2 to %1 dimensions").arg(maxZarrDimensions));

    const QString dtype = o[QLatin1String("dtype")].toString();
    static const QString kinds[] = { "u1", "i1", "u2", "i2", "u4", "i4", "f4", "f8" };
    if (dtype.size() != 3 || !QStringLiteral("<>|").contains(dtype[0]) || std::find(std::begin(kinds), std::end(kinds), dtype.mid(1)) == std::end(kinds))
        return failWith(error, QStringLiteral("samples of dtype '%1' are not read; unsigned and signed integers of 8 to 32 bits and floats are")
                                       .arg(dtype.left(32)));
    out->bigEndian = dtype[0] == u'>';
    out->itemBytes = dtype[2].digitValue();
    out->format = dtype[1] == u'f' ? sampleFormat::floatingPoint : dtype[1] == u'i' ? sampleFormat::signedInt : sampleFormat::unsignedInt;

    if (o[QLatin1String("order")].toString(QStringLiteral("C")) != QLatin1String("C"))
        return failWith(error, QStringLiteral("order '%1' is not read; C is").arg(o[QLatin1String("order")].toString().left(8)));
    const QJsonValue compressor = o[QLatin1String("compressor")];
    if (!compressor.isNull() && !compressor.isUndefined()) {
        out->compressor = compressor[QLatin1String("id")].toString();
        static const QStringList known { "blosc", "zlib", "gzip", "zstd" };
        if (!known.contains(out->compressor))
            return failWith(error, QStringLiteral("compressor '%1' is not read; blosc, zlib, gzip and zstd are").arg(named(compressor)));
    }
    const QJsonArray filters = o[QLatin1String("filters")].toArray();
    if (!filters.isEmpty())
        return failWith(error, QStringLiteral("filter '%1' is not read").arg(named(filters.first())));
    const QJsonValue separator = o[QLatin1String("dimension_separator")];
    if (separator.toString() == QLatin1String("/"))
        out->separator = u'/';
    else if (!separator.isUndefined() && !separator.isNull() && separator.toString() != QLatin1String("."))
        return failWith(error, QStringLiteral("dimension separator '%1' is not read").arg(separator.toString().left(8)));

    out->fill = fillValue(o[QLatin1String("fill_value")], out->itemBytes);
    if (out->chunkBytes() > maxChunkBytes)
        return failWith(error, QStringLiteral("chunks of more than %1 MiB are not read").arg(maxChunkBytes >> 20));
    return true;
}

bool parseZarrJson(const QByteArray &json, zarrArray *out, QString *error)
{
    *out = zarrArray();
    QByteArray attributes;
    if (zarrJsonNode(json, &attributes, error) != QLatin1String("array"))
        return error->isEmpty() ? failWith(error, QStringLiteral("zarr.json describes a group, not an array")) : false;
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    out->shape = counts(o[QLatin1String("shape")]);
    const QJsonValue grid = o[QLatin1String("chunk_grid")];
    if (grid[QLatin1String("name")].toString() != QLatin1String("regular"))
        return failWith(error, QStringLiteral("chunk grid '%1' is not read; regular is").arg(named(grid, QStringLiteral("name"))));
    out->chunks = counts(grid[QLatin1String("configuration")][QLatin1String("chunk_shape")]);
    const size_t dimensions = out->shape.size();
    if (dimensions < 2 || dimensions > size_t(maxZarrDimensions) || out->chunks.size() != dimensions
        || std::count(out->shape.begin(), out->shape.end(), -1) || std::count(out->chunks.begin(), out->chunks.end(), -1))
        return failWith(error, QStringLiteral("zarr.json gives no shape and chunks of 2 to %1 dimensions").arg(maxZarrDimensions));

    static const std::pair<QString, int> types[] = { { "uint8", 1 }, { "int8", 1 }, { "uint16", 2 }, { "int16", 2 },
                                                     { "uint32", 4 }, { "int32", 4 }, { "float32", 4 }, { "float64", 8 } };
    const QString type = o[QLatin1String("data_type")].toString();
    const auto kind = std::find_if(std::begin(types), std::end(types), [&](const auto &t) { return t.first == type; });
    if (kind == std::end(types))
        return failWith(error, QStringLiteral("samples of data type '%1' are not read; unsigned and signed integers of 8 to 32 bits and floats are")
                                       .arg(named(o[QLatin1String("data_type")], QStringLiteral("name"))));
    out->itemBytes = kind->second;
    out->format = type.startsWith(u'f') ? sampleFormat::floatingPoint : type.startsWith(u'i') ? sampleFormat::signedInt : sampleFormat::unsignedInt;

    const QJsonValue encoding = o[QLatin1String("chunk_key_encoding")];
    const QString encodingName = encoding[QLatin1String("name")].toString(QStringLiteral("default"));
    const bool v2 = encodingName == QLatin1String("v2");
    const QString separator = encoding[QLatin1String("configuration")][QLatin1String("separator")].toString(v2 ? QStringLiteral(".") : QStringLiteral("/"));
    if ((!v2 && encodingName != QLatin1String("default")) || (separator != QLatin1String(".") && separator != QLatin1String("/")))
        return failWith(error, QStringLiteral("chunk key encoding '%1' with separator '%2' is not read").arg(encodingName.left(16), separator.left(8)));
    out->separator = separator[0];
    out->keyPrefix = v2 ? QString() : QStringLiteral("c") + separator;
    if (!o[QLatin1String("storage_transformers")].toArray().isEmpty())
        return failWith(error, QStringLiteral("storage transformers are not read"));

    if (!parseCodecs(o[QLatin1String("codecs")].toArray(), true, out, error))
        return false;
    out->fill = fillValue(o[QLatin1String("fill_value")], out->itemBytes);
    if (out->chunkBytes() > maxChunkBytes)
        return failWith(error, QStringLiteral("chunks of more than %1 MiB are not read").arg(maxChunkBytes >> 20));
    return true;
}

QString zarrJsonNode(const QByteArray &json, QByteArray *attributes, QString *error)
{
    QJsonParseError parsing;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parsing);
    error->clear();
    attributes->clear();
    if (parsing.error != QJsonParseError::NoError) {
        *error = QStringLiteral("zarr.json is not JSON: %1 at byte %2").arg(parsing.errorString()).arg(parsing.offset);
        return QString();
    }
    const QJsonObject o = document.object();
    const QString node = o[QLatin1String("node_type")].toString();
    if (o[QLatin1String("zarr_format")].toInt() != 3 || (node != QLatin1String("group") && node != QLatin1String("array"))) {
        *error = QStringLiteral("zarr.json describes no Zarr v3 group or array");
        return QString();
    }
    // OME-Zarr 0.5 keeps its metadata under "ome"; some writers put it in the attributes themselves.
    const QJsonObject all = o[QLatin1String("attributes")].toObject();
    const QJsonObject ome = all.contains(QLatin1String("ome")) ? all[QLatin1String("ome")].toObject() : all;
    *attributes = QJsonDocument(ome).toJson(QJsonDocument::Compact);
    return node;
}

bool parseImageAttributes(const QByteArray &json, zarrImage *out, QString *error)
{
    *out = zarrImage();
    const QJsonObject attributes = QJsonDocument::fromJson(json).object();
    const QJsonArray multiscales = attributes[QLatin1String("multiscales")].toArray();
    if (multiscales.isEmpty())
        return failWith(error, QStringLiteral("no OME-Zarr image here: its attributes hold no multiscales"));
    const QJsonObject image = multiscales.first().toObject();
    out->name = image[QLatin1String("name")].toString().left(256);

    // Axes are objects since 0.4, names before; without them, the last of t, c, z, y, x.
    for (const QJsonValue &axis : image[QLatin1String("axes")].toArray()) {
        const QString name = (axis.isObject() ? axis[QLatin1String("name")].toString() : axis.toString()).toLower();
        if (name.size() != 1 || !QStringLiteral("tczyx").contains(name) || out->axes.contains(name))
            return failWith(error, QStringLiteral("axis '%1' is not read; t, c, z, y and x are, each once").arg(name.left(32)));
        out->axes += name;
        out->units << axis[QLatin1String("unit")].toString().left(64);
    }
    if (!out->axes.isEmpty() && (!out->axes.endsWith(QLatin1String("yx"))))
        return failWith(error, QStringLiteral("axes '%1' do not end in y and x").arg(out->axes));

    for (const QJsonValue &dataset : image[QLatin1String("datasets")].toArray()) {
        const QString path = dataset[QLatin1String("path")].toString();
        if (!isRelativePath(path))
            return failWith(error, QStringLiteral("a resolution level's path '%1' is not a path below the image").arg(path.left(64)));
        out->levels << path;
        // The image's transformations apply after each level's.
        std::vector<double> scale = scaleOf(dataset[QLatin1String("coordinateTransformations")]);
        const std::vector<double> outer = scaleOf(image[QLatin1String("coordinateTransformations")]);
        if (scale.empty())
            scale = outer;
        else if (!outer.empty() && outer.size() != scale.size())
            scale.clear();
        else
            for (size_t i = 0; i < outer.size(); ++i)
                scale[i] *= outer[i];
        out->scales.push_back(scale);
    }
    if (out->levels.isEmpty())
        return failWith(error, QStringLiteral("the multiscales list no resolution level"));

    for (const QJsonValue &channel : attributes[QLatin1String("omero")][QLatin1String("channels")].toArray()) {
        channelInfo info;
        info.name = channel[QLatin1String("label")].toString().left(256);
        bool ok = false;
        const QString colour = channel[QLatin1String("color")].toString();
        const uint rgb = colour.toUInt(&ok, 16);
        if (ok && colour.size() == 6)
            info.colour = qRgb(int(rgb >> 16) & 255, int(rgb >> 8) & 255, int(rgb) & 255);
        const QJsonValue window = channel[QLatin1String("window")];
        const double start = window[QLatin1String("start")].toDouble(qQNaN());
        const double end = window[QLatin1String("end")].toDouble(qQNaN());
        if (std::isfinite(start) && std::isfinite(end) && end > start) {
            info.low = start;
            info.high = end;
        }
        out->channels.push_back(info);
    }
    return true;
}

physicalSizes finestSizes(const zarrImage &image, const QString &axes)
{
    if (image.scales.empty() || image.scales.front().size() != size_t(axes.size()))
        return physicalSizes();
    const std::vector<double> &scale = image.scales.front();
    std::optional<double> sizes[3];
    QString units[3];
    for (int i = 0; i < 3; ++i) {
        const qsizetype a = axes.indexOf(QChar(u"xyz"[i]));
        if (a < 0)
            continue;
        sizes[i] = scale[size_t(a)];
        if (image.units.size() == axes.size())
            units[i] = image.units[a];
    }
    return inOneUnit(sizes, units);
}

std::vector<zarrChild> parsePlateWells(const QByteArray &json)
{
    std::vector<zarrChild> wells;
    for (const QJsonValue &well : QJsonDocument::fromJson(json)[QLatin1String("plate")][QLatin1String("wells")].toArray()) {
        const QString path = well[QLatin1String("path")].toString();
        if (isRelativePath(path))
            wells.push_back({ path, path });
    }
    return wells;
}

std::vector<zarrChild> parseWellImages(const QByteArray &json, const QString &well)
{
    std::vector<zarrChild> images;
    for (const QJsonValue &image : QJsonDocument::fromJson(json)[QLatin1String("well")][QLatin1String("images")].toArray()) {
        const QString path = image[QLatin1String("path")].toString();
        if (isRelativePath(path))
            images.push_back(well.isEmpty() ? zarrChild { path, QStringLiteral("field %1").arg(path) }
                                            : zarrChild { well + u'/' + path, QStringLiteral("%1, field %2").arg(well, path) });
    }
    return images;
}

bool isBioformats2raw(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object().contains(QLatin1String("bioformats2raw.layout"));
}
