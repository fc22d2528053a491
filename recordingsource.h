#ifndef RECORDINGSOURCE_H
#define RECORDINGSOURCE_H

#include "framesource.h"
#include "stack.h"

#include <QStringList>

#include <memory>

// A microscope recording read where it lies: a TIFF stack, a series of
// files or an OME-Zarr image, through the reading library.  The planes of the
// frame shown are kept while it is shown, so that a change of brightness
// reads nothing.
class recordingsource : public framesource
{
public:
    // Opens one file, several files of a series, or a folder of them; image
    // picks one of several images (stage positions), -1 the first.
    static std::unique_ptr<recordingsource> open(const QStringList &paths, int image, QString *error, int timeout = 20,
                                                 qint64 maxPlaneBytes = qint64(1) << 30);

    QString name() const override { return mName; }
    range times() const override { return { 0, (mSwapped ? in->planes : in->times) - 1 }; }
    range planes() const override { return { 0, (mSwapped ? in->times : in->planes) - 1 }; }
    int features() const override;
    QStringList imageNames() const override;
    int image() const override { return in->image; }
    QStringList paths() const override { return mPaths; }
    bool swapped() const override { return mSwapped; }
    void setSwapped(bool on) override;
    void reread() override;
    QSize size() override { return QSize(in->width, in->height); }
    std::optional<double> pixelSize() const override { return in->pixelWidth; }
    std::optional<double> planeSpacing() const override { return mSwapped ? std::nullopt : in->planeSpacing; }
    QString unit() const override { return in->unit; }
    QList<QPair<QString, QString>> facts() const override;
    QString metadataText() const override { return in->metadataText; }
    std::optional<double> elapsedSeconds(int t) const override;
    std::optional<double> frameRate() const override { return in->frameRate; }

    const stack &input() const { return *in; }

private:
    recordingsource(std::unique_ptr<stack> input, const QStringList &paths);

    QString nameOf(const QStringList &paths) const;
    bool swappable() const;
    void startWindows();

    std::unique_ptr<stack> in;
    stackplanes *planesOf;
    QStringList mPaths;
    QString mName;
    bool mSwapped = false;
};

#endif
