// tesseline-import as its users run it: inputs written by tifffile, libtiff
// and cjpeg (inputs.py), the dataset checked frame by frame, and opened in
// the viewer.
#include "window.h"
#include "../testutil.h"

#include <QtTest>
#include <QtWidgets>

#include <csignal>

using Levels = QList<int>;

class tst_import : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void misuse_data();
    void misuse();
    void frames_data();
    void frames();
    void gapLeavesFrameAbsent();
    void brightness_data();
    void brightness();
    void clipping();
    void projection_data();
    void projection();
    void wideIndices();
    void defaultName();
    void forceReplaces();
    void dryRunWritesNothing();
    void describe_data();
    void describe();
    void estimate();
    void jsonProgress();
    void quality();
    void progressOnTerminal();
    void failure_data();
    void failure();
    void interrupt_data();
    void interrupt();
    void roundTrip();

private:
    struct result { int exitCode = -1; QByteArray out; QByteArrayList errLines; };
    result run(const QStringList &arguments, const QString &program = IMPORTER, const QString &workingDir = QString());
    QString input(const QString &name) const { return inputs.filePath(name); }
    QString freshDir();

    QTemporaryDir inputs;
    QTemporaryDir outputs;
};

// The 8-bit level inputs.py gives channel c at i = t * planes + z.
static int level(int c, int i)
{
    return QList<int> { 16 + 18 * i, 214 - 18 * i, 60 + 12 * i }.at(c);
}

static QRgb meanColour(const QImage &frame)
{
    const QImage image = frame.convertToFormat(QImage::Format_RGB32);
    qint64 sum[3] = {};
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            sum[0] += qRed(p);
            sum[1] += qGreen(p);
            sum[2] += qBlue(p);
        }
    const qint64 n = qMax<qint64>(1, qint64(image.width()) * image.height());
    return qRgb(qRound(double(sum[0]) / n), qRound(double(sum[1]) / n), qRound(double(sum[2]) / n));
}

// What a merge of the channels' levels at i gives, or a grey level when no colours are given.
static QRgb expected(const Levels &channels, const QList<QRgb> &colours, int i)
{
    if (colours.isEmpty())
        return qRgb(level(channels[0], i), level(channels[0], i), level(channels[0], i));
    double sum[3] = {};
    for (int k = 0; k < channels.size(); ++k) {
        const double v = level(channels[k], i) / 255.0;
        sum[0] += v * qRed(colours[k]);
        sum[1] += v * qGreen(colours[k]);
        sum[2] += v * qBlue(colours[k]);
    }
    return qRgb(qMin(255, qRound(sum[0])), qMin(255, qRound(sum[1])), qMin(255, qRound(sum[2])));
}

static QString frameName(const QString &out, const QString &name, int t, int z)
{
    return QString("%1/img/%2_t%3_z%4_ch000.jpg").arg(out, name)
            .arg(t, 3, 10, QChar('0')).arg(z, 3, 10, QChar('0'));
}

static QByteArray descriptorText(const QString &name, int width, int height, int times, int planes)
{
    return QString("dataset %1\nwidth %2\nheight %3\nmint 0\nmaxt %4\nminz 0\nmaxz %5\n")
            .arg(name).arg(width).arg(height).arg(times - 1).arg(planes - 1).toUtf8();
}

