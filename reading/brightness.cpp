#include "brightness.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

const int bins = 65536;

// Calls f for every sample of a plane, as a double.
template<typename F>
void forEachValue(const planeData &plane, F f)
{
    const auto each = [&](auto *samples) {
        const std::size_t n = plane.bytes.size() / sizeof(*samples);
        for (std::size_t i = 0; i < n; ++i)
            f(double(samples[i]));
    };
    const unsigned char *p = plane.bytes.data();
    if (plane.format == sampleFormat::floatingPoint)
        each(reinterpret_cast<const float *>(p));
    else if (plane.format == sampleFormat::signedInt && plane.bits == 8)
        each(reinterpret_cast<const std::int8_t *>(p));
    else if (plane.format == sampleFormat::signedInt && plane.bits == 16)
        each(reinterpret_cast<const std::int16_t *>(p));
    else if (plane.format == sampleFormat::signedInt)
        each(reinterpret_cast<const std::int32_t *>(p));
    else if (plane.bits == 8)
        each(p);
    else if (plane.bits == 16)
        each(reinterpret_cast<const std::uint16_t *>(p));
    else
        each(reinterpret_cast<const std::uint32_t *>(p));
}

} // namespace

histogram::histogram(int bits, sampleFormat format)
    : bits(bits), format(format), exact(bits <= 16 && format != sampleFormat::floatingPoint)
{
    if (exact) {
        counts.assign(std::size_t(1) << bits, 0);
        first = format == sampleFormat::signedInt ? -double(counts.size() / 2) : 0;
    } else {
        lowest = std::numeric_limits<double>::infinity();
        highest = -lowest;
    }
}

histogram histogram::of(const planeData &plane)
{
    histogram counts(plane.bits, plane.format);
    if (counts.needsRange())
        counts.addToRange(plane);
    counts.add(plane);
    return counts;
}

void histogram::addToRange(const planeData &plane)
{
    forEachValue(plane, [this](double v) {
        if (std::isfinite(v)) {
            lowest = std::min(lowest, v);
            highest = std::max(highest, v);
        }
    });
    ranged = true;
}

void histogram::add(const planeData &plane)
{
    if (exact && format == sampleFormat::unsignedInt && bits == 16) {
        // Four tables, so that runs of one value do not wait on one counter.
        const auto *samples = reinterpret_cast<const std::uint16_t *>(plane.bytes.data());
        const std::size_t n = plane.bytes.size() / 2;
        std::vector<std::uint32_t> partial(4 * 65536);
        std::size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            ++partial[samples[i]];
            ++partial[65536 + samples[i + 1]];
            ++partial[2 * 65536 + samples[i + 2]];
            ++partial[3 * 65536 + samples[i + 3]];
        }
        for (; i < n; ++i)
            ++partial[samples[i]];
        for (std::size_t v = 0; v < 65536; ++v)
            counts[v] += std::uint64_t(partial[v]) + partial[65536 + v] + partial[2 * 65536 + v] + partial[3 * 65536 + v];
        return;
    }
    if (exact && format == sampleFormat::unsignedInt && bits == 8) {
        for (unsigned char v : plane.bytes)
            ++counts[v];
        return;
    }
    if (exact) {
        forEachValue(plane, [this](double v) { ++counts[std::size_t(v - first)]; });
        return;
    }
    if (counts.empty()) {
        counts.assign(bins, 0);
        if (lowest > highest)
            lowest = highest = 0;
        first = lowest;
        binWidth = (highest - lowest) / bins;
    }
    const double perBin = binWidth > 0 ? 1 / binWidth : 0;
    forEachValue(plane, [&](double v) {
        if (std::isfinite(v))
            ++counts[std::min(bins - 1, int((v - first) * perBin))];
    });
}

