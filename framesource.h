#ifndef FRAMESOURCE_H
#define FRAMESOURCE_H

#include "compositor.h"
#include "planeprovider.h"
#include "projection.h"

#include <QByteArray>
#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

// Where the window's frames come from: a dataset's JPEG files, or a
// recording read in place.  Either gives its planes through a plane
// provider; this class keeps the planes of the frame shown (or their
// projection over focal planes) and draws them through the channels'
// windows and colours.  Nothing is read until a picture needs it.
class framesource
{
public:
    struct range
    {
        int first = 0;
        int last = 0;
    };
    enum feature { swapping = 1, saving = 2, adjusting = 4, choosingImages = 8 };

    explicit framesource(std::unique_ptr<planeprovider> planes);
    virtual ~framesource();

    // What the window shows of the source.
    virtual QString name() const = 0;
    virtual range times() const = 0;
    virtual range planes() const = 0;
    virtual int features() const { return 0; }
    virtual QStringList imageNames() const { return {}; }
    virtual int image() const { return 0; }
    virtual QStringList paths() const { return {}; }
    virtual bool swapped() const { return false; }
    virtual void setSwapped(bool) {}
    // Physical sizes where the file gives them.
    virtual std::optional<double> pixelSize() const { return std::nullopt; }
    virtual std::optional<double> planeSpacing() const { return std::nullopt; }
    virtual QString unit() const { return QString(); }
    // Seconds from the first time point to t, where the file gives them.
    virtual std::optional<double> elapsedSeconds(int) const { return std::nullopt; }
    // The playback rate the file stores, if it does.
    virtual std::optional<double> frameRate() const { return std::nullopt; }
    // What the source says of itself, a fact a line, and its own metadata.
    virtual QList<QPair<QString, QString>> facts() const = 0;
    virtual QString metadataText() const { return QString(); }

    // Reads the frame shown again, from the file or the server, at the next picture.
    virtual void reread();
    // Takes (t, z) as the frame shown; reads nothing.
    virtual void load(int t, int z);
    // The size of the frame.
    virtual QSize size() = 0;
    // A short name of the frame shown, for screen readers.
    virtual QString title() const;
    // The part of the frame shown, at a scale at which the whole frame is
    // `scaled`: the frame's own size, or smaller.  A frame that cannot be
    // read gives a null image, and problem() says why.  A frame of which
    // parts did not come gives the rest, and problem() too.
    virtual QImage picture(const QSize &scaled, const QRect &part);
    // The parts of the last picture that did not come, in its pixels.
    std::vector<QRect> missedIn(const QSize &scaled, const QRect &part) const;
    // Whether a picture of any part costs no read of a file.
    virtual bool partsAtHand() const { return true; }
    QString problem() const { return mProblem; }

    std::vector<channel> &channels() { return mChannels; }
    const std::vector<channel> &channels() const { return mChannels; }
    // The plane of a channel as shown (the projection, when one is on), or
    // null when there is none; its level and region.
    const planeData *plane(int c) const;
    int keptLevel() const { return mLevel; }
    QRect keptRegion() const { return mRegion; }
    // The window that saturates 0.35 % of the plane shown at each end.
    std::optional<intensityWindow> autoWindow(int c) const;
    // How the samples shown are stored.
    int bits() const;
    sampleFormat format() const;
    // Each channel's value at a pixel of the frame, from the planes held.
    std::vector<std::optional<double>> valuesAt(const QPoint &framePixel) const;

    // The focal planes of each time point reduced to one, over a range of them.
    void setProjection(projectionKind kind, range over);
    projectionKind projection() const { return mProjection; }
    range projected() const { return mProjected; }
    // Whether the windows of the projection shown are its own (Sum, Standard Deviation).
    bool ownWindows() const;

    planeprovider &provider() { return *mPlanes; }
    int shownTime() const { return mTime; }
    int shownPlane() const { return mPlane; }

protected:
    void setProblem(const QString &problem);
    // The planes read hold another number of channels than those known.
    virtual void channelsFound(size_t count);
    // Auto windows for the channels that have none yet, from the planes held.
    void startUnstarted();

    std::unique_ptr<planeprovider> mPlanes;
    std::vector<channel> mChannels;
    int mTime = -1;
    int mPlane = -1;

private:
    bool readKept(int level, const QRect &region);
    bool readProjection(int level, const QRect &region);
    int levelFor(const QSize &scaled, const std::vector<QSize> &levels) const;

    projectionKind mProjection = projectionKind::none;
    range mProjected;
    bool loaded = false;   // kept holds the region of the frame shown
    bool failed = false;   // the frame shown cannot be read
    bool keptProjected = false;
    int mLevel = 0;
    QRect mRegion;
    std::vector<QRect> mMissed;   // of kept, in the level's pixels
    std::vector<planeData> kept;
    QString mProblem;
    compositor colours;
    struct windowSet
    {
        double low = 0, high = 255, startLow = 0, startHigh = 255;
        bool started = false;
    };
    std::vector<windowSet> plainWindows;   // while a projection has windows of its own
    std::vector<std::vector<windowSet>> ownSets;   // of Sum and Standard Deviation, once measured
};

// One line of the trace on the standard error stream.
void trace(const QByteArray &line);

#endif
