#ifndef COMPOSITOR_H
#define COMPOSITOR_H

#include "brightness.h"

#include <QImage>
#include <QRgb>
#include <QString>

#include <optional>
#include <tuple>
#include <vector>

// How one channel is drawn: whether, in which colour or lookup table, and
// through which window of its values.
struct channel
{
    QString name;
    bool shown = true;
    QRgb colour = 0xffffffff;
    QString table;          // a lookup table by name ("Fire"); empty: the colour's ramp
    double low = 0;
    double high = 255;
    double startLow = 0;    // the window it opened with, which Reset brings back
    double startHigh = 255;
    bool started = false;   // false until a plane has given its Auto window
};

// The lookup tables offered by name, as ImageJ names them; "Fire" is the one
// that is not a colour's ramp.
QStringList lookupTableNames();
// The colour a table's name stands for, or nothing for Fire and unknown names.
std::optional<QRgb> lookupTableColour(const QString &name);

// Turns the planes of a frame into a picture: each channel's samples through
// its window to 8 bits, in its colour, the channels added; and reduced to the
// screen, each output pixel the mean of the pixels it covers.  Keeps the
// tables it made for as long as windows and colours stay.
class compositor
{
public:
    // The part of a frame scaled to `scaled`, from planes that hold `region`
    // of a level of size levelSize (a null plane: a channel not in the
    // frame).  part must lie within scaled, and what it covers within region.
    QImage compose(const std::vector<const planeData *> &planes, const std::vector<channel> &channels,
                   const QSize &levelSize, const QRect &region, const QSize &scaled, const QRect &part);
    // Planes of size `size` whole, pixel for pixel.
    QImage compose(const std::vector<const planeData *> &planes, const std::vector<channel> &channels, const QSize &size);

private:
    struct cached
    {
        std::optional<channelMap> map;
        std::tuple<int, sampleFormat, double, double> mapFor;
        std::vector<QRgb> table;   // each sample value's colour
        std::tuple<int, sampleFormat, double, double, QRgb, QString> tableFor;
        std::vector<QRgb> tints;   // each 8-bit level's colour
    };

    const channelMap &mapOf(size_t c, const planeData &plane, const channel &ch);
    const std::vector<QRgb> &tintsOf(size_t c, const channel &ch);
    const std::vector<QRgb> &tableOf(size_t c, const planeData &plane, const channel &ch);

    std::vector<cached> caches;
};

#endif
