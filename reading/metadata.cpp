#include "metadata.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QXmlStreamReader>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

namespace {

// Counts and indices in metadata above this are taken as nonsense.
constexpr qint64 maxCount = 0x7fffffff;
// More images than this in one file are taken for nonsense.
constexpr int maxImages = 4096;

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

// A length unit's symbol, its size in metres, and the ways it is written (in lower case).
struct lengthUnit
{
    QString symbol;
    double metres;
    QStringList names;
};

const std::vector<lengthUnit> &lengthUnits()
{
    static const std::vector<lengthUnit> units = {
        { QStringLiteral("µm"), 1e-6,
          { QStringLiteral("µm"), QStringLiteral("μm"), "um", "micron", "microns", "micrometer", "micrometre" } },
        { "nm", 1e-9, { "nm", "nanometer", "nanometre" } },
        { "mm", 1e-3, { "mm", "millimeter", "millimetre" } },
        { "cm", 1e-2, { "cm", "centimeter", "centimetre" } },
        { "m", 1, { "m", "meter", "metre" } },
        { "pm", 1e-12, { "pm", "picometer", "picometre" } },
        { QStringLiteral("Å"), 1e-10, { QStringLiteral("å"), "angstrom" } },   // Å and the Ångström sign lower-cased
        { "inch", 0.0254, { "inch", "inches", "in" } },
    };
    return units;
}

const lengthUnit *unitOf(const QString &written)
{
    const QString name = written.trimmed().toLower();
    for (const lengthUnit &unit : lengthUnits())
        if (unit.names.contains(name))
            return &unit;
    return nullptr;
}

bool isPixel(const QString &unit)
{
    return unit == QLatin1String("pixel") || unit == QLatin1String("pixels") || unit == QLatin1String("px");
}

// ImageJ writes characters beyond ASCII escaped, "\u00B5" for µ.
QString unescaped(QString text)
{
    for (qsizetype at = text.indexOf(QLatin1String("\\u")); at >= 0 && at + 6 <= text.size();
         at = text.indexOf(QLatin1String("\\u"), at + 1)) {
        bool ok = false;
        const uint code = QStringView(text).mid(at + 2, 4).toUInt(&ok, 16);
        if (ok)
            text.replace(at, 6, QChar(char16_t(code)));
    }
    return text;
}

// A unit of time: its size in seconds and the ways it is written (in lower case).
struct timeUnit
{
    double seconds;
    QStringList names;
};

const std::vector<timeUnit> &timeUnits()
{
    static const std::vector<timeUnit> units = {
        { 1, { "s", "sec", "secs", "second", "seconds" } },
        { 1e-3, { "ms", "msec", "millisecond", "milliseconds" } },
        { 1e-6, { QStringLiteral("µs"), QStringLiteral("μs"), "us", "usec", "microsecond", "microseconds" } },
        { 1e-9, { "ns", "nanosecond", "nanoseconds" } },
        { 60, { "min", "mins", "minute", "minutes" } },
        { 3600, { "h", "hr", "hrs", "hour", "hours" } },
        { 86400, { "d", "day", "days" } },
    };
    return units;
}

// "2.5 s", "250 ms", "3 min", "1.5 h".
QString durationText(double seconds)
{
    const auto text = [](double value, const char *unit) { return QString::number(value, 'g', 4) + u' ' + QLatin1String(unit); };
    if (seconds != 0 && seconds < 1)
        return text(seconds * 1e3, "ms");
    if (seconds < 120)
        return text(seconds, "s");
    if (seconds < 7200)
        return text(seconds / 60, "min");
    return text(seconds / 3600, "h");
}

// UTF-16 text, as ImageJ writes its properties.
QString utf16(const char *p, qint64 size, bool bigEndian)
{
    QString text;
    for (qint64 i = 0; i + 2 <= size; i += 2)
        text += QChar(fromBytes<quint16>(p + i, bigEndian));
    return text;
}

std::optional<double> attributeNumber(const QXmlStreamAttributes &attributes, const QString &name)
{
    bool ok = false;
    const double value = attributes.value(name).toDouble(&ok);
    return ok && std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}

// The axes from fastest to slowest as the file's metadata gives them, where it does.
QString axesOrder(const stack &s)
{
    const QByteArray text = s.metadataText.left(maxMetadataText).toUtf8();
    if (text.startsWith("ImageJ="))
        return QStringLiteral("XYCZT");
    std::vector<omeImage> ome;
    bool isOme = false;
    QString error;
    if (parseOme(text, &ome, &isOme, &error) && isOme)
        return s.image >= 0 && size_t(s.image) < ome.size() ? ome[size_t(s.image)].dimensionOrder : QString();
    if (const std::optional<tifffileShape> shape = parseTifffileShape(text)) {
        QString axes = shape->axes.toUpper();
        std::reverse(axes.begin(), axes.end());
        return axes;
    }
    return QString();
}

QString objectiveOf(const stack &s)
{
    if (!s.objective.isEmpty())
        return s.objective;
    std::vector<omeImage> ome;
    bool isOme = false;
    QString error;
    if (!parseOme(s.metadataText.left(maxMetadataText).toUtf8(), &ome, &isOme, &error) || s.image < 0
        || size_t(s.image) >= ome.size())
        return QString();
    return ome[size_t(s.image)].objective;
}

QString counted(qint64 n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

QString dimensionsText(int width, int height, qint64 times, qint64 planes, qint64 channels)
{
    return QStringLiteral("%1 × %2 pixels, %3, %4, %5")
        .arg(width).arg(height)
        .arg(counted(times, "time point", "time points"), counted(planes, "focal plane", "focal planes"),
             counted(channels, "channel", "channels"));
}

} // namespace

physicalSizes inOneUnit(const std::optional<double> (&sizes)[3], const QString (&units)[3])
{
    physicalSizes out;
    std::optional<double> *const to[3] = { &out.x, &out.y, &out.z };
    const lengthUnit *first = nullptr;
    bool given = false;
    bool pixelsOfOne = true;
    for (int i = 0; i < 3; ++i) {
        if (!sizes[i] || !std::isfinite(*sizes[i]) || *sizes[i] <= 0)
            continue;
        const lengthUnit *known = unitOf(units[i]);
        const QString unit = known ? known->symbol : units[i].trimmed();
        if (!given) {
            out.unit = unit;
            first = known;
            given = true;
        }
        if (unit == out.unit)
            *to[i] = sizes[i];
        else if (known && first)
            *to[i] = *sizes[i] * known->metres / first->metres;
        if (*to[i])
            pixelsOfOne = pixelsOfOne && **to[i] == 1;
    }
    if (isPixel(out.unit.toLower())) {
        if (pixelsOfOne)
            return physicalSizes();
        out.unit.clear();
    }
    return out;
}

void setSizes(const physicalSizes &sizes, stack *s)
{
    s->pixelWidth = sizes.x;
    s->pixelHeight = sizes.y;
    s->planeSpacing = sizes.z;
    s->unit = sizes.unit;
}

QString sizesText(const stack &s)
{
    const QString unit = s.unit.isEmpty() ? QString() : u' ' + s.unit;
    const auto number = [](const std::optional<double> &size) { return size ? QString::number(*size, 'g', 6) : QStringLiteral("?"); };
    QStringList parts;
    if (s.pixelWidth || s.pixelHeight)
        parts << QStringLiteral("%1 × %2%3 pixels").arg(number(s.pixelWidth), number(s.pixelHeight), unit);
    if (s.planeSpacing)
        parts << QStringLiteral("focal planes %1%2 apart").arg(number(s.planeSpacing), unit);
    if (parts.isEmpty())
        return QStringLiteral("not given");
    return parts.join(QLatin1String(", ")) + (s.unit.isEmpty() ? QStringLiteral(" (no unit given)") : QString());
}

std::optional<double> secondsPer(const QString &unit)
{
    const QString name = unit.trimmed().toLower();
    for (const timeUnit &known : timeUnits())
        if (known.names.contains(name))
            return known.seconds;
    return std::nullopt;
}

std::optional<double> intervalInSeconds(double value, const QString &unit)
{
    const std::optional<double> seconds = secondsPer(unit);
    if (!seconds || !std::isfinite(value) || value <= 0)
        return std::nullopt;
    return value * *seconds;
}

void setTimes(const recordingTimes &times, stack *s)
{
    s->timeInterval = times.interval;
    s->timeStamps.clear();
    if (s->times > 1 && times.stamps.size() == size_t(s->times))
        s->timeStamps = times.stamps;
    s->frameRate.reset();
    if (times.frameRate && std::isfinite(*times.frameRate) && *times.frameRate > 0)
        s->frameRate = times.frameRate;
}

std::optional<double> elapsedSeconds(const stack &s, int t)
{
    if (t < 0 || t >= s.times)
        return std::nullopt;
    if (s.timeStamps.size() == size_t(s.times))
        return s.timeStamps[size_t(t)];
    if (s.timeInterval)
        return t * *s.timeInterval;
    return std::nullopt;
}

QString timesText(const stack &s)
{
    if (s.times > 1 && s.timeStamps.size() == size_t(s.times))
        return QStringLiteral("%1 time stamps over %2").arg(s.times).arg(durationText(s.timeStamps.back() - s.timeStamps.front()));
    if (s.timeInterval)
        return QStringLiteral("every %1").arg(durationText(*s.timeInterval));
    return QStringLiteral("not given");
}

QList<QPair<QString, QString>> stackFacts(const stack &s)
{
    QList<QPair<QString, QString>> facts;
    const auto add = [&facts](const QString &what, const QString &text) { facts.append({ what, text }); };
    add(QStringLiteral("Kind"), s.description);
    add(QStringLiteral("Dimensions"), dimensionsText(s.width, s.height, s.times, s.planes, qint64(s.channels.size())));
    const QString order = axesOrder(s);
    if (!order.isEmpty())
        add(QStringLiteral("Axes"), QStringLiteral("%1, fastest first").arg(order));
    else if (s.axesGuessed)
        add(QStringLiteral("Axes"), QStringLiteral("not given"));
    add(QStringLiteral("Data type"), sampleTypeText(s.bits, s.format));
    add(QStringLiteral("Physical size"), sizesText(s));
    add(QStringLiteral("Times"), timesText(s));
    if (s.frameRate)
        add(QStringLiteral("Playback"), QStringLiteral("%1 frames a second").arg(*s.frameRate, 0, 'g', 4));
    QStringList names;
    for (const channelInfo &channel : s.channels)
        names << (channel.name.isEmpty() ? QStringLiteral("(unnamed)") : channel.name);
    if (std::any_of(s.channels.begin(), s.channels.end(), [](const channelInfo &c) { return !c.name.isEmpty(); }))
        add(QStringLiteral("Channel names"), names.join(QLatin1String(", ")));
    if (s.files.size() > 1)
        add(QStringLiteral("Files"), QString::number(s.files.size()));
    // A file of thousands of positions lists its first ones.
    constexpr size_t imagesListed = 100;
    for (size_t i = 0; i < s.images.size() && s.images.size() > 1 && i < imagesListed; ++i) {
        const imageSummary &image = s.images[i];
        QString text = dimensionsText(image.width, image.height, image.times, image.planes, image.channels);
        if (!image.type.isEmpty())
            text += QStringLiteral(", ") + image.type;
        if (!image.name.isEmpty())
            text = image.name + QStringLiteral(": ") + text;
        if (int(i) == s.image)
            text += QStringLiteral(" (shown)");
        add(QStringLiteral("Image %1").arg(i), text);
    }
    if (s.images.size() > imagesListed)
        add(QStringLiteral("Images"), QStringLiteral("%1 more").arg(s.images.size() - imagesListed));
    const QString objective = objectiveOf(s);
    if (!objective.isEmpty())
        add(QStringLiteral("Objective"), objective);
    return facts;
}

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
        else if (key == "hyperstack")
            d.hyperstack = value.trimmed() == QLatin1String("true");
        else if (key == "unit")
            d.unit = unescaped(QString::fromUtf8(line.mid(equals + 1)).trimmed());
        else if (key == "spacing" && ok)
            d.spacing = real;
        else if (key == "finterval" && ok)
            d.interval = real;
        else if (key == "tunit")
            d.timeUnit = unescaped(QString::fromUtf8(line.mid(equals + 1)).trimmed());
        else if (key == "fps" && ok)
            d.fps = real;
    }
    return d;
}