static QByteArray readAll(const QString &fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every file and folder below dir, relative to it.
static QStringList tree(const QString &dir)
{
    QStringList names;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        names << QDir(dir).relativeFilePath(it.next());
    names.sort();
    return names;
}

void tst_import::initTestCase()
{
    QVERIFY(inputs.isValid() && outputs.isValid());
    QProcess python;
    python.start("/usr/bin/python3", { INPUTS_PY, inputs.path() });
    QVERIFY(python.waitForFinished(120000));
    QVERIFY2(python.exitCode() == 0, python.readAllStandardError().constData());
}

tst_import::result tst_import::run(const QStringList &arguments, const QString &program, const QString &workingDir)
{
    QProcess process;
    process.setWorkingDirectory(workingDir.isEmpty() ? outputs.path() : workingDir);
    process.start(program, arguments);
    result r;
    if (!process.waitForFinished(240000) || process.exitStatus() != QProcess::NormalExit)
        return r;
    r.exitCode = process.exitCode();
    r.out = process.readAllStandardOutput();
    const QByteArray err = process.readAllStandardError();
    if (!err.isEmpty())
        r.errLines = err.chopped(err.endsWith('\n') ? 1 : 0).split('\n');
    return r;
}

QString tst_import::freshDir()
{
    static int count = 0;
    const QString dir = outputs.filePath(QString("d%1").arg(++count));
    QDir().mkpath(dir);
    return dir;
}

void tst_import::misuse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("unknown option") << QStringList { "--frobnicate", "x.tif" } << 2;
    QTest::newRow("no input") << QStringList { "-o", "x" } << 2;
    QTest::newRow("quality 0") << QStringList { "--quality", "0", "x.tif" } << 2;
    QTest::newRow("quality 101") << QStringList { "--quality", "101", "x.tif" } << 2;
    QTest::newRow("planes 0") << QStringList { "--planes", "0", "x.tif" } << 2;
    QTest::newRow("range upside down") << QStringList { "--range", "5:2", "x.tif" } << 2;
    QTest::newRow("order xy") << QStringList { "--order", "xy", "x.tif" } << 2;
    QTest::newRow("name with spaces") << QStringList { "--name", "my data", input("ij8.tif") } << 2;
    QTest::newRow("--project avg") << QStringList { "--project", "avg", "x.tif" } << 2;
    QTest::newRow("--project-planes without --project") << QStringList { "--project-planes", "0-1", "x.tif" } << 2;
    QTest::newRow("--project-planes 3-1") << QStringList { "--project", "max", "--project-planes", "3-1", "x.tif" } << 2;
    QTest::newRow("--project-planes 2") << QStringList { "--project", "max", "--project-planes", "2", "x.tif" } << 2;
    QTest::newRow("--project-planes past the last") << QStringList { "--project", "sd", "--project-planes", "2-4", input("ij16.tif") } << 2;
    QTest::newRow("help") << QStringList { "--help" } << 0;
    QTest::newRow("version") << QStringList { "--version" } << 0;
}

void tst_import::misuse()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    const result r = run(arguments);
    QCOMPARE(r.exitCode, exitCode);
    if (arguments == QStringList { "--version" })
        QCOMPARE(r.out, QByteArray("tesseline-import " VERSION "\n"));
    if (arguments == QStringList { "--help" })
        QVERIFY(r.out.contains("--range") && r.out.contains("--pattern"));
    if (exitCode == 2)
        QVERIFY2(r.errLines.size() == 2 && r.errLines[1] == "Try 'tesseline-import --help'.", r.errLines.join('\n'));
    QVERIFY(tree(outputs.path()).isEmpty());
}

