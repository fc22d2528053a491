// Measures how fast the viewer steps through large frames, against the raw
// decode of the same frames.  Prints figures and ratios; asserts nothing.
// Usage: tesseline-bench GENSAMPLE [--steps N] [--large-only] [--only "grey 2048x2048"]   (any Qt platform; see scripts/bench.sh)

#include "window.h"
#include "blockjpeg.h"

#include <QtWidgets>

#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <vector>
#include <cstdio>
#include <iostream>

namespace {

// Counts the trace lines the viewer writes to std::cerr: one per frame it loads.
class LineCounter : public std::streambuf
{
public:
    int lines = 0;

protected:
    int overflow(int c) override
    {
        if (c == '\n')
            ++lines;
        return c;
    }
    std::streamsize xsputn(const char *s, std::streamsize n) override
    {
        lines += int(std::count(s, s + n, '\n'));
        return n;
    }
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
double djpegCpu(const QString &file)
{
    static const QString djpeg = QStandardPaths::findExecutable("djpeg");
    if (djpeg.isEmpty())
        return -1;
    const double before = cpuSeconds(RUSAGE_CHILDREN);
    QProcess::execute(djpeg, { "-outfile", "/dev/null", file });
    return (cpuSeconds(RUSAGE_CHILDREN) - before) * 1e3;
}

struct Summary
{
    QString name;
    double decode, step, djpeg, stepCpu;
};
QList<Summary> summaries;

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

// Frames far larger than the screen, and a decompression bomb, against a
// frame of the label's own size: time from opening to the frame shown, and
// the peak memory above what the viewer held before.
void largeFrames(const QSize &label)
{
    struct Case
    {
        const char *name;
        QSize size;
        bool bomb;
    };
    const Case cases[] = {
        { "label-sized", label, false },
        { "8000 x 8000", { 8000, 8000 }, false },
        { "30000 x 20000", { 30000, 20000 }, false },
        { "bomb: 65000 x 65000 header, 2 KB", { 65000, 65000 }, true },
    };
    QTemporaryDir dir;
    QDir(dir.path()).mkdir("img");
    const QString descriptor = dir.filePath("large.tz");
    QFile tz(descriptor);
    tz.open(QIODevice::WriteOnly);
    tz.write(QString("dataset large width %1 height %2 maxt %3")
                     .arg(label.width()).arg(label.height()).arg(std::size(cases)).toLatin1());
    tz.close();
    // Time point 0 is where the viewer starts; case i is at time point i + 1.
    for (size_t i = 0; i < std::size(cases); ++i) {
        QFile file(dir.filePath(QString("img/large_t%1_z000_ch000.jpg").arg(i + 1, 3, 10, QChar('0'))));
        file.open(QIODevice::WriteOnly);
        if (cases[i].bomb) {
            QBuffer whole;
            whole.open(QIODevice::WriteOnly);
            blockjpeg::write(&whole, cases[i].size.width(), cases[i].size.height(), blockjpeg::pattern);
            file.write(whole.data().left(2048));
        } else {
            blockjpeg::write(&file, cases[i].size.width(), cases[i].size.height(), blockjpeg::pattern);
        }
    }

    // Large blocks go back to the system when freed, so that each case's peak
    // starts from the same resident memory.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
    std::printf("\n== large frames, label %dx%d, platform %s\n", label.width(), label.height(),
                qPrintable(QGuiApplication::platformName()));
    std::printf("%-36s %9s %9s %14s   %s\n", "", "wall ms", "÷ label", "peak +MiB", "label");
    LineCounter counter;
    std::streambuf *old = std::cerr.rdbuf(&counter);
    double reference = 0;
    for (size_t i = 0; i < std::size(cases); ++i) {
        double best = 1e9;
        long peak = 0;
        QSize shown;
        for (int round = 0; round < 3; ++round) {
            window w(nullptr);
            w.openDescriptor(descriptor);
            settle();
            auto *scrollTime = w.findChildren<QScrollBar *>().value(0);
            const long before = statusKiB("VmRSS:");
            resetPeak();
            QElapsedTimer timer;
            timer.start();
            scrollTime->setValue(int(i) + 1);
            settle();
            best = std::min(best, timer.nsecsElapsed() / 1e6);
            peak = std::max(peak, statusKiB("VmHWM:") - before);
            shown = w.findChildren<QLabel *>().value(1)->pixmap().size();
        }
        if (i == 0)
            reference = best;
        std::printf("%-36s %9.2f %9.2f %14.1f   %s\n", cases[i].name, best, best / reference, peak / 1024.0,
                    shown.isEmpty() ? "empty" : qPrintable(QString("shows %1x%2").arg(shown.width()).arg(shown.height())));
    }
    std::cerr.rdbuf(old);
}

void run(const QString &generator, const QString &size, bool grey, int times, int longRun)
{
    QTemporaryDir dir;
    QStringList generate { dir.path(), "--name", "bench", "--size", size, "--times",
                           QString::number(times), "--planes", "3" };
    if (grey)
        generate << "--grey";
    if (QProcess::execute(generator, generate) != 0
        || !QImage(1, 1, QImage::Format_Grayscale8).save(dir.filePath("tiny.jpg"))) {
        std::printf("cannot run %s\n", qPrintable(generator));
        return;
    }
    QStringList frames;
    for (int t = 0; t < times; ++t)
        frames << dir.filePath(QString("img/bench_t%1_z001_ch000.jpg").arg(t, 3, 10, QChar('0')));


    LineCounter counter;
    std::streambuf *old = std::cerr.rdbuf(&counter);
    window w(nullptr);
    w.openDescriptor(dir.filePath("bench.tz"));
    QElapsedTimer waiting;
    waiting.start();
    while (!(w.windowHandle() && w.windowHandle()->isExposed()) && waiting.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    settle();
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
    // Steps and raw decodes of the same frames take turns, so that both see the
    // machine in the same state.
    // Raw decodes, steps and djpeg runs on the same frames take turns, so that
    // all see the machine in the same state, and the median of each figure
    // over the rounds is kept: one slow round on a shared machine does not
    // move it.  djpeg's process start-up is taken off by a run on a 1 x 1 file.
    const int rounds = 10 * times;
    const int loadsBefore = counter.lines;
    std::vector<Figures> decodes, stepped;
    std::vector<double> djpegs, starts;
    for (int i = 0; i < rounds; ++i) {
        decodes.push_back(measure(1, [&](int) { QImageReader(frames.at(i % times)).read(); }));
        stepped.push_back(measure(1, step));
        djpegs.push_back(djpegCpu(frames.at(i % times)));
        starts.push_back(djpegCpu(dir.filePath("tiny.jpg")));
    }
    const Figures decode = median(decodes), steps = median(stepped);
    const double djpeg = djpegs.front() < 0 ? -1 : medianOf(djpegs) - medianOf(starts);
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

    const QImage sample(frames.first());
    const double frameKiB = sample.sizeInBytes() / 1024.0;
    const QString name = QString("%1 %2").arg(grey ? "grey" : "colour", size);
    summaries << Summary { name, decode.wall, steps.wall, djpeg, steps.cpu };
    std::printf("\n== %s frames, platform %s, screen %dx%d, window %dx%d\n", qPrintable(name),
                qPrintable(QGuiApplication::platformName()), w.screen()->size().width(),
                w.screen()->size().height(), w.QWidget::width(), w.QWidget::height());
    std::printf("%-38s %9s %9s %9s %9s\n", "", "wall ms", "cpu ms", "÷ decode", "faults");
    auto row = [&](const char *name, const Figures &f) {
        std::printf("%-38s %9.2f %9.2f %9.3f %9.0f\n", name, f.wall, f.cpu, f.wall / decode.wall, f.faults);
    };
    row("raw decode (QImageReader)", decode);
    if (djpeg > 0)
        std::printf("%-38s %9s %9.2f\n", "djpeg, per frame (cpu, no start-up)", "", djpeg);
    row("step (slot to frame shown, idle)", steps);
    row("repaint requested after a step", idle);
    row("exposure of the whole window", exposure);
    row("full repaint (reference)", full);
    std::printf("frames loaded per step: %.2f\n", double(loads) / rounds);
    if (djpeg > 0)
        std::printf("step cpu ÷ djpeg cpu: %.3f\n", steps.cpu / djpeg);
    std::printf("burst of 50 queued steps: %d frame(s) decoded, %.1f ms, ends on the last index: %s\n",
                burstLoads, burstMs, burstLast ? "yes" : "no");
    std::printf("resident memory: %ld KiB after 10 steps, %ld KiB after %d; growth %.2f frames\n",
                rss10, rssLong, longRun, (rssLong - rss10) / frameKiB);
}

} // namespace

int main(int argc, char *argv[])
{
    // The heap set up as the viewer's main sets it up.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 512 * 1024 * 1024);
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: tesseline-bench GENSAMPLE [--steps N]\n");
        return 2;
    }
    const int longRun = args.indexOf("--steps") > 0 ? args.value(args.indexOf("--steps") + 1).toInt() : 1000;
    if (!args.contains("--large-only")) {
        const QString only = args.indexOf("--only") > 0 ? args.value(args.indexOf("--only") + 1) : QString();
        for (bool grey : { false, true })
            for (const QString size : { "512x512", "2048x2048" })
                if (only.isEmpty() || only == QString("%1 %2").arg(grey ? "grey" : "colour", size))
                    run(args.at(1), size, grey, size == "512x512" ? 12 : 8, longRun);
        std::printf("\n== summary, platform %s\n%-16s %10s %10s %8s %10s %10s %8s\n",
                    qPrintable(QGuiApplication::platformName()), "frames", "decode ms", "step ms",
                    "÷ decode", "djpeg ms", "step cpu", "÷ djpeg");
        for (const Summary &s : summaries)
            std::printf("%-16s %10.2f %10.2f %8.3f %10.2f %10.2f %8.3f\n", qPrintable(s.name), s.decode,
                        s.step, s.step / s.decode, s.djpeg, s.stepCpu, s.stepCpu / s.djpeg);
    }
    largeFrames(QSize(2048, 2048));
    return 0;
}
