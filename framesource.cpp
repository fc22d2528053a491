#include "framesource.h"

#include <algorithm>
#include <cstring>
#include <iostream>

void trace(const QByteArray &line)
{
    const QByteArray text = line + '\n';
    std::cerr.write(text.constData(), text.size());
    std::cerr.flush();
}

namespace {

bool hasOwnWindows(projectionKind kind)
{
    return kind == projectionKind::sum || kind == projectionKind::standardDeviation;
}

double sampleAt(const planeData &plane, size_t i)
{
    const unsigned char *p = plane.bytes.data();
    if (plane.format == sampleFormat::floatingPoint)
        return reinterpret_cast<const float *>(p)[i];
    if (plane.format == sampleFormat::signedInt) {
        if (plane.bits == 8)
            return reinterpret_cast<const qint8 *>(p)[i];
        if (plane.bits == 16)
            return reinterpret_cast<const qint16 *>(p)[i];
        return reinterpret_cast<const qint32 *>(p)[i];
    }
    if (plane.bits == 8)
        return p[i];
    if (plane.bits == 16)
        return reinterpret_cast<const quint16 *>(p)[i];
    return reinterpret_cast<const quint32 *>(p)[i];
}

} // namespace

framesource::framesource(std::unique_ptr<planeprovider> planes)
    : mPlanes(std::move(planes))
{
}

framesource::~framesource() = default;

// The planes are read when a picture needs them, and only then.
void framesource::load(int t, int z)
{
    if (t == mTime && z == mPlane)
        return;
    // A projection of the same time point and range stays as it is.
    if (keptProjected && mProjection != projectionKind::none && t == mTime) {
        mPlane = z;
        return;
    }
    mTime = t;
    mPlane = z;
    loaded = false;
    failed = false;
}

void framesource::reread()
{
    loaded = false;
    failed = false;
    keptProjected = false;
}

QString framesource::title() const
{
    if (mProjection != projectionKind::none)
        return QStringLiteral("%1, t %2, %3 of z %4 to %5").arg(name()).arg(mTime).arg(projectionName(mProjection))
                .arg(mProjected.first).arg(mProjected.last);
    return QStringLiteral("%1, t %2, z %3").arg(name()).arg(mTime).arg(mPlane);
}

void framesource::setProblem(const QString &problem)
{
    mProblem = problem;
    if (!problem.isEmpty())
        trace(problem.toLocal8Bit());
}

// The coarsest level that still has a pixel for each one shown.
int framesource::levelFor(const QSize &scaled, const std::vector<QSize> &levels) const
{
    for (size_t level = levels.size(); level-- > 1;) {
        const QSize size = levels[level];
        if (size.width() >= scaled.width() && size.height() >= scaled.height())
            return int(level);
    }
    return 0;
}

// Each output pixel is the mean of the pixels it covers of the level
// chosen.  A frame of one level is read whole, so that a drag reads
// nothing; the levels of a pyramid, and chunked images, only where the
// part lies.
QImage framesource::picture(const QSize &scaled, const QRect &part)
{
    const QSize frame = size();
    if (failed || part.isEmpty() || scaled.width() < 1 || scaled.height() < 1 || scaled.width() > frame.width()
        || scaled.height() > frame.height() || !QRect(QPoint(), scaled).contains(part))
        return QImage();
    std::vector<QSize> levels = mPlanes->levels();
    if (levels.empty())
        levels.push_back(frame);
    const int level = levelFor(scaled, levels);
    const QSize levelSize = levels[size_t(level)];
    const QRect needed(QPoint(int(qint64(part.left()) * levelSize.width() / scaled.width()),
                              int(qint64(part.top()) * levelSize.height() / scaled.height())),
                       QPoint(std::max(int((qint64(part.right()) + 1) * levelSize.width() / scaled.width()),
                                       int(qint64(part.left()) * levelSize.width() / scaled.width()) + 1) - 1,
                              std::max(int((qint64(part.bottom()) + 1) * levelSize.height() / scaled.height()),
                                       int(qint64(part.top()) * levelSize.height() / scaled.height()) + 1) - 1));
    const QRect region = levels.size() == 1 && !mPlanes->partsOnly() ? QRect(QPoint(), levelSize) : needed;
    const bool current = loaded && keptProjected == (mProjection != projectionKind::none) && mLevel == level
            && mRegion.contains(needed);
    if (!current && !readKept(level, region))
        return QImage();
    std::vector<const planeData *> planes;
    for (size_t c = 0; c < kept.size(); ++c)
        planes.push_back(plane(int(c)));
    return colours.compose(planes, mChannels, levelSize, mRegion, scaled, part);
}

