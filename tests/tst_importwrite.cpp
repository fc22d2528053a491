#include "brightness.h"
#include "datasetwriter.h"
#include "framewriter.h"
#include "importer.h"

#include <QtTest>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

// A stack made up in memory: value(t, z, c, x, y) gives every sample.
class fakeStack : public stack
{
public:
    std::function<double(int, int, int, int, int)> value;
    std::function<bool(int, int, int)> has = [](int, int, int) { return true; };
    int failAt = -1;   // the read that fails, counted from 0
    int reads = 0;

    bool present(int t, int z, int c) const override { return has(t, z, c); }
    bool read(int t, int z, int c, planeData &out) override
    {
        if (reads++ == failAt) {
            mError = QStringLiteral("fake.tif: read error");
            return false;
        }
        out.bits = bits;
        out.format = format;
        out.bytes.resize(std::size_t(width) * height * bits / 8);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x)
                put(out, y * width + x, value(t, z, c, x, y));
        }
        return true;
    }
    static void put(planeData &plane, int i, double v)
    {
        unsigned char *p = plane.bytes.data() + std::size_t(i) * plane.bits / 8;
        const auto store = [p](auto sample) { std::memcpy(p, &sample, sizeof sample); };
        if (plane.format == sampleFormat::floatingPoint)
            store(float(v));
        else if (plane.format == sampleFormat::signedInt)
            plane.bits == 8 ? store(std::int8_t(v)) : plane.bits == 16 ? store(std::int16_t(v)) : store(std::int32_t(v));
        else
            plane.bits == 8 ? store(std::uint8_t(v)) : plane.bits == 16 ? store(std::uint16_t(v)) : store(std::uint32_t(v));
    }
};

Q_DECLARE_METATYPE(sampleFormat)

class tst_importwrite : public QObject
{
    Q_OBJECT

private slots:
    void mapping_data();
    void mapping();
    void autoWindow_data();
    void autoWindow();
    void windowChoice_data();
    void windowChoice();
    void merge_data();
    void merge();
    void defaultColours();
    void channelColours_data();
    void channelColours();
    void descriptor();
    void encoderError();
    void failedImportLeavesNothing_data();
    void failedImportLeavesNothing();
    void stopEndsReading_data();
    void stopEndsReading();
    void existingOutput();
    void replaceRefused_data();
    void replaceRefused();
    void frames();

private:
    static fakeStack ramp(int bits, sampleFormat format, int width, int height);
    QTemporaryDir dir;
};

void tst_importwrite::mapping_data()
{
    QTest::addColumn<int>("bits");
    QTest::addColumn<sampleFormat>("format");
    QTest::addColumn<double>("low");
    QTest::addColumn<double>("high");
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("mapped");
    const auto u = sampleFormat::unsignedInt;
    const auto s = sampleFormat::signedInt;
    const auto f = sampleFormat::floatingPoint;
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("16-bit low is black") << 16 << u << 100.0 << 1100.0 << 100.0 << 0;
    QTest::newRow("16-bit high is white") << 16 << u << 100.0 << 1100.0 << 1100.0 << 255;
    QTest::newRow("16-bit below low clips") << 16 << u << 100.0 << 1100.0 << 99.0 << 0;
    QTest::newRow("16-bit above high clips") << 16 << u << 100.0 << 1100.0 << 65535.0 << 255;
    QTest::newRow("16-bit middle") << 16 << u << 100.0 << 1100.0 << 600.0 << 128;
    QTest::newRow("16-bit half rounds up") << 16 << u << 0.0 << 510.0 << 1.0 << 1;
    QTest::newRow("16-bit under half rounds down") << 16 << u << 0.0 << 1000.0 << 1.0 << 0;
    QTest::newRow("16-bit 254.5 rounds to 255") << 16 << u << 0.0 << 510.0 << 509.0 << 255;
    QTest::newRow("8-bit kept") << 8 << u << 0.0 << 255.0 << 137.0 << 137;
    QTest::newRow("8-bit window") << 8 << u << 10.0 << 20.0 << 15.0 << 128;
    QTest::newRow("8-bit signed lowest") << 8 << s << -128.0 << 127.0 << -128.0 << 0;
    QTest::newRow("8-bit signed zero") << 8 << s << -128.0 << 127.0 << 0.0 << 128;
    QTest::newRow("8-bit signed highest") << 8 << s << -128.0 << 127.0 << 127.0 << 255;
    QTest::newRow("16-bit signed negative") << 16 << s << -1000.0 << 1000.0 << -500.0 << 64;
    QTest::newRow("16-bit signed below") << 16 << s << -1000.0 << 1000.0 << -32768.0 << 0;
    QTest::newRow("16-bit signed -1 is not 65535") << 16 << s << -10.0 << 10.0 << -1.0 << 115;
    QTest::newRow("32-bit unsigned large") << 32 << u << 0.0 << 4e9 << 3e9 << 191;
    QTest::newRow("32-bit signed negative") << 32 << s << -2e9 << 2e9 << -1e9 << 64;
    QTest::newRow("float window") << 32 << f << 0.0 << 1.0 << 0.25 << 64;
    QTest::newRow("float below") << 32 << f << 0.0 << 1.0 << -3.0 << 0;
    QTest::newRow("float NaN is black") << 32 << f << 0.0 << 1.0 << std::nan("") << 0;
    QTest::newRow("float infinity is white") << 32 << f << 0.0 << 1.0 << inf << 255;
}

