#ifndef PLANEPROVIDER_H
#define PLANEPROVIDER_H

#include "stack.h"

#include <QByteArray>
#include <QRect>
#include <QSize>
#include <QString>

#include <memory>
#include <vector>

// The planes of a recording or a dataset by (time point, focal plane),
// every channel at once, at a resolution level and in a region of it.
// Indices are the ones the viewer shows.
class planeprovider
{
public:
    virtual ~planeprovider() = default;

    // The size of each level, finest first.
    virtual std::vector<QSize> levels() const = 0;
    virtual int channels() const = 0;
    // How the samples are stored.
    virtual int bits() const = 0;
    virtual sampleFormat format() const = 0;
    // Whether a frame has any plane at all (a gap in a file series has none).
    virtual bool present(int t, int z) const = 0;
    // Reads the region of every channel's plane at (t, z) and level into
    // planes, one a channel; a channel the input lacks there is left empty.
    // On failure returns false and error() says why; where only some parts
    // did not come, missed() says which, and the planes hold the rest.
    virtual bool read(int t, int z, int level, const QRect &region, std::vector<planeData> &planes) = 0;
    // Whether reading the planes of (t, z) in bands of rows costs no more
    // than reading them whole.
    virtual bool cheapBands(int, int) { return false; }
    // Whether a frame of one level is read only where it is seen (chunks over
    // a network), rather than whole, so that a drag reads nothing.
    virtual bool partsOnly() const { return false; }
    // The trace line of a read of (t, z).
    virtual QByteArray traceLine(int t, int z) const = 0;
    QString error() const { return mError; }
    void setError(const QString &error) { mError = error; }
    // The parts of the region, in the level's pixels, that the last read missed.
    const std::vector<QRect> &missed() const { return mMissed; }

protected:
    QString mError;
    std::vector<QRect> mMissed;
};

// A stack's planes, with its time points and focal planes swapped or not.
class stackplanes : public planeprovider
{
public:
    stackplanes(stack &input, const QByteArray &tracePath);

    void setSwapped(bool on) { swapped = on; }
    void setPartsOnly(bool on) { parts = on; }

    std::vector<QSize> levels() const override { return in.levels; }
    int channels() const override { return int(in.channels.size()); }
    int bits() const override { return in.bits; }
    sampleFormat format() const override { return in.format; }
    bool present(int t, int z) const override;
    bool read(int t, int z, int level, const QRect &region, std::vector<planeData> &planes) override;
    bool cheapBands(int t, int z) override;
    bool partsOnly() const override { return parts; }
    QByteArray traceLine(int t, int z) const override;

private:
    stack &in;
    QByteArray tracePath;
    bool swapped = false;
    bool parts = false;
};

#endif