void tst_import::frames_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("times");
    QTest::addColumn<int>("planes");
    QTest::addColumn<Levels>("channels");
    QTest::addColumn<QList<QRgb>>("colours");   // none: greyscale

    const QStringList two { "--range", "0=0:25500", "--range", "1=1000:26500" };
    const QStringList three = two + QStringList { "--range", "2=2000:27500" };
    const QStringList sixteen { "--range", "0:25500" };
    const QRgb red = qRgb(255, 0, 0), green = qRgb(0, 255, 0), blue = qRgb(0, 0, 255), magenta = qRgb(255, 0, 255);
    const Levels grey { 0 };
    const Levels rgb { 0, 1, 2 };

    QTest::newRow("ImageJ, ranges and LUTs") << QStringList { "ij16.tif" } << QStringList() << 3 << 4 << Levels { 0, 1 }
                                             << QList<QRgb> { green, magenta };
    QTest::newRow("ImageJ, default colours") << QStringList { "ij3.tif" } << three << 3 << 4 << rgb
                                             << QList<QRgb> { red, green, blue };
    QTest::newRow("ImageJ, channels 0,2") << QStringList { "ij3.tif" }
                                          << QStringList { "--channel", "0,2", "--range", "0=0:25500", "--range", "2=2000:27500" }
                                          << 3 << 4 << Levels { 0, 2 } << QList<QRgb> { red, blue };
    QTest::newRow("ImageJ, channel 1 alone") << QStringList { "ij16.tif" } << QStringList { "--channel", "1" } << 3 << 4
                                             << Levels { 1 } << QList<QRgb>();
    QTest::newRow("ImageJ 8-bit kept") << QStringList { "ij8.tif" } << QStringList() << 3 << 4 << grey << QList<QRgb>();
    QTest::newRow("ImageJ min and max") << QStringList { "ijminmax.tif" } << QStringList() << 3 << 4 << grey << QList<QRgb>();
    QTest::newRow("OME XYZCT") << QStringList { "xyzct.ome.tif" } << two << 3 << 4 << Levels { 0, 1 }
                               << QList<QRgb> { magenta, green };
    QTest::newRow("OME XYCTZ") << QStringList { "xyctz.ome.tif" } << two << 3 << 4 << Levels { 0, 1 }
                               << QList<QRgb> { magenta, green };
    QTest::newRow("OME, a TiffData a plane") << QStringList { "tiffdata.ome.tif" } << two << 3 << 4 << Levels { 0, 1 }
                                             << QList<QRgb> { magenta, green };
    for (const char *name : { "shape", "bigtiff", "tiled", "zlib", "bigendian" })
        QTest::newRow(name) << QStringList { QString(name) + ".tif" } << sixteen << 3 << 4 << grey << QList<QRgb>();
    QTest::newRow("int16") << QStringList { "int16.tif" } << QStringList { "--range", "-12800:12700" } << 3 << 4 << grey
                           << QList<QRgb>();
    QTest::newRow("uint32") << QStringList { "uint32.tif" } << QStringList { "--range", "0:2550000" } << 3 << 4 << grey
                            << QList<QRgb>();
    QTest::newRow("int32") << QStringList { "int32.tif" } << QStringList { "--range", "-1000000:1550000" } << 3 << 4
                           << grey << QList<QRgb>();
    QTest::newRow("float32") << QStringList { "float32.tif" } << QStringList { "--range", "0:1" } << 3 << 4 << grey
                             << QList<QRgb>();
    QTest::newRow("RGB 8-bit") << QStringList { "rgb8.tif" } << QStringList() << 3 << 4 << rgb
                               << QList<QRgb> { red, green, blue };
    QTest::newRow("RGB 16-bit") << QStringList { "rgb16.tif" } << three << 3 << 4 << rgb
                                << QList<QRgb> { red, green, blue };
    // Palette pages of a stack hold one channel's intensities.
    QTest::newRow("palette") << QStringList { "palette.tif" } << QStringList() << 3 << 4 << grey << QList<QRgb>();
    QTest::newRow("no metadata, --planes") << QStringList { "plain.tif" } << sixteen + QStringList { "--planes", "4" }
                                           << 3 << 4 << grey << QList<QRgb>();
    QTest::newRow("no metadata, --order tz")
            << QStringList { "plaintz.tif" } << sixteen + QStringList { "--planes", "4", "--order", "tz" } << 3 << 4
            << grey << QList<QRgb>();
    for (const char *name : { "lzw", "deflate", "packbits", "tiles", "strips" })
        QTest::newRow(qPrintable(QString("tiffcp ") + name))
                << QStringList { QString("tiffcp-%1.tif").arg(name) } << sixteen + QStringList { "--planes", "4" } << 3
                << 4 << grey << QList<QRgb>();
    QTest::newRow("tiffcp jpeg") << QStringList { "tiffcp-jpeg.tif" } << QStringList { "--planes", "4" } << 3 << 4
                                 << grey << QList<QRgb>();
    QTest::newRow("a TIFF stack per time point")
            << QStringList { "tiffs/cell_t1.tif", "tiffs/cell_t2.tif", "tiffs/cell_t3.tif" } << sixteen << 3 << 4
            << grey << QList<QRgb>();
    QStringList channelFiles;
    for (int t = 1; t <= 3; ++t)
        channelFiles << QString("channels/C2-cell_t%1.tif").arg(t) << QString("channels/C1-cell_t%1.tif").arg(t);
    QTest::newRow("a TIFF stack per channel and time point")
            << channelFiles << two + QStringList { "--pattern", "C{c}-cell_t{t}.tif" } << 3 << 4 << Levels { 0, 1 }
            << QList<QRgb> { red, green };
    QStringList pngs;
    for (int t = 12; t >= 1; --t)
        pngs << QString("pngs/cell_t%1.png").arg(t);
    QTest::newRow("PNG series, natural order") << pngs << sixteen << 12 << 1 << grey << QList<QRgb>();
    QStringList jpegs;
    for (int t = 5; t <= 7; ++t)
        for (int z = 1; z <= 4; ++z)
            jpegs << QString("jpegs/img-%1-%2.jpg").arg(z).arg(t);
    QTest::newRow("JPEG series, --pattern") << jpegs << QStringList { "--pattern", "img-{z}-{t}.jpg" } << 3 << 4 << grey
                                            << QList<QRgb>();
}

void tst_import::frames()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, options);
    QFETCH(int, times);
    QFETCH(int, planes);
    QFETCH(Levels, channels);
    QFETCH(QList<QRgb>, colours);

    const QString parent = freshDir();
    const QString out = parent + "/out";
    QStringList arguments = options + QStringList { "-o", out, "--name", "cell" };
    for (const QString &file : files)
        arguments << input(file);
    const result r = run(arguments);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.errLines, QByteArrayList());
    QVERIFY2(QRegularExpression(QString("(^|\n)wrote %1 frames \\(.*\\) to .*out in [0-9.]+ s \\([0-9.]+ frames/s\\)\n$")
                                        .arg(times * planes))
                     .match(QString::fromUtf8(r.out)).hasMatch(),
             r.out.constData());

    QCOMPARE(readAll(out + "/cell.tz"), descriptorText("cell", 64, 48, times, planes));
    QCOMPARE(tree(parent).size(), 4 + times * planes);   // out, out/cell.tz, out/cell.import.json, out/img and its frames
    for (int t = 0; t < times; ++t)
        for (int z = 0; z < planes; ++z) {
            const QImage frame(frameName(out, "cell", t, z));
            QVERIFY2(frame.size() == QSize(64, 48), qPrintable(frameName(out, "cell", t, z)));
            QCOMPARE(frame.isGrayscale(), colours.isEmpty());
            QString message;
            QVERIFY2(nearColour(meanColour(frame), expected(channels, colours, t * planes + z), 3, &message),
                     qPrintable(QString("t %1 z %2: %3").arg(t).arg(z).arg(message)));
        }
}

