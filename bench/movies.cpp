// What scripts/bench-movies.sh needs inside the programs:
//   frames INPUT OUT.rgb   writes the frames `tesseline-import --movie`
//                          encodes of INPUT (over time, the middle focal
//                          plane, every channel, the importer's own windows)
//                          as raw 24-bit RGB, for ffmpeg to encode the same
//                          pixels;
//   view INPUT OUT.png     times File › Export View of the whole frame in the
//                          viewer's window, the dialog accepted as proposed
//                          but for the file's name, from the action to the
//                          file written, and its two parts (the picture, and
//                          writing it).  Each figure is the median over the
//                          rounds.  Prints figures; asserts nothing.
// Usage: tesseline-bench-movies frames INPUT OUT.rgb
//        tesseline-bench-movies view INPUT OUT.png [--rounds N]

#include "window.h"
#include "exportdialog.h"
#include "framesource.h"
#include "importer.h"

#include "benchutil.h"

#include <QtWidgets>

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

[[noreturn]] void quit(const QString &why)
{
    std::fprintf(stderr, "tesseline-bench-movies: %s\n", qPrintable(why));
    std::exit(1);
}

int frames(const QString &path, const QString &out)
{
    QString error;
    std::unique_ptr<stack> input = openStack({ path }, stackOptions(), &error);
    if (!input)
        quit(error);
    std::vector<int> channels;
    for (int c = 0; c < int(input->channels.size()); ++c)
        channels.push_back(c);
    static volatile std::sig_atomic_t never = 0;
    importer import(*input, channels, &never);
    if (!import.chooseWindows(std::vector<std::optional<rangeRequest>>(channels.size()), &error))
        quit(error);
    QFile file(out);
    if (!file.open(QIODevice::WriteOnly))
        quit(out + QStringLiteral(": ") + file.errorString());
    const int z = (input->planes - 1) / 2;
    QImage frame;
    QByteArray rgb;
    for (int t = 0; t < input->times; ++t) {
        if (!import.renderFrame(t, z, frame, &error))
            quit(error);
        const QImage packed = frame.convertToFormat(QImage::Format_RGB888);
        for (int y = 0; y < packed.height(); ++y) {
            if (file.write(reinterpret_cast<const char *>(packed.constScanLine(y)), qint64(packed.width()) * 3) < 0)
                quit(out + QStringLiteral(": ") + file.errorString());
        }
    }
    std::printf("frames %d %d %d\n", input->times, frame.width(), frame.height());
    return 0;
}

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void settle()
{
    while (QCoreApplication::eventDispatcher()->processEvents(QEventLoop::AllEvents)) {
    }
}

struct sample
{
    double wall = 0, cpu = 0;   // ms
};

template<typename F>
sample timed(F &&f)
{
    const double cpu = cpuSeconds();
    QElapsedTimer timer;
    timer.start();
    f();
    return { timer.nsecsElapsed() / 1e6, (cpuSeconds() - cpu) * 1e3 };
}

