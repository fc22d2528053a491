// Reading stacks for tesseline-import: files written at test time by
// tifffile, tiffcp and Qt, whose samples carry their own (t, z, c).

#include "stack.h"

#include <QDirIterator>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <cstring>

namespace {

constexpr int width = 37;
constexpr int height = 23;

// The sample every writer below puts at (x, y) of plane (t, z, c).
double sampleAt(const QString &kind, int t, int z, int c, int x, int y)
{
    const int ripple = (x + 2 * y) % 7;
    if (kind == "u8")
        return 40 * t + 10 * z + 3 * c + 1 + ripple;
    const double v = 1000 * t + 100 * z + 10 * c + 1 + ripple;
    if (kind == "i16")
        return v - 3000;
    if (kind == "u32")
        return v * 70000;
    if (kind == "i32")
        return v * -70000;
    if (kind == "f32")
        return v + 0.25;
    return v;
}

double sampleOf(const planeData &p, int x, int y)
{
    const size_t i = size_t(y) * width + x;
    if (p.bits == 8)
        return p.bytes[i];
    if (p.bits == 16) {
        quint16 v;
        std::memcpy(&v, p.bytes.data() + 2 * i, 2);
        return p.format == sampleFormat::signedInt ? double(qint16(v)) : double(v);
    }
    quint32 v;
    std::memcpy(&v, p.bytes.data() + 4 * i, 4);
    if (p.format == sampleFormat::floatingPoint) {
        float f;
        std::memcpy(&f, &v, 4);
        return f;
    }
    return p.format == sampleFormat::signedInt ? double(qint32(v)) : double(v);
}

// The options of a row: its pattern, or "timefastest" for --order tz, or
// "image=N" for --image N; and --planes.
stackOptions optionsFor(const QString &pattern, int planes)
{
    stackOptions options;
    options.timeFastest = pattern == "timefastest";
    if (pattern.startsWith("image="))
        options.image = pattern.mid(6).toInt();
    else if (!options.timeFastest)
        options.pattern = pattern;
    options.planes = planes;
    return options;
}

// The palette of palette.tif, as 8-bit levels.
int paletteLevel(int c, int index)
{
    return c == 0 ? index : c == 1 ? 255 - index : (index * 3) % 256;
}


} // namespace

class tst_importread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void planes_data();
    void planes();
    void channels_data();
    void channels();
    void positions_data();
    void positions();
    void errors_data();
    void errors();
    void partial_data();
    void partial();

private:
    bool run(const QString &program, const QStringList &arguments);
    QStringList inputs(const QString &name) const;
    void writeImageSeries();

    QTemporaryDir dir;
};

bool tst_importread::run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(dir.path());
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning() << program << process.readAllStandardError();
        return false;
    }
    return true;
}

// A file name, or a folder whose files are all given, in reverse order so
// that only their names can order them.
QStringList tst_importread::inputs(const QString &name) const
{
    const QString path = dir.filePath(name);
    if (!QFileInfo(path).isDir())
        return { path };
    QStringList files;
    QDirIterator it(path, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    std::sort(files.begin(), files.end(), std::greater<QString>());
    return files;
}

// PNG and JPEG series written by Qt, one file per time point.
void tst_importread::writeImageSeries()
{
    for (const char *folder : { "png16", "png-rgb", "jpeg" })
        QVERIFY(QDir(dir.path()).mkpath(folder));
    for (int t = 0; t < 2; ++t) {
        QImage grey(width, height, QImage::Format_Grayscale16);
        QImage rgb(width, height, QImage::Format_RGB888);
        QImage grey8(width, height, QImage::Format_Grayscale8);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                reinterpret_cast<quint16 *>(grey.scanLine(y))[x] = quint16(sampleAt("u16", t, 0, 0, x, y));
                for (int c = 0; c < 3; ++c)
                    rgb.scanLine(y)[x * 3 + c] = uchar(sampleAt("u8", t, 0, c, x, y));
                grey8.scanLine(y)[x] = uchar(sampleAt("u8", t, 0, 0, x, y));
            }
        }
        QVERIFY(grey.save(dir.filePath(QString("png16/f_t%1.png").arg(t)), "png"));
        QVERIFY(rgb.save(dir.filePath(QString("png-rgb/f_t%1.png").arg(t)), "png"));
        // A JPEG by another name: the content decides.
        QVERIFY(grey8.save(dir.filePath(QString("jpeg/f_t%1.tif").arg(t)), "jpeg", 95));
    }
}

