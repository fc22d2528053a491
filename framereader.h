#ifndef FRAMEREADER_H
#define FRAMEREADER_H

#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QRect>
#include <QSize>

#include <memory>

struct jpegDecoder;

// Reads one frame file: its size first, then any part of it, at full size or
// scaled down, whole or in part.  JPEG files are decoded by libjpeg in bounded time and memory,
// and only as far as the part asked for; any other format goes through Qt's
// image reader.  A frame that is not whole and sound reads as a null image.
class framereader
{
public:
    explicit framereader(const QByteArray &fileName);
    ~framereader();

    QSize size() const;
    QImage read(const QRect &rect, const QSize &scaledSize = QSize());
    QImage readScaled(const QSize &scaledSize, const QRect &part);

    static QImage read(const QByteArray &fileName, const QRect &rect, const QSize &scaledSize = QSize());

private:
    Q_DISABLE_COPY(framereader)

    QImage readJpeg(const QSize &scaledSize, const QRect &part);
    QImage readOther(const QSize &scaledSize, const QRect &part);
    bool reachesEndOfImage();

    QFile file;
    QSize frameSize;
    std::unique_ptr<jpegDecoder> jpeg;
};

#endif