void tst_importwrite::mapping()
{
    QFETCH(int, bits);
    QFETCH(sampleFormat, format);
    QFETCH(double, low);
    QFETCH(double, high);
    QFETCH(double, value);
    QFETCH(int, mapped);
    planeData plane;
    plane.bits = bits;
    plane.format = format;
    plane.bytes.resize(3 * bits / 8);
    for (int i = 0; i < 3; ++i)
        fakeStack::put(plane, i, value);
    unsigned char out[4] = { 1, 1, 1, 42 };
    channelMap(bits, format, low, high).mapRow(plane.bytes.data(), 3, out);
    QCOMPARE(int(out[0]), mapped);
    QCOMPARE(int(out[2]), mapped);
    QCOMPARE(int(out[3]), 42);   // nothing past the row
}

void tst_importwrite::autoWindow_data()
{
    QTest::addColumn<int>("bits");
    QTest::addColumn<sampleFormat>("format");
    QTest::addColumn<QList<double>>("values");   // pairs of value and count
    QTest::addColumn<double>("low");
    QTest::addColumn<double>("high");
    QTest::addColumn<double>("tolerance");
    const auto u = sampleFormat::unsignedInt;
    QList<double> ramp;
    for (int v = 0; v < 10000; ++v)
        ramp << v << 1;
    QList<double> signedRamp;
    for (int v = -5000; v < 5000; ++v)
        signedRamp << v << 1;
    QTest::newRow("16-bit ramp") << 16 << u << ramp << 35.0 << 9964.0 << 0.0;
    QTest::newRow("16-bit signed ramp") << 16 << sampleFormat::signedInt << signedRamp << -4965.0 << 4964.0 << 0.0;
    QTest::newRow("32-bit ramp, binned") << 32 << u << ramp << 35.0 << 9964.0 << 0.2;
    QTest::newRow("float ramp, binned") << 32 << sampleFormat::floatingPoint << ramp << 35.0 << 9964.0 << 0.2;
    QTest::newRow("8-bit signed ramp") << 8 << sampleFormat::signedInt
                                        << QList<double> { -100, 1000, 0, 8000, 100, 1000 } << 0.0 << 0.0 << 0.0;
    QTest::newRow("flat image") << 16 << u << QList<double> { 500, 4096 } << 500.0 << 501.0 << 0.0;
    QTest::newRow("flat float image") << 32 << sampleFormat::floatingPoint << QList<double> { 0.5, 4096 } << 0.5
                                      << 1.5 << 0.0;
    QTest::newRow("two values") << 16 << u << QList<double> { 100, 5000, 200, 5000 } << 100.0 << 200.0 << 0.0;
    QTest::newRow("one value with outliers falls back to min and max")
            << 16 << u << QList<double> { 0, 5, 1000, 9990, 65535, 5 } << 0.0 << 65535.0 << 0.0;
    QTest::newRow("outliers beyond k are saturated")
            << 16 << u << QList<double> { 0, 35, 10, 4965, 20, 4965, 65535, 35 } << 10.0 << 20.0 << 0.0;
    QTest::newRow("one more pixel than k is kept")
            << 16 << u << QList<double> { 0, 36, 10, 4964, 20, 4964, 65535, 36 } << 0.0 << 65535.0 << 0.0;
}

