// Measures how fast the viewer steps through frames, against the raw decode
// of the same frames and djpeg, how it copes with frames far larger than the
// screen and with files made to cost a decoder time or memory, and how it
// steps, drags and fits frames larger than the image area of a 1080p screen,
// and how it steps at zoom levels above and below 100 %.
// Prints figures and ratios; asserts nothing.
// Usage: tesseline-bench GENSAMPLE [--sets step,large,clip,view,zoom,crafted] [--large-only]
//                        [--only "grey 2048x2048"] [--steps N]
// (any Qt platform; see scripts/bench.sh)

#include "window.h"
#include "framereader.h"
#include "blockjpeg.h"
#include "craftjpeg.h"

#include "benchutil.h"

#include <QtWidgets>

#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <vector>
#include <cstdio>
#include <iostream>

namespace {

struct Options
{
    QString generator;
    int longRun = 1000;
    QString only; // one stepping set, as "grey 2048x2048"
};

long pageFaults()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt + usage.ru_majflt;
}

double cpuSeconds(int who)
{
    rusage usage {};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
            + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long residentKiB()
{
    QFile statm("/proc/self/statm");
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    return statm.readAll().split(' ').value(1).toLong() * (sysconf(_SC_PAGESIZE) / 1024);
}

long statusKiB(const char *field)
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLong();
    return -1;
}