void tst_importread::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(run("/usr/bin/python3", { INPUTS_PY, dir.path() }));
    // libtiff's own writer, in the codecs tifffile leaves to other packages.
    const QStringList tiffcp[] = {
        { "-c", "lzw", "u8.tif", "lzw.tif" },
        { "-c", "packbits", "u8.tif", "packbits.tif" },
        { "-c", "jpeg:95", "u8.tif", "jpeg.tif" },
        { "-c", "jpeg:95", "rgb8.tif", "jpeg-ycbcr.tif" },
        { "-c", "lzw:2", "-t", "-w", "16", "-l", "16", "plain.tif", "lzw-tiled.tif" },
        { "-B", "-c", "zip:2", "-s", "-r", "4", "plain.tif", "zip-bigendian.tif" },
    };
    for (const QStringList &arguments : tiffcp)
        QVERIFY(run("tiffcp", arguments));
    writeImageSeries();
}

void tst_importread::planes_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<int>("planesOption");
    QTest::addColumn<QString>("kind");      // of sampleAt(), or "palette", "inverted"
    QTest::addColumn<int>("times");
    QTest::addColumn<int>("planes");
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("tolerance");
    QTest::addColumn<QString>("absent");    // "t,z,c" of a plane with no file

    const auto row = [](const char *name, const char *input, int t, int z, int c, const char *kind = "u16") {
        QTest::newRow(name) << input << QString() << 0 << kind << t << z << c << 0 << QString();
    };
    // Layouts, from the metadata or from --planes.
    row("no metadata", "plain.tif", 4, 1, 1);
    QTest::newRow("--planes") << "planes.tif" << QString() << 3 << "u16" << 2 << 3 << 1 << 0 << QString();
    QTest::newRow("--planes, time fastest") << "planes-tz.tif" << "timefastest" << 3 << "u16" << 2 << 3 << 1 << 0 << QString();
    row("tifffile shape [T, Z, h, w]", "shape-tz.tif", 2, 3, 1);
    row("tifffile axes TZCYX", "axes-tzc.tif", 2, 3, 2);
    row("tifffile axes CTZYX", "axes-ctz.tif", 2, 3, 2);
    row("tifffile axis Q as time", "axes-q.tif", 3, 1, 1);
    row("ImageJ hyperstack", "imagej.tif", 2, 3, 2);
    row("ImageJ float", "imagej-f32.tif", 2, 2, 1, "f32");
    row("ImageJ, one page for all images", "imagej-onepage.tif", 2, 3, 1);
    row("ImageJ, one page for all images, big-endian", "imagej-onepage-be.tif", 2, 3, 1);
    row("OME XYCZT", "ome-TZCYX.tif", 2, 3, 2);
    row("OME XYTZC", "ome-CZTYX.tif", 2, 3, 2);
    row("OME XYCTZ", "ome-ZTCYX.tif", 2, 3, 2);
    row("OME XYZCT", "ome-TCZYX.tif", 2, 3, 2);
    row("OME, a TiffData per plane", "ome-tiffdata.tif", 2, 3, 2);
    row("OME, a TiffData for all planes", "ome-tiffdata-all.tif", 2, 3, 2);
    // Encodings.
    row("BigTIFF", "bigtiff.tif", 3, 1, 1);
    row("tiled", "tiled.tif", 3, 1, 1);
    row("deflate", "zlib.tif", 3, 1, 1);
    row("strips of 5 rows", "strips.tif", 3, 1, 1);
    row("big-endian", "bigendian.tif", 3, 1, 1);
    row("thumbnails left out", "thumbnails.tif", 3, 1, 1);
    row("LZW (tiffcp)", "lzw.tif", 3, 1, 1, "u8");
    row("PackBits (tiffcp)", "packbits.tif", 3, 1, 1, "u8");
    row("LZW, predictor, tiled (tiffcp)", "lzw-tiled.tif", 4, 1, 1);
    row("deflate, big-endian, 4-row strips (tiffcp)", "zip-bigendian.tif", 4, 1, 1);
    QTest::newRow("JPEG (tiffcp)") << "jpeg.tif" << QString() << 0 << "u8" << 3 << 1 << 1 << 4 << QString();
    QTest::newRow("JPEG YCbCr (tiffcp)") << "jpeg-ycbcr.tif" << QString() << 0 << "u8" << 2 << 1 << 3 << 12 << QString();
    // Sample types and colour.
    row("8-bit", "u8.tif", 3, 1, 1, "u8");
    row("signed 16-bit", "i16.tif", 3, 1, 1, "i16");
    row("32-bit", "u32.tif", 3, 1, 1, "u32");
    row("signed 32-bit", "i32.tif", 3, 1, 1, "i32");
    row("float", "f32.tif", 3, 1, 1, "f32");
    row("RGB", "rgb8.tif", 2, 1, 3, "u8");
    row("RGB 16-bit planar", "rgb16-planar.tif", 2, 1, 3);
    row("RGB 16-bit interleaved", "rgb16-contig.tif", 2, 1, 3);
    row("palette", "palette.tif", 1, 1, 3, "palette");
    row("palette with 8-bit entries", "palette-8bit.tif", 1, 1, 3, "palette");
    row("palette pages of a stack hold intensities", "palette-stack.tif", 3, 1, 1, "u8");
    row("palette pages of ImageJ channels", "palette-imagej.tif", 1, 1, 2, "u8");
    row("ImageJ composite in one page of three samples", "imagej-rgb48.tif", 1, 1, 3);
    row("ImageJ images= alone are focal planes", "imagej-images.tif", 1, 4, 1);
    QTest::newRow("OME, second of two interleaved images") << "ome-positions.tif" << "image=1" << 0 << "u16" << 2 << 1 << 1 << 0 << QString();
    row("LSM focal planes", "zstack.lsm", 2, 3, 3, "u8");
    row("LSM time series", "timeseries.lsm", 3, 2, 3, "u8");
    row("white is zero", "miniswhite.tif", 2, 1, 1, "inverted");
    // Series of files.
    row("natural order", "nat", 3, 1, 1);
    row("one stack of focal planes per file", "zstack", 2, 3, 1);
    row("PNG 16-bit", "png16", 2, 1, 1);
    row("PNG RGB", "png-rgb", 2, 1, 3, "u8");
    QTest::newRow("JPEG") << "jpeg" << QString() << 0 << "u8" << 2 << 1 << 1 << 4 << QString();
    QTest::newRow("pattern {t} {z}") << "tz" << "s_t{t}_z{z}.tif" << 0 << "u16" << 2 << 3 << 1 << 0 << QString();
    QTest::newRow("pattern {c}, pages as time") << "chan" << "C{c}-x.tif" << 0 << "u16" << 3 << 1 << 2 << 0 << QString();
    QTest::newRow("pattern {c} {t}, two folders") << "ct" << "C{c}-m_t{t}.tif" << 0 << "u16" << 3 << 1 << 2 << 0 << QString();
    QTest::newRow("pattern with a gap") << "gap" << "g_t{t}.tif" << 0 << "u16" << 4 << 1 << 1 << 0 << "2,0,0";
    row("channels by C1-, C2-, pages as time", "chan", 3, 1, 2);
    row("T and Z in the names, by rank", "letters", 2, 3, 1);
    row("Micro-Manager's names", "mm", 2, 2, 2);
    row("well and position fixed, time varying", "mitocheck", 3, 1, 1);
}

