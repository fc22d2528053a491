#ifndef METADATA_H
#define METADATA_H

#include <QByteArray>
#include <QRgb>
#include <QString>

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
};
std::optional<imagejDescription> parseImagejDescription(const QByteArray &text);

// What ImageJ's metadata tags hold: the display range and the LUT of each channel.
struct imagejExtras
{
    std::vector<std::pair<double, double>> ranges;
    std::vector<QRgb> colours;   // entry 255 of each LUT
};
imagejExtras parseImagejMetadata(const std::vector<uint32_t> &byteCounts, const QByteArray &data);

// The first image of OME-XML.
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
    QString dimensionOrder;   // one of XYZCT, XYZTC, XYCTZ, XYCZT, XYTCZ, XYTZC
    qint64 sizeX = 0;
    qint64 sizeY = 0;
    qint64 sizeC = 1;
    qint64 sizeZ = 1;
    qint64 sizeT = 1;
    QString type;
    std::vector<omeChannel> channels;
    std::vector<omeTiffData> tiffData;
    int images = 0;           // how many Image elements the XML has
};
// Returns false with *error set when the text is OME-XML but unusable;
// *isOme says whether it is OME-XML at all.
bool parseOme(const QByteArray &xml, omeImage *out, bool *isOme, QString *error);

// tifffile's {"shape": [...], "axes": "..."} description.
struct tifffileShape
{
    std::vector<qint64> shape;
    QString axes;             // empty when not given
};
std::optional<tifffileShape> parseTifffileShape(const QByteArray &json);

#endif
