// Looks at what an X server shows, for the end-to-end test and the README's
// screenshot:
//   xprobe pixel WINDOW X Y       prints "R G B" of the window's pixel at X, Y
//   xprobe shot WINDOW FILE       saves the window's picture as a PNG
//   xprobe filepixel IMAGE X Y    prints "R G B" of an image file's pixel
//   xprobe compare WINDOW X Y IMAGE   exits 0 if the window shows the image
//                                     file's pixels exactly, from X, Y on

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

static int printPixel(const QImage &image, int x, int y)
{
    if (!image.valid(x, y))
        return 2;
    const QRgb rgb = image.pixel(x, y);
    std::printf("%d %d %d\n", qRed(rgb), qGreen(rgb), qBlue(rgb));
    return 0;
}

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList a = app.arguments();
    const QString command = a.value(1);
    if (command == "filepixel" && a.size() == 5)
        return printPixel(QImage(a.at(2)), a.at(3).toInt(), a.at(4).toInt());

    const QImage shown = QGuiApplication::primaryScreen()->grabWindow(WId(a.value(2).toULongLong())).toImage();
    if (command == "pixel" && a.size() == 5)
        return printPixel(shown, a.at(3).toInt(), a.at(4).toInt());
    if (command == "compare" && a.size() == 6) {
        const QImage image = QImage(a.at(5)).convertToFormat(QImage::Format_RGB32);
        const QPoint at(a.at(3).toInt(), a.at(4).toInt());
        if (image.isNull() || !shown.rect().contains(QRect(at, image.size())))
            return 2;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (shown.pixel(at + QPoint(x, y)) != image.pixel(x, y)) {
                    std::printf("differs at %d,%d: shown %08x, file %08x\n", x, y,
                                shown.pixel(at + QPoint(x, y)), image.pixel(x, y));
                    return 1;
                }
        return 0;
    }
    if (command == "shot" && a.size() == 4)
        return shown.save(a.at(3), "PNG") ? 0 : 1;
    std::fprintf(stderr, "usage: xprobe pixel WINDOW X Y | shot WINDOW FILE | filepixel IMAGE X Y"
                         " | compare WINDOW X Y IMAGE\n");
    return 2;
}
