#include "recordingsource.h"

#include "indexnames.h"
#include "zarrstack.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace {

// Each sample's colour from the table, or, after the first channel, its
// parts added to the colours there.
template <typename Sample>
void putColours(const std::vector<QRgb> &table, const Sample *samples, int count, bool first, QRgb *out)
{
    if (first) {
        for (int x = 0; x < count; ++x)
            out[x] = table[samples[x]];
    } else {
        for (int x = 0; x < count; ++x)
            out[x] |= table[samples[x]];
    }
}

const QStringList imageFiles { "*.tif", "*.tiff", "*.lsm", "*.png", "*.jpg", "*.jpeg" };

bool isTiff(const QString &fileName)
{
    QFile file(fileName);
    if (!QFileInfo(fileName).isFile() || !file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(4);
    for (const char *magic : { "II*\0", "MM\0*", "II+\0", "MM\0+" }) {
        if (head == QByteArray(magic, 4))
            return true;
    }
    return false;
}

void sortNaturally(QStringList &files)
{
    std::stable_sort(files.begin(), files.end(), [](const QString &a, const QString &b) {
        return naturalLess(QFileInfo(a).fileName(), QFileInfo(b).fileName());
    });
}

} // namespace

recordingsource::recordingsource(std::unique_ptr<stack> input, const QStringList &paths)
    : in(std::move(input)), mPaths(paths)
{
    const QString opened = zarrstore::isUrl(paths.first()) ? paths.first()
            : paths.size() == 1                           ? QDir::toNativeSeparators(QFileInfo(paths.first()).absoluteFilePath())
                                                          : QDir::toNativeSeparators(QFileInfo(paths.first()).absolutePath());
    tracePath = QFile::encodeName(opened);
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
    kept.resize(count);
    held.assign(count, false);
    maps.resize(count);
    mapped.resize(count);
    tables.resize(count);
    tablesFor.resize(count);
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

QStringList recordingsource::inputsOf(const QStringList &paths)
{
    QStringList files;
    if (paths.size() == 1 && zarrStack::isZarr(paths.first()))
        return zarrstore::isUrl(paths.first()) ? paths : QStringList { QFileInfo(paths.first()).absoluteFilePath() };
    if (paths.size() == 1 && QFileInfo(paths.first()).isDir()) {
        const QDir folder(paths.first());
        for (const QString &name : folder.entryList(imageFiles, QDir::Files))
            files << folder.absoluteFilePath(name);
    } else {
        for (const QString &path : paths)
            files << QFileInfo(path).absoluteFilePath();
    }
    sortNaturally(files);
    return files;
}

bool recordingsource::isRecording(const QString &fileName)
{
    if (zarrstore::isUrl(fileName))
        return true;
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    return suffix == QLatin1String("tif") || suffix == QLatin1String("tiff") || suffix == QLatin1String("lsm")
            || isTiff(fileName);
}

bool recordingsource::isImage(const QString &fileName)
{
    return QDir::match(imageFiles, QFileInfo(fileName).fileName()) || isTiff(fileName);
}

// The planes are read when a picture needs them, and only then.
void recordingsource::load(int t, int z)
{
    shownTime = t;
    shownPlane = z;
    loaded = false;
    failed = false;
}

// The region of every channel's plane at a level, or nothing and a trace
// line that says why.
bool recordingsource::readKept(int level, const QRect &region)
{
    trace(tracePath + ": t " + QByteArray::number(shownTime) + ", z " + QByteArray::number(shownPlane));
    loaded = false;
    const int at[2] = { mSwapped ? shownPlane : shownTime, mSwapped ? shownTime : shownPlane };
    const size_t bytes = size_t(region.width()) * size_t(region.height()) * size_t(in->bits / 8);
    QString error;
    for (size_t c = 0; c < mChannels.size() && error.isEmpty(); ++c) {
        held[c] = in->present(at[0], at[1], int(c));
        if (held[c] && !in->readRegion(at[0], at[1], int(c), level, region, kept[c]))
            error = in->error();
        else if (held[c] && (kept[c].bits != in->bits || kept[c].format != in->format || kept[c].bytes.size() != bytes))
            error = QStringLiteral("%1: the plane at time point %2, focal plane %3, channel %4 differs from the first")
                            .arg(QString::fromLocal8Bit(tracePath)).arg(at[0]).arg(at[1]).arg(c);
    }
    if (error.isEmpty() && std::find(held.begin(), held.end(), true) == held.end()) {
        planeData none;
        in->read(at[0], at[1], 0, none);
        error = in->error();
    }
    if (!error.isEmpty()) {
        trace(error.toLocal8Bit());
        for (planeData &plane : kept)
            plane.bytes = std::vector<unsigned char>();
        failed = true;
        return false;
    }
    loaded = true;
    keptLevel = level;
    keptRect = region;
    for (size_t c = 0; c < mChannels.size(); ++c) {
        channel &shown = mChannels[c];
        if (shown.started || !held[c])
            continue;
        if (const std::optional<intensityWindow> w = autoWindow(int(c))) {
            shown.low = shown.startLow = w->low;
            shown.high = shown.startHigh = w->high;
            shown.started = true;
        }
    }
    return true;
}

// The coarsest level that still has a pixel for each one shown.
int recordingsource::levelFor(const QSize &scaled) const
{
    for (size_t level = in->levels.size(); level-- > 1;) {
        const QSize size = in->levels[level];
        if (size.width() >= scaled.width() && size.height() >= scaled.height())
            return int(level);
    }
    return 0;
}

QSize recordingsource::size()
{
    return QSize(in->width, in->height);
}

QString recordingsource::title() const
{
    return QStringLiteral("%1, t %2, z %3").arg(name()).arg(shownTime).arg(shownPlane);
}

// Each output pixel is the mean of the pixels it covers of the level
// chosen, mapped to 8 bits per channel, then merged in the channels'
// colours.  A stack of one level is read whole; the levels of a pyramid
// only where the part lies.
QImage recordingsource::picture(const QSize &scaled, const QRect &part)
{
    if (failed || part.isEmpty() || scaled.width() < 1 || scaled.height() < 1 || scaled.width() > in->width
        || scaled.height() > in->height || !QRect(QPoint(), scaled).contains(part))
        return QImage();
    const int level = levelFor(scaled);
    const QSize levelSize = in->levels[size_t(level)];
    // The level's columns and rows each output column and row covers.
    const auto edges = [](int from, int count, int scaledSize, int size) {
        std::vector<int> at(size_t(count) + 1);
        for (int i = 0; i <= count; ++i)
            at[size_t(i)] = int(qint64(from + i) * size / scaledSize);
        return at;
    };
    std::vector<int> columns = edges(part.left(), part.width(), scaled.width(), levelSize.width());
    std::vector<int> rows = edges(part.top(), part.height(), scaled.height(), levelSize.height());
    const QRect needed(QPoint(columns.front(), rows.front()),
                       QPoint(std::max(columns.back(), columns.front() + 1) - 1, std::max(rows.back(), rows.front() + 1) - 1));
    const QRect region = in->levels.size() == 1 ? QRect(QPoint(), levelSize) : needed;
    if ((!loaded || keptLevel != level || !keptRect.contains(needed)) && !readKept(level, region))
        return QImage();
    // From here on in the region kept.
    for (int &x : columns)
        x -= keptRect.left();
    for (int &y : rows)
        y -= keptRect.top();
    const int width = keptRect.width();
    QImage image(part.size(), QImage::Format_RGB32);
    std::vector<int> shown;
    std::vector<QRgb> colours;
    for (size_t c = 0; c < mChannels.size(); ++c) {
        const channel &ch = mChannels[c];
        if (!ch.shown || !held[c])
            continue;
        shown.push_back(int(c));
        colours.push_back(ch.colour);
        if (!maps[c] || mapped[c] != std::make_pair(ch.low, ch.high)) {
            maps[c].emplace(in->bits, in->format, ch.low, ch.high > ch.low ? ch.high : ch.low + 1e-9);
            mapped[c] = { ch.low, ch.high };
        }
    }
    if (shown.empty()) {
        image.fill(Qt::black);
        return image;
    }

    const int first = columns.front();
    const int span = columns.back() - first;
    const bool reduced = span != part.width() || rows.back() - rows.front() != part.height();
    const size_t sampleBytes = size_t(in->bits / 8);
    // Colours that share no part (one channel alone; red, green and blue;
    // green and magenta) merge by putting each channel's parts in place: in
    // frame pixels, each sample's colour comes from its channel's table.
    QRgb parts = 0;
    bool disjoint = true;
    for (QRgb colour : colours) {
        disjoint = disjoint && (parts & colour & 0xffffff) == 0;
        parts |= colour;
    }
    if (!reduced && disjoint && in->bits <= 16 && in->format != sampleFormat::floatingPoint) {
        std::vector<const std::vector<QRgb> *> tablesShown;
        for (int c : shown)
            tablesShown.push_back(&colourTable(c));
        // A row at a time, all channels, while the row of the picture is at hand.
        for (int oy = 0; oy < part.height(); ++oy) {
            auto *out = reinterpret_cast<QRgb *>(image.scanLine(oy));
            const size_t at = size_t(rows[size_t(oy)]) * width + first;
            for (size_t i = 0; i < shown.size(); ++i) {
                const planeData &plane = kept[size_t(shown[i])];
                if (in->bits == 8)
                    putColours(*tablesShown[i], plane.bytes.data() + at, span, i == 0, out);
                else
                    putColours(*tablesShown[i], reinterpret_cast<const quint16 *>(plane.bytes.data()) + at, span, i == 0, out);
            }
        }
        return image;
    }

    std::vector<std::vector<unsigned char>> mappedRows(shown.size(), std::vector<unsigned char>(size_t(span)));
    std::vector<std::vector<unsigned char>> meanRows(shown.size(), std::vector<unsigned char>(size_t(part.width())));
    std::vector<std::vector<quint32>> sums(shown.size());
    std::vector<const unsigned char *> merged(shown.size());
    for (int oy = 0; oy < part.height(); ++oy) {
        const int y0 = rows[size_t(oy)];
        const int y1 = std::max(rows[size_t(oy) + 1], y0 + 1);
        for (size_t i = 0; i < shown.size(); ++i) {
            const planeData &plane = kept[size_t(shown[i])];
            const auto row = [&](int y) { return plane.bytes.data() + (size_t(y) * width + first) * sampleBytes; };
            if (!reduced) {
                maps[size_t(shown[i])]->mapRow(row(y0), span, mappedRows[i].data());
                merged[i] = mappedRows[i].data();
                continue;
            }
            sums[i].assign(size_t(part.width()), 0);
            for (int y = y0; y < y1; ++y) {
                maps[size_t(shown[i])]->mapRow(row(y), span, mappedRows[i].data());
                for (int ox = 0; ox < part.width(); ++ox)
                    for (int x = columns[size_t(ox)]; x < std::max(columns[size_t(ox) + 1], columns[size_t(ox)] + 1); ++x)
                        sums[i][size_t(ox)] += mappedRows[i][size_t(x - first)];
            }
            for (int ox = 0; ox < part.width(); ++ox) {
                const quint32 n = quint32(y1 - y0) * quint32(std::max(columns[size_t(ox) + 1] - columns[size_t(ox)], 1));
                meanRows[i][size_t(ox)] = static_cast<unsigned char>((sums[i][size_t(ox)] + n / 2) / n);
            }
            merged[i] = meanRows[i].data();
        }
        mergeRow(merged, colours, part.width(), reinterpret_cast<QRgb *>(image.scanLine(oy)));
    }
    return image;
}

// The colour of every sample value of a channel through its window, made
// again when the window or the colour changes.
const std::vector<QRgb> &recordingsource::colourTable(int c)
{
    const channel &ch = mChannels[size_t(c)];
    std::vector<QRgb> &table = tables[size_t(c)];
    const auto wanted = std::make_tuple(ch.low, ch.high, ch.colour);
    if (!table.empty() && tablesFor[size_t(c)] == wanted)
        return table;
    tablesFor[size_t(c)] = wanted;
    unsigned char ramp[256];
    for (int v = 0; v < 256; ++v)
        ramp[v] = static_cast<unsigned char>(v);
    QRgb tints[256];
    mergeRow({ ramp }, { ch.colour }, 256, tints);
    const unsigned char *levels = maps[size_t(c)]->lookup();
    table.resize(size_t(1) << in->bits);
    for (size_t i = 0; i < table.size(); ++i)
        table[i] = tints[levels[i]];
    return table;
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

void recordingsource::setSwapped(bool on)
{
    mSwapped = on && swappable();
    loaded = false;
    failed = false;
}

const planeData *recordingsource::plane(int c) const
{
    return loaded && c >= 0 && size_t(c) < held.size() && held[size_t(c)] ? &kept[size_t(c)] : nullptr;
}

std::optional<intensityWindow> recordingsource::autoWindow(int c) const
{
    const planeData *p = plane(c);
    if (!p)
        return std::nullopt;
    return histogram::of(*p).autoWindow();
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
