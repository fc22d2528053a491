// The reading library against numpy: parts of planes in every TIFF layout
// and of a long file series, with what reading them costs; windows with
// fractional ends, channels merged into colour, and Auto on floats.
#include "brightness.h"
#include "stack.h"

#include <QtTest>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstring>

class tst_reading : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void regions_data();
    void regions();
    void windows_data();
    void windows();
    void merge_data();
    void merge();
    void autoOnFloats_data();
    void autoOnFloats();

private:
    QTemporaryDir inputs;
};

// Bytes this process has read from files so far.
static qint64 bytesRead()
{
    QFile io("/proc/self/io");
    const QByteArray text = io.open(QIODevice::ReadOnly) ? io.readAll() : QByteArray();
    const qsizetype at = text.indexOf("rchar:") + 6;
    return text.mid(at, text.indexOf('\n', at) - at).trimmed().toLongLong();
}

void tst_reading::initTestCase()
{
    QProcess python;
    python.start("/usr/bin/python3", { INPUTS_PY, inputs.path() });
    QVERIFY2(python.waitForFinished(120000) && python.exitCode() == 0, python.readAllStandardError().constData());
    // Fewer files open at once than the long series has.
    rlimit limit;
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &limit), 0);
    limit.rlim_cur = 100;
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &limit), 0);
}

void tst_reading::regions_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QRect>("region");
    QTest::addColumn<qint64>("limit");   // bytes read for a plane at most
    // Stored, compressed and predicted strips and tiles, planar colour, and
    // ImageJ's one page with the other planes after it; planes of 45 x 37.
    const QStringList files = { "strip_u16", "strips_i16_be", "deflate_u16", "lzw_u8", "tiles_f32_be",
                                "tiles_deflate_u8", "planar_rgb_u16", "imagej_be_u16", "imagej_be_u32",
                                "imagej_tifffile_be_f32", "imagej_tifffile_le_u16" };
    const QList<std::pair<const char *, QRect>> regions = { { "last row", QRect(0, 36, 45, 1) },
        { "last column", QRect(44, 0, 1, 37) }, { "part", QRect(3, 5, 30, 13) }, { "whole", QRect(0, 0, 45, 37) } };
    const qint64 little = 16 * 1024;
    for (const QString &file : files)
        for (const auto &[name, region] : regions)
            QTest::addRow("%s %s", qPrintable(file), name) << file << region << little;
    // 1100 files of 4 x 3.
    QTest::newRow("long series, whole") << "series" << QRect(0, 0, 4, 3) << little;
    QTest::newRow("long series, column") << "series" << QRect(1, 0, 1, 3) << little;
    // A row or column of an 8 MiB plane, as an orthogonal view reads it:
    // little more than its samples; a directory of 128 strips is 1 KiB.
    const QRect row(0, 1500, 2048, 1), column(1500, 0, 1, 2048);
    QTest::newRow("one strip, row") << "big_strip" << row << little;
    QTest::newRow("one strip, column") << "big_strip" << column << little;
    QTest::newRow("strips, column") << "big_strips" << column << little;
    QTest::newRow("deflate strips, row") << "big_deflate" << row << qint64(256 * 1024);
    QTest::newRow("tiles, column") << "big_tiles" << column << little;
    QTest::newRow("deflate tiles, column") << "big_tiles_deflate" << column << qint64(512 * 1024);
    QTest::newRow("ImageJ one page, column") << "big_imagej" << column << little;
}

