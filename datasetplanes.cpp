#include "datasetplanes.h"
#include "datasetformat.h"
#include "framereader.h"

datasetplanes::datasetplanes(const QByteArray &path, const QByteArray &dataset)
    : path(path), dataset(dataset)
{
}

bool datasetplanes::read(int t, int z, int level, const QRect &region, std::vector<planeData> &planes)
{
    const QByteArray name = traceLine(t, z);
    framereader reader(name);
    const QSize size = reader.size();
    QImage image = level == 0 && QRect(QPoint(), size).contains(region) ? reader.read(region) : QImage();
    if (image.isNull()) {
        mError = QStringLiteral("%1: cannot be read").arg(QString::fromLocal8Bit(name));
        return false;
    }
    const bool grey = image.format() == QImage::Format_Grayscale8 || image.isGrayscale();
    image = image.convertToFormat(grey ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    planes.assign(grey ? 1 : 3, planeData());
    const int w = image.width();
    for (size_t c = 0; c < planes.size(); ++c)
        planes[c].bytes.resize(size_t(w) * size_t(image.height()));
    for (int y = 0; y < image.height(); ++y) {
        const uchar *row = image.constScanLine(y);
        for (size_t c = 0; c < planes.size(); ++c) {
            unsigned char *out = planes[c].bytes.data() + size_t(y) * size_t(w);
            for (int x = 0; x < w; ++x)
                out[x] = row[size_t(x) * planes.size() + c];
        }
    }
    return true;
}

QByteArray datasetplanes::traceLine(int t, int z) const
{
    return frameName(path, dataset, t, z);
}
