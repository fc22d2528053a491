#include "imagefile.h"

#include "pagelayout.h"

#include <QImageReader>

#include <cstring>

imageFile::imageFile(const QString &fileName, const QByteArray &format) : mFileName(fileName), mFormat(format) { }

std::unique_ptr<stack> imageFile::open(const QString &fileName, const QByteArray &format, QString *error)
{
    QImageReader reader(fileName, format);
    const QSize size = reader.size();
    if (!reader.canRead() || size.isEmpty()) {
        *error = QStringLiteral("%1: %2").arg(fileName, reader.errorString());
        return nullptr;
    }
    if (size.width() > maxSide || size.height() > maxSide) {
        *error = QStringLiteral("%1: %2 x %3 pixels; at most %4 x %4 are read").arg(fileName).arg(size.width()).arg(size.height()).arg(maxSide);
        return nullptr;
    }
    std::unique_ptr<imageFile> s(new imageFile(fileName, format));
    s->width = size.width();
    s->height = size.height();
    s->times = 1;
    s->planes = 1;
    switch (reader.imageFormat()) {
    case QImage::Format_Grayscale8:
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
        s->mTarget = QImage::Format_Grayscale8;
        break;
    case QImage::Format_Grayscale16:
        s->mTarget = QImage::Format_Grayscale16;
        break;
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64:
    case QImage::Format_RGBA64_Premultiplied:
        s->mTarget = QImage::Format_RGBX64;
        break;
    default:
        s->mTarget = QImage::Format_RGB888;
    }
    s->bits = s->mTarget == QImage::Format_Grayscale16 || s->mTarget == QImage::Format_RGBX64 ? 16 : 8;
    if (s->mTarget == QImage::Format_Grayscale8 || s->mTarget == QImage::Format_Grayscale16)
        s->channels.resize(1);
    else
        s->channels = { { qRgb(255, 0, 0), {}, {}, {} }, { qRgb(0, 255, 0), {}, {}, {} }, { qRgb(0, 0, 255), {}, {}, {} } };
    s->description = format == "png" ? QStringLiteral("PNG file") : QStringLiteral("JPEG file");
    return s;
}

bool imageFile::present(int t, int z, int c) const
{
    return t == 0 && z == 0 && c >= 0 && c < int(channels.size());
}

bool imageFile::read(int t, int z, int c, planeData &out)
{
    if (!present(t, z, c)) {
        mError = QStringLiteral("%1: holds no time point %2, focal plane %3, channel %4").arg(mFileName).arg(t).arg(z).arg(c);
        return false;
    }
    if (mImage.isNull() || c == 0) {
        QImageReader reader(mFileName, mFormat);
        mImage = reader.read();
        if (mImage.isNull() || mImage.width() != width || mImage.height() != height) {
            mError = QStringLiteral("%1: %2").arg(mFileName, mImage.isNull() ? reader.errorString() : QStringLiteral("has changed"));
            mImage = QImage();
            return false;
        }
        mImage.convertTo(mTarget);
    }
    out.bits = bits;
    out.format = sampleFormat::unsignedInt;
    const int bytes = bits / 8;
    out.bytes.resize(size_t(width) * height * bytes);
    unsigned char *to = out.bytes.data();
    for (int y = 0; y < height; ++y) {
        const uchar *line = mImage.constScanLine(y);
        if (channels.size() == 1) {
            std::memcpy(to + size_t(y) * width * bytes, line, size_t(width) * bytes);
        } else if (bits == 8) {
            for (int x = 0; x < width; ++x)
                to[size_t(y) * width + x] = line[x * 3 + c];
        } else {
            const quint16 *in = reinterpret_cast<const quint16 *>(line);
            quint16 *row = reinterpret_cast<quint16 *>(to) + size_t(y) * width;
            for (int x = 0; x < width; ++x)
                row[x] = in[x * 4 + c];
        }
    }
    if (c == int(channels.size()) - 1)
        mImage = QImage();
    return true;
}
