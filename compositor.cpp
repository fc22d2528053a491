#include "compositor.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace {

// Each sample's colour from the table, or, after the first channel, its
// parts added to the colours there.
template<typename Sample>
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

// ImageJ's Fire: black through blue, red and yellow to white.
QRgb fire(int v)
{
    static const int r[] = { 0, 0, 1, 25, 49, 73, 98, 122, 146, 162, 173, 184, 195, 207, 217, 229, 240, 252, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255 };
    static const int g[] = { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 14, 35, 57, 79, 101, 117, 133, 147, 161, 175, 190, 205, 219, 234, 248, 255, 255, 255, 255 };
    static const int b[] = { 0, 61, 96, 130, 165, 192, 220, 227, 210, 181, 151, 122, 93, 64, 35, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 35, 98, 160, 223, 255 };
    const double at = v * 31.0 / 255;
    const int i = std::min(int(at), 30);
    const double f = at - i;
    const auto mix = [&](const int *p) { return int(std::lround(p[i] + (p[i + 1] - p[i]) * f)); };
    return qRgb(mix(r), mix(g), mix(b));
}

const std::array<std::pair<const char *, QRgb>, 8> namedTables { {
    { "Grays", 0xffffffff }, { "Red", 0xffff0000 }, { "Green", 0xff00ff00 }, { "Blue", 0xff0000ff },
    { "Cyan", 0xff00ffff }, { "Magenta", 0xffff00ff }, { "Yellow", 0xffffff00 }, { "Fire", 0 },
} };

} // namespace

QStringList lookupTableNames()
{
    QStringList names;
    for (const auto &[name, colour] : namedTables)
        names << QString::fromLatin1(name);
    return names;
}

std::optional<QRgb> lookupTableColour(const QString &name)
{
    for (const auto &[n, colour] : namedTables) {
        if (name == QLatin1String(n) && colour)
            return colour;
    }
    return std::nullopt;
}

const channelMap &compositor::mapOf(size_t c, const planeData &plane, const channel &ch)
{
    cached &cache = caches[c];
    const auto wanted = std::make_tuple(plane.bits, plane.format, ch.low, ch.high);
    if (!cache.map || cache.mapFor != wanted) {
        cache.map.emplace(plane.bits, plane.format, ch.low, ch.high > ch.low ? ch.high : ch.low + 1e-9);
        cache.mapFor = wanted;
    }
    return *cache.map;
}

// The colour of each 8-bit level of a channel: its colour's ramp, or its table.
const std::vector<QRgb> &compositor::tintsOf(size_t c, const channel &ch)
{
    std::vector<QRgb> &tints = caches[c].tints;
    tints.resize(256);
    for (int v = 0; v < 256; ++v) {
        if (ch.table == QLatin1String("Fire")) {
            tints[size_t(v)] = fire(v);
        } else {
            const auto part = [v](int p) { return std::min(255, (v * p + 127) / 255); };
            tints[size_t(v)] = qRgb(part(qRed(ch.colour)), part(qGreen(ch.colour)), part(qBlue(ch.colour)));
        }
    }
    return tints;
}

// The colour of every sample value of a channel through its window, made
// again when the window, the colour or the samples' type changes.
const std::vector<QRgb> &compositor::tableOf(size_t c, const planeData &plane, const channel &ch)
{
    cached &cache = caches[c];
    const auto wanted = std::make_tuple(plane.bits, plane.format, ch.low, ch.high, ch.colour, ch.table);
    if (!cache.table.empty() && cache.tableFor == wanted)
        return cache.table;
    cache.tableFor = wanted;
    const std::vector<QRgb> &tints = tintsOf(c, ch);
    const unsigned char *levels = mapOf(c, plane, ch).lookup();
    cache.table.resize(size_t(1) << plane.bits);
    for (size_t i = 0; i < cache.table.size(); ++i)
        cache.table[i] = tints[levels[i]];
    return cache.table;
}

QImage compositor::compose(const std::vector<const planeData *> &planes, const std::vector<channel> &channels, const QSize &size)
{
    const QRect whole(QPoint(), size);
    return compose(planes, channels, size, whole, size, whole);
}

