#ifndef MOVIEEXPORT_H
#define MOVIEEXPORT_H

#include "moviewriter.h"

#include <QSize>
#include <QString>
#include <QStringList>

#include <csignal>

class importer;
class stack;

// What --movie and the options that go with it ask for.
struct movieSettings
{
    QString fileName;
    moviewriter::format kind = moviewriter::format::mp4;
    moviewriter::quality level = moviewriter::quality::normal;
    double fps = 7;
    bool overPlanes = false;   // the focal planes of one time point, rather than the time points
    int index = 0;             // the focal plane shown over time, or the time point over planes
    bool projecting = false;   // over time: the importer's projection rather than a plane
    int maxWidth = 0;          // 0: the input's width
    bool scaleBar = false;
    bool timeStamp = false;
    bool json = false;         // {"frame": i, "frames": n} lines on standard output
    bool progress = false;     // a line on the terminal
};

// Makes a movie of the frames the importer renders of a stack, scaled down
// and with a scale bar and time stamps drawn over them if asked.  It stops
// when the input files change or disappear while it reads them.
class movieexport
{
public:
    movieexport(stack &input, importer &frames, const movieSettings &settings, const QStringList &files,
                const volatile std::sig_atomic_t *stop);

    int frameCount() const;
    QSize frameSize() const;
    // Writes the movie; on failure, nothing of it is left.
    bool run(QString *error);

private:
    struct watchedFile;
    void drawOverlays(QImage &image, int t, int z) const;
    QString stampText(int t, int z) const;
    bool inputUnchanged(const std::vector<watchedFile> &files, QString *error) const;

    stack &input;
    importer &frames;
    movieSettings settings;
    QStringList files;
    const volatile std::sig_atomic_t *stop;
};

#endif
