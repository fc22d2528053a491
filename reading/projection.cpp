#include "projection.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

namespace {

const struct {
    projectionKind kind;
    const char *name;
    const char *key;
} kinds[] = {
    { projectionKind::none, "None", "none" },
    { projectionKind::maximum, "Maximum", "max" },
    { projectionKind::mean, "Mean", "mean" },
    { projectionKind::minimum, "Minimum", "min" },
    { projectionKind::sum, "Sum", "sum" },
    { projectionKind::standardDeviation, "Standard Deviation", "sd" },
};

template<typename F>
void bySampleType(int bits, sampleFormat format, F f)
{
    if (format == sampleFormat::floatingPoint)
        f(float());
    else if (format == sampleFormat::signedInt && bits == 8)
        f(std::int8_t());
    else if (format == sampleFormat::signedInt && bits == 16)
        f(std::int16_t());
    else if (format == sampleFormat::signedInt)
        f(std::int32_t());
    else if (bits == 8)
        f(std::uint8_t());
    else if (bits == 16)
        f(std::uint16_t());
    else
        f(std::uint32_t());
}

bool narrow(int bits, sampleFormat format)
{
    return bits <= 16 && format == sampleFormat::unsignedInt;
}

// The larger or smaller of each pair, into out.  Unsigned 16-bit samples
// have no maximum instruction before SSE4.1: with AVX2 where the processor
// has it, the loop goes at the speed of memory.
template<typename Sample>
inline __attribute__((always_inline)) void keepExtremes(Sample *out, const Sample *in, std::size_t samples, bool maximum)
{
    if (maximum) {
        for (std::size_t i = 0; i < samples; ++i)
            out[i] = std::max(out[i], in[i]);
    } else {
        for (std::size_t i = 0; i < samples; ++i)
            out[i] = std::min(out[i], in[i]);
    }
}

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__gnu_linux__)
__attribute__((target_clones("avx2", "default")))
#endif
void keepExtremes16(std::uint16_t *out, const std::uint16_t *in, std::size_t samples, bool maximum)
{
    keepExtremes(out, in, samples, maximum);
}

} // namespace

QString projectionName(projectionKind kind)
{
    for (const auto &k : kinds) {
        if (k.kind == kind)
            return QString::fromLatin1(k.name);
    }
    return QString();
}

QString projectionKey(projectionKind kind)
{
    for (const auto &k : kinds) {
        if (k.kind == kind)
            return QString::fromLatin1(k.key);
    }
    return QString();
}

projectionKind projectionFromKey(const QString &key)
{
    for (const auto &k : kinds) {
        if (key == QLatin1String(k.key))
            return k.kind;
    }
    return projectionKind::none;
}

projector::projector(projectionKind kind, int bits, sampleFormat format, std::size_t samples)
    : kind(kind), bits(bits), format(format), samples(samples)
{
}

bool projector::add(const planeData &plane)
{
    if (plane.bits != bits || plane.format != format || plane.bytes.size() != samples * std::size_t(bits / 8))
        return false;
    if (added == 0 && (kind == projectionKind::maximum || kind == projectionKind::minimum)) {
        kept = plane;
    } else if (kind == projectionKind::maximum || kind == projectionKind::minimum) {
        bySampleType(bits, format, [&](auto sample) {
            extremes(reinterpret_cast<const decltype(sample) *>(plane.bytes.data()));
        });
    } else {
        bySampleType(bits, format, [&](auto sample) {
            addSamples(reinterpret_cast<const decltype(sample) *>(plane.bytes.data()));
        });
    }
    ++added;
    return true;
}

template<typename Sample>
void projector::extremes(const Sample *in)
{
    auto *out = reinterpret_cast<Sample *>(kept.bytes.data());
    if constexpr (std::is_same_v<Sample, std::uint16_t>)
        keepExtremes16(out, in, samples, kind == projectionKind::maximum);
    else
        keepExtremes(out, in, samples, kind == projectionKind::maximum);
}

template<typename Sample>
void projector::addSamples(const Sample *in)
{
    const bool squared = kind == projectionKind::standardDeviation;
    if (narrow(bits, format)) {
        if (added == 0) {
            sums.assign(samples, 0);
            if (squared)
                squares.assign(samples, 0);
        }
        for (std::size_t i = 0; i < samples; ++i)
            sums[i] += in[i];
        if (squared) {
            for (std::size_t i = 0; i < samples; ++i)
                squares[i] += std::uint64_t(in[i]) * in[i];
        }
        return;
    }
    if (added == 0) {
        wideSums.assign(samples, 0);
        if (squared)
            wideSquares.assign(samples, 0);
    }
    for (std::size_t i = 0; i < samples; ++i)
        wideSums[i] += double(in[i]);
    if (squared) {
        for (std::size_t i = 0; i < samples; ++i)
            wideSquares[i] += double(in[i]) * double(in[i]);
    }
}

planeData projector::result() const
{
    if (kind == projectionKind::maximum || kind == projectionKind::minimum || added == 0)
        return kept;
    planeData out;
    out.bits = 32;
    out.format = sampleFormat::floatingPoint;
    out.bytes.resize(samples * sizeof(float));
    auto *values = reinterpret_cast<float *>(out.bytes.data());
    const double n = added;
    const bool exact = narrow(bits, format);
    for (std::size_t i = 0; i < samples; ++i) {
        const double sum = exact ? double(sums[i]) : wideSums[i];
        if (kind == projectionKind::sum) {
            values[i] = float(sum);
        } else if (kind == projectionKind::mean) {
            values[i] = float(sum / n);
        } else {
            // For integers the variance is exact before the one division.
            const double variance = exact ? double(squares[i] * std::uint64_t(added) - std::uint64_t(sums[i]) * sums[i]) / (n * n)
                                          : std::max(0.0, wideSquares[i] / n - (sum / n) * (sum / n));
            values[i] = float(std::sqrt(variance));
        }
    }
    return out;
}