// Resets the peak resident memory the kernel keeps for this process.
void resetPeak()
{
    QFile clear("/proc/self/clear_refs");
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

void settle()
{
    while (QCoreApplication::eventDispatcher()->processEvents(QEventLoop::AllEvents)) {
    }
}

struct Figures
{
    double wall = 0, cpu = 0, faults = 0;
};

template<typename F>
Figures measure(int count, F &&f)
{
    QElapsedTimer timer;
    const double cpu = cpuSeconds(RUSAGE_SELF);
    const long faults = pageFaults();
    timer.start();
    for (int i = 0; i < count; ++i)
        f(i);
    return { timer.nsecsElapsed() / 1e6 / count, (cpuSeconds(RUSAGE_SELF) - cpu) * 1e3 / count,
             double(pageFaults() - faults) / count };
}

double medianOf(std::vector<double> values)
{
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

Figures median(const std::vector<Figures> &all)
{
    auto middle = [&](double Figures::*field) {
        std::vector<double> values;
        for (const Figures &f : all)
            values.push_back(f.*field);
        return medianOf(values);
    };
    return { middle(&Figures::wall), middle(&Figures::cpu), middle(&Figures::faults) };
}

// djpeg's CPU time for one file, as a child process.
double djpegCpu(const QString &file, const QStringList &options = QStringList())
{
    static const QString djpeg = QStandardPaths::findExecutable("djpeg");
    if (djpeg.isEmpty())
        return -1;
    const double before = cpuSeconds(RUSAGE_CHILDREN);
    QProcess::execute(djpeg, options + QStringList { "-outfile", "/dev/null", file });
    return (cpuSeconds(RUSAGE_CHILDREN) - before) * 1e3;
}

// A 1 x 1 frame: djpeg's CPU time on it is its process start-up, taken off
// its figures.
QString tinyFrame(const QTemporaryDir &dir)
{
    const QString file = dir.filePath("tiny.jpg");
    QImage(1, 1, QImage::Format_Grayscale8).save(file);
    return file;
}

// djpeg's median CPU time over its runs, less the median of its start-ups.
double djpegMedian(const std::vector<double> &runs, const std::vector<double> &starts)
{
    return runs.front() < 0 ? -1 : medianOf(runs) - medianOf(starts);
}

// The whole frame, as the viewer reads a frame that fits its image area.
QImage readWhole(const QString &file)
{
    framereader reader(QFile::encodeName(file));
    return reader.read(QRect(QPoint(), reader.size()));
}

// Writes a descriptor for one focal plane and time points 0 .. times - 1,
// shown in an image area of the given size.
void writeDescriptor(const QString &fileName, const QString &dataset, const QSize &area, int times)
{
    QFile tz(fileName);
    tz.open(QIODevice::WriteOnly);
    tz.write(QString("dataset %1 width %2 height %3 maxt %4")
                     .arg(dataset).arg(area.width()).arg(area.height()).arg(times - 1).toLatin1());
}

QString frameFile(const QTemporaryDir &dir, const QString &dataset, int time)
{
    return dir.filePath(QString("img/%1_t%2_z000_ch000.jpg").arg(dataset).arg(time, 3, 10, QChar('0')));
}

QLabel *imageLabel(const window &w)
{
    return w.findChildren<QLabel *>().value(1);
}

QString shownText(const window &w)
{
    const QSize shown = imageLabel(w)->pixmap().size();
    return shown.isEmpty() ? QString("empty") : QString("shows %1x%2").arg(shown.width()).arg(shown.height());
}

// Opens a descriptor and waits until the window is on the screen and idle.
void openAndWait(window &w, const QString &descriptor)
{
    w.openDescriptor(descriptor);
    QElapsedTimer waiting;
    waiting.start();
    while (!(w.windowHandle() && w.windowHandle()->isExposed()) && waiting.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    settle();
}

// ---- Stepping: a generated dataset, step after step.

struct Summary
{
    QString name;
    double qtDecode, decode, decodeCpu, step, djpeg, stepCpu;
};

Summary stepping(const QString &generator, const QString &size, bool grey, int times, int longRun)
{
    const QString name = QString("%1 %2").arg(grey ? "grey" : "colour", size);
    QTemporaryDir dir;
    QStringList generate { dir.path(), "--name", "bench", "--size", size, "--times",
                           QString::number(times), "--planes", "3" };
    if (grey)
        generate << "--grey";
    if (QProcess::execute(generator, generate) != 0) {
        std::printf("cannot run %s\n", qPrintable(generator));
        return Summary { name, 0, 0, 0, 0, 0, 0 };
    }
    const QString tiny = tinyFrame(dir);
    QStringList frames;
    for (int t = 0; t < times; ++t)
        frames << dir.filePath(QString("img/bench_t%1_z001_ch000.jpg").arg(t, 3, 10, QChar('0')));

    LineCounter counter;
    std::streambuf *old = std::cerr.rdbuf(&counter);
    window w(nullptr);
    openAndWait(w, dir.filePath("bench.tz"));
    auto *scrollTime = w.findChildren<QScrollBar *>().value(0);

    // One step: through a step slot, until the frame is shown and nothing is left to do.
    int direction = 1;
    auto step = [&](int) {
        if (scrollTime->value() == scrollTime->maximum())
            direction = -1;
        else if (scrollTime->value() == scrollTime->minimum())
            direction = 1;
        QMetaObject::invokeMethod(&w, direction > 0 ? "nextTime" : "prevTime");
        settle();
    };
    // Raw decodes (the viewer's frame reader, and Qt's image reader it
    // replaced), steps and djpeg runs on the same frames take turns, so that
    // all see the machine in the same state, and the median of each figure
    // over the rounds is kept: one slow round on a shared machine does not
    // move it.  djpeg's process start-up is taken off by a run on a 1 x 1 file.
    const int rounds = 10 * times;
    const int loadsBefore = counter.lines;
    std::vector<Figures> decodes, qtDecodes, stepped;
    std::vector<double> djpegs, starts;
    for (int i = 0; i < rounds; ++i) {
        const QString &frame = frames.at(i % times);
        decodes.push_back(measure(1, [&](int) { readWhole(frame); }));
        qtDecodes.push_back(measure(1, [&](int) { QImageReader(frame).read(); }));
        stepped.push_back(measure(1, step));
        djpegs.push_back(djpegCpu(frame));
        starts.push_back(djpegCpu(tiny));
    }
    const Figures decode = median(decodes), qtDecode = median(qtDecodes), steps = median(stepped);
    const double djpeg = djpegMedian(djpegs, starts);
    const int loads = counter.lines - loadsBefore;

    const QRect corner(w.centralWidget()->pos(), QSize(1, 1));
    const Figures idle = measure(200, [&](int) { w.update(corner); settle(); });
    const Figures exposure = measure(200, [&](int) {
        QExposeEvent expose(QRegion(QRect(QPoint(), w.size())));
        QCoreApplication::sendEvent(w.windowHandle(), &expose);
        settle();
    });
    const Figures full = measure(50, [&](int) { w.repaint(); settle(); });

    // A burst: many steps queued before the event loop gets to run.
    const int target = std::min(scrollTime->minimum() + 50, scrollTime->maximum());
    scrollTime->setValue(scrollTime->minimum());
    settle();
    int burstLoads = counter.lines;
    QElapsedTimer burstTimer;
    burstTimer.start();
    for (int i = 0; i < 50; ++i)
        QCoreApplication::postEvent(&w, new QKeyEvent(QEvent::KeyPress, Qt::Key_L, Qt::NoModifier));
    settle();
    const double burstMs = burstTimer.nsecsElapsed() / 1e6;
    burstLoads = counter.lines - burstLoads;
    const bool burstLast = scrollTime->value() == target;

    for (int i = 0; i < 10; ++i)
        step(i);
    const long rss10 = residentKiB();
    for (int i = 10; i < longRun; ++i)
        step(i);
    const long rssLong = residentKiB();
    std::cerr.rdbuf(old);

    const double frameKiB = readWhole(frames.first()).sizeInBytes() / 1024.0;
    std::printf("\n== %s frames, platform %s, screen %dx%d, window %dx%d\n", qPrintable(name),
                qPrintable(QGuiApplication::platformName()), w.screen()->size().width(),
                w.screen()->size().height(), w.QWidget::width(), w.QWidget::height());
    std::printf("%-38s %9s %9s %9s %9s\n", "", "wall ms", "cpu ms", "÷ decode", "faults");
    auto row = [&](const char *name, const Figures &f) {
        std::printf("%-38s %9.2f %9.2f %9.3f %9.0f\n", name, f.wall, f.cpu, f.wall / decode.wall, f.faults);
    };
    row("raw decode (framereader)", decode);
    row("raw decode (QImageReader, former)", qtDecode);
    if (djpeg > 0)
        std::printf("%-38s %9s %9.2f\n", "djpeg, per frame (cpu, no start-up)", "", djpeg);
    row("step (slot to frame shown, idle)", steps);
    row("repaint requested after a step", idle);
    row("exposure of the whole window", exposure);
    row("full repaint (reference)", full);
    std::printf("frames loaded per step: %.2f\n", double(loads) / rounds);
    if (djpeg > 0)
        std::printf("decode cpu ÷ djpeg cpu: %.3f, step cpu ÷ djpeg cpu: %.3f\n", decode.cpu / djpeg,
                    steps.cpu / djpeg);
    std::printf("burst of 50 queued steps: %d frame(s) decoded, %.1f ms, ends on the last index: %s\n",
                burstLoads, burstMs, burstLast ? "yes" : "no");
    std::printf("resident memory: %ld KiB after 10 steps, %ld KiB after %d; growth %.2f frames\n",
                rss10, rssLong, longRun, (rssLong - rss10) / frameKiB);
    return Summary { name, qtDecode.wall, decode.wall, decode.cpu, steps.wall, djpeg, steps.cpu };
}

// Colour and grey frames, small and large, then a summary of all.
void steppingSets(const Options &options)
{
    std::vector<Summary> summaries;
    for (bool grey : { false, true })
        for (const QString size : { "512x512", "2048x2048" })
            if (options.only.isEmpty() || options.only == QString("%1 %2").arg(grey ? "grey" : "colour", size))
                summaries.push_back(stepping(options.generator, size, grey, size == "512x512" ? 12 : 8,
                                             options.longRun));

    std::printf("\n== stepping summary, platform %s\n%-16s %9s %9s %9s %8s %9s %9s %9s %8s\n",
                qPrintable(QGuiApplication::platformName()), "frames", "Qt ms", "decode ms", "step ms",
                "÷ decode", "djpeg ms", "dec÷djpeg", "step cpu", "÷ djpeg");
    for (const Summary &s : summaries)
        std::printf("%-16s %9.2f %9.2f %9.2f %8.3f %9.2f %9.3f %9.2f %8.3f\n", qPrintable(s.name), s.qtDecode,
                    s.decode, s.step, s.step / s.decode, s.djpeg, s.decodeCpu / s.djpeg, s.stepCpu,
                    s.stepCpu / s.djpeg);
}

// ---- Single files shown in a window: time, CPU and peak memory.

struct ShownFile
{
    QString name;
    std::function<void(QIODevice *)> write;
};

std::function<void(QIODevice *)> blockFrame(int width, int height)
{
    return [=](QIODevice *out) { blockjpeg::write(out, width, height, blockjpeg::pattern); };
}

// The first `bytes` of what `write` writes: a header that claims more than the file holds.
std::function<void(QIODevice *)> cutShort(const std::function<void(QIODevice *)> &write, int bytes)
{
    return [=](QIODevice *out) {
        QBuffer whole;
        whole.open(QIODevice::WriteOnly);
        write(&whole);
        out->write(whole.data().left(bytes));
    };
}

// Shows each file, one step after the viewer opened, in an image area of the
// given size, after a frame of the area's own size as the reference: time
// from the step to the frame shown (wall and CPU, median of 5 rounds), the
// peak resident memory above what the viewer held before the step (highest
// of the rounds), and what the viewer shows.
void showFiles(const char *title, const QSize &area, std::vector<ShownFile> files)
{
    files.insert(files.begin(), ShownFile { "label-sized", blockFrame(area.width(), area.height()) });
    // Large blocks go back to the system when freed, so that each file's peak
    // starts from the same resident memory.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
    QTemporaryDir dir;
    QDir(dir.path()).mkdir("img");
    const QString descriptor = dir.filePath("shown.tz");
    // Time point 0, where the viewer starts, has no frame; file i is at time point i + 1.
    writeDescriptor(descriptor, "shown", area, int(files.size()) + 1);
    std::vector<qint64> fileSizes;
    for (size_t i = 0; i < files.size(); ++i) {
        QFile file(frameFile(dir, "shown", int(i) + 1));
        file.open(QIODevice::WriteOnly);
        files[i].write(&file);
        fileSizes.push_back(file.size());
    }

    std::printf("\n== %s, label %dx%d, platform %s\n", title, area.width(), area.height(),
                qPrintable(QGuiApplication::platformName()));
    std::printf("%-46s %9s %9s %9s %9s %10s   %s\n", "", "file KiB", "wall ms", "cpu ms", "÷ label",
                "peak +MiB", "label");
    LineCounter counter;
    std::streambuf *old = std::cerr.rdbuf(&counter);
    double reference = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        std::vector<Figures> rounds;
        long peak = 0;
        QString shown;
        for (int round = 0; round < 5; ++round) {
            window w(nullptr);
            w.openDescriptor(descriptor);
            settle();
            auto *scrollTime = w.findChildren<QScrollBar *>().value(0);
            // Nothing freed earlier is left resident for the frame to reuse unseen.
            malloc_trim(0);
            const long before = statusKiB("VmRSS:");
            resetPeak();
            rounds.push_back(measure(1, [&](int) {
                scrollTime->setValue(int(i) + 1);
                settle();
            }));
            peak = std::max(peak, statusKiB("VmHWM:") - before);
            shown = shownText(w);
        }
        const Figures f = median(rounds);
        if (i == 0)
            reference = f.wall;
        std::printf("%-46s %9.1f %9.2f %9.2f %9.2f %10.1f   %s\n", qPrintable(files[i].name),
                    fileSizes[i] / 1024.0, f.wall, f.cpu, f.wall / reference, peak / 1024.0, qPrintable(shown));
    }
    std::cerr.rdbuf(old);
    mallopt(M_MMAP_THRESHOLD, viewerMmapThreshold);
}

// Frames far larger than the screen, and a decompression bomb.
void largeFrames(const Options &)
{
    showFiles("large frames", QSize(2048, 2048), {
        { "8000 x 8000", blockFrame(8000, 8000) },
        { "30000 x 20000", blockFrame(30000, 20000) },
        { "bomb: 65000 x 65000 header, 2 KB", cutShort(blockFrame(65000, 65000), 2048) },
    });
}

// Files made to cost a decoder time or memory.
void craftedFiles(const Options &)
{
    showFiles("crafted files", QSize(2048, 2048), {
        { "115000 APP1 markers among stray bytes",
          [](QIODevice *out) { craftjpeg::writeManyMarkers(out, 512, 512, 115000); } },
        { "progressive 8000 x 8000 grey, 10001 scans",
          [](QIODevice *out) { craftjpeg::writeManyScans(out, 8000, 8000, 10000); } },
        { "progressive 20000 x 20000 header, 2 KB",
          cutShort([](QIODevice *out) { craftjpeg::writeManyScans(out, 20000, 20000, 0); }, 2048) },
        { "bomb: 65000 x 65000 baseline header, 2 KB", cutShort(blockFrame(65000, 65000), 2048) },
    });
}

// ---- The top-left part of frames far larger than the image area.

// The top-left 1900 x 950 pixels of 8000 x 8000 frames, in an image area of
// that size.  The frame reader's read of that part and djpeg -crop of the
// same region; then a full step onto the frame (slot to frame shown), against
// the frame reader's read of the part the viewer decodes for it (the area, or
// more of the frame around it to pan into) and djpeg -crop of that part.  All
// take turns; medians of the rounds.
void clippedFrames(const Options &options)
{
    const QSize area(1900, 950), frame(8000, 8000);
    struct Kind
    {
        const char *name;
        QStringList generate; // gensample's options, or none for a block pattern
    };
    const Kind kinds[] = {
        { "colour cells", { "--size", "8000x8000" } },
        { "grey cells", { "--size", "8000x8000", "--grey" } },
        { "block pattern", {} },
    };
    QTemporaryDir dir;
    QDir(dir.path()).mkdir("img");
    const QString tiny = tinyFrame(dir);
    const QString descriptor = dir.filePath("clip.tz");
    // Kind k is at time points 2k and 2k + 1, so that each step loads a frame.
    writeDescriptor(descriptor, "clip", area, 2 * int(std::size(kinds)));
    for (size_t k = 0; k < std::size(kinds); ++k) {
        const QString first = frameFile(dir, "clip", 2 * int(k));
        if (kinds[k].generate.isEmpty()) {
            QFile file(first);
            file.open(QIODevice::WriteOnly);
            blockjpeg::write(&file, frame.width(), frame.height(), blockjpeg::pattern);
        } else {
            const QString folder = dir.filePath(kinds[k].name);
            if (QProcess::execute(options.generator, QStringList { folder, "--name", "g", "--times", "1",
                                                                   "--planes", "1" } + kinds[k].generate) != 0) {
                std::printf("cannot run %s\n", qPrintable(options.generator));
                return;
            }
            QFile::rename(folder + "/img/g_t000_z000_ch000.jpg", first);
        }
        QFile::copy(first, frameFile(dir, "clip", 2 * int(k) + 1));
    }

    LineCounter counter;
    std::streambuf *old = std::cerr.rdbuf(&counter);
    window w(nullptr);
    openAndWait(w, descriptor);
    auto *scrollTime = w.findChildren<QScrollBar *>().value(0);
    auto crop = [](const QRect &part) {
        return QStringList { "-crop", QString("%1x%2+%3+%4").arg(part.width()).arg(part.height())
                                              .arg(part.x()).arg(part.y()) };
    };
    std::printf("\n== top-left %dx%d of %dx%d frames, platform %s\n", area.width(), area.height(),
                frame.width(), frame.height(), qPrintable(QGuiApplication::platformName()));
    std::printf("%-14s %-19s %9s %10s %9s %9s %9s %9s %9s\n", "frames", "part", "read cpu", "djpeg crop",
                "read ÷ dj", "step ms", "step cpu", "÷ dj part", "÷ dj area");
    for (size_t k = 0; k < std::size(kinds); ++k) {
        const QString file = frameFile(dir, "clip", 2 * int(k));
        scrollTime->setValue(2 * int(k) + 1);
        settle();
        // The viewer's part starts at the frame's top-left corner, as the area does.
        const QRect viewed(QPoint(), imageLabel(w)->pixmap().size());
        const QRect areaPart(QPoint(), area);
        std::vector<Figures> reads, viewedReads, steps;
        std::vector<double> djpegs, viewedDjpegs, starts;
        const int loadsBefore = counter.lines;
        for (int round = 0; round < 15; ++round) {
            reads.push_back(measure(1, [&](int) { framereader(QFile::encodeName(file)).read(areaPart); }));
            viewedReads.push_back(measure(1, [&](int) { framereader(QFile::encodeName(file)).read(viewed); }));
            steps.push_back(measure(1, [&](int) {
                scrollTime->setValue(2 * int(k) + round % 2);
                settle();
            }));
            djpegs.push_back(djpegCpu(file, crop(areaPart)));
            viewedDjpegs.push_back(djpegCpu(file, crop(viewed)));
            starts.push_back(djpegCpu(tiny));
        }
        const Figures read = median(reads), viewedRead = median(viewedReads), step = median(steps);
        const double djpeg = djpegMedian(djpegs, starts), viewedDjpeg = djpegMedian(viewedDjpegs, starts);
        const double loads = (counter.lines - loadsBefore) / double(steps.size());
        auto size = [](const QRect &part) { return QString("%1x%2").arg(part.width()).arg(part.height()); };
        std::printf("%-14s %-19s %9.2f %10.2f %9.3f\n", kinds[k].name, qPrintable(size(areaPart) + " (area)"),
                    read.cpu, djpeg, read.cpu / djpeg);
        std::printf("%-14s %-19s %9.2f %10.2f %9.3f %9.2f %9.2f %9.3f %9.3f   %.2f loads/step\n", "",
                    qPrintable(size(viewed) + " (viewer)"), viewedRead.cpu, viewedDjpeg,
                    viewedRead.cpu / viewedDjpeg, step.wall, step.cpu, step.cpu / viewedDjpeg, step.cpu / djpeg,
                    loads);
    }
    std::cerr.rdbuf(old);
}

// ---- Frames larger than the image area of a 1080p screen: at 100 %, dragged and fitted.

frameview *view(const window &w)
{
    return w.findChild<frameview *>();
}

// One step between the two time points of a dataset, until the frame is shown.
void stepOver(window &w)
{
    QScrollBar *slider = w.findChildren<QScrollBar *>().value(0);
    slider->setValue(slider->maximum() - slider->value());
    settle();
}

// Checks Fit to Window (Ctrl+F), which reads the frame again.
void fitFrames(window &w)
{
    for (QAction *action : w.findChildren<QAction *>())
        if (action->shortcut() == QKeySequence(Qt::CTRL | Qt::Key_F))
            action->setChecked(true);
    settle();
}

// Sends a left-button press, release or (button held) move to the image area.
void mouse(window &w, QEvent::Type type, const QPoint &at)
{
    QWidget *area = view(w);
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, at, area->mapToGlobal(at), button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(area, &event);
    settle();
}

// Returns once what the window painted is on the screen: a grab of one of its
// pixels, which on X waits for the server to have drawn all sent before it.
void onScreen(window &w)
{
    const QPoint at = view(w)->mapTo(&w, QPoint());
    w.screen()->grabWindow(w.winId(), at.x(), at.y(), 1, 1);
}

// The peak resident memory above what the viewer held before f, in MiB:
// highest of three rounds after one that settles the heap.  Large blocks go
// back to the system when freed, so that each round starts from the same
// resident memory; prepare runs before each round, outside it.
double peakMiB(const std::function<void()> &f, const std::function<void()> &prepare = [] {})
{
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
    long peak = 0;
    for (int round = 0; round < 4; ++round) {
        prepare();
        malloc_trim(0);
        const long before = statusKiB("VmRSS:");
        resetPeak();
        f();
        if (round > 0)
            peak = std::max(peak, statusKiB("VmHWM:") - before);
    }
    mallopt(M_MMAP_THRESHOLD, viewerMmapThreshold);
    return peak / 1024.0;
}

// Opens a descriptor in a window placed at the given point of the screen.
void openAt(window &w, const QPoint &at, const QString &descriptor)
{
    w.move(at);
    openAndWait(w, descriptor);
}

struct ViewRatios
{
    QString name;
    double area, areaCpu, stepDjpeg, drag, dragNet, fit, fitCpu, corner, bigFit;
};

QString rectText(const QRect &r)
{
    return QString("%1x%2+%3+%4").arg(r.width()).arg(r.height()).arg(r.x()).arg(r.y());
}

QString sizeText(const QSize &s)
{
    return QString("%1x%2").arg(s.width()).arg(s.height());
}

// Cell frames of 2048 x 2048 and 8000 x 8000 pixels in an image area of
// 1900 x 950, about what a 1080p screen leaves.  Steps at 100 % against the same
// frames in a 2048 x 2048 label (as the stepping set shows them) and djpeg;
// one drag event until the pixels are on the screen; steps with Fit to Window
// on; steps of the 8000 x 8000 frame dragged to its bottom-right corner
// against djpeg -crop of that part.  The windows sit side by side, none
// covering another.  All take turns; medians of the rounds, then the peak
// memory of each.
ViewRatios viewFrames(const Options &options, bool grey)
{
    const QString name = grey ? "grey cells" : "colour cells";
    const QSize area(1900, 950), whole(2048, 2048), huge(8000, 8000);
    QTemporaryDir dir;
    auto generate = [&](const QString &dataset, const QSize &size, int times) {
        QStringList arguments { dir.path(), "--name", dataset, "--size", sizeText(size), "--times",
                                QString::number(times), "--planes", "1" };
        if (grey)
            arguments << "--grey";
        return QProcess::execute(options.generator, arguments) == 0;
    };
    if (!generate("a", whole, 2) || !generate("b", huge, 1)) {
        std::printf("cannot run %s\n", qPrintable(options.generator));
        return ViewRatios { name, 0, 0, 0, 0, 0, 0, 0, 0, 0 };
    }
    QFile::copy(frameFile(dir, "b", 0), frameFile(dir, "b", 1));
    const QString tiny = tinyFrame(dir);
    writeDescriptor(dir.filePath("label.tz"), "a", whole, 2);
    writeDescriptor(dir.filePath("area.tz"), "a", area, 2);
    writeDescriptor(dir.filePath("huge.tz"), "b", area, 2);

    std::printf("\n== %s in a %dx%d image area, platform %s, screen %dx%d\n", qPrintable(name), area.width(),
                area.height(), qPrintable(QGuiApplication::platformName()),
                QGuiApplication::primaryScreen()->size().width(), QGuiApplication::primaryScreen()->size().height());
    std::printf("%-50s %8s %8s %10s\n", "", "wall ms", "cpu ms", "peak +MiB");
    auto row = [](const QString &what, const Figures &f, double peak, const QString &note) {
        std::printf("%s %8.2f %8.2f %10s   %s\n", qPrintable(what.leftJustified(50)), f.wall, f.cpu,
                    peak < 0 ? "" : qPrintable(QString::number(peak, 'f', 1)), qPrintable(note));
    };
    auto cpuRow = [](const QString &what, double cpu, const QString &note) {
        std::printf("%s %8s %8.2f %10s   %s\n", qPrintable(what.leftJustified(50)), "", cpu, "", qPrintable(note));
    };
    auto ratios = [](const char *what, double wall, double cpu) {
        return QString("%1: wall %2, cpu %3").arg(what).arg(wall, 0, 'f', 3).arg(cpu, 0, 'f', 3);
    };
    auto djpegCrop = [](const QRect &part) {
        return QStringList { "-crop", rectText(part) };
    };
    ViewRatios result { name, 0, 0, 0, 0, 0, 0, 0, 0, 0 };
    LineCounter counter;
    std::streambuf *old = std::cerr.rdbuf(&counter);

    {
        // The 2048 x 2048 label on the left, the two image areas beside it.
        window label(nullptr), shown(nullptr), fitted(nullptr);
        openAt(label, QPoint(0, 0), dir.filePath("label.tz"));
        const int right = label.frameGeometry().right() + 20;
        openAt(shown, QPoint(right, 0), dir.filePath("area.tz"));
        openAt(fitted, QPoint(right, area.height() + 150), dir.filePath("area.tz"));
        fitFrames(fitted);
        const QSize fitSize = view(fitted)->pixmap().size();
        // Drag from the area's centre to offsets all over the frame and back.
        const QPoint centre = view(shown)->rect().center();
        const QPoint drags[] = { { 60, 400 }, { 20, 100 }, { 100, 700 }, { 0, 0 } };

        std::vector<Figures> labelSteps, steps, moves, grabs, fitSteps, decodes, fitDecodes;
        std::vector<double> djpegs, halves, eighths, starts;
        std::vector<Figures> *stepsOf[] = { &labelSteps, &steps, &fitSteps };
        window *windows[] = { &label, &shown, &fitted };
        int dragLoads = 0;
        for (int round = 0; round < 24; ++round) {
            const QString file = frameFile(dir, "a", round % 2);
            // Each window steps first, second and third equally often.
            for (int k = 0; k < 3; ++k) {
                const int which = (round + k) % 3;
                stepsOf[which]->push_back(measure(1, [&](int) { stepOver(*windows[which]); }));
            }
            mouse(shown, QEvent::MouseButtonPress, centre);
            const int loads = counter.lines;
            for (const QPoint &d : drags)
                moves.push_back(measure(1, [&](int) {
                    mouse(shown, QEvent::MouseMove, centre - d);
                    onScreen(shown);
                }));
            dragLoads += counter.lines - loads;
            mouse(shown, QEvent::MouseButtonRelease, centre);
            grabs.push_back(measure(1, [&](int) { onScreen(shown); }));
            decodes.push_back(measure(1, [&](int) { readWhole(file); }));
            fitDecodes.push_back(measure(1, [&](int) {
                framereader(QFile::encodeName(file)).read(QRect(QPoint(), whole), fitSize);
            }));
            djpegs.push_back(djpegCpu(file));
            halves.push_back(djpegCpu(file, { "-scale", "1/2" }));
            eighths.push_back(djpegCpu(file, { "-scale", "1/8" }));
            starts.push_back(djpegCpu(tiny));
        }
        const Figures labelStep = median(labelSteps), step = median(steps), move = median(moves),
                      grab = median(grabs), fitStep = median(fitSteps);
        const double djpeg = djpegMedian(djpegs, starts), half = djpegMedian(halves, starts),
                     eighth = djpegMedian(eighths, starts);

        const double labelPeak = peakMiB([&] { stepOver(label); });
        const double stepPeak = peakMiB([&] { stepOver(shown); });
        const double fitPeak = peakMiB([&] { stepOver(fitted); });
        mouse(shown, QEvent::MouseButtonPress, centre);
        int next = 0;
        const double movePeak = peakMiB([&] {
            mouse(shown, QEvent::MouseMove, centre - drags[next++ % std::size(drags)]);
            onScreen(shown);
        });
        mouse(shown, QEvent::MouseButtonRelease, centre);

        const QString frame = sizeText(whole);
        row(frame + " step, " + frame + " label (as the step set)", labelStep, labelPeak,
            "shows " + sizeText(view(label)->pixmap().size()));
        row(frame + " step, 100 %", step, stepPeak,
            "shows " + sizeText(view(shown)->pixmap().size()) + "; "
                    + ratios("÷ label step", step.wall / labelStep.wall, step.cpu / labelStep.cpu));
        row("  frame reader, whole frame", median(decodes), -1, "");
        cpuRow("  djpeg (no start-up)", djpeg, QString("step cpu ÷ djpeg: %1").arg(step.cpu / djpeg, 0, 'f', 3));
        row("drag event to pixels shown", move, movePeak,
            ratios("÷ step", move.wall / step.wall, move.cpu / step.cpu)
                    + QString("; %1 loads").arg(double(dragLoads) / moves.size(), 0, 'f', 2));
        row("  of which a one-pixel grab (alone)", grab, -1,
            QString("without it ÷ step: wall %1").arg((move.wall - grab.wall) / step.wall, 0, 'f', 3));
        row(frame + " fit step", fitStep, fitPeak,
            "shows " + sizeText(fitSize) + "; " + ratios("÷ 100 % step", fitStep.wall / step.wall,
                                                          fitStep.cpu / step.cpu));
        row("  frame reader, scaled to " + sizeText(fitSize), median(fitDecodes), -1, "");
        cpuRow("  djpeg -scale 1/2 (no start-up)", half, "");
        cpuRow("  djpeg -scale 1/8 (no start-up)", eighth,
               QString("÷ djpeg: %1, the part of a decode no scale saves").arg(eighth / djpeg, 0, 'f', 3));
        result.area = step.wall / labelStep.wall;
        result.areaCpu = step.cpu / labelStep.cpu;
        result.stepDjpeg = step.cpu / djpeg;
        result.drag = move.wall / step.wall;
        result.dragNet = (move.wall - grab.wall) / step.wall;
        result.fit = fitStep.wall / step.wall;
        result.fitCpu = fitStep.cpu / step.cpu;
    }

    {
        window corner(nullptr), fitted(nullptr);
        openAt(corner, QPoint(0, 0), dir.filePath("huge.tz"));
        openAt(fitted, QPoint(0, area.height() + 150), dir.filePath("huge.tz"));
        fitFrames(fitted);
        const QSize fitSize = view(fitted)->pixmap().size();
        // Dragged to the bottom-right corner; the next step decodes the frame there.
        const QPoint centre = view(corner)->rect().center();
        mouse(corner, QEvent::MouseButtonPress, centre);
        mouse(corner, QEvent::MouseMove, centre - QPoint(huge.width(), huge.height()));
        mouse(corner, QEvent::MouseButtonRelease, centre);
        stepOver(corner);
        const QRect part(view(corner)->offset(), view(corner)->pixmap().size());
        // A drag of 100 pixels back towards the top-left leaves the part decoded
        // (a trace line: the viewer decodes more around it); the way back to the
        // corner stays inside what is decoded then.
        auto pastDecoded = [&] {
            mouse(corner, QEvent::MouseMove, centre + QPoint(100, 100));
            onScreen(corner);
        };
        auto backToCorner = [&] {
            mouse(corner, QEvent::MouseMove, centre - QPoint(100, 100));
            mouse(corner, QEvent::MouseButtonRelease, centre);
        };

        std::vector<Figures> steps, drags, fitSteps, reads, fitReads;
        std::vector<double> crops, fulls, eighths, starts;
        int pastLoads = 0;
        QSize pastShown;
        for (int round = 0; round < 10; ++round) {
            const QString file = frameFile(dir, "b", round % 2);
            if (round % 2 == 0)
                fitSteps.push_back(measure(1, [&](int) { stepOver(fitted); }));
            steps.push_back(measure(1, [&](int) { stepOver(corner); }));
            mouse(corner, QEvent::MouseButtonPress, centre);
            const int loads = counter.lines;
            drags.push_back(measure(1, [&](int) { pastDecoded(); }));
            pastLoads += counter.lines - loads;
            pastShown = view(corner)->pixmap().size();
            backToCorner();
            if (round % 2 == 1)
                fitSteps.push_back(measure(1, [&](int) { stepOver(fitted); }));
            reads.push_back(measure(1, [&](int) { framereader(QFile::encodeName(file)).read(part); }));
            fitReads.push_back(measure(1, [&](int) {
                framereader(QFile::encodeName(file)).read(QRect(QPoint(), huge), fitSize);
            }));
            crops.push_back(djpegCpu(file, djpegCrop(part)));
            fulls.push_back(djpegCpu(file));
            eighths.push_back(djpegCpu(file, { "-scale", "1/8" }));
            starts.push_back(djpegCpu(tiny));
        }
        const Figures step = median(steps), drag = median(drags), fitStep = median(fitSteps);
        const double crop = djpegMedian(crops, starts), full = djpegMedian(fulls, starts),
                     eighth = djpegMedian(eighths, starts);

        const double stepPeak = peakMiB([&] { stepOver(corner); });
        const double dragPeak = peakMiB(pastDecoded, [&] {
            backToCorner();
            stepOver(corner);
            mouse(corner, QEvent::MouseButtonPress, centre);
        });
        backToCorner();
        const double fitPeak = peakMiB([&] { stepOver(fitted); });

        const QString frame = sizeText(huge);
        row(frame + " step at the bottom-right corner", step, stepPeak,
            "shows " + rectText(part) + QString("; step cpu ÷ djpeg -crop: %1").arg(step.cpu / crop, 0, 'f', 3));
        row("  frame reader, that part", median(reads), -1, "");
        cpuRow("  djpeg -crop " + rectText(part) + " (no start-up)", crop, "");
        row("  drag event past the decoded part", drag, dragPeak,
            QString("decodes %1; %2 loads; ÷ step: wall %3")
                    .arg(sizeText(pastShown))
                    .arg(double(pastLoads) / drags.size(), 0, 'f', 2)
                    .arg(drag.wall / step.wall, 0, 'f', 3));
        row(frame + " fit step", fitStep, fitPeak,
            "shows " + sizeText(fitSize) + QString("; step cpu ÷ djpeg: %1").arg(fitStep.cpu / full, 0, 'f', 3));
        row("  frame reader, scaled to " + sizeText(fitSize), median(fitReads), -1, "");
        cpuRow("  djpeg, whole frame (no start-up)", full, "");
        cpuRow("  djpeg -scale 1/8 (no start-up)", eighth,
               QString("÷ djpeg: %1").arg(eighth / full, 0, 'f', 3));
        result.corner = step.cpu / crop;
        result.bigFit = fitStep.cpu / full;
    }
    std::cerr.rdbuf(old);
    return result;
}

// One line of a summary: a ratio of each set of frames beside its goal.
template<typename Ratios>
struct SummaryLine
{
    const char *what, *goal;
    double Ratios::*ratio;
};

// Colour and grey cell frames, each measured by measure, then their ratios beside the goals.
template<typename Ratios>
void summarize(const char *title, Ratios (*measure)(const Options &, bool), const Options &options,
               std::initializer_list<SummaryLine<Ratios>> lines)
{
    std::vector<Ratios> all;
    for (bool grey : { false, true })
        all.push_back(measure(options, grey));
    std::printf("\n== %s summary, platform %s\n%-46s %10s", title, qPrintable(QGuiApplication::platformName()),
                "ratio", "goal");
    for (const Ratios &r : all)
        std::printf(" %13s", qPrintable(r.name));
    std::printf("\n");
    for (const auto &line : lines) {
        std::printf("%s %10s", qPrintable(QString(line.what).leftJustified(46)), line.goal);
        for (const Ratios &r : all)
            std::printf(" %13.3f", r.*line.ratio);
        std::printf("\n");
    }
}

void viewSets(const Options &options)
{
    summarize<ViewRatios>("image area 1900x950", viewFrames, options, {
        { "2048x2048 step, area ÷ 2048x2048 label (wall)", "0.95-1.05", &ViewRatios::area },
        { "  the same in cpu time", "0.95-1.05", &ViewRatios::areaCpu },
        { "2048x2048 step ÷ djpeg (cpu)", "<= 1.3", &ViewRatios::stepDjpeg },
        { "drag event to pixels shown ÷ step (wall)", "<= 0.1", &ViewRatios::drag },
        { "  the same without the one-pixel grab", "<= 0.1", &ViewRatios::dragNet },
        { "2048x2048 fit step ÷ 100 % step (wall)", "<= 0.6", &ViewRatios::fit },
        { "  the same in cpu time", "<= 0.6", &ViewRatios::fitCpu },
        { "8000x8000 corner step ÷ djpeg -crop (cpu)", "<= 2", &ViewRatios::corner },
        { "8000x8000 fit step ÷ djpeg whole frame (cpu)", "<= 0.8", &ViewRatios::bigFit },
    });
}

// ---- Zoom levels: steps at 400 % and at 1/2 against steps at 100 % and decodes.

// Triggers a View menu action, found by its text, count times.
void zoomBy(window &w, const QString &text, int count)
{
    for (QAction *action : w.findChildren<QAction *>())
        if (action->text() == text)
            for (int i = 0; i < count; ++i)
                action->trigger();
    settle();
}

struct ZoomRatios
{
    QString name;
    double enlarged, enlargedCpu, reduced, reducedCpu;
};

// Cell frames of 512 x 512 in an image area of their size, stepped at 100 %
// and at 400 % (the frame pixels in view, enlarged); 2048 x 2048 frames in an
// area of their size stepped at 1/2 (read scaled inside libjpeg) against the
// frame reader's decode of the whole frame at 100 %; and a zoom change that
// reads no file.  The windows sit side by side and take turns; medians of
// the rounds.
ZoomRatios zoomFrames(const Options &options, bool grey)
{
    const QString name = grey ? "grey cells" : "colour cells";
    QTemporaryDir dir;
    auto generate = [&](const QString &dataset, const QString &size) {
        QStringList arguments { dir.path(), "--name", dataset, "--size", size, "--times", "2", "--planes", "1" };
        if (grey)
            arguments << "--grey";
        return QProcess::execute(options.generator, arguments) == 0;
    };
    if (!generate("s", "512x512") || !generate("l", "2048x2048")) {
        std::printf("cannot run %s\n", qPrintable(options.generator));
        return ZoomRatios { name, 0, 0, 0, 0 };
    }
    writeDescriptor(dir.filePath("small.tz"), "s", QSize(512, 512), 2);
    writeDescriptor(dir.filePath("large.tz"), "l", QSize(2048, 2048), 2);

    LineCounter counter;
    std::streambuf *old = std::cerr.rdbuf(&counter);
    window normal(nullptr), enlarged(nullptr), reduced(nullptr);
    openAt(normal, QPoint(0, 0), dir.filePath("small.tz"));
    openAt(enlarged, QPoint(normal.frameGeometry().right() + 20, 0), dir.filePath("small.tz"));
    openAt(reduced, QPoint(enlarged.frameGeometry().right() + 20, 0), dir.filePath("large.tz"));
    zoomBy(enlarged, "Zoom &In", 4);
    zoomBy(reduced, "Zoom &Out", 2);

    std::vector<Figures> normalSteps, enlargedSteps, reducedSteps, decodes, halves, zoomsOut, zoomsIn;
    std::vector<Figures> *stepsOf[] = { &normalSteps, &enlargedSteps, &reducedSteps };
    window *windows[] = { &normal, &enlarged, &reduced };
    int loadsOut = 0, loadsIn = 0;
    QString decoded[3];
    // A zoom from the keyboard, until its pixels are on the screen; counts the files it reads.
    auto zoom = [&](const char *text, int *loads) {
        const int before = counter.lines;
        const Figures f = measure(1, [&](int) {
            zoomBy(enlarged, text, 1);
            onScreen(enlarged);
        });
        *loads += counter.lines - before;
        return f;
    };
    for (int round = 0; round < 30; ++round) {
        for (int k = 0; k < 3; ++k) {
            const int which = (round + k) % 3;
            stepsOf[which]->push_back(measure(1, [&](int) { stepOver(*windows[which]); }));
            decoded[which] = "decodes " + sizeText(view(*windows[which])->pixmap().size());
        }
        const QByteArray file = QFile::encodeName(frameFile(dir, "l", round % 2));
        decodes.push_back(measure(1, [&](int) { readWhole(frameFile(dir, "l", round % 2)); }));
        halves.push_back(measure(1, [&](int) { framereader(file).readScaled(QSize(1024, 1024), QRect(0, 0, 1024, 1024)); }));
        zoomsOut.push_back(zoom("Zoom &Out", &loadsOut));
        zoomsIn.push_back(zoom("Zoom &In", &loadsIn));
    }
    std::cerr.rdbuf(old);
    const Figures normalStep = median(normalSteps), enlargedStep = median(enlargedSteps),
                  reducedStep = median(reducedSteps), decode = median(decodes), half = median(halves);

    std::printf("\n== zoom levels, %s, platform %s\n", qPrintable(name), qPrintable(QGuiApplication::platformName()));
    std::printf("%-50s %8s %8s   %s\n", "", "wall ms", "cpu ms", "");
    auto row = [](const QString &what, const Figures &f, const QString &note) {
        std::printf("%s %8.2f %8.2f   %s\n", qPrintable(what.leftJustified(50)), f.wall, f.cpu, qPrintable(note));
    };
    row("512x512 step, 100 %", normalStep, decoded[0]);
    row("512x512 step, 400 %", enlargedStep,
        decoded[1] + QString("; ÷ 100 %: wall %1, cpu %2")
                                  .arg(enlargedStep.wall / normalStep.wall, 0, 'f', 3)
                                  .arg(enlargedStep.cpu / normalStep.cpu, 0, 'f', 3));
    row("512x512 zoom 400 % to 300 %, to pixels shown", median(zoomsOut),
        QString("%1 loads").arg(double(loadsOut) / zoomsOut.size(), 0, 'f', 2));
    row("512x512 zoom 300 % to 400 %, to pixels shown", median(zoomsIn),
        QString("%1 loads").arg(double(loadsIn) / zoomsIn.size(), 0, 'f', 2));
    row("2048x2048 frame reader, whole frame at 100 %", decode, "");
    row("2048x2048 frame reader, whole frame at 1/2", half,
        QString("÷ 100 %: wall %1, cpu %2").arg(half.wall / decode.wall, 0, 'f', 3).arg(half.cpu / decode.cpu, 0, 'f', 3));
    row("2048x2048 step, 1/2", reducedStep,
        decoded[2] + QString("; ÷ decode: wall %1, cpu %2")
                                 .arg(reducedStep.wall / decode.wall, 0, 'f', 3)
                                 .arg(reducedStep.cpu / decode.cpu, 0, 'f', 3));
    return ZoomRatios { name, enlargedStep.wall / normalStep.wall, enlargedStep.cpu / normalStep.cpu,
                        reducedStep.wall / decode.wall, reducedStep.cpu / decode.cpu };
}

void zoomSets(const Options &options)
{
    summarize<ZoomRatios>("zoom", zoomFrames, options, {
        { "512x512 step, 400 % ÷ 100 % (wall)", "<= 1.2", &ZoomRatios::enlarged },
        { "  the same in cpu time", "<= 1.2", &ZoomRatios::enlargedCpu },
        { "2048x2048 step at 1/2 ÷ whole decode (wall)", "<= 0.8", &ZoomRatios::reduced },
        { "  the same in cpu time", "<= 0.8", &ZoomRatios::reducedCpu },
    });
}

// The sets of figures, in the order they run; --sets picks some by name.
const struct
{
    const char *name;
    void (*run)(const Options &);
} sets[] = {
    { "step", steppingSets },
    { "large", largeFrames },
    { "clip", clippedFrames },
    { "view", viewSets },
    { "zoom", zoomSets },
    { "crafted", craftedFiles },
};

} // namespace

int main(int argc, char *argv[])
{
    heapAsViewer();
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: tesseline-bench GENSAMPLE [--sets step,large,clip,view,zoom,crafted] [--large-only]"
                             " [--only \"grey 2048x2048\"] [--steps N]\n");
        return 2;
    }
    auto value = [&](const char *option) {
        const int at = int(args.indexOf(option));
        return at > 0 ? args.value(at + 1) : QString();
    };
    Options options;
    options.generator = args.at(1);
    if (!value("--steps").isEmpty())
        options.longRun = value("--steps").toInt();
    options.only = value("--only");
    QStringList chosen = value("--sets").split(',', Qt::SkipEmptyParts);
    if (chosen.isEmpty())
        for (const auto &set : sets)
            if (!(args.contains("--large-only") && qstrcmp(set.name, "step") == 0))
                chosen << set.name;
    for (const auto &set : sets)
        if (chosen.contains(set.name))
            set.run(options);
    return 0;
}
