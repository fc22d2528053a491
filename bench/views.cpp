// Measures the views that look through a stack, in the viewer's own window:
// a Maximum projection of every focal plane of a time point against reading
// the same planes alone (one channel and three), the orthogonal views'
// update after a click on the frame and the bytes it reads, and the pixel
// values following the pointer.  Steps, reads and clicks take turns; each
// figure is the median over the rounds.  Prints figures; asserts nothing.
// Usage: tesseline-bench-views ONE.tif THREE.tif ROWS.tif [--rounds N]
// (any Qt platform; see scripts/bench-views.sh)

#include "window.h"
#include "frameview.h"
#include "orthoview.h"
#include "pixelvalues.h"

#include "benchutil.h"

#include <QtWidgets>

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <vector>

namespace {

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// What this process has read so far: bytes and calls (/proc/self/io).
struct io
{
    qint64 bytes = 0, calls = 0;
};

io readSoFar()
{
    QFile file("/proc/self/io");
    io now;
    if (!file.open(QIODevice::ReadOnly))
        return now;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("rchar:"))
            now.bytes = line.mid(6).trimmed().toLongLong();
        else if (line.startsWith("syscr:"))
            now.calls = line.mid(6).trimmed().toLongLong();
    }
    return now;
}

void settle()
{
    while (QCoreApplication::eventDispatcher()->processEvents(QEventLoop::AllEvents)) {
    }
}

struct sample
{
    double wall = 0, cpu = 0;   // ms
    qint64 bytes = 0, calls = 0;
    int lines = 0;
};

// Times f once: wall and CPU time, bytes and calls read, trace lines written.
template<typename F>
sample timed(LineCounter &counter, F &&f)
{
    const int lines = counter.lines;
    const io before = readSoFar();
    const double cpu = cpuSeconds();
    QElapsedTimer timer;
    timer.start();
    f();
    sample s;
    s.wall = timer.nsecsElapsed() / 1e6;
    s.cpu = (cpuSeconds() - cpu) * 1e3;
    const io after = readSoFar();
    s.bytes = after.bytes - before.bytes;
    s.calls = after.calls - before.calls;
    s.lines = counter.lines - lines;
    return s;
}

double medianOf(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

sample median(const std::vector<sample> &all)
{
    const auto middle = [&](auto field) {
        std::vector<double> values;
        for (const sample &s : all)
            values.push_back(double(s.*field));
        return medianOf(values);
    };
    sample m;
    m.wall = middle(&sample::wall);
    m.cpu = middle(&sample::cpu);
    m.bytes = qint64(middle(&sample::bytes));
    m.calls = qint64(middle(&sample::calls));
    m.lines = int(middle(&sample::lines));
    return m;
}

void print(const char *what, const std::vector<sample> &all)
{
    const sample m = median(all);
    QStringList walls;
    for (const sample &s : all)
        walls << QString::number(s.wall, 'f', 1);
    std::printf("  %-58s %8.1f ms wall %8.1f ms CPU  %10.2f MB read in %6lld calls, %3d planes traced  (rounds: %s)\n", what,
                m.wall, m.cpu, m.bytes / 1e6, m.calls, m.lines, qPrintable(walls.join(", ")));
    std::fflush(stdout);
}

QAction *action(window &w, const QString &text)
{
    for (QAction *a : w.findChildren<QAction *>()) {
        if (a->text() == text)
            return a;
    }
    std::fprintf(stderr, "no action %s\n", qPrintable(text));
    std::exit(1);
}

void key(QWidget *to, int k, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QKeyEvent press(QEvent::KeyPress, k, modifiers);
    QKeyEvent release(QEvent::KeyRelease, k, modifiers);
    QApplication::sendEvent(to, &press);
    QApplication::sendEvent(to, &release);
}

void mouse(QWidget *to, QEvent::Type type, const QPoint &at, Qt::MouseButton button)
{
    const QPointF local(at);
    QMouseEvent e(type, local, to->mapToGlobal(local), button, type == QEvent::MouseButtonRelease ? Qt::NoButton : button,
                  Qt::NoModifier);
    QApplication::sendEvent(to, &e);
}

// The window's paint, then whatever the other windows have to draw.
void show(window &w)
{
    w.repaint();
    settle();
}

void open(window &w, const QString &path)
{
    w.resize(1200, 900);
    w.openRecording({ path });
    w.show();
    show(w);
}

// The planes of a time point read with stack::read, one after another.
sample readAlone(LineCounter &counter, stack &in, int t)
{
    planeData plane;
    return timed(counter, [&] {
        for (int z = 0; z < in.planes; ++z) {
            for (int c = 0; c < int(in.channels.size()); ++c) {
                if (!in.read(t, z, c, plane)) {
                    std::fprintf(stderr, "%s\n", qPrintable(in.error()));
                    std::exit(1);
                }
            }
        }
    });
}

// Maximum over all focal planes, stepping between time points: the stack
// read alone, the source's projection, and the window's whole step, in turn.
void projection(LineCounter &counter, const QString &path, const char *label, const char *tag, int rounds)
{
    QString error;
    std::unique_ptr<stack> in = openStack({ path }, stackOptions(), &error);
    if (!in) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        std::exit(1);
    }
    window w;
    open(w, path);
    action(w, "Maximum")->trigger();
    show(w);
    framesource &source = *w.frames();
    const QSize size = source.size();
    std::vector<sample> alone, picture, step;
    for (int i = 0; i < rounds; ++i) {
        const int shown = source.shownTime();
        const int next = shown == 0 ? 1 : 0;
        const int z = source.shownPlane();
        alone.push_back(readAlone(counter, *in, next));
        // The source alone: load the next time point and draw all of it,
        // then take the one shown back, unread, for the window's step.
        picture.push_back(timed(counter, [&] {
            source.load(next, z);
            source.picture(size, QRect(QPoint(), size));
        }));
        source.load(shown, z);
        // The window: a key to the next time point, to the frame drawn.
        step.push_back(timed(counter, [&] {
            key(&w, next > shown ? Qt::Key_Right : Qt::Key_Left);
            show(w);
        }));
    }
    std::printf("\n== Maximum projection, %s: %d planes of %dx%d, %zu channel(s), %d-bit\n", label, in->planes,
                in->width, in->height, in->channels.size(), in->bits);
    print("stack::read of every plane of a time point", alone);
    print("framesource: load and picture of the projection", picture);
    print("window: key to the next time point, frame drawn", step);
    const double r = median(step).wall / median(alone).wall;
    const double rs = median(picture).wall / median(alone).wall;
    std::printf("  step / read alone: %.2f (source alone %.2f); CPU %.2f\n", r, rs, median(step).cpu / median(alone).cpu);
    std::printf("RESULT projection-%s step_ms=%.2f read_ms=%.2f source_ms=%.2f step_cpu=%.2f read_cpu=%.2f\n", tag,
                median(step).wall, median(alone).wall, median(picture).wall, median(step).cpu, median(alone).cpu);
}

