// Writes frames for the frame reader fuzzer to start from into FOLDER: one of
// each kind of file the encoders at hand make, small, so that mutating them
// stays quick.  Qt's writer gives the usual JPEG variants and the other
// formats the frame reader takes, libjpeg the rarer JPEG ones, and
// blockjpeg.h the baseline frames of the tests.

#include "blockjpeg.h"
#include "testutil.h"

#include <QColorSpace>
#include <QCoreApplication>
#include <QDir>
#include <QImageWriter>

#include <cstdio>
#include <functional>
#include <vector>

#include <jpeglib.h>

namespace {

QDir folder;
bool failed = false;

void writeQt(const QString &name, const QImage &image, const std::function<void(QImageWriter &)> &set = {})
{
    QImageWriter writer(folder.filePath(name));
    if (set)
        set(writer);
    if (!writer.write(image)) {
        std::fprintf(stderr, "fuzz-seeds: %s: %s\n", qPrintable(name), qPrintable(writer.errorString()));
        failed = true;
    }
}

// libjpeg's own error handler ends the program, which is all a seed writer needs.
void writeLibjpeg(const QString &name, int width, int height, J_COLOR_SPACE space,
                  const std::function<void(jpeg_compress_struct &)> &set = {})
{
    FILE *file = std::fopen(QFile::encodeName(folder.filePath(name)).constData(), "wb");
    if (!file) {
        std::fprintf(stderr, "fuzz-seeds: cannot write %s\n", qPrintable(name));
        failed = true;
        return;
    }
    jpeg_compress_struct info;
    jpeg_error_mgr error;
    info.err = jpeg_std_error(&error);
    error.emit_message = [](j_common_ptr, int) { };
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = JDIMENSION(width);
    info.image_height = JDIMENSION(height);
    info.input_components = space == JCS_GRAYSCALE ? 1 : space == JCS_CMYK ? 4 : 3;
    info.in_color_space = space;
    jpeg_set_defaults(&info);
    if (set)
        set(info);
    jpeg_start_compress(&info, TRUE);
    const QImage texture = testFrame(width, height, 3);
    std::vector<JSAMPLE> row(size_t(width) * size_t(info.input_components));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const QRgb pixel = texture.pixel(x, y);
            const int channels[] = { qRed(pixel), qGreen(pixel), qBlue(pixel), 255 - qGray(pixel) };
            for (int c = 0; c < info.input_components; ++c)
                row[size_t(x * info.input_components + c)] = JSAMPLE(space == JCS_GRAYSCALE ? qGray(pixel) : channels[c]);
        }
        JSAMPROW rows[] = { row.data() };
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::fclose(file);
}

void sample(jpeg_compress_struct &info, int h, int v)
{
    info.comp_info[0].h_samp_factor = h;
    info.comp_info[0].v_samp_factor = v;
}

