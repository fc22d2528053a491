#ifndef FRAMESOURCE_H
#define FRAMESOURCE_H

#include <QByteArray>
#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

// Where the window's frames come from: a dataset's JPEG files, or a
// recording read in place.  The window loads the frame of a (time point,
// focal plane) when the pair changes, and asks for pictures of parts of it
// as often as the view needs them.
class framesource
{
public:
    virtual ~framesource() = default;

    // Reads what the frame at (t, z) needs, writing its trace line.
    virtual void load(int t, int z) = 0;
    // The size of the frame loaded.
    virtual QSize size() = 0;
    // A short name of the frame loaded, for screen readers.
    virtual QString title() const = 0;
    // The part of the frame loaded, at a scale at which the whole frame is
    // `scaled`: the frame's own size, or smaller.  A frame that cannot be
    // read gives a null image.
    virtual QImage picture(const QSize &scaled, const QRect &part) = 0;
    // Whether a picture of any part costs no read of a file.
    virtual bool partsAtHand() const { return false; }
};

// One line of the trace on the standard error stream.
void trace(const QByteArray &line);

#endif
