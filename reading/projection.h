#ifndef PROJECTION_H
#define PROJECTION_H

#include "stack.h"

#include <QString>

#include <cstdint>
#include <vector>

// How the focal planes of a time point are reduced to one.
enum class projectionKind { none, maximum, mean, minimum, sum, standardDeviation };

// "Maximum", "Standard Deviation"; and the importer's names, "max", "sd".
QString projectionName(projectionKind kind);
QString projectionKey(projectionKind kind);
// The kind a key names, or none for an unknown key.
projectionKind projectionFromKey(const QString &key);

// Reduces planes of one channel, added one at a time, to their projection,
// so that only the running result is held.  Maximum and Minimum keep the
// samples' type; Mean, Sum and Standard Deviation (of the population) are
// 32-bit floats, worked out exactly for integers of up to 16 bits.
class projector
{
public:
    projector(projectionKind kind, int bits, sampleFormat format, std::size_t samples);

    // A plane of other type or size is refused.
    bool add(const planeData &plane);
    int count() const { return added; }
    planeData result() const;

private:
    template<typename Sample>
    void addSamples(const Sample *samples);
    template<typename Sample>
    void extremes(const Sample *samples);

    projectionKind kind;
    int bits;
    sampleFormat format;
    std::size_t samples;
    int added = 0;
    planeData kept;                      // Maximum, Minimum
    std::vector<std::uint32_t> sums;     // integers of up to 16 bits
    std::vector<std::uint64_t> squares;
    std::vector<double> wideSums;        // the others
    std::vector<double> wideSquares;
};

#endif