void writeBlocks(const QString &name, int width, int height)
{
    QFile file(folder.filePath(name));
    if (!file.open(QIODevice::WriteOnly)) {
        failed = true;
        return;
    }
    blockjpeg::write(&file, width, height, blockjpeg::pattern);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2 || !QDir().mkpath(argv[1])) {
        std::fprintf(stderr, "Usage: fuzz-seeds FOLDER\n");
        return 2;
    }
    folder.setPath(argv[1]);

    const QImage colour = testFrame(64, 48, 1);
    const QImage grey = testFrame(45, 31, 2).convertToFormat(QImage::Format_Grayscale8);
    writeQt("qt-colour.jpg", colour);
    writeQt("qt-odd.jpg", testFrame(37, 23, 4));
    writeQt("qt-1x1.jpg", testFrame(1, 1, 5));
    writeQt("qt-wide.jpg", testFrame(301, 3, 6));
    writeQt("qt-tall.jpg", testFrame(3, 301, 7));
    writeQt("qt-grey.jpg", grey);
    writeQt("qt-quality-1.jpg", colour, [](QImageWriter &w) { w.setQuality(1); });
    writeQt("qt-quality-100.jpg", colour, [](QImageWriter &w) { w.setQuality(100); });
    writeQt("qt-optimized.jpg", colour, [](QImageWriter &w) { w.setOptimizedWrite(true); });
    writeQt("qt-progressive.jpg", colour, [](QImageWriter &w) { w.setProgressiveScanWrite(true); });
    writeQt("qt-progressive-grey.jpg", grey, [](QImageWriter &w) { w.setProgressiveScanWrite(true); });
    writeQt("qt-comment.jpg", colour, [](QImageWriter &w) { w.setText("Description", "z-stack"); });
    QImage profiled = colour;
    profiled.setColorSpace(QColorSpace::DisplayP3);
    writeQt("qt-icc.jpg", profiled);
    for (const char *format : { "png", "bmp", "ppm", "pgm", "pbm", "xpm", "xbm", "ico" })
        writeQt(QString("qt.%1").arg(format), testFrame(19, 13, 8), [format](QImageWriter &w) { w.setFormat(format); });

    writeLibjpeg("libjpeg-444.jpg", 40, 24, JCS_RGB, [](jpeg_compress_struct &i) { sample(i, 1, 1); });
    writeLibjpeg("libjpeg-422.jpg", 40, 24, JCS_RGB, [](jpeg_compress_struct &i) { sample(i, 2, 1); });
    writeLibjpeg("libjpeg-440.jpg", 40, 24, JCS_RGB, [](jpeg_compress_struct &i) { sample(i, 1, 2); });
    writeLibjpeg("libjpeg-411.jpg", 40, 24, JCS_RGB, [](jpeg_compress_struct &i) { sample(i, 4, 1); });
    writeLibjpeg("libjpeg-420-odd.jpg", 51, 37, JCS_RGB);
    writeLibjpeg("libjpeg-restart-1.jpg", 40, 24, JCS_RGB, [](jpeg_compress_struct &i) { i.restart_interval = 1; });
    writeLibjpeg("libjpeg-restart-row.jpg", 40, 24, JCS_RGB, [](jpeg_compress_struct &i) { i.restart_in_rows = 1; });
    writeLibjpeg("libjpeg-arithmetic.jpg", 40, 24, JCS_RGB, [](jpeg_compress_struct &i) { i.arith_code = TRUE; });
    writeLibjpeg("libjpeg-arithmetic-progressive.jpg", 40, 24, JCS_RGB, [](jpeg_compress_struct &i) {
        i.arith_code = TRUE;
        jpeg_simple_progression(&i);
    });
    writeLibjpeg("libjpeg-progressive-restart.jpg", 40, 24, JCS_RGB, [](jpeg_compress_struct &i) {
        jpeg_simple_progression(&i);
        i.restart_interval = 2;
    });
    writeLibjpeg("libjpeg-grey-arithmetic.jpg", 33, 17, JCS_GRAYSCALE, [](jpeg_compress_struct &i) { i.arith_code = TRUE; });
    writeLibjpeg("libjpeg-cmyk.jpg", 24, 16, JCS_CMYK);
    writeLibjpeg("libjpeg-ycck.jpg", 24, 16, JCS_CMYK, [](jpeg_compress_struct &i) { jpeg_set_colorspace(&i, JCS_YCCK); });
    writeLibjpeg("libjpeg-rgb.jpg", 24, 16, JCS_RGB, [](jpeg_compress_struct &i) { jpeg_set_colorspace(&i, JCS_RGB); });
    writeLibjpeg("libjpeg-16-bit-tables.jpg", 24, 16, JCS_RGB, [](jpeg_compress_struct &i) { jpeg_set_quality(&i, 1, FALSE); });
    // Each component in a scan of its own, in sequential mode.
    static const jpeg_scan_info separate[] = { { 1, { 0 }, 0, 63, 0, 0 }, { 1, { 1 }, 0, 63, 0, 0 }, { 1, { 2 }, 0, 63, 0, 0 } };
    writeLibjpeg("libjpeg-one-scan-each.jpg", 40, 24, JCS_RGB, [](jpeg_compress_struct &i) {
        i.scan_info = separate;
        i.num_scans = 3;
    });

    writeBlocks("blocks.jpg", 64, 64);
    writeBlocks("blocks-odd.jpg", 95, 33);
    writeBlocks("blocks-large.jpg", 1030, 770);
    return failed ? 1 : 0;
}
