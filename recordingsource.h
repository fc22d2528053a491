#ifndef RECORDINGSOURCE_H
#define RECORDINGSOURCE_H

#include "brightness.h"
#include "framesource.h"
#include "stack.h"

#include <QStringList>

#include <memory>
#include <optional>
#include <tuple>
#include <vector>

// A microscope recording read where it lies: a TIFF stack or a series of
// files, through the reading library.  Loading a frame reads the planes of
// every channel at that (time point, focal plane) and keeps them while the
// frame is shown; each picture maps them through the channels' windows and
// merges them into colour, so that a change of brightness reads nothing.
class recordingsource : public framesource
{
public:
    struct channel
    {
        QString name;
        bool shown = true;
        QRgb colour = 0xffffffff;
        double low = 0;
        double high = 255;
        double startLow = 0;    // the window it opened with, which Reset brings back
        double startHigh = 255;
        bool started = false;   // false until a plane has given its Auto window
    };

    // Opens one file, several files of a series, or a folder of them; image
    // picks one of several images (stage positions), -1 the first.
    static std::unique_ptr<recordingsource> open(const QStringList &paths, int image, QString *error, int timeout = 20,
                                                 qint64 maxPlaneBytes = qint64(1) << 30);
    // The files a folder, or files named at once, give a series, in the
    // natural order of their names.
    static QStringList inputsOf(const QStringList &paths);
    // Whether a file is one to open in place: a TIFF by its content or its name.
    static bool isRecording(const QString &fileName);
    // Whether a file may be one of a series: a recording, a PNG or a JPEG.
    static bool isImage(const QString &fileName);

    void load(int t, int z) override;
    QSize size() override;
    QString title() const override;
    QImage picture(const QSize &scaled, const QRect &part) override;
    bool partsAtHand() const override { return true; }

    const stack &input() const { return *in; }
    QStringList paths() const { return mPaths; }
    QString name() const { return mName; }
    QStringList imageNames() const;
    int image() const { return in->image; }
    int times() const { return mSwapped ? in->planes : in->times; }
    int planes() const { return mSwapped ? in->times : in->planes; }
    bool swappable() const;
    bool swapped() const { return mSwapped; }
    void setSwapped(bool on);

    std::vector<channel> &channels() { return mChannels; }
    const std::vector<channel> &channels() const { return mChannels; }
    // The plane of a channel at the frame loaded, or null when there is none.
    const planeData *plane(int c) const;
    // The window that saturates 0.35 % of the plane loaded at each end.
    std::optional<intensityWindow> autoWindow(int c) const;

private:
    recordingsource(std::unique_ptr<stack> input, const QStringList &paths);

    QString nameOf(const QStringList &paths) const;
    bool readKept(int level, const QRect &region);
    int levelFor(const QSize &scaled) const;
    void startWindows();
    const std::vector<QRgb> &colourTable(int c);

    std::unique_ptr<stack> in;
    QStringList mPaths;
    QByteArray tracePath;
    QString mName;
    bool mSwapped = false;
    std::vector<channel> mChannels;
    int shownTime = -1;
    int shownPlane = -1;
    bool loaded = false;                     // kept holds the region of the frame loaded
    bool failed = false;                     // the frame loaded cannot be read
    int keptLevel = 0;
    QRect keptRect;
    std::vector<planeData> kept;               // the planes of the frame loaded, by channel
    std::vector<bool> held;                  // which channels have a plane at the frame loaded
    std::vector<std::optional<channelMap>> maps;
    std::vector<std::pair<double, double>> mapped;   // the windows of the maps
    std::vector<std::vector<QRgb>> tables;           // each sample value's colour, by channel
    std::vector<std::tuple<double, double, QRgb>> tablesFor;   // the windows and colours of the tables
};

#endif
