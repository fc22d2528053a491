// The reading library against numpy: parts of TIFF planes in every layout
// and what reading them costs, long file series, windows with fractional
// ends, channels merged into colour, and Auto on floats.
#include "brightness.h"
#include "stack.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

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
    void regionCost_data();
    void regionCost();
    void longSeries();
    void windows_data();
    void windows();
    void merge_data();
    void merge();
    void autoOnFloats_data();
    void autoOnFloats();

private:
    QTemporaryDir inputs;
};

namespace {

// Bytes this process has read from files so far.
qint64 bytesRead()
{
    QFile io("/proc/self/io");
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : io.readAll().split('\n'))
        if (line.startsWith("rchar:"))
            return line.mid(6).trimmed().toLongLong();
    return -1;
}

planeData floats(const std::vector<float> &values)
{
    planeData p;
    p.bits = 32;
    p.format = sampleFormat::floatingPoint;
    p.bytes.resize(values.size() * 4);
    std::memcpy(p.bytes.data(), values.data(), p.bytes.size());
    return p;
}

} // namespace

void tst_reading::initTestCase()
{
    QProcess python;
    python.start("/usr/bin/python3", { INPUTS_PY, inputs.path() });
    QVERIFY2(python.waitForFinished(120000) && python.exitCode() == 0, python.readAllStandardError().constData());
}

void tst_reading::regions_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QRect>("region");
    const QStringList files = { "strip_u16", "strip_f32", "strips_u8", "strips_i16_be", "strips_u32",
                                "deflate_u16", "deflate_strip_f32", "lzw_u8", "tiles_u16", "tiles_f32_be", "planar_rgb_u16",
                                "tiles_deflate_u8", "imagej_be_u8", "imagej_le_u8", "imagej_be_u16", "imagej_le_u16",
                                "imagej_be_u32", "imagej_le_u32", "imagej_be_f32", "imagej_le_f32",
                                "imagej_tifffile_be_f32", "imagej_tifffile_le_u16" };
    // The planes are 45 x 37.
    const QList<std::pair<const char *, QRect>> regions = {
        { "row 0", QRect(0, 0, 45, 1) }, { "row 17", QRect(0, 17, 45, 1) }, { "last row", QRect(0, 36, 45, 1) },
        { "column 0", QRect(0, 0, 1, 37) }, { "column 33", QRect(33, 0, 1, 37) }, { "last column", QRect(44, 0, 1, 37) },
        { "part", QRect(3, 5, 30, 13) }, { "pixel", QRect(40, 31, 1, 1) }, { "whole", QRect(0, 0, 45, 37) },
    };
    for (const QString &file : files)
        for (const auto &[name, region] : regions)
            QTest::addRow("%s %s", qPrintable(file), name) << file << region;
}

// What readRegion gives of every plane is numpy's array cut to the region.
void tst_reading::regions()
{
    QFETCH(QString, file);
    QFETCH(QRect, region);
    QString error;
    std::unique_ptr<stack> s = openStack({ inputs.filePath(file + ".tif") }, stackOptions(), &error);
    QVERIFY2(s, qPrintable(error));
    QFile rawFile(inputs.filePath(file + ".raw"));
    QVERIFY(rawFile.open(QIODevice::ReadOnly));
    const QByteArray raw = rawFile.readAll();
    const int channels = int(s->channels.size());
    const int count = s->times * s->planes * channels;
    const int bytes = s->bits / 8;
    const qsizetype plane = qsizetype(s->width) * s->height * bytes;
    QCOMPARE(raw.size(), count * plane);
    // numpy's planes by time, focal plane and channel.
    for (int k = 0; k < count; ++k) {
        planeData out;
        QVERIFY2(s->readRegion(k / channels / s->planes, k / channels % s->planes, k % channels, 0, region, out),
                 qPrintable(s->error()));
        QCOMPARE(out.bytes.size(), size_t(region.width()) * region.height() * bytes);
        for (int y = 0; y < region.height(); ++y) {
            const char *expected = raw.constData() + k * plane + (qsizetype(region.top() + y) * s->width + region.left()) * bytes;
            const unsigned char *got = out.bytes.data() + size_t(y) * region.width() * bytes;
            QVERIFY2(std::memcmp(expected, got, size_t(region.width()) * bytes) == 0,
                     qPrintable(QString("plane %1, row %2 of the region").arg(k).arg(y)));
        }
    }
}