void tst_importwrite::autoWindow()
{
    QFETCH(int, bits);
    QFETCH(sampleFormat, format);
    QFETCH(QList<double>, values);
    QFETCH(double, low);
    QFETCH(double, high);
    QFETCH(double, tolerance);
    if (QByteArray(QTest::currentDataTag()) == "8-bit signed ramp") {
        // 10000 pixels, k = 35: -100 and 100 are both above k, so they are the window.
        low = -100;
        high = 100;
    }
    // Split over two planes, as the pass over a stack sees them.
    std::vector<planeData> planes(2);
    int index = 0;
    for (int i = 0; i < values.size(); i += 2) {
        for (int n = 0; n < values[i + 1]; ++n, ++index) {
            planeData &p = planes[index % 2];
            p.bits = bits;
            p.format = format;
            p.bytes.resize(p.bytes.size() + bits / 8);
            fakeStack::put(p, int(p.bytes.size() * 8 / bits) - 1, values[i]);
        }
    }
    histogram h(bits, format);
    if (h.needsRange()) {
        for (const planeData &p : planes)
            h.addToRange(p);
    }
    for (const planeData &p : planes)
        h.add(p);
    const intensityWindow w = h.autoWindow();
    QVERIFY2(std::abs(w.low - low) <= tolerance, qPrintable(QString::number(w.low)));
    QVERIFY2(std::abs(w.high - high) <= tolerance, qPrintable(QString::number(w.high)));
    QCOMPARE(w.source, QStringLiteral("auto, 0.35 % saturated"));
}

void tst_importwrite::windowChoice_data()
{
    QTest::addColumn<int>("bits");
    QTest::addColumn<sampleFormat>("format");
    QTest::addColumn<bool>("fileRange");        // the file says 1000..2000
    QTest::addColumn<QString>("request");       // "", "full" or "LOW:HIGH"
    QTest::addColumn<double>("low");
    QTest::addColumn<double>("high");
    QTest::addColumn<QString>("source");
    const auto u = sampleFormat::unsignedInt;
    const auto f = sampleFormat::floatingPoint;
    // The planes hold a ramp 0..9999 (floats: the same divided by 10000).
    QTest::newRow("file's range first") << 16 << u << true << "" << 1000.0 << 2000.0 << "from the file";
    QTest::newRow("file's range empty: auto") << 16 << u << true << "" << 35.0 << 9964.0 << "auto, 0.35 % saturated";
    QTest::newRow("file's range infinite: auto") << 16 << u << true << "" << 35.0 << 9964.0
                                                 << "auto, 0.35 % saturated";
    QTest::newRow("--range over the file's") << 16 << u << true << "5:50" << 5.0 << 50.0 << "--range";
    QTest::newRow("16-bit without: auto") << 16 << u << false << "" << 35.0 << 9964.0 << "auto, 0.35 % saturated";
    QTest::newRow("8-bit without: kept") << 8 << u << false << "" << 0.0 << 255.0 << "8-bit, kept";
    QTest::newRow("8-bit with the file's") << 8 << u << true << "" << 1000.0 << 2000.0 << "from the file";
    QTest::newRow("full 16-bit") << 16 << u << true << "full" << 0.0 << 65535.0 << "full range";
    QTest::newRow("full 8-bit signed") << 8 << sampleFormat::signedInt << false << "full" << -128.0 << 127.0
                                       << "full range";
    QTest::newRow("full 32-bit") << 32 << u << false << "full" << 0.0 << 4294967295.0 << "full range";
    QTest::newRow("full float: the data's") << 32 << f << false << "full" << 0.0 << 0.9999 << "full range";
}