physicalSizes imagejSizes(const imagejDescription &d, double xResolution, double yResolution, int resolutionUnit)
{
    // Without a unit of its own, ImageJ takes the resolution tags' unit, and pixels when they have none.
    QString unit = d.unit;
    if (unit.isEmpty())
        unit = resolutionUnit == 2 ? QStringLiteral("inch") : resolutionUnit == 3 ? QStringLiteral("cm") : QStringLiteral("pixel");
    const auto size = [](double resolution) { return resolution > 0 ? std::optional<double>(1 / resolution) : std::nullopt; };
    return inOneUnit({ size(xResolution), size(yResolution), d.spacing }, { unit, unit, unit });
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
            } else if (blockType == "info" && extras.info.isEmpty()) {
                extras.info = utf16(p, size, bigEndian);
            }
            offset += size;
        }
    }
    return extras;
}

bool parseOme(const QByteArray &xml, std::vector<omeImage> *out, bool *isOme, QString *error)
{
    *isOme = false;
    out->clear();
    if (xml.size() > maxMetadataText || !xml.contains("<OME"))
        return true;
    QXmlStreamReader reader(xml);
    std::vector<omeImage> images;
    bool inImage = false;
    bool inPixels = false;
    bool hasPixels = false;
    // DeltaT of each time point's first plane, of the image being read.
    std::vector<double> deltas;
    // The objectives' descriptions by ID, and the one each image names.
    std::map<QString, QString> objectives;
    std::vector<QString> objectiveOfImage;
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
            if (reader.name() == u"Image") {
                if (inImage && !hasPixels)
                    return fail(QStringLiteral("OME-XML has an image without a Pixels element"));
                if (inImage && !deltas.empty() && std::all_of(deltas.begin(), deltas.end(), [](double d) { return std::isfinite(d); }))
                    for (double d : deltas)
                        images.back().timeStamps.push_back(d - deltas.front());
                deltas.clear();
                inImage = false;
            } else if (reader.name() == u"Pixels") {
                inPixels = false;
            }
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
            if (images.size() >= size_t(maxImages))
                return fail(QStringLiteral("OME-XML has more than %1 images").arg(maxImages));
            images.emplace_back();
            images.back().name = reader.attributes().value(QStringLiteral("Name")).toString().simplified();
            objectiveOfImage.emplace_back();
            deltas.clear();
            inImage = true;
            hasPixels = false;
        } else if (name == u"Pixels" && inImage && !hasPixels) {
            omeImage &image = images.back();
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
            std::optional<double> sizes[3];
            QString units[3];
            for (int i = 0; i < 3; ++i) {
                const QString size = QStringLiteral("PhysicalSize") + QChar(u"XYZ"[i]);
                bool ok = false;
                const double value = reader.attributes().value(size).toDouble(&ok);
                if (ok)
                    sizes[i] = value;
                units[i] = reader.attributes().value(size + QStringLiteral("Unit")).toString();
                if (units[i].isEmpty())
                    units[i] = QStringLiteral("µm");
            }
            image.sizes = inOneUnit(sizes, units);
            if (const std::optional<double> increment = attributeNumber(reader.attributes(), QStringLiteral("TimeIncrement"))) {
                const QString unit = reader.attributes().value(QStringLiteral("TimeIncrementUnit")).toString();
                image.timeIncrement = intervalInSeconds(*increment, unit.isEmpty() ? QStringLiteral("s") : unit);
            }
        } else if (name == u"Plane" && inPixels) {
            const QXmlStreamAttributes attributes = reader.attributes();
            const std::optional<double> delta = attributeNumber(attributes, QStringLiteral("DeltaT"));
            const QString unit = attributes.value(QStringLiteral("DeltaTUnit")).toString();
            const std::optional<double> seconds = secondsPer(unit.isEmpty() ? QStringLiteral("s") : unit);
            const qint64 sizeT = images.back().sizeT;
            qint64 c = 0, z = 0, t = 0;
            bool bad = false;
            attribute(QStringLiteral("TheC"), &c, &bad);
            attribute(QStringLiteral("TheZ"), &z, &bad);
            attribute(QStringLiteral("TheT"), &t, &bad);
            if (delta && seconds && !bad && c == 0 && z == 0 && sizeT <= maxTimeStamps) {
                if (deltas.empty())
                    deltas.assign(size_t(sizeT), qQNaN());
                if (size_t(t) < deltas.size())
                    deltas[size_t(t)] = *delta * *seconds;
            }
        } else if (name == u"Objective") {
            const QXmlStreamAttributes attributes = reader.attributes();
            QStringList parts;
            if (const QString model = attributes.value(QStringLiteral("Model")).toString().simplified(); !model.isEmpty())
                parts << model;
            if (const std::optional<double> m = attributeNumber(attributes, QStringLiteral("NominalMagnification")))
                parts << QString::number(*m, 'g', 4) + QStringLiteral("×");
            if (const std::optional<double> na = attributeNumber(attributes, QStringLiteral("LensNA")))
                parts << QStringLiteral("NA ") + QString::number(*na, 'g', 4);
            if (!parts.isEmpty() && objectives.size() < size_t(maxImages))
                objectives[attributes.value(QStringLiteral("ID")).toString()] = parts.join(QLatin1String(", "));
        } else if (name == u"ObjectiveSettings" && inImage) {
            objectiveOfImage.back() = reader.attributes().value(QStringLiteral("ID")).toString();
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
            images.back().channels.push_back(channel);
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
            images.back().tiffData.push_back(d);
        } else if (name == u"UUID" && inPixels && !images.back().tiffData.empty()) {
            images.back().tiffData.back().fileName = reader.attributes().value(QStringLiteral("FileName")).toString();
        }
    }
    if (reader.hasError() && *isOme)
        return fail(QStringLiteral("OME-XML is not well-formed: %1").arg(reader.errorString()));
    if (*isOme && images.empty())
        return fail(QStringLiteral("OME-XML has no Pixels element"));
    // An image without settings of its own was taken with the only objective there is.
    for (size_t i = 0; i < images.size(); ++i) {
        const auto named = objectives.find(objectiveOfImage[i]);
        if (named != objectives.end())
            images[i].objective = named->second;
        else if (objectives.size() == 1 && objectiveOfImage[i].isEmpty())
            images[i].objective = objectives.begin()->second;
    }
    *out = std::move(images);
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

