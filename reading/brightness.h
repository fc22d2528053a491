#ifndef BRIGHTNESS_H
#define BRIGHTNESS_H

#include "stack.h"

#include <QRgb>
#include <QString>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

// The linear window that maps a channel's values to 0..255.
struct intensityWindow
{
    double low = 0;
    double high = 255;
    QString source;
    bool unmeasured = false;   // the auto window, not measured for a description
};

// The samples of one channel over every plane: exact values for 8 and 16
// bits; for 32 bits and floats, 65536 bins between the minimum and maximum
// found in a first pass.
class histogram
{
public:
    histogram(int bits, sampleFormat format);
    // The counts of one plane, its range first where they need it.
    static histogram of(const planeData &plane);

    // 32 bits and floats need a pass for the minimum and maximum first.
    bool needsRange() const { return !exact; }
    void addToRange(const planeData &plane);
    void add(const planeData &plane);
    // ImageJ's "Auto": 0.35 % of the pixels saturated at each end.
    intensityWindow autoWindow() const;
    double minimum() const { return lowest; }
    double maximum() const { return highest; }
    // The least and greatest values counted, or nothing when none was.
    std::optional<std::pair<double, double>> range() const;
    // The counts in `bins` equal bins from low to high; those outside go to
    // the first or the last.
    std::vector<std::uint64_t> folded(double low, double high, int bins) const;

private:
    int bits;
    sampleFormat format;
    bool exact;
    std::vector<std::uint64_t> counts;
    double first = 0;      // the value of bin 0
    double binWidth = 1;
    double lowest = 0;     // of the data, once a range pass or the counts give it
    double highest = 0;
    bool ranged = false;
};

// The whole range of a sample type (for floats, not known without the data).
intensityWindow typeRange(int bits, sampleFormat format);

// Maps one channel's samples to 8 bits: round((v - low) * 255 / (high - low)),
// clipped; through a lookup table for 8 and 16 bits.
class channelMap
{
public:
    channelMap(int bits, sampleFormat format, double low, double high);

    void mapRow(const unsigned char *samples, int count, unsigned char *out) const;
    unsigned char map(double v) const;
    // The table of 8 and 16-bit integers, by the sample's bits; null for others.
    const unsigned char *lookup() const { return table.empty() ? nullptr : table.data(); }

private:
    int bits;
    sampleFormat format;
    double low;
    double scale;
    std::vector<unsigned char> table;
};

// ImageJ's composite colours by a channel's position: red, green, blue, grey,
// cyan, magenta, yellow.
QRgb defaultColour(int position);

// Adds 8-bit channel rows, each times its colour / 255, into RGB, clipped;
// a null row is a channel missing from this frame.
void mergeRow(const std::vector<const unsigned char *> &rows, const std::vector<QRgb> &colours, int count,
              unsigned char *rgb);
// The same into opaque 32-bit pixels, as the viewer draws them.
void mergeRow(const std::vector<const unsigned char *> &rows, const std::vector<QRgb> &colours, int count, QRgb *out);

#endif