void tst_reading::regionCost_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("column");
    QTest::addColumn<qint64>("limit");   // bytes read at most
    // A plane is 2048 x 2048 16-bit samples, 8 MiB; a directory of 128 strips 1 KiB.
    const qint64 little = 16 * 1024;
    QTest::newRow("one strip, row") << "big_strip" << false << little;
    QTest::newRow("one strip, column") << "big_strip" << true << little;
    QTest::newRow("strips, row") << "big_strips" << false << little;
    QTest::newRow("strips, column") << "big_strips" << true << little;
    QTest::newRow("deflate strips, row") << "big_deflate" << false << qint64(256 * 1024);
    QTest::newRow("tiles, row") << "big_tiles" << false << little;
    QTest::newRow("tiles, column") << "big_tiles" << true << little;
    QTest::newRow("deflate tiles, row") << "big_tiles_deflate" << false << qint64(512 * 1024);
    QTest::newRow("deflate tiles, column") << "big_tiles_deflate" << true << qint64(512 * 1024);
    QTest::newRow("ImageJ one page, row") << "big_imagej" << false << little;
    QTest::newRow("ImageJ one page, column") << "big_imagej" << true << little;
}

// One row or column of a plane, as an orthogonal view reads it, reads
// little more of the file than the samples it holds.
void tst_reading::regionCost()
{
    QFETCH(QString, file);
    QFETCH(bool, column);
    QFETCH(qint64, limit);
    QString error;
    std::unique_ptr<stack> s = openStack({ inputs.filePath(file + ".tif") }, stackOptions(), &error);
    QVERIFY2(s, qPrintable(error));
    QCOMPARE(s->width, 2048);
    QCOMPARE(s->times * s->planes, 2);
    const QRect region = column ? QRect(1500, 0, 1, 2048) : QRect(0, 1500, 2048, 1);
    planeData out;
    QVERIFY(s->readRegion(0, 0, 0, 0, region, out));
    const qint64 before = bytesRead();
    QVERIFY(s->readRegion(s->times - 1, s->planes - 1, 0, 0, region, out));
    const qint64 read = bytesRead() - before;
    QVERIFY2(read <= limit, qPrintable(QString("%1 bytes read").arg(read)));
    const auto *samples = reinterpret_cast<const quint16 *>(out.bytes.data());
    for (int i = 0; i < 2048; ++i)
        QCOMPARE(samples[i], quint16(column ? 1500 + 2048 * i : i + 2048 * 1500));
}

// Stepping through a series of more files than may be open at once.
void tst_reading::longSeries()
{
    QStringList files;
    const QDir folder(inputs.filePath("series"));
    for (const QString &name : folder.entryList(QDir::Files))
        files << folder.filePath(name);
    QCOMPARE(files.size(), 1100);
    rlimit limit;
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit saved = limit;
    limit.rlim_cur = 100;
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &limit), 0);
    QString error;
    std::unique_ptr<stack> s = openStack(files, stackOptions(), &error);
    bool allRead = s != nullptr;
    int failed = -1;
    for (int t = 0; allRead && t < s->times; ++t) {
        planeData out;
        allRead = s->read(t, 0, 0, out) && out.bytes.size() == 12 && out.bytes[0] == t % 251
            && s->readRegion(t, 0, 0, 0, QRect(1, 0, 1, 3), out) && out.bytes.size() == 3;
        failed = allRead ? -1 : t;
    }
    setrlimit(RLIMIT_NOFILE, &saved);
    QVERIFY2(s, qPrintable(error));
    QCOMPARE(s->times, 1100);
    QVERIFY2(allRead, qPrintable(QString("time point %1: %2").arg(failed).arg(s->error())));
}