void tst_importread::planes()
{
    QFETCH(QString, input);
    QFETCH(QString, pattern);
    QFETCH(int, planesOption);
    QFETCH(QString, kind);
    QFETCH(int, times);
    QFETCH(int, planes);
    QFETCH(int, channels);
    QFETCH(int, tolerance);
    QFETCH(QString, absent);

    stackOptions options = optionsFor(pattern, planesOption);
    QString error;
    QStringList files = inputs(input);
    std::unique_ptr<stack> s = openStack(files, options, &error);
    QVERIFY2(s, qPrintable(error));
    QStringList read = s->files;
    std::sort(read.begin(), read.end(), std::greater<QString>());
    QCOMPARE(read, files.size() > 1 ? files : QStringList());
    QCOMPARE(s->width, width);
    QCOMPARE(s->height, height);
    QCOMPARE(s->times, times);
    QCOMPARE(s->planes, planes);
    QCOMPARE(int(s->channels.size()), channels);
    QCOMPARE(s->warnings.join(' ').contains("missing time points 3 (no file)"), !absent.isEmpty());

    const QPoint points[] = { { 0, 0 }, { width - 1, height - 1 }, { width / 2, height / 3 }, { 17, 0 }, { 0, 16 } };
    planeData plane;
    for (int t = 0; t < times; ++t) {
        for (int z = 0; z < planes; ++z) {
            for (int c = 0; c < channels; ++c) {
                const QString where = QString("%1,%2,%3").arg(t).arg(z).arg(c);
                QCOMPARE(s->present(t, z, c), where != absent);
                if (where == absent)
                    continue;
                QVERIFY2(s->read(t, z, c, plane), qPrintable(s->error()));
                QCOMPARE(plane.bytes.size(), size_t(width) * height * plane.bits / 8);
                for (const QPoint &p : points) {
                    double expected;
                    if (kind == "palette")
                        expected = paletteLevel(c, int(sampleAt("u8", t, z, 0, p.x(), p.y())));
                    else if (kind == "inverted")
                        expected = 65535 - sampleAt("u16", t, z, c, p.x(), p.y());
                    else
                        expected = sampleAt(kind, t, z, c, p.x(), p.y());
                    const double actual = sampleOf(plane, p.x(), p.y());
                    if (std::abs(actual - expected) > tolerance)
                        QFAIL(qPrintable(QString("plane %1 at %2,%3: %4, not %5").arg(where).arg(p.x()).arg(p.y()).arg(actual).arg(expected)));
                }
            }
        }
    }
}

