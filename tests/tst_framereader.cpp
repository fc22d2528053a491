#include "framereader.h"
#include "testutil.h"
#include "blockjpeg.h"
#include "craftjpeg.h"

#include <QtGui>
#include <QtTest>

#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

// The frame reader on files made to hurt a decoder, and on frames whose
// pixels must come out exactly as Qt's own reader gives them.
class tst_framereader : public QObject
{
    Q_OBJECT

public:
    static void initMain();

private slots:
    void crafted_data();
    void crafted();
    void sameAsQt_data();
    void sameAsQt();
    void refused_data();
    void refused();
    void scaled_data();
    void scaled();
    void scaledLikeQt_data();
    void scaledLikeQt();
    void memoryBound();

private:
    QByteArray write(const QByteArray &content);
    QTemporaryDir dir;
};

namespace {

QByteArray craft(const std::function<void(QIODevice *)> &writer)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    writer(&buffer);
    return buffer.data();
}

QByteArray encoded(const QImage &image, bool progressive = false)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(90);
    writer.setProgressiveScanWrite(progressive);
    writer.write(image);
    return buffer.data();
}

// A CMYK or YCCK frame as Adobe's programs write it, which Qt reads too.
QByteArray cmyk(int width, int height, J_COLOR_SPACE stored = JCS_CMYK)
{
    jpeg_compress_struct info;
    jpeg_error_mgr error;
    info.err = jpeg_std_error(&error);
    jpeg_create_compress(&info);
    unsigned char *data = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &data, &size);
    info.image_width = JDIMENSION(width);
    info.image_height = JDIMENSION(height);
    info.input_components = 4;
    info.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&info);
    jpeg_set_colorspace(&info, stored);
    jpeg_set_quality(&info, 90, TRUE);
    jpeg_start_compress(&info, TRUE);
    std::vector<JSAMPLE> row(size_t(width) * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 4; ++c)
                row[size_t(x * 4 + c)] = JSAMPLE((x * 37 + y * 11 + c * 60) & 255);
        JSAMPROW rows[] = { row.data() };
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    const QByteArray result(reinterpret_cast<const char *>(data), qsizetype(size));
    std::free(data);
    return result;
}

// The frame with an EXIF segment after its start marker that holds a small
// JPEG thumbnail, end-of-image marker and all.
QByteArray withThumbnail(QByteArray frame)
{
    const QByteArray thumbnail = encoded(testFrame(16, 12, 5));
    // A TIFF header, an empty first directory, and a second one that gives
    // the thumbnail's offset (44) and length.
    QByteArray exif = QByteArray("Exif\0\0", 6)
            + QByteArray::fromHex("49492a00080000000000""0e000000""0200""01020400010000002c000000"
                                  "020204000100000000000000""00000000")
            + thumbnail;
    qToLittleEndian(quint32(thumbnail.size()), exif.data() + 42);
    const int length = int(exif.size()) + 2;
    return frame.insert(2, blockjpeg::bytes({ 0xff, 0xe1, length >> 8, length & 0xff }) + exif);
}

// The largest resident size this process has had, in KiB.
int peakMemory()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toInt();
    return -1;
}

// The mean difference of two pictures' channels.
double meanDifference(const QImage &a, const QImage &b)
{
    qint64 sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            sum += qAbs(qRed(p) - qRed(q)) + qAbs(qGreen(p) - qGreen(q)) + qAbs(qBlue(p) - qBlue(q));
        }
    return double(sum) / (3.0 * a.width() * a.height());
}

} // namespace

// Run with TST_FRAMEREADER_PEAK naming a frame, the test reads its top-left
// corner, prints whether it showed and by how much the read raised the
// process's peak memory, and exits.
void tst_framereader::initMain()
{
    const QByteArray frame = qgetenv("TST_FRAMEREADER_PEAK");
    if (frame.isEmpty())
        return;
    const int before = peakMemory();
    const bool shown = !framereader::read(frame, QRect(0, 0, 64, 64)).isNull();
    std::printf("%s %d\n", shown ? "shown" : "nothing", peakMemory() - before);
    std::fflush(stdout);
    std::exit(0);
}

