#include "datasetformat.h"
#include "names.h"

#include <QtTest>

// The names of a dataset's frames, as the importer writes them and the
// viewer looks for them, and the names of datasets.
class tst_importnames : public QObject
{
    Q_OBJECT

private slots:
    void frameNames_data();
    void frameNames();
    void datasetNames_data();
    void datasetNames();
    void seriesNames_data();
    void seriesNames();
};

void tst_importnames::frameNames_data()
{
    QTest::addColumn<QString>("dataset");
    QTest::addColumn<int>("t");
    QTest::addColumn<int>("z");
    QTest::addColumn<QString>("name");
    QTest::newRow("zero") << "cellA" << 0 << 0 << "cellA_t000_z000_ch000.jpg";
    QTest::newRow("one digit") << "cellA" << 7 << 3 << "cellA_t007_z003_ch000.jpg";
    QTest::newRow("two digits") << "cellA" << 42 << 12 << "cellA_t042_z012_ch000.jpg";
    QTest::newRow("999") << "cellA" << 999 << 999 << "cellA_t999_z999_ch000.jpg";
    QTest::newRow("1000 is not cut") << "cellA" << 1000 << 0 << "cellA_t1000_z000_ch000.jpg";
    QTest::newRow("five digits") << "cellA" << 12345 << 1000 << "cellA_t12345_z1000_ch000.jpg";
    QTest::newRow("dots and dashes") << "C1-MAX_mitosis.v2" << 5 << 1234 << "C1-MAX_mitosis.v2_t005_z1234_ch000.jpg";
}

// The file the importer writes is the one the viewer reads.
void tst_importnames::frameNames()
{
    QFETCH(QString, dataset);
    QFETCH(int, t);
    QFETCH(int, z);
    QFETCH(QString, name);
    QCOMPARE(frameFileName(dataset, t, z), name);
    QByteArray path = "/data/run1/img/" + name.toUtf8();
#ifdef Q_OS_WIN
    path.replace('/', '\\');
#endif
    QCOMPARE(frameName("/data/run1", dataset.toUtf8(), t, z), path);
}

void tst_importnames::datasetNames_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("valid");
    QTest::newRow("ImageJ stack") << "/data/mitosis.tif" << "mitosis" << true;
    QTest::newRow("all extensions go") << "run/cell.ome.tif" << "cell" << true;
    QTest::newRow("spaces and signs") << "C1 MAX (mitosis)+t.tif" << "C1_MAX__mitosis__t" << true;
    QTest::newRow("non-ASCII letters") << "zelle-größe.tif" << "zelle-gr__e" << true;
    QTest::newRow("dashes and underscores kept") << "a-b_c" << "a-b_c" << true;
    QTest::newRow("nothing before the dot") << "/data/.tif" << "" << false;
}

void tst_importnames::datasetNames()
{
    QFETCH(QString, input);
    QFETCH(QString, name);
    QFETCH(bool, valid);
    QCOMPARE(datasetNameFor(input), name);
    QCOMPARE(isDatasetName(name), valid);
    QVERIFY(!isDatasetName("two words"));
    QVERIFY(!isDatasetName("a/b"));
    QVERIFY(isDatasetName("v1.2-final_x"));
}

void tst_importnames::seriesNames_data()
{
    QTest::addColumn<QStringList>("inputs");
    QTest::addColumn<QString>("name");
    QTest::newRow("ImageJ's split channels") << QStringList { "/d/C1-MAX_mitosis.tif", "/d/C2-MAX_mitosis.tif" } << "MAX_mitosis";
    QTest::newRow("split channels over time") << QStringList { "c1/C1-MAX_mitosis_t0.tif", "c2/C2-MAX_mitosis_t1.tif" } << "MAX_mitosis";
    QTest::newRow("mitocheck") << QStringList { "EMBO_2012_Group3--empty--empty--W0002--P001--T00000--Z000--C.tif",
                                                "EMBO_2012_Group3--empty--empty--W0002--P001--T00001--Z000--C.tif" }
                               << "EMBO_2012_Group3--empty--empty--W0002";
    QTest::newRow("Micro-Manager") << QStringList { "img_channel000_position000_time000000000_z000.tif",
                                                    "img_channel001_position000_time000000000_z000.tif" } << "img";
    QTest::newRow("common start, no number cut") << QStringList { "run12_a.ome.tif", "run13_b.ome.tif" } << "run";
    QTest::newRow("nothing shared: the folder") << QStringList { "/data/run 7/P1_T0.tif", "/data/run 7/P2_T0.tif" } << "run_7";
    QTest::newRow("one input keeps its indices") << QStringList { "/d/C1-MAX_mitosis_t3.tif" } << "C1-MAX_mitosis_t3";
}

void tst_importnames::seriesNames()
{
    QFETCH(QStringList, inputs);
    QFETCH(QString, name);
    QCOMPARE(datasetNameFor(inputs), name);
}

QTEST_MAIN(tst_importnames)
#include "tst_importnames.moc"
