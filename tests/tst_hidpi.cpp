#include "window.h"
#include "testutil.h"

#include <QtTest>
#include <QtWidgets>

// Runs on a screen with device pixel ratio 2 (see hidpi.json): a frame pixel
// is one device-independent pixel, drawn as a sharp 2 x 2 block.
class tst_hidpi : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void layoutInDeviceIndependentPixels_data();
    void layoutInDeviceIndependentPixels();
    void framePixelsAreSharpBlocks();

private:
    QTemporaryDir dir;
    QString fileName;
};

void tst_hidpi::initTestCase()
{
    QCOMPARE(QGuiApplication::primaryScreen()->devicePixelRatio(), 2.0);
    QVERIFY(QDir(dir.path()).mkdir("img"));
    QVERIFY(testFrame(320, 240, 3).save(dir.filePath("img/dpr_t000_z001_ch000.jpg"), "JPG", 95));
    fileName = writeDescriptor(dir.path(), "dataset dpr width 320 height 240 mint 0 maxt 5 minz 0 maxz 2");
}

void tst_hidpi::layoutInDeviceIndependentPixels_data()
{
    QTest::addColumn<int>("control");
    QTest::addColumn<QRect>("geometry");
    QTest::newRow("image") << 0 << QRect(5, 5, 320, 240);
    QTest::newRow("time slider") << 1 << QRect(60, 284, 257, 16);
    QTest::newRow("focal counter") << 2 << QRect(5, 310, 48, 25);
}

void tst_hidpi::layoutInDeviceIndependentPixels()
{
    QFETCH(int, control);
    QFETCH(QRect, geometry);
    window w;
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.openDescriptor(fileName);
    settle();
    const QList<QWidget *> controls { w.imageLabel, w.scrollTime, w.focalPlane };
    QCOMPARE(controls.at(control)->geometry(), geometry);
    QCOMPARE(w.size(), QSize(330, 365));
    QCOMPARE(w.grab().size(), QSize(660, 730));
}

void tst_hidpi::framePixelsAreSharpBlocks()
{
    window w;
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.openDescriptor(fileName);
    settle();
    const QImage frame = QImage(dir.filePath("img/dpr_t000_z001_ch000.jpg")).convertToFormat(QImage::Format_RGB32);
    const QImage shown = w.imageLabel->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shown.size(), frame.size() * 2);
    for (int y = 0; y < frame.height(); ++y)
        for (int x = 0; x < frame.width(); ++x)
            for (const QPoint &d : { QPoint(0, 0), QPoint(1, 0), QPoint(0, 1), QPoint(1, 1) })
                if (shown.pixel(2 * x + d.x(), 2 * y + d.y()) != frame.pixel(x, y))
                    QFAIL(qPrintable(QString("frame pixel %1,%2 is not a sharp block").arg(x).arg(y)));
}

QTEST_MAIN(tst_hidpi)
#include "tst_hidpi.moc"
