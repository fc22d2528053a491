// Looks at what an X server shows, for the end-to-end test and the README's
// screenshots, and writes frames whose every pixel is known:
//   xprobe pixel WINDOW X Y       prints "R G B" of the window's pixel at X, Y
//   xprobe shot WINDOW FILE [X Y W H]   saves the window's picture, or that
//                                 part of it, as a PNG
//   xprobe filepixel IMAGE X Y    prints "R G B" of an image file's pixel
//   xprobe compare WINDOW X Y IMAGE [SX SY W H [SLACK]]   exits 0 once the
//                                 window shows the image file's pixels (or the
//                                 W x H of them from SX, SY, or from a place
//                                 up to SLACK pixels away in each direction)
//                                 exactly from X, Y on; 1 if it still does
//                                 not after 5 seconds
//   xprobe blocks FILE WIDTH HEIGHT SEED   writes a baseline JPEG of 8 x 8
//                                 blocks of colours hashed from their place
//                                 and SEED, with a square of one colour in
//                                 each corner, an eighth of the shorter side
// WINDOW 0 is the whole screen.

#include "../tools/blockjpeg.h"

#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QPixmap>
#include <QScreen>
#include <QThread>

#include <cstdio>

static int usage()
{
    std::fprintf(stderr, "usage: xprobe pixel WINDOW X Y | shot WINDOW FILE [X Y W H] | filepixel IMAGE X Y"
                         " | compare WINDOW X Y IMAGE [SX SY W H [SLACK]] | blocks FILE WIDTH HEIGHT SEED\n");
    return 2;
}

static int printPixel(const QImage &image, int x, int y)
{
    if (!image.valid(x, y))
        return 2;
    const QRgb rgb = image.pixel(x, y);
    std::printf("%d %d %d\n", qRed(rgb), qGreen(rgb), qBlue(rgb));
    return 0;
}

static QImage grab(const QString &window)
{
    return QGuiApplication::primaryScreen()->grabWindow(WId(window.toULongLong())).toImage();
}

static QRect rectArgument(const QStringList &a, int first)
{
    return QRect(a.at(first).toInt(), a.at(first + 1).toInt(), a.at(first + 2).toInt(), a.at(first + 3).toInt());
}

// Whether shown differs from image placed at at, and where first.
static bool differs(const QImage &shown, const QPoint &at, const QImage &image, QPoint *where)
{
    for (int y = 0; y < image.height(); ++y) {
        const auto *want = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if (shown.pixel(at + QPoint(x, y)) != want[x]) {
                *where = QPoint(x, y);
                return true;
            }
    }
    return false;
}

static int compare(const QStringList &a)
{
    const QPoint at(a.at(3).toInt(), a.at(4).toInt());
    QImageReader reader(a.at(5));
    QImageReader::setAllocationLimit(0);
    QRect part;
    int slack = 0;
    if (a.size() >= 10) {
        part = rectArgument(a, 6);
        slack = std::max(0, a.value(10).toInt());
        reader.setClipRect(part.adjusted(-slack, -slack, slack, slack) & QRect(QPoint(), reader.size()));
    }
    const QImage image = reader.read().convertToFormat(QImage::Format_RGB32);
    if (image.isNull())
        return 2;
    const QPoint read = reader.clipRect().isValid() ? reader.clipRect().topLeft() : QPoint();
    if (part.isNull())
        part = image.rect();
    QImage want;
    QPoint where;
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const QImage shown = grab(a.at(2));
        if (!shown.rect().contains(QRect(at, part.size())))
            return 2;
        for (int dy = -slack; dy <= slack; ++dy)
            for (int dx = -slack; dx <= slack; ++dx) {
                const QRect from = part.translated(dx, dy).translated(-read);
                if (!image.rect().contains(from))
                    continue;
                want = image.copy(from);
                if (!differs(shown, at, want, &where))
                    return 0;
            }
        if (waited.elapsed() > 5000) {
            if (!want.isNull())
                std::printf("differs at %d,%d: shown %08x, file %08x\n", where.x(), where.y(),
                            shown.pixel(at + where), want.pixel(where));
            return 1;
        }
        QThread::msleep(100);
    }
}

static int writeBlocks(const QString &fileName, int width, int height, unsigned seed)
{
    QFile file(fileName);
    if (width <= 0 || height <= 0 || width > 65535 || height > 65535 || !file.open(QIODevice::WriteOnly))
        return 2;
    const int mark = std::min(width, height) / 64; // in blocks
    const int right = (width - 1) / 8, bottom = (height - 1) / 8;
    blockjpeg::write(&file, width, height, [=](int bx, int by) -> blockjpeg::Colour {
        const bool left = bx < mark, top = by < mark;
        const bool east = right - bx < mark, south = bottom - by < mark;
        if (left && top)
            return { 76, 85, 255 }; // red
        if (east && top)
            return { 150, 44, 21 }; // green
        if (left && south)
            return { 29, 255, 107 }; // blue
        if (east && south)
            return { 226, 0, 149 }; // yellow
        unsigned h = unsigned(bx) * 0x9e3779b1u + unsigned(by) * 0x85ebca77u + seed * 0xc2b2ae3du;
        h = (h ^ (h >> 16)) * 0x85ebca6bu;
        h = (h ^ (h >> 13)) * 0xc2b2ae35u;
        h ^= h >> 16;
        return { int(h % 256), 64 + int((h >> 8) % 128), 64 + int((h >> 16) % 128) };
    });
    return file.error() == QFile::NoError ? 0 : 1;
}

int main(int argc, char *argv[])
{
    // Files only need no display.
    const QString command = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (command == "filepixel" || command == "blocks") {
        QCoreApplication app(argc, argv);
        const QStringList a = app.arguments();
        if (command == "filepixel" && a.size() == 5)
            return printPixel(QImage(a.at(2)), a.at(3).toInt(), a.at(4).toInt());
        if (command == "blocks" && a.size() == 6)
            return writeBlocks(a.at(2), a.at(3).toInt(), a.at(4).toInt(), a.at(5).toUInt());
        return usage();
    }
    QGuiApplication app(argc, argv);
    const QStringList a = app.arguments();
    if (command == "pixel" && a.size() == 5)
        return printPixel(grab(a.at(2)), a.at(3).toInt(), a.at(4).toInt());
    if (command == "compare" && (a.size() == 6 || a.size() == 10 || a.size() == 11))
        return compare(a);
    if (command == "shot" && (a.size() == 4 || a.size() == 8)) {
        QImage shown = grab(a.at(2));
        if (a.size() == 8)
            shown = shown.copy(rectArgument(a, 4));
        return shown.save(a.at(3), "PNG") ? 0 : 1;
    }
    return usage();
}
