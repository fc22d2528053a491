#include "metadata.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QXmlStreamReader>
#include <QtEndian>

#include <cstring>

namespace {

// Counts and indices in metadata above this are taken as nonsense.
constexpr qint64 maxCount = 0x7fffffff;

std::optional<qint64> count(QStringView text)
{
    bool ok = false;
    const qint64 value = text.trimmed().toLongLong(&ok);
    if (!ok || value < 0 || value > maxCount)
        return std::nullopt;
    return value;
}

template <typename T>
T fromBytes(const char *p, bool bigEndian)
{
    return bigEndian ? qFromBigEndian<T>(p) : qFromLittleEndian<T>(p);
}

double doubleFromBytes(const char *p, bool bigEndian)
{
    const quint64 bits = fromBytes<quint64>(p, bigEndian);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

} // namespace

std::optional<imagejDescription> parseImagejDescription(const QByteArray &text)
{
    if (!text.startsWith("ImageJ=") || text.size() > maxMetadataText)
        return std::nullopt;
    imagejDescription d;
    for (const QByteArray &line : text.split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals < 0)
            continue;
        const QByteArray key = line.left(equals).trimmed();
        const QString value = QString::fromLatin1(line.mid(equals + 1));
        const std::optional<qint64> n = count(value);
        bool ok = false;
        const double real = value.trimmed().toDouble(&ok);
        if (key == "images" && n)
            d.images = *n;
        else if (key == "channels" && n)
            d.channels = *n;
        else if (key == "slices" && n)
            d.slices = *n;
        else if (key == "frames" && n)
            d.frames = *n;
        else if (key == "min" && ok)
            d.min = real;
        else if (key == "max" && ok)
            d.max = real;
    }
    return d;
}

imagejExtras parseImagejMetadata(const std::vector<uint32_t> &byteCounts, const QByteArray &data)
{
    imagejExtras extras;
    if (byteCounts.empty() || byteCounts[0] < 4 || byteCounts[0] > uint32_t(data.size()))
        return extras;
    // ImageJ writes big-endian; tifffile writes the file's byte order, with
    // the magic and the block types reversed in little-endian files.
    const bool bigEndian = data.startsWith("IJIJ");
    if (!bigEndian && !data.startsWith("JIJI"))
        return extras;
    const auto type = [bigEndian](const char *p) {
        QByteArray t(p, 4);
        if (!bigEndian)
            std::reverse(t.begin(), t.end());
        return t;
    };

    const char *bytes = data.constData();
    const qint64 headerEnd = byteCounts[0];
    qint64 offset = headerEnd;
    size_t block = 1;
    for (qint64 entry = 4; entry + 8 <= headerEnd; entry += 8) {
        const QByteArray blockType = type(bytes + entry);
        const quint32 blocks = fromBytes<quint32>(bytes + entry + 4, bigEndian);
        for (quint32 i = 0; i < blocks; ++i, ++block) {
            if (block >= byteCounts.size())
                return extras;
            const qint64 size = byteCounts[block];
            if (offset + size > data.size())
                return extras;
            const char *p = bytes + offset;
            if (blockType == "rang") {
                for (qint64 k = 0; k + 16 <= size; k += 16)
                    extras.ranges.emplace_back(doubleFromBytes(p + k, bigEndian),
                                               doubleFromBytes(p + k + 8, bigEndian));
            } else if (blockType == "luts" && size == 768) {
                const auto entry255 = [p](int colour) { return uchar(p[colour * 256 + 255]); };
                extras.colours.push_back(qRgb(entry255(0), entry255(1), entry255(2)));
            }
            offset += size;
        }
    }
    return extras;
}