// The region of every channel's plane at a level (or their projection), or
// nothing and a trace line that says why.
bool framesource::readKept(int level, const QRect &region)
{
    const bool ok = mProjection != projectionKind::none ? readProjection(level, region)
                                                        : (trace(mPlanes->traceLine(mTime, mPlane)),
                                                           mPlanes->read(mTime, mPlane, level, region, kept));
    keptProjected = ok && mProjection != projectionKind::none;
    loaded = false;
    mMissed.clear();
    // Parts that did not come are shown as such, and the rest as it is.
    const bool partial = !ok && mProjection == projectionKind::none && !mPlanes->missed().empty()
            && kept.size() == size_t(mPlanes->channels());
    if (!ok && !partial) {
        setProblem(mPlanes->error());
        kept.clear();
        failed = true;
        return false;
    }
    if (partial) {
        setProblem(mPlanes->error());
        mMissed = mPlanes->missed();
    } else {
        mProblem.clear();
    }
    loaded = true;
    mLevel = level;
    mRegion = region;
    if (mChannels.size() != kept.size())
        channelsFound(kept.size());
    startUnstarted();
    return true;
}

std::vector<QRect> framesource::missedIn(const QSize &scaled, const QRect &part) const
{
    std::vector<QRect> shown;
    const std::vector<QSize> levels = mPlanes->levels();
    if (!loaded || mMissed.empty() || size_t(mLevel) >= levels.size())
        return shown;
    const QSize level = levels[size_t(mLevel)];
    for (const QRect &r : mMissed) {
        const QPoint from(int(qint64(r.left()) * scaled.width() / level.width()), int(qint64(r.top()) * scaled.height() / level.height()));
        const QPoint to(int((qint64(r.right()) + 1) * scaled.width() / level.width()), int((qint64(r.bottom()) + 1) * scaled.height() / level.height()));
        const QRect inPart = QRect(from, to - QPoint(1, 1)) & part;
        if (!inPart.isEmpty())
            shown.push_back(inPart.translated(-part.topLeft()));
    }
    return shown;
}

// The planes of the range at the time point shown, each added to the
// projection of its channel as it is read; the plane already held is not
// read again.
bool framesource::readProjection(int level, const QRect &region)
{
    const bool reuse = loaded && !keptProjected && mLevel == level && mRegion == region && mPlane >= mProjected.first
            && mPlane <= mProjected.last;
    std::vector<planeData> held;
    if (reuse)
        held = std::move(kept);
    // Where the planes are stored as they are, a band of rows of every plane
    // at a time, so that the band and its projection stay in the cache.
    const int rows = mPlanes->cheapBands(mTime, mProjected.first) && mPlanes->cheapBands(mTime, mProjected.last)
            ? std::max(1, (256 << 10) / std::max(region.width() * 2, 1))
            : region.height();
    std::vector<planeData> planes;
    std::vector<planeData> result;
    for (int top = 0; top < region.height(); top += rows) {
        const QRect band(region.left(), region.top() + top, region.width(), std::min(rows, region.height() - top));
        const size_t samples = size_t(band.width()) * size_t(band.height());
        std::vector<std::optional<projector>> projectors;
        const auto add = [&](const std::vector<planeData> &from, size_t skip) {
            projectors.resize(std::max(projectors.size(), from.size()));
            for (size_t c = 0; c < from.size(); ++c) {
                if (from[c].bytes.empty())
                    continue;
                if (!projectors[c])
                    projectors[c].emplace(mProjection, from[c].bits, from[c].format, samples);
                planeData part;
                const planeData *plane = &from[c];
                if (skip || from[c].bytes.size() != samples * size_t(from[c].bits / 8)) {
                    // The band's rows of a plane held whole.
                    const size_t bytes = size_t(from[c].bits / 8);
                    const size_t first = skip * bytes;
                    const size_t length = samples * bytes;
                    if (first + length > from[c].bytes.size()) {
                        mPlanes->setError(QStringLiteral("the planes of time point %1 differ in size").arg(mTime));
                        return false;
                    }
                    part.bits = from[c].bits;
                    part.format = from[c].format;
                    part.bytes.assign(from[c].bytes.begin() + qsizetype(first), from[c].bytes.begin() + qsizetype(first + length));
                    plane = &part;
                }
                if (!projectors[c]->add(*plane)) {
                    mPlanes->setError(QStringLiteral("the planes of time point %1 differ in size or type").arg(mTime));
                    return false;
                }
            }
            return true;
        };
        if (reuse && !add(held, size_t(top) * size_t(region.width())))
            return false;
        for (qint64 plane = mProjected.first; plane <= mProjected.last; ++plane) {
            const int z = int(plane);
            if ((reuse && z == mPlane) || !mPlanes->present(mTime, z))
                continue;
            if (top == 0)
                trace(mPlanes->traceLine(mTime, z));
            if (!mPlanes->read(mTime, z, level, band, planes) || !add(planes, 0))
                return false;
        }
        result.resize(std::max(result.size(), projectors.size()));
        for (size_t c = 0; c < projectors.size(); ++c) {
            if (!projectors[c])
                continue;
            const planeData part = projectors[c]->result();
            planeData &whole = result[c];
            const size_t bytes = size_t(part.bits / 8);
            if (whole.bytes.empty()) {
                whole.bits = part.bits;
                whole.format = part.format;
                whole.bytes.resize(size_t(region.width()) * size_t(region.height()) * bytes);
            }
            std::memcpy(whole.bytes.data() + size_t(top) * size_t(region.width()) * bytes, part.bytes.data(),
                        std::min(part.bytes.size(), whole.bytes.size() - size_t(top) * size_t(region.width()) * bytes));
        }
    }
    kept = std::move(result);
    if (kept.empty()) {
        mPlanes->setError(QStringLiteral("no focal plane of time point %1 can be read").arg(mTime));
        return false;
    }
    return true;
}