void tst_reading::windows_data()
{
    QTest::addColumn<int>("bits");
    QTest::addColumn<sampleFormat>("format");
    QTest::addColumn<double>("low");
    QTest::addColumn<double>("high");
    const auto u = sampleFormat::unsignedInt;
    const auto s = sampleFormat::signedInt;
    const auto f = sampleFormat::floatingPoint;
    QTest::newRow("16-bit, high end fractional") << 16 << u << 0.0 << 1000.5;
    QTest::newRow("16-bit, both ends fractional") << 16 << u << 99.75 << 1000.5;
    QTest::newRow("16-bit, from below zero") << 16 << u << -10.5 << 20.5;
    QTest::newRow("16-bit signed, fractional") << 16 << s << -300.5 << 200.5;
    QTest::newRow("8-bit, high end fractional") << 8 << u << 0.0 << 200.5;
    QTest::newRow("8-bit signed, fractional") << 8 << s << -100.5 << 50.5;
    QTest::newRow("float, high end fractional") << 32 << f << 0.0 << 1000.5;
    QTest::newRow("float, both ends fractional") << 32 << f << -2.25 << 7.75;
}

// Every value maps as round((v - low) * 255 / (high - low)), clipped.
void tst_reading::windows()
{
    QFETCH(int, bits);
    QFETCH(sampleFormat, format);
    QFETCH(double, low);
    QFETCH(double, high);
    const channelMap map(bits, format, low, high);
    std::vector<double> values;
    if (format == sampleFormat::floatingPoint) {
        for (double v = low - 3; v <= high + 3; v += 0.125)
            values.push_back(v);
    } else {
        const int first = format == sampleFormat::signedInt ? -(1 << (bits - 1)) : 0;
        for (int v = first; v < first + (1 << bits); ++v)
            values.push_back(v);
    }
    planeData samples;
    samples.bytes.resize(values.size() * size_t(bits / 8));
    for (size_t i = 0; i < values.size(); ++i) {
        const float asFloat = float(values[i]);
        const qint32 asInt = qint32(values[i]);
        if (format == sampleFormat::floatingPoint)
            std::memcpy(samples.bytes.data() + 4 * i, &asFloat, 4);
        else
            std::memcpy(samples.bytes.data() + i * size_t(bits / 8), &asInt, size_t(bits / 8));   // little-endian
    }
    std::vector<unsigned char> mapped(values.size());
    map.mapRow(samples.bytes.data(), int(values.size()), mapped.data());
    for (size_t i = 0; i < values.size(); ++i) {
        const double v = values[i];
        const int expected = int(std::clamp(std::round((v - low) * 255 / (high - low)), 0.0, 255.0));
        if (mapped[i] != expected)
            QFAIL(qPrintable(QString("%1 maps to %2, not %3").arg(v).arg(mapped[i]).arg(expected)));
    }
}

void tst_reading::merge_data()
{
    QTest::addColumn<QList<QRgb>>("colours");
    QTest::addColumn<QList<int>>("values");
    QTest::newRow("green and cyan, bright") << QList<QRgb> { 0x00ff00, 0x00ffff } << QList<int> { 200, 200 };
    QTest::newRow("red, yellow, magenta") << QList<QRgb> { 0xff0000, 0xffff00, 0xff00ff } << QList<int> { 250, 130, 90 };
    QTest::newRow("every colour of ImageJ's") << QList<QRgb> { 0xff0000, 0x00ff00, 0x0000ff, 0xffffff, 0x00ffff, 0xff00ff, 0xffff00 }
                                              << QList<int> { 255, 255, 255, 255, 255, 255, 255 };
    QTest::newRow("green and a dim cyan") << QList<QRgb> { 0x00ff00, 0x00c0c0 } << QList<int> { 200, 220 };
    QTest::newRow("one channel") << QList<QRgb> { 0x00ffff } << QList<int> { 201 };
}