QByteArray tst_framereader::write(const QByteArray &content)
{
    static int count = 0;
    const QString fileName = dir.filePath(QString("f%1.jpg").arg(++count));
    writeFile(fileName, content);
    return QFile::encodeName(fileName);
}

void tst_framereader::crafted_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("shows");
    const auto markers = [](QIODevice *out) { craftjpeg::writeManyMarkers(out, 64, 48, 20000); };
    const auto scans = [](int count) { return [count](QIODevice *out) { craftjpeg::writeManyScans(out, 64, 64, count - 1); }; };
    const auto claim = [](int side) {
        return [side](QIODevice *out) { craftjpeg::writeManyScans(out, side, side, 1); };
    };
    QTest::newRow("20000 markers among stray bytes") << craft(markers) << QSize(64, 48) << true;
    QTest::newRow("100 scans") << craft(scans(100)) << QSize(64, 64) << true;
    QTest::newRow("101 scans") << craft(scans(101)) << QSize(64, 64) << false;
    const auto large = [](int count) { return [count](QIODevice *out) { craftjpeg::writeManyScans(out, 9000, 9000, count - 1); }; };
    QTest::newRow("71 scans of 1.27 million blocks") << craft(large(71)) << QSize(9000, 9000) << true;
    QTest::newRow("91 scans of 1.27 million blocks") << craft(large(91)) << QSize(9000, 9000) << false;
    QTest::newRow("progressive, claims 20000 x 20000") << craft(claim(20000)).left(2048) << QSize(20000, 20000) << false;
    QTest::newRow("progressive, claims 65000 x 65000") << craft(claim(65000)).left(2048) << QSize(65000, 65000) << false;

    QImage picture = testFrame(64, 48, 3);
    const QByteArray baseline = encoded(picture);
    QByteArray stray = baseline;
    stray.insert(baseline.indexOf("\xff\xda"), "\x01\x02\x03");
    stray.insert(stray.size() - 200, QByteArray("\xff\x00", 2).repeated(32));
    QTest::newRow("stray bytes, then a bad Huffman code") << stray << QSize(64, 48) << false;
    const QByteArray progressive = encoded(picture, true);
    QTest::newRow("progressive") << progressive << QSize(64, 48) << true;
    QTest::newRow("progressive, half of it") << progressive.left(progressive.size() / 2) << QSize(64, 48) << false;
    QTest::newRow("progressive, all but the last scan's end")
            << progressive.left(progressive.size() - 10) << QSize(64, 48) << false;
    QTest::newRow("progressive, no end-of-image marker")
            << progressive.left(progressive.size() - 2) << QSize(64, 48) << false;
    // Only the top of these frames is read, and libjpeg stops before the cut.
    const QByteArray tall = blockFrame(640, 480, blockjpeg::pattern);
    const QByteArray cut = tall.left(tall.size() * 2 / 3);
    QTest::newRow("cut off below the part read") << cut << QSize(640, 480) << false;
    QTest::newRow("cut off below the part read, with a thumbnail") << withThumbnail(cut) << QSize(640, 480) << false;
    QTest::newRow("whole, with a thumbnail") << withThumbnail(tall) << QSize(640, 480) << true;
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "PNG");
    QTest::newRow("a PNG named .jpg") << png << QSize(64, 48) << true;
    // libpng warns of the text chunk's checksum, skips the chunk and decodes the rest.
    QTest::newRow("a PNG with a broken text chunk")
            << QByteArray(png).insert(33, QByteArray::fromHex("00000005" "74455874" "6100626364" "00000000")) << QSize(64, 48) << false;
}