bool parseOme(const QByteArray &xml, omeImage *out, bool *isOme, QString *error)
{
    *isOme = false;
    if (xml.size() > maxMetadataText || !xml.contains("<OME"))
        return true;
    QXmlStreamReader reader(xml);
    omeImage image;
    bool inFirstImage = false;
    bool inPixels = false;
    bool hasPixels = false;
    const auto fail = [error](const QString &what) {
        *error = what;
        return false;
    };
    // Reads an attribute that must be a count, if there.
    const auto attribute = [&reader](const QString &name, qint64 *value, bool *bad) {
        const QXmlStreamAttributes attributes = reader.attributes();
        if (!attributes.hasAttribute(name))
            return false;
        const std::optional<qint64> n = count(attributes.value(name));
        if (n)
            *value = *n;
        else
            *bad = true;
        return true;
    };

    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::EndElement) {
            if (reader.name() == u"Image")
                inFirstImage = false;
            else if (reader.name() == u"Pixels")
                inPixels = false;
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        const QStringView name = reader.name();
        if (!*isOme) {
            if (name != u"OME")
                return true;
            *isOme = true;
        } else if (name == u"Image") {
            inFirstImage = ++image.images == 1;
        } else if (name == u"Pixels" && inFirstImage && !hasPixels) {
            inPixels = hasPixels = true;
            bool bad = false;
            attribute(QStringLiteral("SizeX"), &image.sizeX, &bad);
            attribute(QStringLiteral("SizeY"), &image.sizeY, &bad);
            attribute(QStringLiteral("SizeC"), &image.sizeC, &bad);
            attribute(QStringLiteral("SizeZ"), &image.sizeZ, &bad);
            attribute(QStringLiteral("SizeT"), &image.sizeT, &bad);
            image.dimensionOrder = reader.attributes().value(QStringLiteral("DimensionOrder")).toString();
            image.type = reader.attributes().value(QStringLiteral("Type")).toString();
            if (bad || image.sizeC < 1 || image.sizeZ < 1 || image.sizeT < 1)
                return fail(QStringLiteral("OME-XML has a bad SizeC, SizeZ or SizeT"));
            static const QStringList orders = { "XYZCT", "XYZTC", "XYCTZ", "XYCZT", "XYTCZ", "XYTZC" };
            if (!orders.contains(image.dimensionOrder))
                return fail(QStringLiteral("OME-XML has no valid DimensionOrder"));
        } else if (name == u"Channel" && inPixels) {
            omeChannel channel;
            const QXmlStreamAttributes attributes = reader.attributes();
            channel.name = attributes.value(QStringLiteral("Name")).toString();
            bool ok = false;
            const qint64 colour = attributes.value(QStringLiteral("Color")).toLongLong(&ok);
            if (ok && colour >= -0x80000000LL && colour <= 0xffffffffLL) {
                const quint32 rgba = quint32(colour);
                channel.colour = qRgb(rgba >> 24, (rgba >> 16) & 0xff, (rgba >> 8) & 0xff);
            }
            image.channels.push_back(channel);
        } else if (name == u"TiffData" && inPixels) {
            omeTiffData d;
            bool bad = false;
            const bool hasIfd = attribute(QStringLiteral("IFD"), &d.ifd, &bad);
            attribute(QStringLiteral("FirstC"), &d.firstC, &bad);
            attribute(QStringLiteral("FirstZ"), &d.firstZ, &bad);
            attribute(QStringLiteral("FirstT"), &d.firstT, &bad);
            if (!attribute(QStringLiteral("PlaneCount"), &d.planeCount, &bad))
                d.planeCount = hasIfd ? 1 : 0;
            else if (d.planeCount == 0)
                bad = true;
            if (bad)
                return fail(QStringLiteral("OME-XML has a bad TiffData element"));
            image.tiffData.push_back(d);
        } else if (name == u"UUID" && inPixels && !image.tiffData.empty()) {
            image.tiffData.back().fileName = reader.attributes().value(QStringLiteral("FileName")).toString();
        }
    }
    if (reader.hasError() && *isOme)
        return fail(QStringLiteral("OME-XML is not well-formed: %1").arg(reader.errorString()));
    if (*isOme && !hasPixels)
        return fail(QStringLiteral("OME-XML has no Pixels element"));
    *out = image;
    return true;
}

std::optional<tifffileShape> parseTifffileShape(const QByteArray &json)
{
    if (!json.startsWith("{") || json.size() > maxMetadataText)
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(json);
    const QJsonValue shape = document.object().value("shape");
    if (!shape.isArray() || shape.toArray().size() > 32)
        return std::nullopt;
    tifffileShape result;
    for (const QJsonValue &v : shape.toArray()) {
        const double d = v.toDouble(-1);
        if (d < 0 || d > maxCount || d != qint64(d))
            return std::nullopt;
        result.shape.push_back(qint64(d));
    }
    result.axes = document.object().value("axes").toString();
    return result;
}