// Each part of a pixel is the sum of the channels times their colours, clipped at 255.
void tst_reading::merge()
{
    QFETCH(QList<QRgb>, colours);
    QFETCH(QList<int>, values);
    // The values at three pixels, the first and last dark.
    std::vector<std::vector<unsigned char>> rows;
    std::vector<const unsigned char *> rowPointers;
    for (int v : values)
        rows.push_back({ 0, static_cast<unsigned char>(v), 0 });
    for (const auto &row : rows)
        rowPointers.push_back(row.data());
    const std::vector<QRgb> colourList(colours.begin(), colours.end());
    int expected[3] = { 0, 0, 0 };
    for (int k = 0; k < 3; ++k) {
        double sum = 0;
        for (int c = 0; c < colours.size(); ++c)
            sum += values[c] * ((colours[c] >> (16 - 8 * k)) & 0xff) / 255.0;
        expected[k] = std::min(255, int(std::lround(sum)));
    }
    unsigned char rgb[9];
    mergeRow(rowPointers, colourList, 3, rgb);
    QRgb pixels[3];
    mergeRow(rowPointers, colourList, 3, pixels);
    QCOMPARE(QList<int>({ rgb[3], rgb[4], rgb[5] }), QList<int>({ expected[0], expected[1], expected[2] }));
    QCOMPARE(pixels[1], qRgb(expected[0], expected[1], expected[2]));
    QCOMPARE(pixels[0], qRgb(0, 0, 0));
    QCOMPARE(QList<int>({ rgb[6], rgb[7], rgb[8] }), QList<int>({ 0, 0, 0 }));
}

void tst_reading::autoOnFloats_data()
{
    QTest::addColumn<std::vector<float>>("values");
    std::vector<float> integers, shifted, clustered;
    for (int i = 0; i < 10000; ++i) {
        integers.push_back(float(i));
        shifted.push_back(float(i) * 0.37f - 1234.5f);
    }
    // Most at a few values, a tail beyond them.
    for (int i = 0; i < 20000; ++i)
        clustered.push_back(float(i % 5));
    for (int i = 0; i < 300; ++i)
        clustered.push_back(float(100 + i));
    // Each value at the start of a bin of its own.
    std::vector<float> edges;
    for (int i = 0; i <= 65536; ++i)
        edges.push_back(float(i) / 4);
    QTest::newRow("0 to 9999") << integers;
    QTest::newRow("on the edges of bins") << edges;
    QTest::newRow("shifted") << shifted;
    QTest::newRow("clustered with a tail") << clustered;
}

// Auto on float samples puts the ends where 0.35 % of the samples lie
// beyond each, to within a bin of the 65536.
void tst_reading::autoOnFloats()
{
    QFETCH(std::vector<float>, values);
    const intensityWindow w = histogram::of(floats(values)).autoWindow();
    std::vector<float> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    const size_t k = sorted.size() * 35 / 10000;
    const double lowest = sorted.front();
    const double bin = (double(sorted.back()) - lowest) / 65536;
    // The least value with more than k samples at or below it, and the greatest with more at or above.
    const double low = sorted[k];
    const double high = sorted[sorted.size() - 1 - k];
    QVERIFY2(w.low <= low && w.low > low - bin, qPrintable(QString("low end %1, not %2").arg(w.low).arg(low)));
    QVERIFY2(w.high >= high && w.high <= high + bin, qPrintable(QString("high end %1, not %2").arg(w.high, 0, 'g', 10).arg(high)));
}

QTEST_GUILESS_MAIN(tst_reading)
#include "tst_reading.moc"
