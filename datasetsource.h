#ifndef DATASETSOURCE_H
#define DATASETSOURCE_H

#include "framesource.h"

#include <memory>

class framereader;

// A dataset's frames: one JPEG file per (time point, focal plane) in the
// folder "img" beside the descriptor, named after the dataset.  Every read
// of a file is traced with its name.  A frame is shown as stored, decoded
// straight to the picture (a picture that needs more of a frame than was
// decoded reads the file again); projections see its pixels as planes, one
// grey or three colour channels of 8 bits, at fixed windows.
class datasetsource : public framesource
{
public:
    struct layout
    {
        int width = 300;
        int height = 300;
        range times;
        range planes;
    };

    datasetsource(const QByteArray &path, const QByteArray &dataset, const layout &shape);
    ~datasetsource() override;

    QString name() const override { return QString::fromLocal8Bit(dataset); }
    range times() const override { return shape.times; }
    range planes() const override { return shape.planes; }
    void load(int t, int z) override;
    QSize size() override;
    QString title() const override;
    QImage picture(const QSize &scaled, const QRect &part) override;
    bool partsAtHand() const override { return projection() != projectionKind::none; }
    QList<QPair<QString, QString>> facts() const override;
    std::optional<double> pixelSize() const override { return mPixelSize; }
    std::optional<double> planeSpacing() const override { return mPlaneSpacing; }
    QString unit() const override { return mUnit; }

protected:
    void channelsFound(size_t count) override;

private:
    framereader &reader();

    QByteArray path;
    QByteArray dataset;
    layout shape;
    QByteArray name_;
    QSize known;
    std::optional<double> mPixelSize;   // from the record the importer writes beside the descriptor
    std::optional<double> mPlaneSpacing;
    QString mUnit;
    std::unique_ptr<framereader> opened;
};

#endif