void tst_importread::channels_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("colours");   // one #rrggbb or "-" per channel
    QTest::addColumn<QString>("ranges");    // one low:high or "-" per channel
    QTest::addColumn<QString>("names");

    QTest::newRow("ImageJ LUTs and ranges") << "imagej-luts.tif" << "#ff0000 #7fff00" << "10:900 20.5:3000" << " ";
    QTest::newRow("ImageJ LUTs and ranges, big-endian") << "imagej-luts-be.tif" << "#ff0000 #7fff00" << "10:900 20.5:3000" << " ";
    QTest::newRow("ImageJ min and max") << "imagej-minmax.tif" << "-" << "5:2000" << "";
    QTest::newRow("ImageJ without ranges") << "imagej.tif" << "- -" << "- -" << " ";
    QTest::newRow("OME colours and names") << "ome-colours.tif" << "#ff0000 #00ff00" << "- -" << "dapi gfp";
    QTest::newRow("RGB") << "rgb8.tif" << "#ff0000 #00ff00 #0000ff" << "- - -" << "  ";
    QTest::newRow("palette") << "palette.tif" << "#ff0000 #00ff00 #0000ff" << "- - -" << "  ";
    QTest::newRow("palette stack: its map's colour") << "palette-stack.tif" << "#ff00ff" << "-" << "";
    QTest::newRow("palette stack: 8-bit entries") << "palette-stack-8bit.tif" << "#00ffff" << "-" << "";
    QTest::newRow("palette pages: ImageJ's LUTs win") << "palette-imagej.tif" << "#00ff00 #ff0000" << "- -" << " ";
    QTest::newRow("ImageJ composite in one page") << "imagej-rgb48.tif" << "- - -" << "165:2832 165:2832 165:2832" << "  ";
    QTest::newRow("OME images, ImageJ's range beside") << "ome-positions.tif" << "-" << "1030:1041.5" << "";
    QTest::newRow("LSM colours and names") << "zstack.lsm" << "#0000ff #ff0000 #ffffff" << "- - -" << "Ch1-T1 Ch2-T2 T PMT-T2";
}