std::optional<lsmInfo> parseLsmInfo(const QByteArray &data)
{
    // The fields read, all little-endian: the magic number, the counts of
    // focal planes, channels and time points, the scan type, the colours'
    // offset, and (in later versions) the counts of positions and tiles.
    if (data.size() < 112)
        return std::nullopt;
    const char *p = data.constData();
    const quint32 magic = qFromLittleEndian<quint32>(p);
    if (magic != 0x0300494C && magic != 0x0400494C)
        return std::nullopt;
    const auto counted = [&](qsizetype at) { return std::max<qint64>(1, qFromLittleEndian<qint32>(p + at)); };
    lsmInfo info;
    info.planes = counted(16);
    info.channels = counted(20);
    info.times = counted(24);
    const quint16 scanType = qFromLittleEndian<quint16>(p + 88);
    info.timeFastest = scanType == 3 || scanType == 5 || scanType == 9;
    info.colourOffset = qFromLittleEndian<quint32>(p + 108);
    if (data.size() >= 136) {
        info.interval = intervalInSeconds(doubleFromBytes(p + 112, false), QStringLiteral("s"));
        info.scanOffset = qFromLittleEndian<quint32>(p + 124);
        info.stampsOffset = qFromLittleEndian<quint32>(p + 132);
    }
    // Voxel sizes in metres; a file of one plane gives next to nothing (1e-19) between planes.
    std::optional<double> sizes[3];
    for (int i = 0; i < 3; ++i) {
        const double metres = doubleFromBytes(p + 40 + 8 * i, false);
        if (metres > 1e-12)
            sizes[i] = metres * 1e6;
    }
    info.sizes = inOneUnit(sizes, { QStringLiteral("µm"), QStringLiteral("µm"), QStringLiteral("µm") });
    if (data.size() >= 272)
        info.images = std::min(counted(264) * counted(268), maxCount);
    return info;
}