// What readRegion gives of every plane is numpy's array cut to the region.
void tst_reading::regions()
{
    QFETCH(QString, file);
    QFETCH(QRect, region);
    QFETCH(qint64, limit);
    QStringList files = { inputs.filePath(file + ".tif") };
    const QDir series(inputs.filePath(file));
    if (series.exists())
        files = series.entryList(QDir::Files).replaceInStrings(QRegularExpression("^"), series.path() + '/');
    QString error;
    const std::unique_ptr<stack> s = openStack(files, stackOptions(), &error);
    QVERIFY2(s, qPrintable(error));
    QFile rawFile(inputs.filePath(file + ".raw"));
    QVERIFY(rawFile.open(QIODevice::ReadOnly));
    const QByteArray raw = rawFile.readAll();
    const int channels = int(s->channels.size());
    const int count = s->times * s->planes * channels;
    const size_t bytes = size_t(s->bits / 8), rowBytes = region.width() * bytes;
    const qsizetype plane = qsizetype(s->width) * s->height * bytes;
    QCOMPARE(raw.size(), count * plane);
    // numpy's planes by time, focal plane and channel.
    for (int k = 0; k < count; ++k) {
        planeData out;
        const qint64 before = bytesRead();
        QVERIFY2(s->readRegion(k / channels / s->planes, k / channels % s->planes, k % channels, 0, region, out),
                 qPrintable(QString("plane %1: %2").arg(k).arg(s->error())));
        // The first read may also read what the stack keeps for all.
        const qint64 read = bytesRead() - before;
        QVERIFY2(k == 0 || read <= limit, qPrintable(QString("plane %1: %2 bytes read").arg(k).arg(read)));
        QCOMPARE(out.bytes.size(), rowBytes * region.height());
        for (int y = 0; y < region.height(); ++y)
            QVERIFY2(std::memcmp(raw.constData() + k * plane + ((region.top() + y) * s->width + region.left()) * bytes,
                                 out.bytes.data() + y * rowBytes, rowBytes) == 0,
                     qPrintable(QString("plane %1, row %2 of the region").arg(k).arg(y)));
    }
}

void tst_reading::windows_data()
{
    QTest::addColumn<int>("bits");
    QTest::addColumn<sampleFormat>("format");
    QTest::addColumn<double>("low");
    QTest::addColumn<double>("high");
    const auto u = sampleFormat::unsignedInt, s = sampleFormat::signedInt, f = sampleFormat::floatingPoint;
    QTest::newRow("16-bit, both ends fractional") << 16 << u << 99.75 << 1000.5;
    QTest::newRow("16-bit, from below zero") << 16 << u << -10.5 << 20.5;
    QTest::newRow("16-bit signed, fractional") << 16 << s << -300.5 << 200.5;
    QTest::newRow("8-bit signed, fractional") << 8 << s << -100.5 << 50.5;
    QTest::newRow("float, both ends fractional") << 32 << f << -2.25 << 7.75;
}

// Every value maps as round((v - low) * 255 / (high - low)), clipped.
void tst_reading::windows()
{
    QFETCH(int, bits);
    QFETCH(sampleFormat, format);
    QFETCH(double, low);
    QFETCH(double, high);
    const bool isFloat = format == sampleFormat::floatingPoint;
    const int first = format == sampleFormat::signedInt ? -(1 << (bits - 1)) : 0;
    std::vector<double> values;
    std::vector<unsigned char> samples;
    for (double v = isFloat ? low - 3 : first; isFloat ? v <= high + 3 : v < first + (1 << bits); v += isFloat ? 0.125 : 1) {
        values.push_back(v);
        const float asFloat = float(v);
        const qint32 asInt = qint32(v);   // little-endian
        const auto *bytes = static_cast<const unsigned char *>(isFloat ? static_cast<const void *>(&asFloat) : &asInt);
        samples.insert(samples.end(), bytes, bytes + bits / 8);
    }
    std::vector<unsigned char> mapped(values.size());
    channelMap(bits, format, low, high).mapRow(samples.data(), int(values.size()), mapped.data());
    for (size_t i = 0; i < values.size(); ++i) {
        const int expected = int(std::clamp(std::round((values[i] - low) * 255 / (high - low)), 0.0, 255.0));
        if (mapped[i] != expected)
            QFAIL(qPrintable(QString("%1 maps to %2, not %3").arg(values[i]).arg(mapped[i]).arg(expected)));
    }
}

