#include "zarrmetadata.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
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

QString named(const QJsonValue &value)
{
    const QString text = value.isObject() ? value[QLatin1String("id")].toString() : value.toString();
    return text.isEmpty() ? QStringLiteral("unnamed") : text.left(64);
}

} // namespace

qint64 zarrArray::chunkBytes() const
{
    qint64 bytes = itemBytes;
    for (qint64 n : chunks)
        bytes = n > 0 && bytes <= maxChunkBytes / n ? bytes * n : maxChunkBytes + 1;
    return bytes;
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

    const QJsonValue fill = o[QLatin1String("fill_value")];
    const QString fillText = fill.toString();
    out->fill = fill.isDouble()                            ? fill.toDouble()
            : fillText == QLatin1String("NaN")             ? std::numeric_limits<double>::quiet_NaN()
            : fillText == QLatin1String("Infinity")        ? std::numeric_limits<double>::infinity()
            : fillText == QLatin1String("-Infinity")       ? -std::numeric_limits<double>::infinity()
                                                           : 0;
    if (out->chunkBytes() > maxChunkBytes)
        return failWith(error, QStringLiteral("chunks of more than %1 MiB are not read").arg(maxChunkBytes >> 20));
    return true;
}

bool parseImageAttributes(const QByteArray &json, zarrImage *out, QString *error)
{
    *out = zarrImage();
    const QJsonObject attributes = QJsonDocument::fromJson(json).object();
    const QJsonArray multiscales = attributes[QLatin1String("multiscales")].toArray();
    if (multiscales.isEmpty())
        return failWith(error, QStringLiteral("no OME-Zarr image here: .zattrs has no multiscales"));
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
            images.push_back({ well + u'/' + path, QStringLiteral("%1, field %2").arg(well, path) });
    }
    return images;
}

bool isBioformats2raw(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object().contains(QLatin1String("bioformats2raw.layout"));
}