QString parseLsmObjective(const QByteArray &block)
{
    // A tree of entries, each a 32-bit tag, type and size and then size
    // bytes; a block opens with an entry of type 0 and closes with the tag
    // 0x0FFFFFFF.  The recording's own entries are in the outermost block.
    constexpr quint32 objective = 0x10000004, blockEnd = 0x0FFFFFFF, opening = 0, text = 2;
    int depth = 0;
    for (qsizetype at = 0; at + 12 <= block.size();) {
        const char *p = block.constData() + at;
        const quint32 tag = qFromLittleEndian<quint32>(p), type = qFromLittleEndian<quint32>(p + 4);
        const quint32 size = qFromLittleEndian<quint32>(p + 8);
        at += 12;
        if (size > quint32(block.size() - at) || (tag == blockEnd && --depth <= 0))
            break;
        if (type == opening && tag != blockEnd)
            ++depth;
        if (tag == objective && type == text && depth == 1) {
            const QByteArray name = block.mid(at, qsizetype(size));
            return QString::fromLatin1(name.left(name.indexOf('\0') < 0 ? name.size() : name.indexOf('\0'))).trimmed();
        }
        at += qsizetype(size);
    }
    return QString();
}

lsmColours parseLsmColours(const QByteArray &block)
{
    // A header of six 32-bit words: the block's size, the counts of colours
    // and names, the offsets of both, and a flag; then 4 bytes (R, G, B, 0)
    // a colour, and each name as a 32-bit length and its bytes.
    lsmColours result;
    if (block.size() < 24)
        return result;
    const char *p = block.constData();
    const auto word = [p](qsizetype at) { return qFromLittleEndian<quint32>(p + at); };
    const qint64 size = std::min<qint64>(word(0), block.size());
    const qint64 colours = word(4);
    const qint64 names = word(8);
    const qint64 colourAt = word(12);
    if (colours != names || colours > 64 || colourAt < 24 || colourAt + 4 * colours > size)
        return result;
    for (qint64 i = 0; i < colours; ++i) {
        const uchar *c = reinterpret_cast<const uchar *>(p + colourAt + 4 * i);
        result.colours.push_back(qRgb(c[0], c[1], c[2]));
    }
    for (qint64 at = word(16); at >= 24 && at + 4 <= size && result.names.size() < names;) {
        const qint64 length = word(at);
        if (length > size - at - 4)
            break;
        result.names << QString::fromLatin1(p + at + 4, qsizetype(length)).section(QChar(0), 0, 0);
        at += 4 + length;
    }
    if (result.names.size() != names)
        result.names.clear();
    return result;
}

