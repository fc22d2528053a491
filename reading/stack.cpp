#include "stack.h"

#include "fileseries.h"
#include "formats.h"

#include <QFile>
#include <QFileInfo>

#include <cstring>

bool stack::readRegion(int t, int z, int c, int level, const QRect &region, planeData &out)
{
    if (level != 0 || !QRect(0, 0, width, height).contains(region) || region.isEmpty()) {
        mError = QStringLiteral("no level %1 region %2,%3 %4 x %5").arg(level).arg(region.x()).arg(region.y()).arg(region.width()).arg(region.height());
        return false;
    }
    if (!read(t, z, c, out))
        return false;
    if (region.size() == QSize(width, height))
        return true;
    const size_t bytes = size_t(out.bits / 8);
    for (int y = 0; y < region.height(); ++y)
        std::memmove(out.bytes.data() + size_t(y) * size_t(region.width()) * bytes,
                     out.bytes.data() + (size_t(region.top() + y) * size_t(width) + size_t(region.left())) * bytes,
                     size_t(region.width()) * bytes);
    out.bytes.resize(size_t(region.width()) * size_t(region.height()) * bytes);
    return true;
}

bool stack::readChannels(int t, int z, int level, const QRect &region, std::vector<planeData> &planes)
{
    planes.resize(channels.size());
    std::vector<QRect> missedAll;
    QString firstError;
    for (int c = 0; c < int(planes.size()); ++c) {
        planeData &out = planes[size_t(c)];
        if (!present(t, z, c)) {
            out.bytes = std::vector<unsigned char>();
            continue;
        }
        if (readRegion(t, z, c, level, region, out))
            continue;
        if (firstError.isEmpty())
            firstError = mError;
        if (mMissed.empty()) {
            mError = firstError;
            return false;
        }
        missedAll.insert(missedAll.end(), mMissed.begin(), mMissed.end());
    }
    mMissed = missedAll;
    mError = firstError.isEmpty() ? mError : firstError;
    return firstError.isEmpty();
}

std::unique_ptr<stack> openFile(const QString &fileName, const stackOptions &options, QString *error)
{
    // An address of another scheme is no file's path.
    if (const QString refusal = addressRefusal(fileName); !refusal.isEmpty()) {
        *error = refusal;
        return nullptr;
    }
    // A folder or URL is told by where it is, a file by its first bytes.
    const format *f = formatOf(fileName, QByteArray());
    if (!f) {
        QFile file(fileName);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("%1: %2").arg(fileName, file.errorString());
            return nullptr;
        }
        f = formatOf(fileName, file.read(headBytes));
    }
    if (!f) {
        *error = QStringLiteral("%1: not a TIFF, PNG or JPEG file").arg(fileName);
        return nullptr;
    }
    return f->open(fileName, options, error);
}

std::unique_ptr<stack> openStack(const QStringList &inputs, const stackOptions &options, QString *error)
{
    if (inputs.isEmpty()) {
        *error = QStringLiteral("no input");
        return nullptr;
    }
    std::unique_ptr<stack> s = inputs.size() == 1 && options.pattern.isEmpty() ? openFile(inputs.first(), options, error)
                                                                              : fileSeries::open(inputs, options, error);
    if (s && s->images.empty()) {
        const QString name = inputs.size() == 1 ? QFileInfo(inputs.first()).fileName()
                                                : QStringLiteral("%1 files").arg(inputs.size());
        s->images.push_back({ name, s->width, s->height, s->times, s->planes, qint64(s->channels.size()),
                              sampleTypeText(s->bits, s->format) });
    }
    if (s && s->levels.empty())
        s->levels.push_back(QSize(s->width, s->height));
    if (s && s->images.size() > size_t(s->image) && s->images[size_t(s->image)].width == 0) {
        imageSummary &shown = s->images[size_t(s->image)];
        shown = { shown.name, s->width, s->height, s->times, s->planes, qint64(s->channels.size()),
                  sampleTypeText(s->bits, s->format) };
    }
    return s;
}

QString sampleTypeText(int bits, sampleFormat format)
{
    if (format == sampleFormat::floatingPoint)
        return QStringLiteral("%1-bit float").arg(bits);
    return QStringLiteral("%1-bit %2 integers").arg(bits).arg(format == sampleFormat::signedInt ? "signed" : "unsigned");
}
