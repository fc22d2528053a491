#include "datasetsource.h"
#include "datasetformat.h"
#include "datasetplanes.h"
#include "framereader.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

datasetsource::datasetsource(const QByteArray &path, const QByteArray &dataset, const layout &shape)
    : framesource(std::make_unique<datasetplanes>(path, dataset)), path(path), dataset(dataset), shape(shape)
{
    channelsFound(3);
    // A dataset saved from a recording keeps the recording's sizes in its record.
    QFile record(QFile::decodeName(path + '/' + dataset + ".import.json"));
    if (record.size() < (1 << 20) && record.open(QIODevice::ReadOnly)) {
        const QJsonObject fields = QJsonDocument::fromJson(record.readAll()).object();
        const auto positive = [&fields](const char *key) {
            const double v = fields.value(QLatin1String(key)).toDouble();
            return v > 0 && std::isfinite(v) ? std::optional<double>(v) : std::nullopt;
        };
        mPixelSize = positive("pixelWidth");
        mPlaneSpacing = positive("planeSpacing");
        mUnit = fields.value(QLatin1String("unit")).toString();
    }
}

datasetsource::~datasetsource() = default;

void datasetsource::load(int t, int z)
{
    framesource::load(t, z);
    name_ = frameName(path, dataset, t, z);
    opened.reset();
    if (projection() == projectionKind::none)
        reader();
}

// While a projection is shown, the size of the frames as last read.
QSize datasetsource::size()
{
    if (projection() != projectionKind::none && known.isValid())
        return known;
    known = reader().size();
    return known;
}

QString datasetsource::title() const
{
    if (projection() != projectionKind::none)
        return framesource::title();
    return QFileInfo(QString::fromLocal8Bit(name_)).fileName();
}

QImage datasetsource::picture(const QSize &scaled, const QRect &part)
{
    if (projection() != projectionKind::none)
        return framesource::picture(scaled, part);
    const QImage image = reader().readScaled(scaled, part);
    opened.reset();
    return image;
}

// Grey frames, or red, green and blue, each at the whole 8-bit range.
void datasetsource::channelsFound(size_t count)
{
    mChannels.assign(count, channel());
    for (size_t c = 0; c < count; ++c) {
        channel &ch = mChannels[c];
        ch.name = count == 1 ? QStringLiteral("Grey") : QStringList { "Red", "Green", "Blue" }.value(int(c));
        ch.colour = count == 1 ? qRgb(255, 255, 255) : defaultColour(int(c));
        ch.started = true;
    }
}

// The frame's file, opened and traced once for each picture taken of it.
framereader &datasetsource::reader()
{
    if (!opened) {
        trace(name_);
        opened = std::make_unique<framereader>(name_);
    }
    return *opened;
}

QList<QPair<QString, QString>> datasetsource::facts() const
{
    const auto spans = [](const framesource::range &r) { return QStringLiteral("%1 to %2").arg(r.first).arg(r.last); };
    return { { QStringLiteral("Kind"), QStringLiteral("Dataset: a descriptor and JPEG frames") },
             { QStringLiteral("Folder"), QString::fromLocal8Bit(path) },
             { QStringLiteral("Name"), name() },
             { QStringLiteral("Frame"), QStringLiteral("%1 × %2 pixels, as the descriptor says").arg(shape.width).arg(shape.height) },
             { QStringLiteral("Time points"), spans(shape.times) },
             { QStringLiteral("Focal planes"), spans(shape.planes) },
             { QStringLiteral("Data type"), QStringLiteral("8-bit JPEG, grey or colour") } };
}