void tst_importread::channels()
{
    QFETCH(QString, input);
    QFETCH(QString, colours);
    QFETCH(QString, ranges);
    QFETCH(QString, names);

    QString error;
    std::unique_ptr<stack> s = openStack(inputs(input), stackOptions(), &error);
    QVERIFY2(s, qPrintable(error));
    QStringList actualColours;
    QStringList actualRanges;
    QStringList actualNames;
    for (const channelInfo &c : s->channels) {
        actualColours << (c.colour ? QColor(*c.colour).name() : "-");
        actualRanges << (c.low && c.high ? QString("%1:%2").arg(*c.low).arg(*c.high) : "-");
        actualNames << c.name;
    }
    QCOMPARE(actualColours.join(' '), colours);
    QCOMPARE(actualRanges.join(' '), ranges);
    QCOMPARE(actualNames.join(' '), names);
}

// Files of several stage positions: an image each.
void tst_importread::positions_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<int>("image");        // --image, -1 when not given
    QTest::addColumn<QString>("images");   // each one's name, size, times/planes/channels
    QTest::addColumn<int>("times");
    QTest::addColumn<int>("channels");
    QTest::addColumn<QString>("warnings");

    const QString two = "P1 37x23 2/1/1, P2 37x23 2/1/1";
    QTest::newRow("two stage positions") << "positions" << -1 << two << 2 << 1
                                         << "the names number 2 stage positions; image 0 (P1) is read (--image N picks another)";
    QTest::newRow("two stage positions, --image 1") << "positions" << 1 << two << 2 << 1 << "";
    const QString uneven = "Pos0 37x23 3/1/1, Pos1 37x23 2/1/2";
    QTest::newRow("positions of other counts") << "positions-uneven" << -1 << uneven << 3 << 1
                                               << "the names number 2 stage positions; image 0 (Pos0) is read (--image N picks another)";
    QTest::newRow("positions of other counts, --image 1") << "positions-uneven" << 1 << uneven << 2 << 2
                                                          << "the names number time points 0, 2: taken in that order";
}

void tst_importread::positions()
{
    QFETCH(QString, input);
    QFETCH(int, image);
    QFETCH(QString, images);
    QFETCH(int, times);
    QFETCH(int, channels);
    QFETCH(QString, warnings);

    stackOptions options;
    options.image = image;
    QString error;
    std::unique_ptr<stack> s = openStack(inputs(input), options, &error);
    QVERIFY2(s, qPrintable(error));
    QStringList summaries;
    for (const imageSummary &i : s->images)
        summaries << QString("%1 %2x%3 %4/%5/%6").arg(i.name).arg(i.width).arg(i.height).arg(i.times).arg(i.planes).arg(i.channels);
    QCOMPARE(summaries.join(", "), images);
    QCOMPARE(s->image, std::max(image, 0));
    QCOMPARE(s->times, times);
    QCOMPARE(int(s->channels.size()), channels);
    QCOMPARE(s->warnings.join("; "), warnings);
    QCOMPARE(s->files.size(), times * channels);
    // Image p holds focal plane p of the samples.
    planeData plane;
    for (int t = 0; t < times; ++t) {
        for (int c = 0; c < channels; ++c) {
            QVERIFY2(s->read(t, 0, c, plane), qPrintable(s->error()));
            QCOMPARE(sampleOf(plane, 3, 5), sampleAt("u16", t, s->image, c, 3, 5));
        }
    }
}

