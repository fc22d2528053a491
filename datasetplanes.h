#ifndef DATASETPLANES_H
#define DATASETPLANES_H

#include "planeprovider.h"

// A dataset's frames as planes: each JPEG file decoded to 8 bits, one plane
// if grey, three (red, green, blue) if in colour.
class datasetplanes : public planeprovider
{
public:
    datasetplanes(const QByteArray &path, const QByteArray &dataset);

    std::vector<QSize> levels() const override { return {}; }
    int channels() const override { return 3; }
    int bits() const override { return 8; }
    sampleFormat format() const override { return sampleFormat::unsignedInt; }
    bool present(int, int) const override { return true; }
    bool read(int t, int z, int level, const QRect &region, std::vector<planeData> &planes) override;
    QByteArray traceLine(int t, int z) const override;

private:
    QByteArray path;
    QByteArray dataset;
};

#endif
