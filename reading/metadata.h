#ifndef METADATA_H
#define METADATA_H

#include <QByteArray>
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
};
std::optional<imagejDescription> parseImagejDescription(const QByteArray &text);

// What ImageJ's metadata tags hold: the display range and the LUT of each channel.
struct imagejExtras
{
    std::vector<std::pair<double, double>> ranges;
    std::vector<QRgb> colours;   // entry 255 of each LUT
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
};
std::optional<lsmInfo> parseLsmInfo(const QByteArray &data);

// LSM's ChannelColors block: a colour and a name per channel.
struct lsmColours
{
    std::vector<QRgb> colours;
    QStringList names;
};
lsmColours parseLsmColours(const QByteArray &block);

#endif