void tst_importread::errors_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<int>("planesOption");
    QTest::addColumn<QString>("message");   // what the error says after the file name

    QTest::newRow("not an image") << "notimage.png" << "" << 0 << "notimage.png: not a TIFF, PNG or JPEG file";
    QTest::newRow("TIFF magic only") << "text.tif" << "" << 0 << "text.tif: not a readable TIFF file";
    QTest::newRow("libtiff's message over two lines") << "inks.tif" << "" << 0 << "inks.tif: not a readable TIFF file";
    QTest::newRow("truncated in a directory") << "truncated.tif" << "" << 0 << "truncated.tif: page 3 is unreadable (";
    QTest::newRow("truncated in the samples") << "truncated-samples.tif" << "" << 0 << "truncated-samples.tif: page 1 is truncated or damaged";
    QTest::newRow("pages of different sizes") << "sizes.tif" << "" << 0 << "sizes.tif: page 2 is 20 x 10, the first page 37 x 23";
    QTest::newRow("pages of different types") << "types.tif" << "" << 0 << "types.tif: page 2 has 1 × 8-bit unsigned";
    QTest::newRow("64-bit float") << "f64.tif" << "" << 0 << "f64.tif: 64-bit float samples are not read";
    QTest::newRow("--planes not dividing") << "plain.tif" << "" << 3 << "plain.tif: 4 pages are not a multiple of --planes 3";
    QTest::newRow("ImageJ counts that lie") << "imagej-lies.tif" << "" << 0 << "imagej-lies.tif: the ImageJ description counts 6 images, the file has 4 pages";
    QTest::newRow("tifffile shape that lies") << "shape-lies.tif" << "" << 0 << "shape-lies.tif: tifffile's shape [5, 23, 37] counts more planes";
    QTest::newRow("tifffile axes without time") << "axes-qi.tif" << "" << 0 << "axes-qi.tif: tifffile's axes QIYX do not say which is time";
    QTest::newRow("OME SizeT that lies") << "ome-lies-sizet.tif" << "" << 0 << "ome-lies-sizet.tif: OME-XML counts 2 × 3 × 9 planes, the file has 12 pages";
    QTest::newRow("OME IFD that lies") << "ome-lies-ifd.tif" << "" << 0 << "ome-lies-ifd.tif: OME-XML names page 17, the file has 12 pages";
    QTest::newRow("OME SizeX that lies") << "ome-lies-sizex.tif" << "" << 0 << "ome-lies-sizex.tif: OME-XML says 38 × 23 pixels, the pages are 37 × 23";
    QTest::newRow("OME in several files") << "ome-other-file.tif" << "" << 0 << "ome-other-file.tif: OME-XML puts planes in another file, x.ome.tif";
    QTest::newRow("series of other sizes") << "odd" << "" << 0 << "a_t1.tif: 20 x 20 pixels of 16-bit unsigned samples, but";
    QTest::newRow("series with the same index twice") << "dup" << "d_t{t}.tif" << 0 << "d_t01.tif: holds the same planes as";
    QTest::newRow("a name the pattern misses") << "nomatch" << "m_t{t}.tif" << 0 << "other.tif: does not match --pattern 'm_t{t}.tif'";
    QTest::newRow("a pattern of literals") << "nomatch" << "m_t.tif" << 0 << "--pattern 'm_t.tif' has none of {t}, {z} and {c}";
    QTest::newRow("--image beyond the file's") << "ome-positions.tif" << "image=2" << 0 << "ome-positions.tif: --image 2: the file holds 2 images";
    QTest::newRow("--image of a file of one") << "plain.tif" << "image=1" << 0 << "plain.tif: --image 1: the file holds 1 image";
    QTest::newRow("LSM counts that lie") << "lsm-lies.lsm" << "" << 0 << "lsm-lies.lsm: the LSM header counts 2 × 4 planes in 1 images, the file has 6 pages";
    QTest::newRow("time-lapse per time point") << "timelapses" << "x_t{t}.tif" << 0 << "x_t0.tif: holds 2 time points, but the file names give one per file";
    QTest::newRow("a pattern anchored at the name's start") << "odd" << "t{t}.tif" << 0 << "a_t1.tif: does not match --pattern 't{t}.tif'";
    QTest::newRow("--image beyond the stage positions") << "positions" << "image=2" << 0
            << "P1_T0.tif: --image 2: the names number 2 stage positions, numbered from 0";
    QTest::newRow("stage positions, two numbers without index words") << "positions-unnamed" << "" << 0
            << "P1_img-1-5.tif: the names vary in 3 numbers (P1, 1 and 5 here) with no letters saying which is time, focal plane or channel; import one position's files, e.g. --pattern 'P1_img-{z}-{t}.tif' with ";
    QTest::newRow("two numbers without index words") << "unnamed" << "" << 0
            << "img-1-5.tif: the names vary in 2 numbers (1 and 5 here) with no letters saying which is time, focal plane or channel; give --pattern, e.g. --pattern 'img-{z}-{t}.tif'";
    QTest::newRow("two numbers of time") << "twotimes" << "" << 0
            << "x_t0_t0.tif: the names vary in 2 numbers (t0 and t0 here), and more than one numbers time points; give --pattern, e.g. --pattern 'x_t{t}_t{z}.tif'";
}