void tst_framereader::crafted()
{
    QFETCH(QByteArray, content);
    QFETCH(QSize, size);
    QFETCH(bool, shows);
    const QByteArray name = write(content);
    framereader reader(name);
    QCOMPARE(reader.size(), size);
    const QRect part(QPoint(), size.boundedTo(QSize(64, 64)));
    const QImage image = reader.read(part);
    QCOMPARE(!image.isNull(), shows);
    if (!shows)
        return;
    QImage wanted = QImage(QString::fromLocal8Bit(name)).convertToFormat(QImage::Format_RGB32).copy(part);
    if (size.width() > 8000) {
        // Too large for Qt's reader; the crafted scans leave every block mid-grey.
        wanted = QImage(part.size(), QImage::Format_RGB32);
        wanted.fill(qRgb(128, 128, 128));
    }
    QCOMPARE(image, wanted);
}

// Colour, grey and CMYK frames of odd sizes, whole and in parts that start
// anywhere: every row padded or cut as Qt's reader does it.
void tst_framereader::sameAsQt_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QRect>("part");
    const QImage colour = testFrame(61, 47, 1);
    const QImage grey = testFrame(61, 47, 2).convertToFormat(QImage::Format_Grayscale8);
    // Only the first scan, of the blocks' mean colours, which libjpeg smooths.
    const QByteArray progressive = encoded(testFrame(61, 47, 3), true);
    const QByteArray meansOnly = progressive.left(progressive.indexOf("\xff\xda", progressive.indexOf("\xff\xda") + 2))
            + "\xff\xd9";
    for (const QRect &part : { QRect(0, 0, 61, 47), QRect(0, 0, 1, 1), QRect(17, 9, 33, 31), QRect(60, 46, 1, 1),
                               QRect(5, 0, 3, 47) }) {
        const QString where = QString("%1,%2 %3x%4").arg(part.x()).arg(part.y()).arg(part.width()).arg(part.height());
        QTest::newRow(qPrintable("colour " + where)) << encoded(colour) << part;
        QTest::newRow(qPrintable("grey " + where)) << encoded(grey) << part;
        QTest::newRow(qPrintable("progressive grey " + where)) << encoded(grey, true) << part;
        QTest::newRow(qPrintable("CMYK " + where)) << cmyk(61, 47) << part;
        QTest::newRow(qPrintable("YCCK " + where)) << cmyk(61, 47, JCS_YCCK) << part;
        QTest::newRow(qPrintable("progressive, first scan only " + where)) << meansOnly << part;
    }
    QTest::newRow("1 x 1 grey") << encoded(grey.copy(0, 0, 1, 1)) << QRect(0, 0, 1, 1);
    QTest::newRow("33 x 1 colour") << encoded(colour.copy(0, 0, 33, 1)) << QRect(0, 0, 33, 1);
}

void tst_framereader::sameAsQt()
{
    QFETCH(QByteArray, content);
    QFETCH(QRect, part);
    const QByteArray name = write(content);
    const QImage wanted = QImage(QString::fromLocal8Bit(name)).convertToFormat(QImage::Format_RGB32);
    QVERIFY(!wanted.isNull());
    const QImage image = framereader::read(name, part);
    QCOMPARE(image.format(), QImage::Format_RGB32);
    QCOMPARE(image, wanted.copy(part));
    // QImage's == and pixel() take RGB32 pixels as opaque whatever their alpha byte.
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            QCOMPARE(qAlpha(reinterpret_cast<const QRgb *>(image.constScanLine(y))[x]), 255);
}

// Scaled down in the decoder and, for frames many times the size asked for,
// averaged before Qt's smooth scaling: one colour stays that colour.
void tst_framereader::scaled_data()
{
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<QSize>("scaled");
    QTest::newRow("2048 x 2048 to 955") << QSize(2048, 2048) << QSize(955, 955);
    QTest::newRow("by an eighth exactly") << QSize(4096, 2048) << QSize(512, 256);
    QTest::newRow("averaged first") << QSize(20000, 1000) << QSize(200, 10);
    QTest::newRow("averaged, uneven") << QSize(30001, 12345) << QSize(777, 319);
}

