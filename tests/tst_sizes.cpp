// Physical sizes of pixels and focal planes, as each format's metadata
// gives them, in files written at test time by tifffile and python3-zarr.

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

    QTest::newRow("ImageJ, resolution, escaped µm and spacing") << "imagej.tif" << "0.25 × 0.5 µm pixels, focal planes 2.5 µm apart";
    QTest::newRow("ImageJ in microns") << "imagej-micron.tif" << "0.5 × 0.5 µm pixels, focal planes 0.5 µm apart";
    QTest::newRow("ImageJ uncalibrated") << "imagej-uncalibrated.tif" << "not given";
    QTest::newRow("OME-TIFF, planes in nm") << "ome-units.tif" << "0.2 × 0.3 µm pixels, focal planes 1.5 µm apart";
    QTest::newRow("OME-TIFF without units") << "ome-no-units.tif" << "0.4 × 0.4 µm pixels, focal planes 3 µm apart";
    QTest::newRow("OME-Zarr, scales composed, planes in nm") << "ome.zarr" << "0.5 × 0.5 µm pixels, focal planes 2 µm apart";
    QTest::newRow("OME-Zarr without units") << "ome-no-units.zarr" << "0.5 × 0.5 pixels, focal planes 4 apart (no unit given)";
    QTest::newRow("plain TIFF") << "plain.tif" << "not given";
}

void tst_sizes::sizes()
{
    QFETCH(QString, file);
    QFETCH(QString, sizes);

    QString error;
    const std::unique_ptr<stack> s = openStack({ dir.filePath(file) }, stackOptions(), &error);
    QVERIFY2(s, qPrintable(error));
    QCOMPARE(sizesText(*s), sizes);
}

QTEST_GUILESS_MAIN(tst_sizes)
#include "tst_sizes.moc"
