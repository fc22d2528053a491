#ifndef METADATA_H
#define METADATA_H

#include "stack.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QRgb>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

// Parsers of the metadata that TIFF writers leave in a file: they take the
// bytes as found and trust nothing in them.  Counts are checked against the
// pages only later, when the pages are laid out.

// Longest description text looked at.
constexpr qsizetype maxMetadataText = 16 * 1024 * 1024;
// Time stamps of more time points than this are not kept.
constexpr qint64 maxTimeStamps = 1 << 20;

// The physical sizes a file gives, in one unit.
struct physicalSizes
{
    std::optional<double> x;   // of a pixel
    std::optional<double> y;
    std::optional<double> z;   // between focal planes
    QString unit;              // empty when the file names none
};
// The sizes given in units of their own, in the first one's: "µm" for the
// ways of writing micrometres, symbols for the names of other lengths.  A
// size whose unit cannot be converted, or that is not above 0, is left
// out; sizes of 1 "pixel" are no calibration at all.
physicalSizes inOneUnit(const std::optional<double> (&sizes)[3], const QString (&units)[3]);
void setSizes(const physicalSizes &sizes, stack *s);
// A stack's sizes for people: "0.25 × 0.5 µm pixels, focal planes 2 µm
// apart", "1 × 2 pixels (no unit given)", or "not given".
QString sizesText(const stack &s);

// The times a file gives, in seconds.
struct recordingTimes
{
    std::optional<double> interval;
    std::vector<double> stamps;        // since the first time point
    std::optional<double> frameRate;   // frames a second
};
// Seconds in one of a unit of time as written: "s", "sec", "ms", "min",
// "hour", "µs", OME's and OME-Zarr's names; none when it is unknown.
std::optional<double> secondsPer(const QString &unit);
// A time between time points in seconds: none when the unit is unknown or
// the value is not above 0.  An OME-Zarr time axis's scale and unit give
// its stack's timeInterval.
std::optional<double> intervalInSeconds(double value, const QString &unit);
// Sets the stack's times; stamps are kept only when there is one per time point.
void setTimes(const recordingTimes &times, stack *s);
// Seconds from the first time point to time point t: its time stamp, else
// t intervals, else none.
std::optional<double> elapsedSeconds(const stack &s, int t);
// "every 2.5 s", "120 time stamps over 3 min", or "not given".
QString timesText(const stack &s);
// What a stack's file says, for people, a line a fact: ("Kind", "ImageJ
// hyperstack"), ("Size", "512 × 512 pixels, 10 time points, ..."), ...
QList<QPair<QString, QString>> stackFacts(const stack &s);

// ImageJ's "ImageJ=" description.
struct imagejDescription
{
    qint64 images = 0;       // 0 when not given
    qint64 channels = 1;
    qint64 slices = 1;
    qint64 frames = 1;
    std::optional<double> min;
    std::optional<double> max;
    bool hyperstack = false;   // a plain stack says nothing of what its pages are
    QString unit;              // as written, its \u escapes undone
    std::optional<double> spacing;
    std::optional<double> interval;   // finterval, in timeUnit
    QString timeUnit;                 // tunit, empty for seconds
    std::optional<double> fps;
};
std::optional<imagejDescription> parseImagejDescription(const QByteArray &text);
// ImageJ's calibration: the resolution tags' pixels per unit (resolutionUnit
// as TIFF codes it), the description's unit and spacing.
physicalSizes imagejSizes(const imagejDescription &d, double xResolution, double yResolution, int resolutionUnit);

// What ImageJ's metadata tags hold: the display range and the LUT of each channel.
struct imagejExtras
{
    std::vector<std::pair<double, double>> ranges;
    std::vector<QRgb> colours;   // entry 255 of each LUT
    QString info;                // the Info property
};
imagejExtras parseImagejMetadata(const std::vector<uint32_t> &byteCounts, const QByteArray &data);

// Where OME-XML puts an image's planes.
struct omeTiffData
{
    qint64 ifd = 0;
    qint64 firstC = 0;
    qint64 firstZ = 0;
    qint64 firstT = 0;
    qint64 planeCount = 0;   // after the schema's defaults: at least 1
    QString fileName;        // of its UUID, empty when none
};

struct omeChannel
{
    std::optional<QRgb> colour;
    QString name;
};

struct omeImage
{
    QString name;
    QString dimensionOrder;   // one of XYZCT, XYZTC, XYCTZ, XYCZT, XYTCZ, XYTZC
    qint64 sizeX = 0;
    qint64 sizeY = 0;
    qint64 sizeC = 1;
    qint64 sizeZ = 1;
    qint64 sizeT = 1;
    QString type;
    std::vector<omeChannel> channels;
    std::vector<omeTiffData> tiffData;
    physicalSizes sizes;
    std::optional<double> timeIncrement;   // in seconds
    std::vector<double> timeStamps;        // DeltaT of each time point's first plane, since the first's; empty unless all have one
    QString objective;                     // "Plan-Apochromat 63x/1.40 Oil, 63×, NA 1.4", where given
};
// Every image of OME-XML (stage positions, series).  Returns false with
// *error set when the text is OME-XML but unusable; *isOme says whether it
// is OME-XML at all.
bool parseOme(const QByteArray &xml, std::vector<omeImage> *out, bool *isOme, QString *error);

// tifffile's {"shape": [...], "axes": "..."} description.
struct tifffileShape
{
    std::vector<qint64> shape;
    QString axes;             // empty when not given
};
std::optional<tifffileShape> parseTifffileShape(const QByteArray &json);

// Zeiss LSM's CZ_LSMINFO: the counts, how the pages are ordered, and
// where the channels' colours are.
struct lsmInfo
{
    qint64 planes = 1;
    qint64 channels = 1;
    qint64 times = 1;
    qint64 images = 1;         // stage positions times mosaic tiles
    bool timeFastest = false;  // time series scans store time points before focal planes
    quint32 colourOffset = 0;  // of the ChannelColors block in the file, 0 when none
    quint32 stampsOffset = 0;  // of the TimeStamps block, 0 when none
    quint32 scanOffset = 0;    // of the ScanInformation block, 0 when none
    std::optional<double> interval;   // seconds
    physicalSizes sizes;       // in µm
};
std::optional<lsmInfo> parseLsmInfo(const QByteArray &data);

// LSM's ChannelColors block: a colour and a name per channel.
struct lsmColours
{
    std::vector<QRgb> colours;
    QStringList names;
};
lsmColours parseLsmColours(const QByteArray &block);
// The objective LSM's ScanInformation block names for the recording, else empty.
QString parseLsmObjective(const QByteArray &block);
// LSM's TimeStamps block: a size, a count, and as many seconds; since the first.
std::vector<double> parseLsmTimeStamps(const QByteArray &block);

// The physical sizes of a TIFF file's image, by its first page's
// description (ImageJ's, with the resolution tags, or OME-XML) or LSM's
// information, as the pages are laid out.
physicalSizes tiffSizes(const QByteArray &description, const std::optional<lsmInfo> &lsm, double xResolution,
                        double yResolution, int resolutionUnit, int image);
// Its times the same way; lsmStamps is LSM's TimeStamps block.
recordingTimes tiffTimes(const QByteArray &description, const std::optional<lsmInfo> &lsm, const QByteArray &lsmStamps,
                         int image);
// Its metadata for people: the descriptions and ImageJ's Info property.
QString tiffMetadataText(const QByteArray &description, const QByteArray &imagejDescription, const QString &imagejInfo);

#endif
