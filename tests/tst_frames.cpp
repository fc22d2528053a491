#include "window.h"
#include "testutil.h"

#include <QtTest>
#include <QtWidgets>

#include <climits>

class tst_frames : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void digit3_data();
    void digit3();
    void frameName_data();
    void frameName();
    void loadsOncePerPair();
    void shownPixels_data();
    void shownPixels();
    void badFrame_data();
    void badFrame();
    void reopenLoadsFirstFrame();
    void steppingBackDecodesAgain();
    void minusOneIsAnOrdinaryIndex();

private:
    QString frameFile(int t, int z) const;
    QString descriptor(const QByteArray &content) { return writeDescriptor(dir.path(), content); }
    QTemporaryDir dir;
};

void tst_frames::initTestCase()
{
    for (int t = -1; t <= 2; ++t)
        for (int z = 0; z <= 2; ++z)
            QVERIFY(testFrame(32, 24, t * 3 + z).save(frameFile(t, z), "JPG", 95));
}

QString tst_frames::frameFile(int t, int z) const
{
    QDir().mkpath(dir.filePath("img"));
    return dir.filePath(QString("img/cell_t%1_z%2_ch000.jpg")
                                .arg(QString::number(t).rightJustified(3, '0'))
                                .arg(QString::number(z).rightJustified(3, '0')));
}

void tst_frames::digit3_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("0") << 0 << QByteArray("000");
    QTest::newRow("7") << 7 << QByteArray("007");
    QTest::newRow("42") << 42 << QByteArray("042");
    QTest::newRow("999") << 999 << QByteArray("999");
    QTest::newRow("1000 is not cut") << 1000 << QByteArray("1000");
    QTest::newRow("-1 padded before the sign") << -1 << QByteArray("0-1");
    QTest::newRow("-5 padded before the sign") << -5 << QByteArray("0-5");
    QTest::newRow("-42 already wide enough") << -42 << QByteArray("-42");
    QTest::newRow("largest") << INT_MAX << QByteArray("2147483647");
    QTest::newRow("smallest") << INT_MIN << QByteArray("-2147483648");
}

void tst_frames::digit3()
{
    QFETCH(int, value);
    QFETCH(QByteArray, text);
    window w;
    QCOMPARE(w.digit3(value), text);
}

void tst_frames::frameName_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("dataset");
    QTest::addColumn<int>("time");
    QTest::addColumn<int>("focal");
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << "/data/run1" << "cellA" << 3 << 12
                           << "/data/run1/img/cellA_t003_z012_ch000.jpg";
    QTest::newRow("empty dataset") << "/data/run1" << "" << 0 << 0
                                   << "/data/run1/img/_t000_z000_ch000.jpg";
    QTest::newRow("negative indices") << "/d" << "x" << -1 << -42 << "/d/img/x_t0-1_z-42_ch000.jpg";
    QTest::newRow("wide indices") << "/d" << "x" << 1000 << 12345 << "/d/img/x_t1000_z12345_ch000.jpg";
    QTest::newRow("non-ASCII") << QString::fromUtf8("/d\xc3\xa4ta") << QString::fromUtf8("zell\xc3\xa4")
                               << 1 << 2 << QString::fromUtf8("/d\xc3\xa4ta/img/zell\xc3\xa4_t001_z002_ch000.jpg");
}

void tst_frames::frameName()
{
    QFETCH(QString, path);
    QFETCH(QString, dataset);
    QFETCH(int, time);
    QFETCH(int, focal);
    QFETCH(QString, name);
    window w;
    w.path = path;
    w.dataset = dataset;
    w.mTimePoint = time;
    w.mFocalPlane = focal;
    QCOMPARE(w.frameName(), QDir::toNativeSeparators(name));
}

void tst_frames::loadsOncePerPair()
{
    window w;
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    TraceCapture capture;
    w.openDescriptor(descriptor("dataset cell width 32 height 24 mint 0 maxt 2 minz 0 maxz 2"));
    settle();
    const QByteArray first = QFile::encodeName(frameFile(0, 1));
    QCOMPARE(capture.lines(), (QByteArrayList { "cell", "32", "24", "0", "2", "0", "2", first }));

    capture.clear();
    for (int i = 0; i < 5; ++i) {
        w.repaint();
        w.update();
        w.imageLabel->update();
        settle();
    }
    w.hide();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    settle();
    QVERIFY(capture.lines().isEmpty());
    QCOMPARE(w.imageLabel->pixmap().toImage(), QImage(frameFile(0, 1)));

    w.scrollTime->setValue(2);
    w.scrollFocal->setValue(0);
    settle();
    w.repaint();
    settle();
    QCOMPARE(capture.lines(), QByteArrayList { QFile::encodeName(frameFile(2, 0)) });
}

