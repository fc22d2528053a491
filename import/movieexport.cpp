#include "movieexport.h"

#include "importer.h"
#include "metadata.h"
#include "overlay.h"
#include "stack.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPainter>

#include <cmath>
#include <cstdio>

struct movieexport::watchedFile
{
    QString path;
    qint64 size;
    QDateTime modified;
};

movieexport::movieexport(stack &input, importer &frames, const movieSettings &settings, const QStringList &files,
                         const volatile std::sig_atomic_t *stop)
    : input(input), frames(frames), settings(settings), files(files), stop(stop)
{
}

int movieexport::frameCount() const
{
    return settings.overPlanes ? input.planes : input.times;
}

QSize movieexport::frameSize() const
{
    if (settings.maxWidth <= 0 || input.width <= settings.maxWidth)
        return QSize(input.width, input.height);
    const qint64 height = std::llround(double(input.height) * settings.maxWidth / input.width);
    return QSize(settings.maxWidth, int(std::max<qint64>(1, height)));
}

QString movieexport::stampText(int t, int z) const
{
    if (settings.overPlanes) {
        if (input.planeSpacing)
            return QStringLiteral("z ") + lengthText(z * *input.planeSpacing, input.unit);
        return QStringLiteral("z %1").arg(z);
    }
    const std::optional<double> seconds = elapsedSeconds(input, t);
    return seconds ? elapsedText(*seconds) : QStringLiteral("t %1").arg(t);
}

void movieexport::drawOverlays(QImage &image, int t, int z) const
{
    if (!settings.scaleBar && !settings.timeStamp)
        return;
    QPainter painter(&image);
    const QRectF area(image.rect());
    const overlayStyle style;
    if (settings.scaleBar && input.pixelWidth)
        drawScaleBar(painter, area, double(image.width()) / input.width / *input.pixelWidth, input.unit, style);
    if (settings.timeStamp)
        drawTimeStamp(painter, area, stampText(t, z), style);
}

bool movieexport::inputUnchanged(const std::vector<watchedFile> &watched, QString *error) const
{
    for (const watchedFile &file : watched) {
        const QFileInfo now(file.path);
        if (!now.exists()) {
            *error = file.path + QStringLiteral(": disappeared while the movie was being written");
            return false;
        }
        if (now.size() != file.size || now.lastModified() != file.modified) {
            *error = file.path + QStringLiteral(": changed while the movie was being written");
            return false;
        }
    }
    return true;
}

bool movieexport::run(QString *error)
{
    // Addresses and folders of OME-Zarr are not watched; files are.
    std::vector<watchedFile> watched;
    for (const QString &path : files) {
        const QFileInfo info(path);
        if (info.isFile())
            watched.push_back({ path, info.size(), info.lastModified() });
    }
    moviewriter writer;
    if (!writer.open(settings.fileName, settings.kind, settings.fps, settings.level, frameSize(), error))
        return false;
    const int total = frameCount();
    QImage rendered;
    QElapsedTimer sinceCheck;
    sinceCheck.start();
    for (int i = 0; i < total; ++i) {
        if (*stop) {
            writer.cancel();
            *error = QStringLiteral("interrupted");
            return false;
        }
        const int t = settings.overPlanes ? settings.index : i;
        const int z = settings.overPlanes ? i : settings.projecting ? 0 : settings.index;
        if (!frames.renderFrame(t, z, rendered, error)) {
            writer.cancel();
            return false;
        }
        QImage shown = rendered.size() == frameSize()
                ? rendered
                : rendered.scaled(frameSize(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        drawOverlays(shown, t, z);
        if (!writer.add(shown, error))
            return false;
        if (sinceCheck.elapsed() >= 250 || i == total - 1) {
            if (!inputUnchanged(watched, error)) {
                writer.cancel();
                return false;
            }
            sinceCheck.restart();
        }
        if (settings.json) {
            printJsonLine({ { "frame", i + 1 }, { "frames", total } });
        } else if (settings.progress) {
            std::fprintf(stderr, "\rframes %d/%d\033[K", i + 1, total);
            std::fflush(stderr);
        }
    }
    if (settings.progress && !settings.json)
        std::fputs("\r\033[K", stderr);
    return writer.finish(error);
}