void tst_framereader::refused_data()
{
    QTest::addColumn<QRect>("part");
    QTest::addColumn<QSize>("scaled");
    QTest::newRow("part beyond the frame") << QRect(40, 30, 30, 20) << QSize();
    QTest::newRow("empty part") << QRect(0, 0, 0, 5) << QSize();
    QTest::newRow("scaled up") << QRect(0, 0, 64, 48) << QSize(65, 48);
    QTest::newRow("scaled to nothing") << QRect(0, 0, 64, 48) << QSize(0, 0);
}

void tst_framereader::refused()
{
    QFETCH(QRect, part);
    QFETCH(QSize, scaled);
    QVERIFY(framereader::read(write(encoded(testFrame(64, 48, 4))), part, scaled).isNull());
}

void tst_framereader::scaled()
{
    QFETCH(QSize, frame);
    QFETCH(QSize, scaled);
    const QByteArray content = blockFrame(frame.width(), frame.height(), blockjpeg::pattern);
    const QImage image = framereader::read(write(content), QRect(QPoint(), frame), scaled);
    QCOMPARE(image.size(), scaled);
    const QRgb flat = patternBackground();
    QString differs;
    for (const QPoint &at : { QPoint(scaled.width() - 1, scaled.height() - 1), QPoint(scaled.width() - 1, 0),
                              QPoint(0, scaled.height() - 1) })
        QVERIFY2(nearColour(image.pixel(at), flat, 1, &differs), qPrintable(differs));
}

// Scaled to other proportions than the frame's, fine stripes across the long
// side of the size asked for look as in Qt's own smooth scaling of the whole
// frame.
void tst_framereader::scaledLikeQt_data()
{
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<QSize>("scaled");
    QTest::newRow("wide target") << QSize(4096, 2048) << QSize(512, 64);
    QTest::newRow("tall target") << QSize(2048, 4096) << QSize(64, 1000);
    QTest::newRow("wide frame, tall target") << QSize(4096, 2048) << QSize(256, 500);
    QTest::newRow("tall frame, wide target") << QSize(2048, 4096) << QSize(500, 256);
}

void tst_framereader::scaledLikeQt()
{
    QFETCH(QSize, frame);
    QFETCH(QSize, scaled);
    const bool wide = scaled.width() > scaled.height();
    const QByteArray content = blockFrame(frame.width(), frame.height(), [wide](int bx, int by) {
        return (wide ? bx : by) % 2 ? blockjpeg::Colour { 220, 100, 160 } : blockjpeg::Colour { 40, 150, 90 };
    });
    const QImage image = framereader::read(write(content), QRect(QPoint(), frame), scaled);
    QCOMPARE(image.size(), scaled);
    const QImage wanted = QImage::fromData(content).convertToFormat(QImage::Format_RGB32)
            .scaled(scaled, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    // Within 2 levels on average; a scale chosen by the wrong side blurs the
    // stripes by 20 or more, or averages them away by 60.
    const double differs = meanDifference(image, wanted);
    QVERIFY2(differs < 10, qPrintable(QString("%1 levels off on average").arg(differs)));
}

// A complete progressive frame whose coefficients need more than the
// reader's bound on libjpeg's memory, 12000 x 12000 grey taking 275 MiB,
// reads as nothing, without the reading process ever coming near the bound.
void tst_framereader::memoryBound()
{
    const QByteArray frame = write(craft([](QIODevice *out) { craftjpeg::writeManyScans(out, 12000, 12000, 0); }));
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TST_FRAMEREADER_PEAK", QFile::decodeName(frame));
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForFinished(60000));
    const QByteArrayList result = child.readAllStandardOutput().trimmed().split(' ');
    QCOMPARE(result.value(0), "nothing");
    QVERIFY2(result.value(1).toInt() < 64 * 1024, result.value(1) + " KiB more at the peak");
}

QTEST_GUILESS_MAIN(tst_framereader)
#include "tst_framereader.moc"
