#ifndef STACK_H
#define STACK_H

#include <QRect>
#include <QRgb>
#include <QSize>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

// How one sample of the input is stored.
enum class sampleFormat { unsignedInt, signedInt, floatingPoint };

// What the input says of one channel.
struct channelInfo
{
    std::optional<QRgb> colour;   // ImageJ LUT (its brightest entry), OME Color, red/green/blue of RGB
    std::optional<double> low;    // the display range stored in the file (ImageJ's)
    std::optional<double> high;
    QString name;
};

// One image of a file that holds several (stage positions, series).
struct imageSummary
{
    QString name;
    int width = 0;
    int height = 0;
    qint64 times = 0;
    qint64 planes = 0;
    qint64 channels = 0;
    QString type;
};

// The samples of one channel of one (time, focal plane), rows packed,
// width * height samples of bits / 8 bytes each, in the machine's byte order.
struct planeData
{
    int bits = 8;   // 8, 16 or 32
    sampleFormat format = sampleFormat::unsignedInt;
    std::vector<unsigned char> bytes;
};

// What the command line says about the inputs' layout.
struct stackOptions
{
    int planes = 0;             // --planes N: focal planes per time point, 0 when not given
    bool timeFastest = false;   // --order tz
    bool orderGiven = false;    // --order at all
    int image = -1;             // --image N: which image of a file that holds several, -1 when not given
    QString pattern;            // --pattern, with {t}, {z} and {c}
    qint64 maxPlaneBytes = qint64(1) << 30;   // largest page read, in bytes (fuzzing lowers it)
    bool partial = false;       // open a damaged or cut-short file with the planes it still holds
    int timeout = 20;           // seconds a request over the network may take
};

// One input file, or a series of files, seen as planes over (time, focal
// plane, channel).  Time and plane indices start at 0.  Reading happens on
// one thread only.
class stack
{
public:
    virtual ~stack() = default;

    int width = 0;
    int height = 0;
    int times = 0;
    int planes = 0;
    int bits = 8;
    sampleFormat format = sampleFormat::unsignedInt;
    std::vector<channelInfo> channels;
    QString description;        // one line of what was found, e.g. "ImageJ hyperstack", "OME-TIFF (XYZCT)"
    QStringList warnings;       // e.g. the indices of missing files
    std::vector<imageSummary> images;   // every image of the input, the one read among them
    int image = 0;                      // which one is read
    QStringList files;          // a file series' files in the order read
    QString pattern;            // a file series' --pattern, or its names read as one; empty for the natural order
    bool axesGuessed = false;   // no metadata says whether the pages are time points or focal planes
    std::vector<QSize> levels;  // the planes' resolution levels, finest (width x height) first; most have one
    // Physical sizes where the file gives them; unset otherwise.
    std::optional<double> pixelWidth;    // x size of a pixel of the finest level
    std::optional<double> pixelHeight;
    std::optional<double> planeSpacing;  // between focal planes
    QString unit;                        // of the three, as the file writes it ("µm", "nm", "micron" normalised to "µm")
    // Times where the file gives them.
    std::optional<double> timeInterval;   // seconds between time points
    std::vector<double> timeStamps;       // seconds since the first time point, one per time point, where the file gives each
    std::optional<double> frameRate;      // a playback rate the file stores (ImageJ's fps), frames a second
    QString metadataText;                 // the file's own metadata as written: ImageJ's Info and description, OME-XML, Zarr attributes
    QString objective;                    // where the file names it apart from its OME-XML (LSM)

    // Whether the input holds this plane at all (a gap in a file series does not).
    virtual bool present(int t, int z, int c) const = 0;
    // Reads one plane; on failure returns false and error() says
    // "FILE: what is wrong".
    virtual bool read(int t, int z, int c, planeData &out) = 0;
    // Reads the part region, in the level's pixels, of a plane at a level,
    // rows packed as read() packs them.  This one reads the whole plane of
    // the finest level and cuts the region out.
    virtual bool readRegion(int t, int z, int c, int level, const QRect &region, planeData &out);
    // Reads the region of every channel's plane at (t, z) into planes, one a
    // channel, leaving empty those the input lacks there: each by
    // readRegion, or all at once where the input fetches them together.  A
    // read that failed with only some parts missed goes on with the other
    // channels; missed() has them all.
    virtual bool readChannels(int t, int z, int level, const QRect &region, std::vector<planeData> &planes);
    // Whether a part of a plane costs about its share of the plane to read
    // (samples stored as they are), so that reading a plane in bands costs
    // no more than reading it whole.
    virtual bool cheapRegions(int, int, int) { return false; }
    // Asks again a server that stopped answering.
    virtual void retry() { }
    QString error() const { return mError; }
    // The parts of the last region read, in its level's pixels, that did not
    // come (chunks not fetched or not decoded), where it failed with them;
    // such a read still fills the rest of the region.
    const std::vector<QRect> &missed() const { return mMissed; }

protected:
    QString mError;
    std::vector<QRect> mMissed;
};

// "16-bit unsigned integers", "32-bit float".
QString sampleTypeText(int bits, sampleFormat format);

// Opens the inputs, recognised by their content: one TIFF file (with
// ImageJ, OME-XML or tifffile metadata, or none), an OME-Zarr folder or URL,
// or several TIFF, PNG or JPEG files laid out by the indices in their names
// or by --pattern.  On failure returns null and sets *error to "FILE: what
// is wrong".
std::unique_ptr<stack> openStack(const QStringList &inputs, const stackOptions &options, QString *error);

// Opens one file the same way, whatever its name; a file series opens its
// files with it.
std::unique_ptr<stack> openFile(const QString &fileName, const stackOptions &options, QString *error);

#endif