void tst_importwrite::windowChoice()
{
    QFETCH(int, bits);
    QFETCH(sampleFormat, format);
    QFETCH(bool, fileRange);
    QFETCH(QString, request);
    QFETCH(double, low);
    QFETCH(double, high);
    QFETCH(QString, source);
    fakeStack input = ramp(bits, format, 100, 50);
    input.times = 2;
    input.value = [bits, format](int t, int, int, int x, int y) {
        const int v = t * 5000 + y * 100 + x;
        return format == sampleFormat::floatingPoint ? v / 10000.0 : bits == 8 ? v % 100 : v;
    };
    if (fileRange) {
        const QByteArray row = QTest::currentDataTag();
        input.channels[0].low = 1000;
        input.channels[0].high = row.contains("empty") ? 1000 : row.contains("infinite") ? qInf() : 2000;
    }
    std::optional<rangeRequest> r;
    if (request == "full")
        r = rangeRequest { true, 0, 0 };
    else if (!request.isEmpty())
        r = rangeRequest { false, request.section(':', 0, 0).toDouble(), request.section(':', 1).toDouble() };
    const volatile std::sig_atomic_t stop = 0;
    importer import(input, { 0 }, &stop);
    QString error;
    QVERIFY(import.chooseWindows({ r }, &error));
    const intensityWindow w = import.windows()[0];
    QCOMPARE(w.low, low);
    QVERIFY2(std::abs(w.high - high) < 1e-4, qPrintable(QString::number(w.high)));
    QCOMPARE(w.source, source);
}

void tst_importwrite::merge_data()
{
    QTest::addColumn<QList<int>>("values");   // -1: the channel is missing from the frame
    QTest::addColumn<QList<QRgb>>("colours");
    QTest::addColumn<QRgb>("rgb");
    QTest::newRow("red and green add") << QList<int> { 200, 100 } << QList<QRgb> { 0xff0000, 0x00ff00 } << QRgb(0xc86400);
    QTest::newRow("sums clip at 255") << QList<int> { 200, 100 } << QList<QRgb> { 0xff0000, 0xff00ff } << QRgb(0xff0064);
    QTest::newRow("grey channel") << QList<int> { 50 } << QList<QRgb> { 0xffffff } << QRgb(0x323232);
    QTest::newRow("colour scales the value") << QList<int> { 255, 100 } << QList<QRgb> { 0x800040, 0x800000 }
                                             << QRgb(0xb20040);
    QTest::newRow("dim colour rounds") << QList<int> { 100 } << QList<QRgb> { 0x800000 } << QRgb(0x320000);
    QTest::newRow("dim colour rounds up") << QList<int> { 100 } << QList<QRgb> { 0x7f0000 } << QRgb(0x320000);
    QTest::newRow("missing channel adds nothing") << QList<int> { -1, 90 } << QList<QRgb> { 0xffffff, 0x0000ff }
                                                  << QRgb(0x00005a);
    QTest::newRow("RGB comes out unchanged") << QList<int> { 12, 250, 77 }
                                             << QList<QRgb> { 0xff0000, 0x00ff00, 0x0000ff } << QRgb(0x0cfa4d);
    QTest::newRow("black stays black") << QList<int> { 0, 0, 0 } << QList<QRgb> { 0xff00ff, 0xffff00, 0x00ffff }
                                       << QRgb(0);
}

void tst_importwrite::merge()
{
    QFETCH(QList<int>, values);
    QFETCH(QList<QRgb>, colours);
    QFETCH(QRgb, rgb);
    // Two pixels: the given values, and the same again, so that each pixel is read at its own place.
    std::vector<std::vector<unsigned char>> rows;
    std::vector<const unsigned char *> pointers;
    for (int v : values)
        rows.push_back({ static_cast<unsigned char>(v < 0 ? 0 : v), static_cast<unsigned char>(v < 0 ? 0 : v) });
    for (int i = 0; i < values.size(); ++i)
        pointers.push_back(values[i] < 0 ? nullptr : rows[i].data());
    unsigned char out[6];
    mergeRow(pointers, std::vector<QRgb>(colours.begin(), colours.end()), 2, out);
    // The viewer's merge into 32-bit pixels, whose colours of full parts take a way of their own.
    QRgb shown[2];
    mergeRow(pointers, std::vector<QRgb>(colours.begin(), colours.end()), 2, shown);
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(qRgb(out[3 * i], out[3 * i + 1], out[3 * i + 2]) & 0xffffff, rgb);
        QCOMPARE(shown[i], rgb | 0xff000000);
    }
}

void tst_importwrite::defaultColours()
{
    const QList<QRgb> imageJ { 0xff0000, 0x00ff00, 0x0000ff, 0xffffff, 0x00ffff, 0xff00ff, 0xffff00, 0xff0000 };
    for (int i = 0; i < imageJ.size(); ++i)
        QCOMPARE(defaultColour(i) & 0xffffff, imageJ[i]);
}