QImage compositor::compose(const std::vector<const planeData *> &planes, const std::vector<channel> &channels,
                           const QSize &levelSize, const QRect &region, const QSize &scaled, const QRect &part)
{
    if (part.isEmpty() || scaled.isEmpty() || !QRect(QPoint(), scaled).contains(part))
        return QImage();
    caches.resize(std::max(caches.size(), channels.size()));
    // The level's columns and rows each output column and row covers, in the region.
    const auto edges = [](int from, int count, int scaledSize, int size, int origin) {
        std::vector<int> at(size_t(count) + 1);
        for (int i = 0; i <= count; ++i)
            at[size_t(i)] = int(qint64(from + i) * size / scaledSize) - origin;
        return at;
    };
    const std::vector<int> columns = edges(part.left(), part.width(), scaled.width(), levelSize.width(), region.left());
    const std::vector<int> rows = edges(part.top(), part.height(), scaled.height(), levelSize.height(), region.top());
    const int width = region.width();
    if (columns.front() < 0 || rows.front() < 0 || std::max(columns.back(), columns.front() + 1) > width
        || std::max(rows.back(), rows.front() + 1) > region.height())
        return QImage();

    QImage image(part.size(), QImage::Format_RGB32);
    std::vector<size_t> shown;
    for (size_t c = 0; c < channels.size() && c < planes.size(); ++c) {
        const planeData *plane = planes[c];
        if (channels[c].shown && plane
            && plane->bytes.size() == size_t(width) * size_t(region.height()) * size_t(plane->bits / 8))
            shown.push_back(c);
    }
    if (shown.empty()) {
        image.fill(Qt::black);
        return image;
    }

    const int first = columns.front();
    const int span = columns.back() - first;
    const bool reduced = span != part.width() || rows.back() - rows.front() != part.height();
    // Colours that share no part (one channel alone; red, green and blue;
    // green and magenta) merge by putting each channel's parts in place: in
    // frame pixels, each sample's colour comes from its channel's table.
    QRgb parts = 0;
    bool disjoint = true;
    bool tables = false;
    bool narrow = true;
    for (size_t c : shown) {
        const QRgb colour = channels[c].table.isEmpty() ? channels[c].colour : 0xffffffff;
        disjoint = disjoint && (parts & colour & 0xffffff) == 0;
        parts |= colour;
        tables = tables || !channels[c].table.isEmpty();
        narrow = narrow && planes[c]->bits <= 16 && planes[c]->format != sampleFormat::floatingPoint;
    }
    if (!reduced && (disjoint || (shown.size() == 1 && tables)) && narrow) {
        std::vector<const std::vector<QRgb> *> tablesShown;
        for (size_t c : shown)
            tablesShown.push_back(&tableOf(c, *planes[c], channels[c]));
        // A row at a time, all channels, while the row of the picture is at hand.
        for (int oy = 0; oy < part.height(); ++oy) {
            auto *out = reinterpret_cast<QRgb *>(image.scanLine(oy));
            const size_t at = size_t(rows[size_t(oy)]) * width + first;
            for (size_t i = 0; i < shown.size(); ++i) {
                const planeData &plane = *planes[shown[i]];
                if (plane.bits == 8)
                    putColours(*tablesShown[i], plane.bytes.data() + at, span, i == 0, out);
                else
                    putColours(*tablesShown[i], reinterpret_cast<const quint16 *>(plane.bytes.data()) + at, span, i == 0, out);
            }
        }
        return image;
    }

    std::vector<QRgb> colours;
    std::vector<const std::vector<QRgb> *> tints;
    for (size_t c : shown) {
        colours.push_back(channels[c].colour);
        tints.push_back(tables ? &tintsOf(c, channels[c]) : nullptr);
    }
    std::vector<std::vector<unsigned char>> mappedRows(shown.size(), std::vector<unsigned char>(size_t(span)));
    std::vector<std::vector<unsigned char>> meanRows(shown.size(), std::vector<unsigned char>(size_t(part.width())));
    std::vector<std::vector<quint32>> sums(shown.size());
    std::vector<const unsigned char *> merged(shown.size());
    for (int oy = 0; oy < part.height(); ++oy) {
        const int y0 = rows[size_t(oy)];
        const int y1 = std::max(rows[size_t(oy) + 1], y0 + 1);
        for (size_t i = 0; i < shown.size(); ++i) {
            const planeData &plane = *planes[shown[i]];
            const channelMap &map = mapOf(shown[i], plane, channels[shown[i]]);
            const size_t sampleBytes = size_t(plane.bits / 8);
            const auto row = [&](int y) { return plane.bytes.data() + (size_t(y) * width + first) * sampleBytes; };
            if (!reduced) {
                map.mapRow(row(y0), span, mappedRows[i].data());
                merged[i] = mappedRows[i].data();
                continue;
            }
            sums[i].assign(size_t(part.width()), 0);
            for (int y = y0; y < y1; ++y) {
                map.mapRow(row(y), span, mappedRows[i].data());
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
        auto *out = reinterpret_cast<QRgb *>(image.scanLine(oy));
        if (!tables) {
            mergeRow(merged, colours, part.width(), out);
            continue;
        }
        // A lookup table is no colour's ramp: its colours are added as they are, clipped.
        for (int ox = 0; ox < part.width(); ++ox) {
            int r = 0, g = 0, b = 0;
            for (size_t i = 0; i < shown.size(); ++i) {
                const QRgb tint = (*tints[i])[merged[i][ox]];
                r += qRed(tint);
                g += qGreen(tint);
                b += qBlue(tint);
            }
            out[ox] = qRgb(std::min(r, 255), std::min(g, 255), std::min(b, 255));
        }
    }
    return image;
}
