#include "planewriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <tiffio.h>

#include <algorithm>

namespace {

// A temporary file beside fileName, opened by libtiff; null and *error when it cannot be.
TIFF *openBeside(const QString &fileName, QTemporaryFile &part, QString *error)
{
    if (!part.open()) {
        *error = QStringLiteral("%1: %2").arg(fileName, part.errorString());
        return nullptr;
    }
    part.close();
    TIFF *tiff = TIFFOpen(QFile::encodeName(part.fileName()).constData(), "w");
    if (!tiff)
        *error = QStringLiteral("%1: cannot be written").arg(fileName);
    return tiff;
}

void setResolution(TIFF *tiff, std::optional<double> pixelSize)
{
    if (pixelSize && *pixelSize > 0) {
        TIFFSetField(tiff, TIFFTAG_XRESOLUTION, float(1 / *pixelSize));
        TIFFSetField(tiff, TIFFTAG_YRESOLUTION, float(1 / *pixelSize));
        TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, uint16_t(RESUNIT_NONE));
    }
}

// Gives the temporary file its name, or says why it cannot.
bool putInPlace(QTemporaryFile &part, const QString &fileName, bool written, QString *error)
{
    if (!written) {
        *error = QStringLiteral("%1: cannot be written").arg(fileName);
        return false;
    }
    // A temporary file is the owner's alone; the file is as any other.
    part.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    QFile::remove(fileName);
    if (!QFile::rename(part.fileName(), fileName)) {
        *error = QStringLiteral("%1: cannot be written in place").arg(fileName);
        return false;
    }
    part.setAutoRemove(false);
    return true;
}

QString partName(const QString &fileName)
{
    const QFileInfo target(fileName);
    return target.absoluteDir().filePath(QStringLiteral(".%1.XXXXXX.part").arg(target.fileName()));
}

} // namespace

bool writePicture(const QString &fileName, const QImage &picture, std::optional<double> pixelSize, const QString &unit,
                  QString *error)
{
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    QTemporaryFile part(partName(fileName));
    TIFF *tiff = openBeside(fileName, part, error);
    if (!tiff)
        return false;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(rgb.width()));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t(rgb.height()));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, uint16_t(8));
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, uint16_t(3));
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, uint16_t(PHOTOMETRIC_RGB));
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, uint16_t(COMPRESSION_ADOBE_DEFLATE));
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, uint32_t(std::max(1, (1 << 16) / std::max(1, 3 * rgb.width()))));
    if (pixelSize && !unit.isEmpty())
        TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, ("ImageJ=1.11a\nunit=" + (unit == QStringLiteral("µm") ? QByteArray("micron") : unit.toUtf8()) + "\n").constData());
    setResolution(tiff, pixelSize);
    bool ok = true;
    for (int y = 0; y < rgb.height() && ok; ++y)
        ok = TIFFWriteScanline(tiff, const_cast<uchar *>(rgb.constScanLine(y)), uint32_t(y), 0) == 1;
    ok = ok && TIFFWriteDirectory(tiff);
    TIFFClose(tiff);
    return putInPlace(part, fileName, ok, error);
}

bool writePlanes(const QString &fileName, const std::vector<planeData> &planes, const QSize &size,
                 std::optional<double> pixelSize, const QString &unit, QString *error)
{
    if (planes.empty() || size.isEmpty()) {
        *error = QStringLiteral("%1: nothing to write").arg(fileName);
        return false;
    }
    QTemporaryFile part(partName(fileName));
    TIFF *tiff = openBeside(fileName, part, error);
    if (!tiff)
        return false;
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
        setResolution(tiff, pixelSize);
        for (int y = 0; y < size.height() && ok; ++y)
            ok = TIFFWriteScanline(tiff, const_cast<unsigned char *>(plane.bytes.data() + size_t(y) * rowBytes), uint32_t(y), 0) == 1;
        ok = ok && TIFFWriteDirectory(tiff);
    }
    TIFFClose(tiff);
    return putInPlace(part, fileName, ok, error);
}
