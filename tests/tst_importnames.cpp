#include "names.h"
#include "window.h"

#include <QtTest>

// The importer's frame names against the viewer's own composition.
class tst_importnames : public QObject
{
    Q_OBJECT

private slots:
    void frameNames_data();
    void frameNames();
    void datasetNames_data();
    void datasetNames();
};

void tst_importnames::frameNames_data()
{
    QTest::addColumn<QString>("dataset");
    QTest::addColumn<int>("t");
    QTest::addColumn<int>("z");
    QTest::newRow("zero") << "cellA" << 0 << 0;
    QTest::newRow("one digit") << "cellA" << 7 << 3;
    QTest::newRow("two digits") << "cellA" << 42 << 12;
    QTest::newRow("999") << "cellA" << 999 << 999;
    QTest::newRow("1000 is not cut") << "cellA" << 1000 << 0;
    QTest::newRow("five digits") << "cellA" << 12345 << 1000;
    QTest::newRow("dots and dashes") << "C1-MAX_mitosis.v2" << 5 << 1234;
}

void tst_importnames::frameNames()
{
    QFETCH(QString, dataset);
    QFETCH(int, t);
    QFETCH(int, z);
    window viewer;
    viewer.path = "/data/run1";
    viewer.dataset = dataset.toUtf8();
    viewer.mTimePoint = t;
    viewer.mFocalPlane = z;
    QCOMPARE(QString::fromLocal8Bit(viewer.frameName()), "/data/run1/img/" + frameFileName(dataset, t, z));
    QCOMPARE(digit3(t), QString::fromLatin1(viewer.digit3(t)));
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

QTEST_MAIN(tst_importnames)
#include "tst_importnames.moc"