double medianOf(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

sample median(const std::vector<sample> &all)
{
    std::vector<double> walls, cpus;
    for (const sample &s : all) {
        walls.push_back(s.wall);
        cpus.push_back(s.cpu);
    }
    return { medianOf(walls), medianOf(cpus) };
}

void print(const char *what, const std::vector<sample> &all)
{
    const sample m = median(all);
    QStringList walls;
    for (const sample &s : all)
        walls << QString::number(s.wall, 'f', 1);
    std::printf("  %-50s %8.1f ms wall %8.1f ms CPU  (rounds: %s)\n", what, m.wall, m.cpu, qPrintable(walls.join(", ")));
    std::fflush(stdout);
}

QAction *action(window &w, const QString &text)
{
    for (QAction *a : w.findChildren<QAction *>()) {
        if (a->text() == text)
            return a;
    }
    quit(QStringLiteral("no action ") + text);
}

// Export View, the dialog accepted for the whole frame in the form given.
sample exportView(window &w, const QString &out, int form)
{
    QFile::remove(out);
    QTimer::singleShot(0, &w, [&] {
        auto *dialog = qobject_cast<exportdialog *>(QApplication::activeModalWidget());
        if (!dialog)
            quit(QStringLiteral("no Export View dialog"));
        dialog->findChild<QLineEdit *>()->setText(out);
        const QList<QComboBox *> boxes = dialog->findChildren<QComboBox *>();
        boxes.at(0)->setCurrentIndex(form);
        boxes.at(1)->setCurrentIndex(1);
        dialog->accept();
    });
    const sample s = timed([&] { action(w, "&Export View...")->trigger(); });
    if (!QFileInfo(out).isFile())
        quit(out + QStringLiteral(": not written"));
    settle();
    return s;
}

int view(const QString &path, const QString &out, int rounds)
{
    window w;
    w.resize(1200, 900);
    w.openRecording({ path });
    w.show();
    w.repaint();
    settle();
    framesource &source = *w.frames();
    const QSize size = source.size();
    const QString tiff = QFileInfo(out).path() + QStringLiteral("/view.tif");
    std::vector<sample> png, tif, picture, write, writeFast, writeTiff;
    qint64 pngBytes = 0, fastBytes = 0, tiffBytes = 0;
    // Qt writes TIFF only with its image formats plugin (qt6-image-formats-plugins).
    const bool tiffWritten = QImageWriter::supportedImageFormats().contains("tiff");
    for (int i = 0; i < rounds; ++i) {
        png.push_back(exportView(w, out, exportdialog::png));
        pngBytes = QFileInfo(out).size();
        if (tiffWritten) {
            tif.push_back(exportView(w, tiff, exportdialog::tiff));
            tiffBytes = QFileInfo(tiff).size();
        }
        // Its parts by hand: the picture, then QImageWriter through QSaveFile.
        QImage image;
        picture.push_back(timed([&] { image = source.picture(size, QRect(QPoint(), size)); }));
        const auto written = [&](const QString &name, const char *format, int compression) {
            return timed([&] {
                QSaveFile file(name);
                QImageWriter writer(&file, format);
                if (compression >= 0)
                    writer.setCompression(compression);
                if (!file.open(QIODevice::WriteOnly) || !writer.write(image) || !file.commit())
                    quit(name + QStringLiteral(": not written"));
            });
        };
        write.push_back(written(out, "png", -1));
        // zlib's fastest level, for comparison: PNG's compression 1 of 9.
        writeFast.push_back(written(out, "png", 1));
        fastBytes = QFileInfo(out).size();
        if (tiffWritten)
            writeTiff.push_back(written(tiff, "tiff", -1));
    }
    QFile::remove(out);
    QFile::remove(tiff);
    std::printf("\n== Export View of the whole %dx%d frame, %zu channel(s), platform %s, %d rounds\n", size.width(),
                size.height(), source.channels().size(), qPrintable(QGuiApplication::platformName()), rounds);
    print("PNG: action to file written", png);
    if (tiffWritten)
        print("TIFF: action to file written", tif);
    else
        std::printf("  TIFF: Qt cannot write TIFF here (no image formats plugin)\n");
    print("framesource::picture of the whole frame", picture);
    print("QImageWriter PNG (Qt's default compression)", write);
    print("QImageWriter PNG, zlib level 1", writeFast);
    if (tiffWritten)
        print("QImageWriter TIFF", writeTiff);
    std::printf("  sizes: PNG %.2f MB, PNG at level 1 %.2f MB, TIFF %.2f MB\n", pngBytes / 1e6, fastBytes / 1e6,
                tiffBytes / 1e6);
    std::printf("RESULT view png_ms=%.1f png_cpu=%.1f tiff_ms=%.1f picture_ms=%.1f write_ms=%.1f fast_ms=%.1f "
                "tiffwrite_ms=%.1f png_mb=%.2f fast_mb=%.2f tiff_mb=%.2f\n",
                median(png).wall, median(png).cpu, median(tif).wall, median(picture).wall, median(write).wall,
                median(writeFast).wall, median(writeTiff).wall, pngBytes / 1e6, fastBytes / 1e6, tiffBytes / 1e6);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    heapAsViewer();
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 4 && args[1] == QLatin1String("frames"))
        return frames(args[2], args[3]);
    if (args.size() >= 4 && args[1] == QLatin1String("view")) {
        const int at = int(args.indexOf("--rounds"));
        return view(args[2], args[3], at > 0 ? args.value(at + 1).toInt() : 7);
    }
    std::fprintf(stderr, "usage: tesseline-bench-movies frames INPUT OUT.rgb\n"
                         "       tesseline-bench-movies view INPUT OUT.png [--rounds N]\n");
    return 2;
}
