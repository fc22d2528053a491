#include "recordingsource.h"

#include "formats.h"
#include "indexnames.h"
#include "metadata.h"
#include "zarrstack.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cmath>

namespace {

QByteArray tracePathOf(const QStringList &paths)
{
    const QString opened = zarrstore::isUrl(paths.first()) ? paths.first()
            : paths.size() == 1                           ? QDir::toNativeSeparators(QFileInfo(paths.first()).absoluteFilePath())
                                                          : QDir::toNativeSeparators(QFileInfo(paths.first()).absolutePath());
    return QFile::encodeName(opened);
}

} // namespace

recordingsource::recordingsource(std::unique_ptr<stack> input, const QStringList &paths)
    : framesource(std::make_unique<stackplanes>(*input, tracePathOf(paths))), in(std::move(input)), mPaths(paths)
{
    planesOf = static_cast<stackplanes *>(mPlanes.get());
    // An OME-Zarr image is read by chunks: those in view, at every level.
    planesOf->setPartsOnly(paths.size() == 1 && zarrStack::isZarr(paths.first()));
    mName = nameOf(paths);
    const size_t count = in->channels.size();
    mChannels.resize(count);
    for (size_t c = 0; c < count; ++c) {
        const channelInfo &info = in->channels[c];
        channel &shown = mChannels[c];
        shown.name = info.name.isEmpty() ? QStringLiteral("Channel %1").arg(c + 1) : info.name;
        // One channel alone is grey unless the file gives it a colour.
        shown.colour = info.colour ? *info.colour : count == 1 ? qRgb(255, 255, 255) : defaultColour(int(c));
    }
    startWindows();
}

std::unique_ptr<recordingsource> recordingsource::open(const QStringList &paths, int image, QString *error,
                                                       int timeout, qint64 maxPlaneBytes)
{
    const QStringList inputs = inputsOf(paths);
    if (inputs.isEmpty()) {
        *error = QStringLiteral("%1: holds no TIFF, LSM, PNG or JPEG files").arg(QDir::toNativeSeparators(paths.value(0)));
        return nullptr;
    }
    stackOptions options;
    options.image = image;
    options.partial = true;
    options.maxPlaneBytes = maxPlaneBytes;
    options.timeout = timeout;
    std::unique_ptr<stack> input = openStack(inputs, options, error);
    if (!input)
        return nullptr;
    return std::unique_ptr<recordingsource>(new recordingsource(std::move(input), paths));
}

int recordingsource::features() const
{
    return saving | adjusting | (swappable() ? swapping : 0) | (in->images.size() > 1 ? choosingImages : 0);
}

// The file's name, or what the names of a series share, and the image's.
QString recordingsource::nameOf(const QStringList &paths) const
{
    const QString &first = paths.first();
    QString text = paths.size() == 1 && (!QFileInfo(first).isDir() || zarrStack::isZarr(first))
            ? QFileInfo(QString(first).remove(QRegularExpression(QStringLiteral("/+$")))).fileName()
            : seriesName(inputsOf(paths));
    if (in->images.size() > 1)
        text += QStringLiteral(" (%1)").arg(imageNames().value(in->image));
    return text;
}

// The images' own names where each has one of its own, else "Position N".
QStringList recordingsource::imageNames() const
{
    QStringList names;
    for (const imageSummary &image : in->images)
        names << image.name;
    if (names.contains(QString()) || names.removeDuplicates() > 0) {
        names.clear();
        for (size_t i = 0; i < in->images.size(); ++i)
            names << QStringLiteral("Position %1").arg(i + 1);
    }
    return names;
}

// The one axis of a stack that no metadata names may be either.
bool recordingsource::swappable() const
{
    return in->axesGuessed && (in->times == 1) != (in->planes == 1);
}

// A server that stopped answering is asked again.
void recordingsource::reread()
{
    in->retry();
    framesource::reread();
}

void recordingsource::setSwapped(bool on)
{
    mSwapped = on && swappable();
    planesOf->setSwapped(mSwapped);
    load(-1, -1);
}

// The file's display range, else 8-bit integers as stored; the others wait
// for the first plane shown, whose Auto window they keep.
void recordingsource::startWindows()
{
    for (size_t c = 0; c < mChannels.size(); ++c) {
        const channelInfo &info = in->channels[c];
        channel &shown = mChannels[c];
        if (info.low && info.high && *info.high > *info.low && std::isfinite(*info.high - *info.low)) {
            shown.low = *info.low;
            shown.high = *info.high;
        } else if (in->bits == 8 && in->format != sampleFormat::floatingPoint) {
            const intensityWindow whole = typeRange(in->bits, in->format);
            shown.low = whole.low;
            shown.high = whole.high;
        } else {
            continue;
        }
        shown.startLow = shown.low;
        shown.startHigh = shown.high;
        shown.started = true;
    }
}

// What the file says, and the channels as shown.
QList<QPair<QString, QString>> recordingsource::facts() const
{
    QList<QPair<QString, QString>> lines { { QStringLiteral("Opened"), mPaths.join(QStringLiteral(", ")) } };
    lines += stackFacts(*in);
    for (size_t c = 0; c < mChannels.size(); ++c) {
        const channel &ch = mChannels[c];
        lines.append({ QStringLiteral("Channel %1 shown").arg(c + 1),
                       QStringLiteral("%1, %2, window %3 – %4").arg(ch.name, ch.table.isEmpty() ? QColor(ch.colour).name() : ch.table)
                               .arg(ch.low).arg(ch.high) });
    }
    for (const QString &warning : in->warnings)
        lines.append({ QStringLiteral("Note"), warning });
    return lines;
}

std::optional<double> recordingsource::elapsedSeconds(int t) const
{
    return mSwapped ? std::nullopt : ::elapsedSeconds(*in, t);
}