void tst_import::gapLeavesFrameAbsent()
{
    const QString out = freshDir() + "/out";
    const result r = run(QStringList { "--pattern", "img-{z}-{t}.jpg", "-o", out, "--name", "gap" }
                         + QDir(input("gap")).entryList({ "*.jpg" }).replaceInStrings(QRegularExpression("^"), input("gap/")));
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.errLines.size(), 1);
    // The absent frame is named by its time point and focal plane, as indices or as the files number them.
    const QString warning = QString::fromUtf8(r.errLines[0]);
    QVERIFY2(warning.startsWith("tesseline-import: warning: ")
                     && warning.contains(QRegularExpression("\\b(t|time|time points?)[ =:]*(1|6)\\b"))
                     && warning.contains(QRegularExpression("\\b(z|focal planes?)[ =:]*(2|3)\\b")),
             qPrintable(warning));
    QCOMPARE(readAll(out + "/gap.tz"), descriptorText("gap", 64, 48, 3, 4));
    for (int t = 0; t < 3; ++t)
        for (int z = 0; z < 4; ++z)
            QCOMPARE(QFile::exists(frameName(out, "gap", t, z)), t != 1 || z != 2);
    QString message;
    QVERIFY2(nearColour(meanColour(QImage(frameName(out, "gap", 1, 3))), expected({ 0 }, {}, 7), 2, &message),
             qPrintable(message));
}

void tst_import::brightness_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("window");
    QTest::newRow("0.35 % saturated at each end") << "ramp.tif" << QStringList() << QByteArray("channel 0: window 35 to 9964 (");
    QTest::newRow("histogram of every plane") << "ramp2.tif" << QStringList() << QByteArray("channel 0: window 0 to 9929 (");
    QTest::newRow("ImageJ range of channel 1") << "ij16.tif" << QStringList() << QByteArray("channel 1: window 1000 to 26500 (");
    QTest::newRow("ImageJ min and max") << "ijminmax.tif" << QStringList() << QByteArray("channel 0: window 5000 to 30500 (");
    QTest::newRow("--range over the file's") << "ij16.tif" << QStringList { "--range", "1=7:300" }
                                             << QByteArray("channel 1: window 7 to 300 (");
    QTest::newRow("--range full") << "ramp.tif" << QStringList { "--range", "full" } << QByteArray("channel 0: window 0 to 65535 (");
    QTest::newRow("8-bit as it is") << "ij8.tif" << QStringList() << QByteArray("channel 0: window 0 to 255 (");
    QTest::newRow("channel's --range after all channels'") << "ij16.tif" << QStringList { "--range", "0:9", "--range", "1=7:300" }
                                                           << QByteArray("channel 1: window 7 to 300 (");
    QTest::newRow("channel's --range before all channels'") << "ij16.tif" << QStringList { "--range", "1=7:300", "--range", "0:9" }
                                                            << QByteArray("channel 1: window 7 to 300 (");
    const QByteArray autoWindow = " (auto, 0.35 % saturated)\n";
    QTest::newRow("--range auto, 8-bit") << "ij8.tif" << QStringList { "--range", "auto" }
                                         << "channel 0: window 16 to 214" + autoWindow;
    QTest::newRow("--range auto over the file's") << "ij16.tif" << QStringList { "--range", "auto" }
                                                  << "channel 1: window 2600 to 22400" + autoWindow;
    QTest::newRow("--range 1=auto, 8-bit") << "rgb8.tif" << QStringList { "--range", "1=auto" }
                                           << "channel 1: window 16 to 214" + autoWindow;
    QTest::newRow("--range 1=auto over 0:9 and the file's") << "ij16.tif" << QStringList { "--range", "0:9", "--range", "1=auto" }
                                                            << "channel 1: window 2600 to 22400" + autoWindow;
}

void tst_import::brightness()
{
    QFETCH(QString, file);
    QFETCH(QStringList, options);
    QFETCH(QByteArray, window);
    const result r = run(options + QStringList { "-o", freshDir() + "/out", input(file) });
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.startsWith(window) || r.out.contains("\n" + window), r.out.constData());
}

