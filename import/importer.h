#ifndef IMPORTER_H
#define IMPORTER_H

#include "brightness.h"
#include "projection.h"
#include "stack.h"

#include <QElapsedTimer>
#include <QImage>
#include <QJsonObject>

#include <csignal>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class datasetwriter;

// What --range asks of one channel: LOW:HIGH, full or auto.
struct rangeRequest
{
    bool full = false;
    double low = 0;
    double high = 0;
    bool automatic = false;
};

// Turns the chosen channels of a stack into frames: first the windows (with a
// histogram pass where one is needed), then the frames, read here and mapped,
// merged, encoded and written by worker threads.  With a projection each
// time point has one frame, focal plane 0, of the planes projected.
class importer
{
public:
    importer(stack &input, const std::vector<int> &channels, const volatile std::sig_atomic_t *stop);
    ~importer();

    // Projects focal planes first to last of each time point, before the windows are chosen.
    void setProjection(projectionKind kind, int first, int last);
    // The focal planes of each time point written: 1 with a projection.
    int planesWritten() const { return projecting() ? 1 : input.planes; }
    // Sum and Standard Deviation: values not in the planes' units, whose windows are the projections' own.
    bool ownWindows() const { return kind == projectionKind::sum || kind == projectionKind::standardDeviation; }

    // One window per chosen channel, in order of preference: requests (auto among them), the file's,
    // 8-bit kept, auto.  Without measureUnasked, auto windows that no request asks for are left unmeasured.
    bool chooseWindows(const std::vector<std::optional<rangeRequest>> &requests, QString *error,
                       bool measureUnasked = true);
    const std::vector<intensityWindow> &windows() const { return channelWindows; }
    // A colour of one's own for an input channel, which a channel written alone keeps too.
    void setColour(int channel, QRgb colour);
    std::vector<QRgb> colours() const;
    // Whether frames are written in colour: several channels, or one given a colour other than grey.
    bool inColour() const;
    int frameCount() const { return count(channels, true); }
    // The frames these channels of the input would give.
    int frameCount(const std::vector<int> &of) const { return count(of, true); }
    int planeCount() const { return count(channels, false); }
    // Encodes a few frames spread over the stack, for an estimate of the
    // dataset's size: *size is their mean.  Auto windows not measured are
    // measured on those frames.
    bool sampleFrameSize(int quality, std::size_t *size, QString *error);

    // The frame at (t, z) as the dataset would hold it, grey or the channels
    // merged, in 32-bit RGB; black where the input has none of its planes.
    bool renderFrame(int t, int z, QImage &out, QString *error);

    // progress: a line on a terminal; JSON lines on standard output instead once reportAsJson() is set.
    bool run(datasetwriter &writer, int quality, int threads, bool progress, QString *error);
    void reportAsJson() { json = true; }
    int framesWritten() const { return written; }

private:
    struct frame;
    bool projecting() const { return kind != projectionKind::none; }
    // The input's focal planes that give the frame at z.
    int firstPlane(int z) const { return projecting() ? first : z; }
    int lastPlane(int z) const { return projecting() ? last : z; }
    // Whether the frame at (t, z) has channel c.
    bool shows(int t, int z, int c) const;
    int count(const std::vector<int> &of, bool frames) const;
    // What channel i shows at (t, z): the input's plane, or the projection;
    // empty where the input has none.
    bool readPlane(int t, int z, std::size_t i, planeData &out, planeData &scratch, QString *error);
    bool readFrame(int t, int z, frame &f, QString *error);
    void mapRows(const frame &f, int y, std::vector<unsigned char> &rows, std::vector<const unsigned char *> &channelRows) const;
    bool encodeFrame(const frame &f, class framewriter &encoder, std::vector<unsigned char> &rows,
                     QString *error) const;
    bool stopped() const { return *stop != 0; }
    void showProgress(int done, int total, bool last);
    void report(const char *stage, int done, int total);

    stack &input;
    std::vector<int> channels;
    projectionKind kind = projectionKind::none;
    int first = 0;
    int last = 0;
    int frameBits;                 // the samples of the planes mapped: the projection's type
    sampleFormat frameFormat;
    const volatile std::sig_atomic_t *stop;
    std::vector<intensityWindow> channelWindows;
    std::vector<channelMap> maps;
    std::map<int, QRgb> ownColours;
    QElapsedTimer clock;
    qint64 lastProgress = -1;
    bool json = false;
    int written = 0;
    std::unique_ptr<frame> rendered;   // renderFrame()'s planes, read again into the same buffers
};

// Writes one JSON object as a line on standard output, at once.
void printJsonLine(const QJsonObject &line);

#endif