void tst_importwrite::channelColours_data()
{
    QTest::addColumn<QList<int>>("channels");
    QTest::addColumn<QList<QRgb>>("colours");
    // Channel 1 has a colour of its own in the file; the others take ImageJ's by their place in the file.
    QTest::newRow("all") << QList<int> { 0, 1, 2, 3 } << QList<QRgb> { 0xff0000, 0x808000, 0x0000ff, 0xffffff };
    QTest::newRow("0 and 2 keep their colours") << QList<int> { 0, 2 } << QList<QRgb> { 0xff0000, 0x0000ff };
    QTest::newRow("reordered") << QList<int> { 3, 1 } << QList<QRgb> { 0xffffff, 0x808000 };
}

void tst_importwrite::channelColours()
{
    QFETCH(QList<int>, channels);
    QFETCH(QList<QRgb>, colours);
    fakeStack input = ramp(16, sampleFormat::unsignedInt, 4, 4);
    input.channels.resize(4);
    input.channels[1].colour = qRgb(128, 128, 0);
    const volatile std::sig_atomic_t stop = 0;
    const std::vector<QRgb> result = importer(input, std::vector<int>(channels.begin(), channels.end()), &stop).colours();
    QCOMPARE(int(result.size()), colours.size());
    for (int i = 0; i < colours.size(); ++i)
        QCOMPARE(result[i] & 0xffffff, colours[i]);
}

void tst_importwrite::descriptor()
{
    QCOMPARE(datasetwriter::descriptor("cell-A.1", 2048, 1024, 51, 7),
             QByteArray("dataset cell-A.1\nwidth 2048\nheight 1024\nmint 0\nmaxt 50\nminz 0\nmaxz 6\n"));
    QCOMPARE(datasetwriter::descriptor("one", 3, 2, 1, 1),
             QByteArray("dataset one\nwidth 3\nheight 2\nmint 0\nmaxt 0\nminz 0\nmaxz 0\n"));
}

// libjpeg's errors come back as a message, rather than ending the program.
void tst_importwrite::encoderError()
{
    framewriter tooWide(70000, 2, 1, 90);
    QString error;
    QVERIFY(!tooWide.encode([](int, unsigned char *row) { std::memset(row, 0, 70000); }, &error));
    QVERIFY2(error.contains("65500"), qPrintable(error));

    framewriter fine(8, 8, 3, 90);
    QVERIFY(fine.encode([](int y, unsigned char *row) { std::memset(row, y * 30, 24); }, &error));
    QVERIFY(fine.size() > 100);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(fine.data()), 2), QByteArray("\xff\xd8"));
}

fakeStack tst_importwrite::ramp(int bits, sampleFormat format, int width, int height)
{
    fakeStack input;
    input.width = width;
    input.height = height;
    input.times = 1;
    input.planes = 1;
    input.bits = bits;
    input.format = format;
    input.channels.resize(1);
    input.description = QStringLiteral("fake.tif");
    return input;
}

void tst_importwrite::failedImportLeavesNothing_data()
{
    QTest::addColumn<int>("failAt");
    QTest::addColumn<int>("threads");
    QTest::newRow("first plane") << 0 << 1;
    QTest::newRow("in the middle, one thread") << 7 << 1;
    QTest::newRow("in the middle, two threads") << 7 << 2;
    QTest::newRow("last plane") << 11 << 2;
}