void tst_import::clipping()
{
    const QString out = freshDir() + "/out";
    QCOMPARE(run({ "--range", "1000:2000", "-o", out, "--name", "c", input("clip.tif") }).exitCode, 0);
    const int wanted[] = { 0, 128, 255 };
    for (int t = 0; t < 3; ++t)
        QVERIFY(qAbs(qRed(meanColour(QImage(frameName(out, "c", t, 0)))) - wanted[t]) <= 1);
}

void tst_import::projection_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("planes");   // FIRST-LAST projected
    QTest::addColumn<QString>("source");   // of the window
    QTest::newRow("max, the file's window") << QStringList { "max", "--channel", "0" } << "0-4" << "from the file";
    QTest::newRow("min, --range") << QStringList { "min", "--channel", "0", "--range", "0=1000:9000" } << "0-4" << "--range";
    QTest::newRow("mean of planes 1-3") << QStringList { "mean", "--channel", "1", "--project-planes", "1-3" } << "1-3" << "from the file";
    QTest::newRow("sum, auto on the projections") << QStringList { "sum", "--channel", "1" } << "0-4" << "auto";
    QTest::newRow("sd of planes 2-4, auto") << QStringList { "sd", "--channel", "0", "--range", "0=auto", "--project-planes", "2-4" } << "2-4" << "auto";
}

// One frame per time point: numpy's projection of its planes through the window used.
void tst_import::projection()
{
    QFETCH(QStringList, options);
    QFETCH(QString, planes);
    QFETCH(QString, source);
    const QString out = freshDir() + "/out", kind = options.first();
    options = QStringList { "--project" } + options + QStringList { input("proj.tif"), "--quality", "100", "--name", "p" };
    const result r = run(options + QStringList { "-o", out });
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(readAll(out + "/p.tz"), descriptorText("p", 32, 24, 2, 1));
    QProcess numpy;
    numpy.start("/usr/bin/python3", QStringList { INPUTS_PY, "--project", input("proj.tif"), kind } + planes.split('-'));
    QVERIFY(numpy.waitForFinished(60000));
    const QByteArray projected = numpy.readAllStandardOutput();
    QCOMPARE(projected.size(), qsizetype(2 * 2 * 768 * sizeof(double)));

    const QRegularExpressionMatch window = QRegularExpression("channel (\\d): window (\\S+) to (\\S+) \\((.*)\\)").match(QString::fromUtf8(r.out));
    QVERIFY2(window.captured(4).startsWith(source), r.out.constData());
    const int c = window.captured(1).toInt();
    const double low = window.captured(2).toDouble(), high = window.captured(3).toDouble();
    int darkest = 255, brightest = 0;
    for (int t = 0; t < 2; ++t) {
        const QImage frame(frameName(out, "p", t, 0));
        QCOMPARE(frame.size(), QSize(32, 24));
        for (int i = 0; i < 768; ++i) {
            const double v = reinterpret_cast<const double *>(projected.constData())[(t * 2 + c) * 768 + i];
            const int wanted = qBound(0, qRound((v - low) * 255 / (high - low)), 255), got = qGray(frame.pixel(i % 32, i / 32));
            darkest = qMin(darkest, wanted);
            brightest = qMax(brightest, wanted);
            QVERIFY2(qAbs(got - wanted) <= 4, qPrintable(QString("t %1, pixel %2: %3, not %4").arg(t).arg(i).arg(got).arg(wanted)));
        }
    }
    // An automatic window, measured on the projections, spans them.
    QVERIFY(source != "auto" || (darkest <= 8 && brightest >= 247));

    const QJsonObject described = QJsonDocument::fromJson(run(options + QStringList { "--describe" }).out).object();
    for (const QJsonObject &said : { described, QJsonDocument::fromJson(readAll(out + "/p.import.json")).object() })
        QCOMPARE(QString("%1 %2-%3 %4").arg(said["projection"]["kind"].toString()).arg(said["projection"]["first"].toInt())
                         .arg(said["projection"]["last"].toInt()).arg(said["physicalSize"].toString()),
                 kind + " " + planes + " 0.25 × 0.5 µm pixels, focal planes 2.5 µm apart");
    QCOMPARE(described["frames"].toInt(), 2);
    const QByteArray dryRun = run(options + QStringList { "--dry-run" }).out;
    QVERIFY2(dryRun.contains("\nphysical size: 0.25 × 0.5 µm") && dryRun.contains("x 1 focal plane)"), dryRun.constData());
}

void tst_import::wideIndices()
{
    const QString out = freshDir() + "/out";
    QCOMPARE(run({ "-o", out, "--name", "w", input("long.tif") }).exitCode, 0);
    QCOMPARE(readAll(out + "/w.tz"), descriptorText("w", 8, 8, 1001, 1));
    QVERIFY(QFile::exists(out + "/img/w_t999_z000_ch000.jpg"));
    QVERIFY(QFile::exists(out + "/img/w_t1000_z000_ch000.jpg"));
}