intensityWindow histogram::autoWindow() const
{
    std::uint64_t total = 0;
    for (std::uint64_t n : counts)
        total += n;
    const std::uint64_t k = total * 35 / 10000;
    const int size = int(counts.size());
    int low = 0;
    for (std::uint64_t below = 0; low < size && (below += counts[low]) <= k;)
        ++low;
    int high = size - 1;
    for (std::uint64_t above = 0; high >= 0 && (above += counts[high]) <= k;)
        --high;

    intensityWindow w;
    w.source = QStringLiteral("auto, 0.35 % saturated");
    double dataMin = lowest;
    double dataMax = highest;
    if (exact) {
        w.low = first + low;
        w.high = first + high;
        const auto nonZero = [](std::uint64_t n) { return n != 0; };
        const auto firstUsed = std::find_if(counts.begin(), counts.end(), nonZero);
        const auto lastUsed = std::find_if(counts.rbegin(), counts.rend(), nonZero);
        dataMin = firstUsed == counts.end() ? 0 : first + (firstUsed - counts.begin());
        dataMax = lastUsed == counts.rend() ? 0 : first + (counts.rend() - lastUsed - 1);
    } else {
        w.low = first + low * binWidth;
        w.high = std::min(dataMax, first + (high + 1) * binWidth);
    }
    if (total == 0)
        dataMin = dataMax = 0;
    if (w.high <= w.low) {
        w.low = dataMin;
        w.high = dataMax > dataMin ? dataMax : dataMin + 1;
    }
    return w;
}

std::optional<std::pair<double, double>> histogram::range() const
{
    if (!exact)
        return lowest <= highest ? std::optional(std::make_pair(lowest, highest)) : std::nullopt;
    const auto used = [](std::uint64_t n) { return n != 0; };
    const auto low = std::find_if(counts.begin(), counts.end(), used);
    if (low == counts.end())
        return std::nullopt;
    const auto high = std::find_if(counts.rbegin(), counts.rend(), used);
    return std::make_pair(first + double(low - counts.begin()), first + double(counts.rend() - high - 1));
}

std::vector<std::uint64_t> histogram::folded(double low, double high, int bins) const
{
    std::vector<std::uint64_t> result(std::size_t(std::max(bins, 1)), 0);
    const double perBin = high > low ? double(result.size()) / (high - low) : 0;
    const double last = double(result.size() - 1);
    for (std::size_t i = 0; i < counts.size(); ++i)
        if (counts[i])
            result[std::size_t(std::clamp((first + double(i) * binWidth - low) * perBin, 0.0, last))] += counts[i];
    return result;
}

intensityWindow typeRange(int bits, sampleFormat format)
{
    intensityWindow w;
    w.source = QStringLiteral("full range");
    if (format == sampleFormat::signedInt) {
        w.low = -std::ldexp(1, bits - 1);
        w.high = std::ldexp(1, bits - 1) - 1;
    } else if (format == sampleFormat::unsignedInt) {
        w.low = 0;
        w.high = std::ldexp(1, bits) - 1;
    }
    return w;
}

channelMap::channelMap(int bits, sampleFormat format, double low, double high)
    : bits(bits), format(format), low(low), scale(255 / (high - low))
{
    if (bits > 16 || format == sampleFormat::floatingPoint)
        return;
    // Indexed by the sample's bits, so signed samples index by their two's
    // complement.  Only values inside the window need working out: the
    // viewer makes the table again at every change of brightness.
    const int size = 1 << bits;
    const int first = format == sampleFormat::signedInt ? -size / 2 : 0;
    table.resize(size);
    const auto at = [&](int v) { return std::size_t(v < 0 ? v + size : v); };
    const int above = int(std::clamp(std::floor(low) + 1, double(first), double(first + size)));
    const int top = int(std::clamp(std::ceil(high), double(above), double(first + size)));
    for (int v = first; v < above; ++v)
        table[at(v)] = 0;
    for (int v = above; v < top; ++v)
        table[at(v)] = map(v);
    for (int v = top; v < first + size; ++v)
        table[at(v)] = 255;
}

unsigned char channelMap::map(double v) const
{
    const double mapped = std::round((v - low) * scale);
    if (!(mapped > 0))   // also NaN
        return 0;
    return mapped >= 255 ? 255 : static_cast<unsigned char>(mapped);
}