std::vector<double> parseLsmTimeStamps(const QByteArray &block)
{
    std::vector<double> stamps;
    if (block.size() < 8)
        return stamps;
    const qint64 count = std::min<qint64>(qFromLittleEndian<qint32>(block.constData() + 4), (block.size() - 8) / 8);
    for (qint64 i = 0; i < count; ++i) {
        const double stamp = doubleFromBytes(block.constData() + 8 + 8 * i, false);
        if (!std::isfinite(stamp))
            return {};
        stamps.push_back(stamp);
    }
    for (size_t i = stamps.size(); i-- > 0;)
        stamps[i] -= stamps.front();
    return stamps;
}

physicalSizes tiffSizes(const QByteArray &description, const std::optional<lsmInfo> &lsm, double xResolution,
                        double yResolution, int resolutionUnit, int image)
{
    if (const std::optional<imagejDescription> imagej = parseImagejDescription(description))
        return imagejSizes(*imagej, xResolution, yResolution, resolutionUnit);
    std::vector<omeImage> ome;
    bool isOme = false;
    QString error;
    if (parseOme(description, &ome, &isOme, &error) && isOme)
        return image >= 0 && size_t(image) < ome.size() ? ome[size_t(image)].sizes : physicalSizes();
    return lsm ? lsm->sizes : physicalSizes();
}