void tst_import::defaultName()
{
    const QString dir = freshDir();
    QVERIFY(QFile::copy(input("plain8.tif"), dir + "/my cell+1.ome.tif"));
    const result r = run({ "-q", "my cell+1.ome.tif" }, IMPORTER, dir);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(readAll(dir + "/my_cell_1/my_cell_1.tz"), descriptorText("my_cell_1", 64, 48, 12, 1));
}

void tst_import::forceReplaces()
{
    const QString out = freshDir() + "/out";
    QVERIFY(writeFile(out + "/old.tz", "dataset old\n") && writeFile(out + "/img/old_t000_z000_ch000.jpg", "x")
            && writeFile(out + "/old.import.json", "{}"));
    QCOMPARE(run({ "-q", "--force", "-o", out, "--name", "new", input("ij8.tif") }).exitCode, 0);
    QCOMPARE(readAll(out + "/new.tz"), descriptorText("new", 64, 48, 3, 4));
    QVERIFY(!QFile::exists(out + "/old.tz") && !QFile::exists(out + "/img/old_t000_z000_ch000.jpg"));

    // What the new dataset was made from, and how.
    const QJsonObject record = QJsonDocument::fromJson(readAll(out + "/new.import.json")).object();
    const QJsonObject from = record["inputs"].toArray().first().toObject();
    QCOMPARE(from["path"].toString(), input("ij8.tif"));
    QCOMPARE(from["size"].toInteger(), QFileInfo(input("ij8.tif")).size());
    QCOMPARE(record["settings"].toVariant().toStringList(), QStringList({ "--name", "new" }));
}

void tst_import::dryRunWritesNothing()
{
    const QString parent = freshDir();
    const result r = run({ "--dry-run", "-o", parent + "/out", input("ij16.tif") });
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.contains("channel 1: window 1000 to 26500") && r.out.contains("64") && r.out.contains("48")
                     && r.out.contains("12"),
             r.out.constData());
    QCOMPARE(tree(parent), QStringList());
}

// Noise takes far more bytes at quality 100 than at 10.
void tst_import::quality()
{
    const QString parent = freshDir();
    qint64 sizes[2] = {};
    for (int i : { 0, 1 }) {
        const QString out = parent + QString("/q%1").arg(i);
        QCOMPARE(run({ "-q", "--quality", i == 0 ? "100" : "10", "-o", out, "--name", "n", input("noise.tif") }).exitCode, 0);
        sizes[i] = QFileInfo(frameName(out, "n", 0, 0)).size();
    }
    QVERIFY2(sizes[0] > 3 * sizes[1], qPrintable(QString("%1 and %2 bytes").arg(sizes[0]).arg(sizes[1])));
}

// script(1) gives the importer a terminal.
void tst_import::progressOnTerminal()
{
    const QString out = freshDir() + "/out";
    const auto onTerminal = [this](const QString &command) {
        return run({ "-qec", command, "/dev/null" }, "script").out;
    };
    const QByteArray shown = onTerminal(QString("%1 --threads 1 -o %2 %3").arg(IMPORTER, out, input("large.tif")));
    QVERIFY2(QRegularExpression("\rframes [1-9][0-9]*/60, ").match(QString::fromUtf8(shown)).hasMatch(), shown.constData());
    QVERIFY2(shown.contains("wrote 60 frames"), shown.constData());
    const QByteArray quiet = onTerminal(QString("%1 -q -o %2/q %3").arg(IMPORTER, out, input("ij8.tif")));
    QVERIFY2(!quiet.contains("frames"), quiet.constData());
    QVERIFY(QFile::exists(out + "/q/ij8.tz"));
}

void tst_import::describe_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("channels");   // per channel: colour, the file's window, the window used or null
    QTest::newRow("ImageJ LUTs and ranges") << QStringList { "ij16.tif" }
                                            << "#00ff00 [0,25500] {0,25500}; #ff00ff [1000,26500] {1000,26500}";
    QTest::newRow("auto asked for is measured") << QStringList { "--range", "1=auto", "ij16.tif" }
                                                << "#00ff00 [0,25500] {0,25500}; #ff00ff [1000,26500] {2600,22400}";
    QTest::newRow("auto by default is not") << QStringList { "shape.tif" } << "#ff0000 null null";
    QTest::newRow("--channel picks, all are told") << QStringList { "--channel", "2", "--range", "2=0:9", "ij3.tif" }
                                                   << "#ff0000 null null; #00ff00 null null; #0000ff null {0,9}";
}