void framesource::channelsFound(size_t count)
{
    mChannels.resize(count);
}

// Auto windows for the channels that have none yet, from the planes held;
// they are kept from then on.
void framesource::startUnstarted()
{
    for (size_t c = 0; c < mChannels.size(); ++c) {
        channel &shown = mChannels[c];
        if (shown.started)
            continue;
        if (const std::optional<intensityWindow> w = autoWindow(int(c))) {
            shown.low = shown.startLow = w->low;
            shown.high = shown.startHigh = w->high;
            shown.started = true;
        }
    }
}

const planeData *framesource::plane(int c) const
{
    return loaded && c >= 0 && size_t(c) < kept.size() && !kept[size_t(c)].bytes.empty() ? &kept[size_t(c)] : nullptr;
}

std::optional<intensityWindow> framesource::autoWindow(int c) const
{
    const planeData *p = plane(c);
    if (!p)
        return std::nullopt;
    return histogram::of(*p).autoWindow();
}

int framesource::bits() const
{
    for (size_t c = 0; c < kept.size(); ++c) {
        if (const planeData *p = plane(int(c)))
            return p->bits;
    }
    return mPlanes->bits();
}

sampleFormat framesource::format() const
{
    for (size_t c = 0; c < kept.size(); ++c) {
        if (const planeData *p = plane(int(c)))
            return p->format;
    }
    return mPlanes->format();
}

std::vector<std::optional<double>> framesource::valuesAt(const QPoint &framePixel) const
{
    std::vector<std::optional<double>> values(mChannels.size());
    std::vector<QSize> levels = mPlanes->levels();
    const QSize frame = levels.empty() ? mRegion.size() : levels.front();
    if (!loaded || frame.isEmpty() || !QRect(QPoint(), frame).contains(framePixel))
        return values;
    const QSize levelSize = levels.empty() ? frame : levels[size_t(mLevel)];
    const QPoint at(int(qint64(framePixel.x()) * levelSize.width() / frame.width()) - mRegion.left(),
                    int(qint64(framePixel.y()) * levelSize.height() / frame.height()) - mRegion.top());
    if (!QRect(QPoint(), mRegion.size()).contains(at))
        return values;
    for (size_t c = 0; c < values.size(); ++c) {
        if (const planeData *p = plane(int(c)))
            values[c] = sampleAt(*p, size_t(at.y()) * size_t(mRegion.width()) + size_t(at.x()));
    }
    return values;
}

bool framesource::ownWindows() const
{
    return hasOwnWindows(mProjection);
}

// A new projection reads again.  Sum and Standard Deviation have windows of
// their own, measured on the first projection shown and kept; the windows
// of the planes come back when they end.
void framesource::setProjection(projectionKind kind, range over)
{
    if (kind == mProjection && over.first == mProjected.first && over.last == mProjected.last)
        return;
    const auto windows = [this] {
        std::vector<windowSet> set;
        for (const channel &ch : mChannels)
            set.push_back({ ch.low, ch.high, ch.startLow, ch.startHigh, ch.started });
        return set;
    };
    const auto apply = [this](const std::vector<windowSet> &set) {
        for (size_t c = 0; c < mChannels.size(); ++c) {
            const windowSet w = c < set.size() ? set[c] : windowSet();
            mChannels[c].low = w.low;
            mChannels[c].high = w.high;
            mChannels[c].startLow = w.startLow;
            mChannels[c].startHigh = w.startHigh;
            mChannels[c].started = w.started;
        }
    };
    if (hasOwnWindows(mProjection) != hasOwnWindows(kind) || (hasOwnWindows(kind) && kind != mProjection)) {
        ownSets.resize(6);
        if (hasOwnWindows(mProjection))
            ownSets[size_t(mProjection)] = windows();
        else
            plainWindows = windows();
        apply(hasOwnWindows(kind) ? ownSets[size_t(kind)] : plainWindows);
    }
    mProjection = kind;
    mProjected = over;
    // Planes held stay, to be shown or added to the projection; a projection held does not.
    loaded = loaded && !keptProjected;
    keptProjected = false;
    failed = false;
}