recordingTimes tiffTimes(const QByteArray &description, const std::optional<lsmInfo> &lsm, const QByteArray &lsmStamps,
                         int image)
{
    recordingTimes times;
    if (const std::optional<imagejDescription> imagej = parseImagejDescription(description)) {
        if (imagej->interval)
            times.interval = intervalInSeconds(*imagej->interval, imagej->timeUnit.isEmpty() ? QStringLiteral("s") : imagej->timeUnit);
        times.frameRate = imagej->fps;
        return times;
    }
    std::vector<omeImage> ome;
    bool isOme = false;
    QString error;
    if (parseOme(description, &ome, &isOme, &error) && isOme) {
        if (image >= 0 && size_t(image) < ome.size()) {
            times.interval = ome[size_t(image)].timeIncrement;
            times.stamps = ome[size_t(image)].timeStamps;
        }
        return times;
    }
    if (lsm) {
        times.interval = lsm->interval;
        // Positions' stamps may interleave; those of one image are its own.
        times.stamps = parseLsmTimeStamps(lsmStamps);
        if (lsm->images == 1 && times.stamps.size() >= size_t(lsm->times))
            times.stamps.resize(size_t(lsm->times));
    }
    return times;
}

QString tiffMetadataText(const QByteArray &description, const QByteArray &imagejDescription, const QString &imagejInfo)
{
    QStringList parts;
    for (const QString &text : { QString::fromUtf8(description.left(maxMetadataText)),
                                 QString::fromUtf8(imagejDescription.left(maxMetadataText)), imagejInfo }) {
        if (!text.trimmed().isEmpty())
            parts << text.trimmed();
    }
    return parts.join(QLatin1String("\n\n"));
}