// --describe: what the viewer's import dialog shows, read from the metadata
// of files with 3 time points of 4 focal planes, writing nothing.
void tst_import::describe()
{
    QFETCH(QStringList, options);
    QFETCH(QString, channels);
    const QString parent = freshDir();
    const QString file = input(options.takeLast());
    const result r = run(options + QStringList { "--describe", file }, IMPORTER, parent);
    QCOMPARE(r.exitCode, 0);
    const QJsonObject d = QJsonDocument::fromJson(r.out).object();
    QCOMPARE(d["inputs"].toArray().first().toString(), file);
    QCOMPARE(QString("%1 %2 %3").arg(d["times"].toInt()).arg(d["planes"].toInt()).arg(d["frames"].toInt()), QString("3 4 12"));
    // A window as the rows write it: [low,high] from an array, {low,high} from an object.
    const auto text = [](const QJsonValue &v) {
        return v.isArray()    ? QString("[%1,%2]").arg(v[0].toDouble()).arg(v[1].toDouble())
               : v.isObject() ? QString("{%1,%2}").arg(v["low"].toDouble()).arg(v["high"].toDouble())
                              : QString("null");
    };
    QStringList seen;
    for (const QJsonValue &c : d["channels"].toArray())
        seen << QString("%1 %2 %3").arg(c["colour"].toString(), text(c["fileWindow"]), text(c["window"]));
    QCOMPARE(seen.join("; "), channels);
    QCOMPARE(tree(parent), QStringList());
}

// The size --describe expects, from a few frames encoded, is that of the dataset written.
void tst_import::estimate()
{
    const QString out = freshDir() + "/out";
    const QStringList options { "--colour", "0=#ff8000", input("ramp2.tif") };
    const result described = run(QStringList { "--describe" } + options);
    QCOMPARE(described.exitCode, 0);
    QCOMPARE(run(QStringList { "-q", "-o", out } + options).exitCode, 0);
    qint64 written = 0;
    for (const QFileInfo &frame : QDir(out + "/img").entryInfoList(QDir::Files))
        written += frame.size();
    const double ratio = QJsonDocument::fromJson(described.out)["estimatedBytes"].toDouble() / double(written);
    QVERIFY2(ratio > 0.7 && ratio < 1.3, qPrintable(QString::number(ratio)));
}

// --json-progress: only JSON lines on standard output, ending with the descriptor.
void tst_import::jsonProgress()
{
    const QString out = freshDir() + "/out";
    const result r = run({ "--json-progress", "--threads", "1", "-o", out, input("ramp2.tif") });
    QCOMPARE(r.exitCode, 0);
    QStringList stages;
    QJsonObject last;
    for (const QByteArray &line : r.out.trimmed().split('\n')) {
        last = QJsonDocument::fromJson(line).object();
        QVERIFY2(!last.isEmpty() && last["done"].toInt() <= last["total"].toInt(), line.constData());
        if (!stages.contains(last["stage"].toString()))
            stages << last["stage"].toString();
    }
    QCOMPARE(stages, QStringList({ "measuring", "writing", "done" }));
    QCOMPARE(last["descriptor"].toString(), out + "/ramp2.tz");
    QVERIFY(QFile::exists(out + "/ramp2.tz"));
}

void tst_import::failure_data()
{
    QTest::addColumn<QStringList>("arguments");   // OUT stands for the output folder
    QTest::addColumn<QString>("before");          // "" no OUT, "old" a dataset, "notes" other files, "file" a file, "under" below a file
    QTest::addColumn<QByteArray>("names");        // what the error line names
    QTest::newRow("no such file") << QStringList { input("none.tif") } << "" << QByteArray("none.tif: ");
    QTest::newRow("a folder") << QStringList { input("pngs") } << "" << QByteArray("pngs: ");
    QTest::newRow("not an image") << QStringList { input("text.tif") } << "" << QByteArray("text.tif: ");
    QTest::newRow("truncated TIFF") << QStringList { input("truncated.tif") } << "" << QByteArray("truncated.tif: ");
    QTest::newRow("pages of different sizes") << QStringList { input("sizes.tif") } << "" << QByteArray("sizes.tif: ");
    QTest::newRow("ImageJ counts more images") << QStringList { input("ijlie.tif") } << "" << QByteArray("ijlie.tif: ");
    QTest::newRow("OME-XML counts more time points") << QStringList { input("omelie.ome.tif") } << ""
                                                     << QByteArray("omelie.ome.tif: ");
    QTest::newRow("--planes 3 over 10 pages") << QStringList { "--planes", "3", input("ten.tif") } << ""
                                              << QByteArray("ten.tif: ");
    QTest::newRow("output exists") << QStringList { input("ij8.tif") } << "old" << QByteArray("/out: ");
    QTest::newRow("--force, input fails: old dataset kept") << QStringList { "--force", input("truncated.tif") } << "old"
                                                            << QByteArray("truncated.tif: ");
    QTest::newRow("--force over a folder of other files") << QStringList { "--force", input("ij8.tif") } << "notes"
                                                          << QByteArray("/out: ");
    QTest::newRow("--force over a file") << QStringList { "--force", input("ij8.tif") } << "file" << QByteArray("/out: ");
    QTest::newRow("output under a file") << QStringList { input("ij8.tif") } << "under" << QByteArray("/out");
    QTest::newRow("full disk") << QStringList { "prlimit", "--fsize=20000", IMPORTER, input("noise.tif") } << ""
                               << QByteArray(".jpg: ");
}