// A read error part way: no output, no temporary folder, and the error said.
void tst_importwrite::failedImportLeavesNothing()
{
    QFETCH(int, failAt);
    QFETCH(int, threads);
    QTemporaryDir parent;
    fakeStack input = ramp(16, sampleFormat::unsignedInt, 64, 32);
    input.times = 4;
    input.planes = 3;
    input.value = [](int t, int z, int, int, int) { return t * 10 + z; };
    const volatile std::sig_atomic_t stop = 0;
    importer import(input, { 0 }, &stop);
    QString error;
    QVERIFY(import.chooseWindows({ rangeRequest { false, 0, 100 } }, &error));
    input.failAt = failAt;
    const QString output = parent.filePath("out");
    {
        datasetwriter writer(output, "fake");
        QVERIFY(writer.begin(&error));
        QVERIFY(QFileInfo(writer.temporaryFolder()).isDir());
        QVERIFY(!import.run(writer, 90, threads, false, &error));
        QCOMPARE(error, QStringLiteral("fake.tif: read error"));
    }
    QCOMPARE(QDir(parent.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
}

void tst_importwrite::stopEndsReading_data()
{
    QTest::addColumn<bool>("histogram");
    QTest::newRow("histogram pass") << true;
    QTest::newRow("frames") << false;
}

// A stop (Ctrl+C) that comes during a read makes it the last read.
void tst_importwrite::stopEndsReading()
{
    QFETCH(bool, histogram);
    QTemporaryDir parent;
    fakeStack input = ramp(16, sampleFormat::unsignedInt, 16, 16);
    input.times = 4;
    input.planes = 3;
    volatile std::sig_atomic_t stop = 0;
    input.value = [&stop](int t, int, int, int, int) {
        if (t == 1)
            stop = SIGINT;
        return 0.0;
    };
    importer import(input, { 0 }, &stop);
    datasetwriter writer(parent.filePath("out"), "fake");
    QString error;
    if (histogram) {
        QVERIFY(!import.chooseWindows({ std::nullopt }, &error));
    } else {
        QVERIFY(import.chooseWindows({ rangeRequest { false, 0, 100 } }, &error) && writer.begin(&error));
        QVERIFY(!import.run(writer, 90, 2, false, &error));
    }
    QCOMPARE(input.reads, 4);   // t 0 and the read of t 1, z 0
}

// Without replacing, an output made meanwhile is kept and the new one removed;
// with it, the old one is replaced and nothing else is left.
void tst_importwrite::existingOutput()
{
    QTemporaryDir parent;
    const QString output = parent.filePath("out");
    QString error;
    const auto entries = [&] {
        return QDir(parent.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    };
    {
        datasetwriter writer(output, "new");
        QVERIFY(writer.begin(&error));
        QVERIFY(QDir().mkdir(output));
        QVERIFY(QFile(output + "/old.tz").open(QIODevice::WriteOnly));
        QVERIFY(!writer.commit(4, 4, 1, 1, false, &error));
        QCOMPARE(error, output + ": File exists");
    }
    QCOMPARE(entries(), QStringList { "out" });
    QVERIFY(QFileInfo::exists(output + "/old.tz"));

    datasetwriter writer(output, "new");
    QVERIFY(writer.begin(&error));
    QVERIFY(writer.commit(4, 4, 1, 1, true, &error));
    QCOMPARE(entries(), QStringList { "out" });
    QCOMPARE(QDir(output).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList({ "img", "new.tz" }));

    datasetwriter unwritable("/proc/out", "new");
    QVERIFY(!unwritable.begin(&error));
    QVERIFY2(error.startsWith("/proc/out: "), qPrintable(error));
}

void tst_importwrite::replaceRefused_data()
{
    QTest::addColumn<QString>("output");    // in a folder that holds a/stack.tif, d2/stack.tif, b/, the dataset d/, the file f and link l to d
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("current");
    QTest::addColumn<QString>("refusal");   // "" when replacing is fine
    const QString frame = "d/img/x_t000_z000_ch000.jpg";
    QTest::newRow("a dataset") << "d" << "a/stack.tif" << "." << "";
    QTest::newRow("an empty folder") << "b" << "a/stack.tif" << "." << "";
    QTest::newRow("a folder not there yet") << "c" << "a/stack.tif" << "." << "";
    QTest::newRow("a folder of other files") << "a" << "f" << "." << ": not a dataset (it holds stack.tif)";
    QTest::newRow("a file") << "f" << "a/stack.tif" << "." << ": not a folder";
    QTest::newRow("a link to a dataset") << "l" << "a/stack.tif" << "." << ": not a folder";
    QTest::newRow("a dataset beside a folder named like it") << "d" << "d2/stack.tif" << "d2" << "";
    QTest::newRow("a dataset holding the input") << "d" << frame << "." << ": holds the input ";
    QTest::newRow("the same, written another way") << "b/../d/" << frame << "." << ": holds the input ";
    QTest::newRow("a dataset holding the current folder") << "d" << "a/stack.tif" << "d/img" << ": holds the current folder";
}

// --force replaces a dataset, never other files, the inputs or the folder one works in.
void tst_importwrite::replaceRefused()
{
    QFETCH(QString, output);
    QFETCH(QString, input);
    QFETCH(QString, current);
    QFETCH(QString, refusal);
    QTemporaryDir base;
    QDir dir(base.path());
    QVERIFY(dir.mkpath("a") && dir.mkpath("b") && dir.mkpath("d/img") && dir.mkpath("d2"));
    for (const char *file : { "a/stack.tif", "d2/stack.tif", "d/x.tz", "d/img/x_t000_z000_ch000.jpg", "f" })
        QVERIFY(QFile(dir.filePath(file)).open(QIODevice::WriteOnly));
    QVERIFY(QFile::link(dir.filePath("d"), dir.filePath("l")));
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.filePath(current)));
    const QString result = datasetwriter::cannotReplace(dir.filePath(output), { dir.filePath(input) });
    QDir::setCurrent(before);
    if (refusal.isEmpty())
        QCOMPARE(result, QString());
    else
        QVERIFY2(result.startsWith(dir.filePath(output) + refusal), qPrintable(result));
}

// Every present frame written under its name, with its planes' values; a
// missing one not; grey for one channel, colour without subsampling for several.
void tst_importwrite::frames()
{
    QTemporaryDir parent;
    fakeStack input = ramp(16, sampleFormat::unsignedInt, 40, 24);
    input.times = 3;
    input.planes = 2;
    input.channels.resize(2);
    input.channels[1].colour = qRgb(0, 0, 255);
    input.value = [](int t, int z, int c, int, int) { return c == 0 ? 1000 * (t * 2 + z) : 5000; };
    input.has = [](int t, int z, int) { return !(t == 1 && z == 0); };
    const volatile std::sig_atomic_t stop = 0;
    for (const std::vector<int> &channels : { std::vector<int> { 0 }, std::vector<int> { 0, 1 } }) {
        importer import(input, channels, &stop);
        QString error;
        QVERIFY(import.chooseWindows({ rangeRequest { false, 0, 5100 }, rangeRequest { false, 0, 10000 } }, &error));
        const QString output = parent.filePath(QString("out%1").arg(channels.size()));
        datasetwriter writer(output, "cell");
        QVERIFY(writer.begin(&error));
        QVERIFY(import.run(writer, 95, 2, false, &error));
        QVERIFY(writer.commit(input.width, input.height, input.times, input.planes, false, &error));
        QCOMPARE(import.framesWritten(), 5);
        QVERIFY(!QFileInfo::exists(output + "/img/cell_t001_z000_ch000.jpg"));
        for (int t = 0; t < 3; ++t) {
            for (int z = 0; z < 2; ++z) {
                if (t == 1 && z == 0)
                    continue;
                const QString name = output + QString("/img/cell_t00%1_z00%2_ch000.jpg").arg(t).arg(z);
                const QImage image(name);
                QVERIFY2(!image.isNull(), qPrintable(name));
                QCOMPARE(image.size(), QSize(40, 24));
                QCOMPARE(image.isGrayscale(), channels.size() == 1);
                const QRgb pixel = image.pixel(20, 12);
                const int red = qRound(1000 * (t * 2 + z) * 255 / 5100.0);
                QVERIFY2(std::abs(qRed(pixel) - red) <= 2, qPrintable(name));
                QFile file(name);
                QVERIFY(file.open(QIODevice::ReadOnly));
                const QByteArray jpeg = file.readAll();
                QVERIFY2(jpeg.endsWith("\xff\xd9"), qPrintable(name));   // nothing after the end-of-image marker
                if (channels.size() == 2) {
                    QVERIFY(std::abs(qBlue(pixel) - 128) <= 2);
                    // Start of frame: every component sampled 1x1.
                    const int sof = jpeg.indexOf("\xff\xc2") >= 0 ? jpeg.indexOf("\xff\xc2") : jpeg.indexOf("\xff\xc0");
                    QVERIFY(sof > 0);
                    QCOMPARE(int(jpeg[sof + 9]), 3);
                    for (int c = 0; c < 3; ++c)
                        QCOMPARE(int(jpeg[sof + 11 + 3 * c]), 0x11);
                }
            }
        }
    }
}

QTEST_GUILESS_MAIN(tst_importwrite)
#include "tst_importwrite.moc"