void tst_frames::shownPixels_data()
{
    QTest::addColumn<QSize>("labelSize");
    QTest::newRow("frame fills the label") << QSize(32, 24);
    QTest::newRow("frame cut off") << QSize(20, 10);
    QTest::newRow("frame smaller than the label") << QSize(50, 40);
}

void tst_frames::shownPixels()
{
    QFETCH(QSize, labelSize);
    window w;
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.openDescriptor(descriptor(QString("dataset cell width %1 height %2 maxt 2 maxz 2")
                                        .arg(labelSize.width()).arg(labelSize.height()).toLatin1()));
    settle();
    w.scrollTime->setValue(1);
    settle();
    QCOMPARE(w.imageLabel->size(), labelSize);
    const QImage frame = QImage(frameFile(1, 1));
    QCOMPARE(w.imageLabel->pixmap().toImage(), frame);

    const QImage shown = w.imageLabel->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QSize visible = labelSize.boundedTo(frame.size());
    QCOMPARE(shown.copy(QRect(QPoint(), visible)), frame.copy(QRect(QPoint(), visible)));
}

void tst_frames::badFrame_data()
{
    QFile good(frameFile(2, 2));
    QVERIFY(good.open(QIODevice::ReadOnly));
    const QByteArray jpeg = good.readAll();
    QByteArray bomb = jpeg;
    const int sof = bomb.indexOf("\xff\xc0");
    QVERIFY(sof > 0);
    bomb.replace(sof + 5, 4, QByteArray("\xfd\xe8\xfd\xe8", 4)); // 65000 x 65000

    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("missing") << false << QByteArray();
    QTest::newRow("empty") << true << QByteArray();
    QTest::newRow("truncated") << true << jpeg.left(jpeg.size() / 2);
    QTest::newRow("header only") << true << jpeg.left(sof + 20);
    QTest::newRow("not a JPEG") << true << QByteArray("GIF? no, just some text\n");
    QTest::newRow("decompression bomb") << true << bomb;
}

void tst_frames::badFrame()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, content);
    QTemporaryDir bad;
    QVERIFY(QDir(bad.path()).mkdir("img"));
    const QString frame = bad.filePath("img/bad_t000_z001_ch000.jpg");
    if (exists)
        QVERIFY(writeFile(frame, content));
    QVERIFY(QFile::copy(frameFile(1, 1), bad.filePath("img/bad_t001_z001_ch000.jpg")));
    const QString fileName = bad.filePath("bad.tz");
    QVERIFY(writeFile(fileName, "dataset bad width 32 height 24 maxt 1 maxz 2"));

    window w;
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.imageLabel->setPixmap(QPixmap::fromImage(testFrame(32, 24, 9)));
    TraceCapture capture;
    w.openDescriptor(fileName);
    settle();
    for (int i = 0; i < 3; ++i) {
        w.repaint();
        settle();
    }
    QCOMPARE(capture.lines().mid(5), QByteArrayList { QFile::encodeName(frame) });
    QVERIFY(w.imageLabel->pixmap().isNull());

    capture.clear();
    w.scrollTime->setValue(1);
    settle();
    QCOMPARE(capture.lines().size(), 1);
    QCOMPARE(w.imageLabel->pixmap().toImage(), QImage(frameFile(1, 1)));
}

void tst_frames::reopenLoadsFirstFrame()
{
    const QString fileName = descriptor("dataset cell width 32 height 24 maxt 2 maxz 2");
    const QByteArray first = QFile::encodeName(frameFile(0, 1));
    window w;
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    TraceCapture capture;
    w.openDescriptor(fileName);
    settle();
    w.imageLabel->clear();
    w.openDescriptor(fileName);
    settle();
    const QByteArrayList lines = capture.lines();
    QCOMPARE(lines.count(first), 2);
    QCOMPARE(lines.last(), first);
    QCOMPARE(w.imageLabel->pixmap().toImage(), QImage(frameFile(0, 1)));
}

void tst_frames::steppingBackDecodesAgain()
{
    window w;
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.openDescriptor(descriptor("dataset cell width 32 height 24 maxt 2 maxz 2"));
    settle();
    TraceCapture capture;
    w.scrollTime->setValue(1);
    settle();
    w.scrollTime->setValue(0);
    settle();
    QCOMPARE(capture.lines(), (QByteArrayList { QFile::encodeName(frameFile(1, 1)),
                                                QFile::encodeName(frameFile(0, 1)) }));
}

void tst_frames::minusOneIsAnOrdinaryIndex()
{
    window w;
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    TraceCapture capture;
    w.openDescriptor(descriptor("dataset cell width 32 height 24 mint -1 maxt 1 minz 0 maxz 2"));
    settle();
    QCOMPARE(w.mTimePoint, -1);
    QCOMPARE(capture.lines().last(), QFile::encodeName(frameFile(-1, 1)));
    QCOMPARE(w.imageLabel->pixmap().toImage(), QImage(frameFile(-1, 1)));
}

QTEST_MAIN(tst_frames)
#include "tst_frames.moc"
