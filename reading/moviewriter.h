#ifndef MOVIEWRITER_H
#define MOVIEWRITER_H

#include <QImage>
#include <QSize>
#include <QString>

#include <memory>
#include <optional>

// Writes frames of one size as a movie, with FFmpeg's libraries: MP4 with
// H.264 (yuv420p, its index at the start of the file so that it plays while
// it downloads, no B-frames), or AVI with Motion JPEG.  Frames of odd width
// or height get a black column or row.  The movie is written beside the
// file under a temporary name and takes the file's name only in finish();
// cancel(), a failure, or destruction before finish() removes it.
class moviewriter
{
public:
    enum class format { mp4, avi };
    enum class quality { high, normal, small };

    moviewriter();
    ~moviewriter();
    moviewriter(const moviewriter &) = delete;
    moviewriter &operator=(const moviewriter &) = delete;

    // The format a file name asks for by its suffix (.mp4, .avi), if any.
    static std::optional<format> formatFor(const QString &fileName);
    // "high", "normal", "small".
    static std::optional<quality> qualityFor(const QString &key);
    // The size of the movie's frames: frameSize made even.
    static QSize movieSize(QSize frameSize);

    // Starts a movie of frames of frameSize at fps frames per second (a
    // fraction if need be).  Errors are one line: "FILE: reason".
    bool open(const QString &fileName, format kind, double fps, quality level, QSize frameSize, QString *error);
    // Encodes and writes one frame, of the size given to open().
    bool add(const QImage &frame, QString *error);
    // Writes what the encoder still holds and the index, and gives the movie its name.
    bool finish(QString *error);
    // Stops and removes what was written.
    void cancel();
    bool isOpen() const { return bool(d); }
    int framesAdded() const;

private:
    struct state;
    bool fail(const QString &why, int code, QString *error);
    bool encode(bool flushing, QString *error);

    std::unique_ptr<state> d;
};

#endif