void tst_reading::merge_data()
{
    QTest::addColumn<QList<QRgb>>("colours");
    QTest::addColumn<QList<int>>("values");
    QTest::addColumn<QRgb>("merged");   // each part the sum of the channels' values times their colours', clipped
    QTest::newRow("green and cyan, bright") << QList<QRgb> { 0x00ff00, 0x00ffff } << QList<int> { 200, 200 } << qRgb(0, 255, 200);
    QTest::newRow("red, yellow, magenta") << QList<QRgb> { 0xff0000, 0xffff00, 0xff00ff } << QList<int> { 250, 130, 90 }
                                          << qRgb(255, 130, 90);
    QTest::newRow("green and a dim cyan") << QList<QRgb> { 0x00ff00, 0x00c0c0 } << QList<int> { 200, 220 } << qRgb(0, 255, 166);
    QTest::newRow("one channel") << QList<QRgb> { 0x00ffff } << QList<int> { 201 } << qRgb(0, 201, 201);
}

// The merged pixel between two dark ones, as RGB bytes and as QRgb.
void tst_reading::merge()
{
    QFETCH(QList<QRgb>, colours);
    QFETCH(QList<int>, values);
    QFETCH(QRgb, merged);
    unsigned char samples[4][3] = {};
    std::vector<const unsigned char *> rows;
    for (int c = 0; c < values.size(); ++c) {
        samples[c][1] = static_cast<unsigned char>(values[c]);
        rows.push_back(samples[c]);
    }
    unsigned char rgb[9];
    QRgb pixels[3];
    mergeRow(rows, { colours.begin(), colours.end() }, 3, rgb);
    mergeRow(rows, { colours.begin(), colours.end() }, 3, pixels);
    const QRgb expected[3] = { qRgb(0, 0, 0), merged, qRgb(0, 0, 0) };
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(pixels[i], expected[i]);
        QCOMPARE(qRgb(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]), expected[i]);
    }
}

void tst_reading::autoOnFloats_data()
{
    QTest::addColumn<std::vector<float>>("values");
    std::vector<float> edges, shifted, clustered;
    for (int i = 0; i <= 65536; ++i)
        edges.push_back(float(i) / 4);
    for (int i = 0; i < 10000; ++i)
        shifted.push_back(float(i) * 0.37f - 1234.5f);
    for (int i = 0; i < 20300; ++i)
        clustered.push_back(i < 20000 ? float(i % 5) : float(i - 19900));
    QTest::newRow("each value at the start of a bin") << edges;
    QTest::newRow("shifted") << shifted;
    QTest::newRow("clustered with a tail") << clustered;
}

// Auto on float samples puts the ends where 0.35 % of the samples lie
// beyond each, to within a bin of the 65536.
void tst_reading::autoOnFloats()
{
    QFETCH(std::vector<float>, values);
    planeData plane;
    plane.bits = 32;
    plane.format = sampleFormat::floatingPoint;
    plane.bytes.resize(values.size() * 4);
    std::memcpy(plane.bytes.data(), values.data(), plane.bytes.size());
    const intensityWindow w = histogram::of(plane).autoWindow();
    std::sort(values.begin(), values.end());
    const size_t k = values.size() * 35 / 10000;
    const double bin = (double(values.back()) - values.front()) / 65536;
    const double low = values[k], high = values[values.size() - 1 - k];
    QVERIFY2(w.low <= low && w.low > low - bin, qPrintable(QString("low end %1, not %2").arg(w.low).arg(low)));
    QVERIFY2(w.high >= high && w.high <= high + bin, qPrintable(QString("high end %1, not %2").arg(w.high, 0, 'g', 10).arg(high)));
}

QTEST_GUILESS_MAIN(tst_reading)
#include "tst_reading.moc"