void tst_importread::errors()
{
    QFETCH(QString, input);
    QFETCH(QString, pattern);
    QFETCH(int, planesOption);
    QFETCH(QString, message);

    QString error;
    std::unique_ptr<stack> s = openStack(inputs(input), optionsFor(pattern, planesOption), &error);
    planeData plane;
    for (int t = 0; s && t < s->times && error.isEmpty(); ++t)
        for (int z = 0; z < s->planes && error.isEmpty(); ++z)
            for (int c = 0; c < int(s->channels.size()) && error.isEmpty(); ++c)
                if (s->present(t, z, c) && !s->read(t, z, c, plane))
                    error = s->error();
    QVERIFY2(error.contains(message), qPrintable(error));
    QVERIFY2(!error.contains('\n'), qPrintable(error));
}

void tst_importread::partial_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("size");      // times x planes x channels, "?" when the axes are guessed
    QTest::addColumn<QString>("absent");    // "t,z,c" of each plane beyond the file's end
    QTest::addColumn<QString>("failing");   // "t,z,c" of a plane whose page cannot be read

    QTest::newRow("tifffile shape, cut in a directory") << "truncated.tif" << "4x1x1?" << "2,0,0 3,0,0" << "";
    QTest::newRow("ImageJ hyperstack, cut in a directory") << "imagej-cut.tif" << "2x3x2" << "1,0,1 1,1,0 1,1,1 1,2,0 1,2,1" << "";
    QTest::newRow("ImageJ, one page for all images, cut in an image") << "imagej-onepage-cut.tif" << "2x3x1" << "1,1,0 1,2,0" << "";
    QTest::newRow("no metadata, a page of another size") << "odd-page.tif" << "3x1x1?" << "" << "1,0,0";
    QTest::newRow("plain ImageJ stack") << "imagej-images.tif" << "1x4x1?" << "" << "";
    QTest::newRow("tifffile axes") << "axes-tzc.tif" << "2x3x2" << "" << "";
    QTest::newRow("OME") << "ome-TZCYX.tif" << "2x3x2" << "" << "";
}

// Opened as the viewer opens files: with the planes they still hold.
void tst_importread::partial()
{
    QFETCH(QString, input);
    QFETCH(QString, size);
    QFETCH(QString, absent);
    QFETCH(QString, failing);

    stackOptions options;
    options.partial = true;
    QString error;
    std::unique_ptr<stack> s = openStack(inputs(input), options, &error);
    QVERIFY2(s, qPrintable(error));
    const int channels = int(s->channels.size());
    QCOMPARE(QString("%1x%2x%3%4").arg(s->times).arg(s->planes).arg(channels).arg(s->axesGuessed ? "?" : ""), size);
    planeData plane;
    for (int k = 0; k < s->times * s->planes * channels; ++k) {
        const int t = k / channels / s->planes, z = k / channels % s->planes, c = k % channels;
        const QString where = QString("%1,%2,%3").arg(t).arg(z).arg(c);
        QCOMPARE(s->present(t, z, c), !absent.split(' ').contains(where));
        const bool readable = s->present(t, z, c) && where != failing;
        QCOMPARE(s->read(t, z, c, plane), readable);
        if (readable)
            QCOMPARE(sampleOf(plane, width - 1, height - 1), sampleAt("u16", t, z, c, width - 1, height - 1));
    }
}

QTEST_GUILESS_MAIN(tst_importread)
#include "tst_importread.moc"