// The orthogonal views open, a click on the frame moves their point: both
// views read a row and a column of every plane.  Then the pixel values
// following the pointer over the frame.
void orthogonalAndValues(LineCounter &counter, const QString &path, int rounds)
{
    window w;
    open(w, path);
    QString error;
    std::unique_ptr<stack> in = openStack({ path }, stackOptions(), &error);
    action(w, "&Orthogonal Views")->trigger();
    show(w);
    auto *view = w.findChild<frameview *>();
    const QSize shown = view->size();
    std::vector<sample> clicks;
    for (int i = 0; i < rounds; ++i) {
        // Points spread over what is shown, none twice.
        const QPoint at(shown.width() * (i + 1) / (rounds + 2), shown.height() * (rounds - i + 1) / (rounds + 2));
        clicks.push_back(timed(counter, [&] {
            mouse(view, QEvent::MouseButtonPress, at, Qt::LeftButton);
            mouse(view, QEvent::MouseButtonRelease, at, Qt::LeftButton);
            show(w);
        }));
    }
    const qint64 plane = qint64(in->width) * in->height * in->bits / 8;
    std::printf("\n== Orthogonal views, %d planes of %dx%d, %d-bit, strips of one row\n", in->planes, in->width, in->height,
                in->bits);
    print("click on the frame to both views drawn", clicks);
    const sample m = median(clicks);
    std::printf("  bytes read per click: %lld (%.4f of one whole plane, %.5f of the %d planes)\n", m.bytes,
                double(m.bytes) / plane, double(m.bytes) / plane / in->planes, in->planes);
    std::printf("RESULT ortho click_ms=%.2f click_cpu=%.2f bytes=%lld calls=%lld plane_bytes=%lld planes=%d lines=%d\n", m.wall,
                m.cpu, m.bytes, m.calls, plane, in->planes, m.lines);

    action(w, "&Orthogonal Views")->trigger();
    action(w, "&Pixel Values")->trigger();
    show(w);
    auto *values = w.findChild<pixelvalues *>();
    std::vector<sample> moves;
    QString last;
    for (int i = 0; i < rounds * 20; ++i) {
        const QPoint at(10 + (i * 37) % (shown.width() - 20), 10 + (i * 23) % (shown.height() - 20));
        moves.push_back(timed(counter, [&] {
            mouse(view, QEvent::MouseMove, at, Qt::NoButton);
            settle();
        }));
        last = values->text();
    }
    std::printf("\n== Pixel values following the pointer over the frame (%d moves)\n", rounds * 20);
    print("pointer move to the values shown", moves);
    qint64 bytes = 0;
    int lines = 0;
    for (const sample &s : moves) {
        bytes += s.bytes;
        lines += s.lines;
    }
    std::printf("  in all: %lld bytes read, %d planes traced; last shown: %s\n", bytes, lines,
                qPrintable(last.simplified()));
    std::printf("RESULT values move_ms=%.3f move_cpu=%.3f bytes=%lld lines=%d\n", median(moves).wall, median(moves).cpu,
                bytes, lines);
}

} // namespace

int main(int argc, char *argv[])
{
    heapAsViewer();
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 4) {
        std::fprintf(stderr, "usage: tesseline-bench-views ONE.tif THREE.tif ROWS.tif [--rounds N]\n");
        return 2;
    }
    const int at = int(args.indexOf("--rounds"));
    const int rounds = at > 0 ? args.value(at + 1).toInt() : 7;
    LineCounter counter;
    std::streambuf *was = std::cerr.rdbuf(&counter);
    std::printf("platform %s, %d rounds\n", qPrintable(QGuiApplication::platformName()), rounds);
    projection(counter, args[1], "one channel", "one", rounds);
    projection(counter, args[2], "three channels", "three", rounds);
    orthogonalAndValues(counter, args[3], rounds);
    std::cerr.rdbuf(was);
    return 0;
}
