// Physical sizes of pixels and focal planes, and times, as each format's
// metadata gives them, in files written at test time by tifffile and python3-zarr.

#include "metadata.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class tst_sizes : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sizes_data();
    void sizes();
    void facts();

private:
    QTemporaryDir dir;
};

void tst_sizes::initTestCase()
{
    QVERIFY(dir.isValid());
    QProcess process;
    process.start("/usr/bin/python3", { INPUTS_PY, dir.path() });
    QVERIFY(process.waitForFinished(60000));
    QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0, process.readAllStandardError().constData());
}

void tst_sizes::sizes_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("sizes");
    QTest::addColumn<QString>("times");
    QTest::addColumn<double>("last");   // seconds to the last time point, -1 for none

    const QString none = QStringLiteral("not given");
    QTest::newRow("ImageJ, resolution, escaped µm and spacing") << "imagej.tif" << "0.25 × 0.5 µm pixels, focal planes 2.5 µm apart" << none << -1.0;
    QTest::newRow("ImageJ in microns") << "imagej-micron.tif" << "0.5 × 0.5 µm pixels, focal planes 0.5 µm apart" << none << -1.0;
    QTest::newRow("ImageJ uncalibrated") << "imagej-uncalibrated.tif" << none << none << -1.0;
    QTest::newRow("ImageJ finterval") << "imagej-times.tif" << none << "every 2.5 s" << 5.0;
    QTest::newRow("ImageJ finterval in minutes") << "imagej-minutes.tif" << none << "every 30 s" << 60.0;
    QTest::newRow("OME-TIFF, planes in nm") << "ome-units.tif" << "0.2 × 0.3 µm pixels, focal planes 1.5 µm apart" << none << -1.0;
    QTest::newRow("OME-TIFF without units") << "ome-no-units.tif" << "0.4 × 0.4 µm pixels, focal planes 3 µm apart" << none << -1.0;
    QTest::newRow("OME-TIFF TimeIncrement") << "ome-increment.tif" << none << "every 30 s" << 60.0;
    QTest::newRow("OME-TIFF DeltaT per plane") << "ome-deltat.tif" << none << "3 time stamps over 25 min" << 1500.0;
    QTest::newRow("LSM time stamps") << "times.lsm" << none << "3 time stamps over 4 s" << 4.0;
    QTest::newRow("OME-Zarr, scales composed, planes in nm") << "ome.zarr" << "0.5 × 0.5 µm pixels, focal planes 2 µm apart" << "every 10 s" << 0.0;
    QTest::newRow("OME-Zarr without units") << "ome-no-units.zarr" << "0.5 × 0.5 pixels, focal planes 4 apart (no unit given)" << none << -1.0;
    QTest::newRow("plain TIFF") << "plain.tif" << none << none << -1.0;
}

void tst_sizes::sizes()
{
    QFETCH(QString, file);
    QFETCH(QString, sizes);

    QString error;
    const std::unique_ptr<stack> s = openStack({ dir.filePath(file) }, stackOptions(), &error);
    QVERIFY2(s, qPrintable(error));
    QCOMPARE(sizesText(*s), sizes);
    QFETCH(QString, times);
    QFETCH(double, last);
    QCOMPARE(timesText(*s), times);
    QCOMPARE(elapsedSeconds(*s, s->times - 1).value_or(-1), last);
}

void tst_sizes::facts()
{
    QString error;
    const std::unique_ptr<stack> s = openStack({ dir.filePath("imagej-times.tif") }, stackOptions(), &error);
    QVERIFY2(s, qPrintable(error));
    const QList<QPair<QString, QString>> expected = {
        { "Kind", "ImageJ hyperstack" },
        { "Dimensions", "9 × 8 pixels, 3 time points, 2 focal planes, 1 channel" },
        { "Axes", "XYCZT, fastest first" },
        { "Data type", "16-bit unsigned integers" },
        { "Physical size", "not given" },
        { "Times", "every 2.5 s" },
        { "Playback", "4 frames a second" },
    };
    QCOMPARE(stackFacts(*s), expected);
    QVERIFY(s->metadataText.contains("finterval=2.5"));
    QVERIFY(s->metadataText.contains("Objective: 63x/1.4 Oil"));
    // LSM names the objective in its scan information, among the tracks' entries.
    const std::unique_ptr<stack> lsm = openStack({ dir.filePath("times.lsm") }, stackOptions(), &error);
    QVERIFY2(lsm, qPrintable(error));
    QCOMPARE(stackFacts(*lsm).last(), qMakePair(QString("Objective"), QString("Plan-Apochromat 20x/0.8 M27")));
}

QTEST_GUILESS_MAIN(tst_sizes)
#include "tst_sizes.moc"