void channelMap::mapRow(const unsigned char *samples, int count, unsigned char *out) const
{
    if (bits == 8 && !table.empty()) {
        for (int i = 0; i < count; ++i)
            out[i] = table[samples[i]];
    } else if (bits == 16 && !table.empty()) {
        const auto *s = reinterpret_cast<const std::uint16_t *>(samples);
        for (int i = 0; i < count; ++i)
            out[i] = table[s[i]];
    } else if (format == sampleFormat::floatingPoint) {
        const auto *s = reinterpret_cast<const float *>(samples);
        for (int i = 0; i < count; ++i)
            out[i] = map(s[i]);
    } else if (format == sampleFormat::signedInt) {
        const auto *s = reinterpret_cast<const std::int32_t *>(samples);
        for (int i = 0; i < count; ++i)
            out[i] = map(s[i]);
    } else {
        const auto *s = reinterpret_cast<const std::uint32_t *>(samples);
        for (int i = 0; i < count; ++i)
            out[i] = map(s[i]);
    }
}

QRgb defaultColour(int position)
{
    static const QRgb colours[] = { 0xffff0000, 0xff00ff00, 0xff0000ff, 0xffffffff,
                                    0xff00ffff, 0xffff00ff, 0xffffff00 };
    return colours[position % 7];
}

namespace {

int level(int sum)
{
    return std::min(255, (sum + 127) / 255);
}

// Hands put each pixel's merged red, green and blue.
template<typename Put>
void mergeEach(const std::vector<const unsigned char *> &rows, const std::vector<QRgb> &colours, int count, Put put)
{
    const std::size_t channels = rows.size();
    for (int i = 0; i < count; ++i) {
        int r = 0, g = 0, b = 0;
        for (std::size_t c = 0; c < channels; ++c) {
            if (!rows[c])
                continue;
            const int v = rows[c][i];
            r += v * qRed(colours[c]);
            g += v * qGreen(colours[c]);
            b += v * qBlue(colours[c]);
        }
        put(i, level(r), level(g), level(b));
    }
}

} // namespace

void mergeRow(const std::vector<const unsigned char *> &rows, const std::vector<QRgb> &colours, int count,
              unsigned char *rgb)
{
    mergeEach(rows, colours, count, [rgb](int i, int r, int g, int b) {
        rgb[3 * i] = static_cast<unsigned char>(r);
        rgb[3 * i + 1] = static_cast<unsigned char>(g);
        rgb[3 * i + 2] = static_cast<unsigned char>(b);
    });
}

void mergeRow(const std::vector<const unsigned char *> &rows, const std::vector<QRgb> &colours, int count, QRgb *out)
{
    if (rows.size() == 1 && rows[0]) {
        // One channel: every value's colour at once.
        QRgb table[256];
        for (int v = 0; v < 256; ++v)
            table[v] = qRgb(level(v * qRed(colours[0])), level(v * qGreen(colours[0])), level(v * qBlue(colours[0])));
        const unsigned char *row = rows[0];
        for (int i = 0; i < count; ++i)
            out[i] = table[row[i]];
        return;
    }
    const auto full = [](int part) { return part == 0 || part == 255; };
    if (!std::all_of(colours.begin(), colours.end(),
                     [&](QRgb c) { return full(qRed(c)) && full(qGreen(c)) && full(qBlue(c)); })) {
        mergeEach(rows, colours, count, [out](int i, int r, int g, int b) { out[i] = qRgb(r, g, b); });
        return;
    }
    // Colours of full parts only, as ImageJ's defaults: each part of a pixel
    // is the sum of the channels that have it, clipped.  Whole rows at a
    // time, which the compiler vectorizes.
    std::vector<std::uint16_t> sums(3 * std::size_t(count), 0);
    for (std::size_t c = 0; c < rows.size(); ++c) {
        const unsigned char *row = rows[c];
        for (int k = 0; k < 3 && row; ++k) {
            if (((colours[c] >> (16 - 8 * k)) & 0xff) == 0)
                continue;
            std::uint16_t *sum = sums.data() + std::size_t(k) * count;
            for (int i = 0; i < count; ++i)
                sum[i] = std::uint16_t(sum[i] + row[i]);
        }
    }
    const std::uint16_t *r = sums.data(), *g = r + count, *b = g + count;
    for (int i = 0; i < count; ++i)
        out[i] = 0xff000000u | quint32(std::min<std::uint16_t>(r[i], 255)) << 16
                | quint32(std::min<std::uint16_t>(g[i], 255)) << 8 | std::min<std::uint16_t>(b[i], 255);
}
