#include "planewriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <tiffio.h>

bool writePlanes(const QString &fileName, const std::vector<planeData> &planes, const QSize &size,
                 std::optional<double> pixelSize, const QString &unit, QString *error)
{
    if (planes.empty() || size.isEmpty()) {
        *error = QStringLiteral("%1: nothing to write").arg(fileName);
        return false;
    }
    const QFileInfo target(fileName);
    QTemporaryFile part(target.absoluteDir().filePath(QStringLiteral(".%1.XXXXXX.part").arg(target.fileName())));
    if (!part.open()) {
        *error = QStringLiteral("%1: %2").arg(fileName, part.errorString());
        return false;
    }
    part.close();
    TIFF *tiff = TIFFOpen(QFile::encodeName(part.fileName()).constData(), "w");
    if (!tiff) {
        *error = QStringLiteral("%1: cannot be written").arg(fileName);
        return false;
    }
    QByteArray description = "ImageJ=1.11a\nimages=" + QByteArray::number(qsizetype(planes.size())) + "\nchannels="
            + QByteArray::number(qsizetype(planes.size())) + "\n";
    if (pixelSize && !unit.isEmpty())
        description += "unit=" + (unit == QStringLiteral("µm") ? QByteArray("micron") : unit.toUtf8()) + "\n";
    bool ok = true;
    for (size_t c = 0; c < planes.size() && ok; ++c) {
        const planeData &plane = planes[c];
        const size_t rowBytes = size_t(size.width()) * size_t(plane.bits / 8);
        ok = plane.bytes.size() == rowBytes * size_t(size.height()) && plane.bits == planes.front().bits;
        if (!ok)
            break;
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(size.width()));
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t(size.height()));
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, uint16_t(plane.bits));
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, uint16_t(1));
        TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, uint16_t(plane.format == sampleFormat::floatingPoint ? SAMPLEFORMAT_IEEEFP
                                                         : plane.format == sampleFormat::signedInt   ? SAMPLEFORMAT_INT
                                                                                                     : SAMPLEFORMAT_UINT));
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, uint16_t(PHOTOMETRIC_MINISBLACK));
        TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, uint32_t(size.height()));
        if (c == 0)
            TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, description.constData());
        if (pixelSize && *pixelSize > 0) {
            TIFFSetField(tiff, TIFFTAG_XRESOLUTION, float(1 / *pixelSize));
            TIFFSetField(tiff, TIFFTAG_YRESOLUTION, float(1 / *pixelSize));
            TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, uint16_t(RESUNIT_NONE));
        }
        for (int y = 0; y < size.height() && ok; ++y)
            ok = TIFFWriteScanline(tiff, const_cast<unsigned char *>(plane.bytes.data() + size_t(y) * rowBytes), uint32_t(y), 0) == 1;
        ok = ok && TIFFWriteDirectory(tiff);
    }
    TIFFClose(tiff);
    if (!ok) {
        *error = QStringLiteral("%1: cannot be written").arg(fileName);
        return false;
    }
    QFile::remove(fileName);
    if (!QFile::rename(part.fileName(), fileName)) {
        *error = QStringLiteral("%1: cannot be written in place").arg(fileName);
        return false;
    }
    part.setAutoRemove(false);
    return true;
}