void tst_import::failure()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, before);
    QFETCH(QByteArray, names);
    const QString parent = freshDir();
    QString out = parent + "/out";
    if (before == "old")
        QVERIFY(writeFile(out + "/old.tz", "dataset old\n") && writeFile(out + "/img/old_t000_z000_ch000.jpg", "x"));
    if (before == "notes")
        QVERIFY(writeFile(out + "/notes.txt", "not a dataset"));
    if (before == "file" || before == "under")
        QVERIFY(writeFile(out, "a file"));
    if (before == "under")
        out += "/out";
    const QStringList was = tree(parent);

    const QString program = arguments.first() == "prlimit" ? arguments.takeFirst() : QString(IMPORTER);
    const result r = run(arguments + QStringList { "-o", out }, program);
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.errLines.size(), 1);
    QVERIFY2(r.errLines[0].startsWith("tesseline-import: ") && r.errLines[0].contains(names), r.errLines[0].constData());
    QCOMPARE(tree(parent), was);
}

void tst_import::interrupt_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("force");   // over an old dataset, which must stay
    QTest::newRow("SIGINT") << SIGINT << false;
    QTest::newRow("SIGTERM") << SIGTERM << false;
    QTest::newRow("SIGHUP") << SIGHUP << false;
    QTest::newRow("SIGINT, --force over a dataset") << SIGINT << true;
}

void tst_import::interrupt()
{
    QFETCH(int, signal);
    QFETCH(bool, force);
    const QString parent = freshDir();
    if (force)
        QVERIFY(writeFile(parent + "/out/old.tz", "dataset old\n") && writeFile(parent + "/out/img/old_t000_z000_ch000.jpg", "x"));
    const QStringList was = tree(parent);
    QProcess process;
    QStringList arguments { "--threads", "1", "-o", parent + "/out", input("large.tif") };
    if (force)
        arguments << "--force";
    process.start(IMPORTER, arguments);
    QVERIFY(process.waitForStarted());
    QDeadlineTimer deadline(60000);
    while (tree(parent).filter(".jpg").size() == was.filter(".jpg").size() && process.state() == QProcess::Running
           && !deadline.hasExpired())
        QThread::msleep(2);
    QVERIFY2(process.state() == QProcess::Running, "finished before a frame appeared");
    ::kill(process.processId(), signal);
    QVERIFY(process.waitForFinished(60000));
    // Ctrl+C ends with 130, the others as the signal does.
    QCOMPARE(process.exitStatus(), signal == SIGINT ? QProcess::NormalExit : QProcess::CrashExit);
    QCOMPARE(process.exitCode(), signal == SIGINT ? 130 : signal);
    QCOMPARE(process.readAllStandardError(), QByteArray("tesseline-import: interrupted; nothing was written\n"));
    QCOMPARE(tree(parent), was);
}

void tst_import::roundTrip()
{
    const QString out = freshDir() + "/out";
    QCOMPARE(run({ "-q", "-o", out, "--name", "cell", input("ij16.tif") }).exitCode, 0);
    window w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    TraceCapture capture;
    w.openDescriptor(out + "/cell.tz");
    settle();
    QScrollBar *time = nullptr, *focal = nullptr;
    for (QScrollBar *slider : w.findChildren<QScrollBar *>()) {
        if (slider->accessibleName() == "Time point")
            time = slider;
        else if (slider->accessibleName() == "Focal plane")
            focal = slider;
    }
    QVERIFY(time && focal && w.findChild<frameview *>());
    const QList<QPair<int, int>> indices { { 0, 0 }, { 2, 1 }, { 1, 3 } };
    for (const auto &[t, z] : indices) {
        time->setValue(t);
        focal->setValue(z);
        settle();
        QString message;
        const QRgb wanted = expected({ 0, 1 }, { qRgb(0, 255, 0), qRgb(255, 0, 255) }, t * 4 + z);
        QVERIFY2(nearColour(meanColour(w.findChild<frameview *>()->pixmap().toImage()), wanted, 3, &message), qPrintable(message));
    }
}

QTEST_MAIN(tst_import)
#include "tst_import.moc"
