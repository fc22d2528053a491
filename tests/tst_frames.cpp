#include "window.h"
#include "testutil.h"
#include "blockjpeg.h"

#include <QtTest>
#include <QtWidgets>

#include <climits>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    void greyFrame_data();
    void greyFrame();
    void unusualFrame_data();
    void unusualFrame();
    void largeFrame_data();
    void largeFrame();
    void nameInAnotherEncoding();
    void nameWithNulOpensNothing();
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
    QTest::addColumn<QByteArray>("dataset");
    QTest::addColumn<int>("time");
    QTest::addColumn<int>("focal");
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("plain") << "/data/run1" << QByteArray("cellA") << 3 << 12
                           << QByteArray("/data/run1/img/cellA_t003_z012_ch000.jpg");
    QTest::newRow("empty dataset") << "/data/run1" << QByteArray() << 0 << 0
                                   << QByteArray("/data/run1/img/_t000_z000_ch000.jpg");
    QTest::newRow("negative indices") << "/d" << QByteArray("x") << -1 << -42
                                      << QByteArray("/d/img/x_t0-1_z-42_ch000.jpg");
    QTest::newRow("wide indices") << "/d" << QByteArray("x") << 1000 << 12345
                                  << QByteArray("/d/img/x_t1000_z12345_ch000.jpg");
    QTest::newRow("UTF-8") << QString::fromUtf8("/d\xc3\xa4ta") << QByteArray("zell\xc3\xa4") << 1 << 2
                           << QByteArray("/d\xc3\xa4ta/img/zell\xc3\xa4_t001_z002_ch000.jpg");
    QTest::newRow("Latin-1 name keeps its bytes") << "/d" << QByteArray("c\xe4") << 0 << 0
                                                  << QByteArray("/d/img/c\xe4_t000_z000_ch000.jpg");
}

void tst_frames::frameName()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, dataset);
    QFETCH(int, time);
    QFETCH(int, focal);
    QFETCH(QByteArray, name);
    window w;
    w.path = path;
    w.dataset = dataset;
    w.mTimePoint = time;
    w.mFocalPlane = focal;
#ifdef Q_OS_WIN
    name.replace('/', '\\');
#endif
    QCOMPARE(w.frameName(), name);
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
    const QRect visible(QPoint(), labelSize.boundedTo(frame.size()));
    QCOMPARE(w.imageLabel->pixmap().toImage(), frame);

    const QImage shown = w.imageLabel->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shown.copy(visible), frame.copy(visible));
}

void tst_frames::greyFrame_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("64 x 48") << QSize(64, 48);
    QTest::newRow("rows not a multiple of 4 bytes") << QSize(61, 47);
    QTest::newRow("one column") << QSize(1, 9);
}

void tst_frames::greyFrame()
{
    QFETCH(QSize, size);
    QTemporaryDir grey;
    QVERIFY(QDir(grey.path()).mkdir("img"));
    const QString file = grey.filePath("img/grey_t000_z000_ch000.jpg");
    QVERIFY(testFrame(size.width(), size.height(), 5).convertToFormat(QImage::Format_Grayscale8).save(file, "JPG", 90));
    const QImage decoded = QImage(file);
    QCOMPARE(decoded.format(), QImage::Format_Grayscale8);

    window w;
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.openDescriptor(writeDescriptor(grey.path(), QString("dataset grey width %1 height %2")
                                                          .arg(size.width()).arg(size.height()).toLatin1()));
    settle();
    const QImage wanted = decoded.convertToFormat(QImage::Format_RGB32);
    QCOMPARE(w.imageLabel->pixmap().toImage().convertToFormat(QImage::Format_RGB32), wanted);
    QCOMPARE(w.imageLabel->grab().toImage().convertToFormat(QImage::Format_RGB32), wanted);
}

void tst_frames::unusualFrame_data()
{
    QFile good(frameFile(2, 2));
    QVERIFY(good.open(QIODevice::ReadOnly));
    const QByteArray jpeg = good.readAll();
    const int sof = jpeg.indexOf("\xff\xc0");
    const int sos = jpeg.indexOf("\xff\xda");
    QVERIFY(sof > 0 && sos > sof);
    QByteArray bomb = jpeg;
    bomb.replace(sof + 5, 4, QByteArray("\xfd\xe8\xfd\xe8", 4)); // 65000 x 65000
    const QByteArray stray = QByteArray(jpeg).insert(sos, QByteArray("\x00\x13\x37", 3));
    const QByteArray strayAtEnd = QByteArray(jpeg).insert(jpeg.size() - 2, QByteArray("\x55\xaa", 2));

    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("shows");
    QTest::newRow("missing") << "missing" << QByteArray() << false;
    QTest::newRow("a pipe holding a whole frame") << "pipe" << jpeg << false;
    QTest::newRow("a folder") << "folder" << QByteArray() << false;
    QTest::newRow("empty") << "file" << QByteArray() << false;
    QTest::newRow("truncated") << "file" << jpeg.left(jpeg.size() / 2) << false;
    QTest::newRow("header only") << "file" << jpeg.left(sof + 20) << false;
    QTest::newRow("not a JPEG") << "file" << QByteArray("GIF? no, just some text\n") << false;
    QTest::newRow("decompression bomb") << "file" << bomb << false;
    QTest::newRow("stray bytes before a marker") << "file" << stray << true;
    QTest::newRow("stray bytes before the end") << "file" << strayAtEnd << true;
    QTest::newRow("stray bytes, then cut short") << "file" << stray.left(stray.size() * 2 / 3) << false;
}

void tst_frames::unusualFrame()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, content);
    QFETCH(bool, shows);
    QTemporaryDir bad;
    QVERIFY(QDir(bad.path()).mkdir("img"));
    const QString frame = bad.filePath("img/bad_t000_z001_ch000.jpg");
    if (kind == "file")
        QVERIFY(writeFile(frame, content));
    int pipe = -1;
    auto closePipe = qScopeGuard([&pipe] {
        if (pipe >= 0)
            ::close(pipe);
    });
    if (kind == "pipe") {
        QCOMPARE(mkfifo(QFile::encodeName(frame).constData(), 0600), 0);
        pipe = ::open(QFile::encodeName(frame).constData(), O_RDWR | O_NONBLOCK);
        QVERIFY(pipe >= 0);
        QCOMPARE(::write(pipe, content.constData(), size_t(content.size())), ssize_t(content.size()));
    }
    else if (kind == "folder")
        QVERIFY(QDir().mkdir(frame));
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
    QCOMPARE(w.imageLabel->pixmap().toImage(), shows ? QImage(frameFile(2, 2)) : QImage());
    if (pipe >= 0) {
        // Nothing was read from the pipe.
        QByteArray left(content.size() + 1, '\0');
        QCOMPARE(::read(pipe, left.data(), size_t(left.size())), ssize_t(content.size()));
        QCOMPARE(left.chopped(1), content);
    }

    capture.clear();
    w.scrollTime->setValue(1);
    settle();
    QCOMPARE(capture.lines().size(), 1);
    QCOMPARE(w.imageLabel->pixmap().toImage(), QImage(frameFile(1, 1)));
}

// Frames far larger than the screen show their top-left part, decoded with
// no more than the area around it.
void tst_frames::largeFrame_data()
{
    QTest::addColumn<QSize>("frameSize");
    QTest::addColumn<QSize>("labelSize");
    QTest::newRow("8000 x 8000") << QSize(8000, 8000) << QSize(400, 300);
    QTest::newRow("30000 x 20000") << QSize(30000, 20000) << QSize(400, 300);
    QTest::newRow("too wide only") << QSize(60000, 600) << QSize(400, 600);
    QTest::newRow("label larger than the desktop") << QSize(8000, 8000) << QSize(6000, 5000);
}

void tst_frames::largeFrame()
{
    QFETCH(QSize, frameSize);
    QFETCH(QSize, labelSize);
    QTemporaryDir large;
    QVERIFY(QDir(large.path()).mkdir("img"));
    QFile file(large.filePath("img/large_t000_z000_ch000.jpg"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    blockjpeg::write(&file, frameSize.width(), frameSize.height(), blockjpeg::pattern);
    file.close();
    const QImage pattern = QImage::fromData(blockFrame(512, 512, blockjpeg::pattern));
    QCOMPARE(pattern.size(), QSize(512, 512));

    window w;
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.openDescriptor(writeDescriptor(large.path(), QString("dataset large width %1 height %2")
                                                            .arg(labelSize.width())
                                                            .arg(labelSize.height())
                                                            .toLatin1()));
    settle();
    const QSize visible = w.imageLabel->size();
    QVERIFY(QRect(QPoint(), w.screen()->availableSize()).contains(w.frameGeometry()));
    const QSize decoded = w.imageLabel->pixmap().size();
    QVERIFY(decoded.width() <= 2 * visible.width() && decoded.height() <= 2 * visible.height());
    const QImage shown = w.imageLabel->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shown.size(), visible);
    const QRect checked(QPoint(), visible.boundedTo(pattern.size()));
    QCOMPARE(shown.copy(checked), pattern.copy(checked));
}

void tst_frames::nameInAnotherEncoding()
{
    QTemporaryDir latin1;
    QVERIFY(QDir(latin1.path()).mkdir("img"));
    const QByteArray frame = QFile::encodeName(latin1.path()) + "/img/c\xe4_t000_z000_ch000.jpg";
    QFile good(frameFile(1, 1));
    QVERIFY(good.open(QIODevice::ReadOnly));
    std::ofstream(frame.constData(), std::ios::binary) << good.readAll().toStdString();
    const QString fileName = writeDescriptor(latin1.path(), "dataset c\xe4 width 32 height 24");

    window w;
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    TraceCapture capture;
    w.openDescriptor(fileName);
    settle();
    QCOMPARE(capture.lines(), (QByteArrayList { "c\xe4", "32", "24", frame }));
    QCOMPARE(w.imageLabel->pixmap().toImage(), QImage(frameFile(1, 1)));
}

// A NUL byte in the name would cut the path short at the system call: the
// file "img/a" must not be shown for the dataset "a\0b".
void tst_frames::nameWithNulOpensNothing()
{
    using namespace std::string_literals;
    QTemporaryDir nul;
    QVERIFY(QDir(nul.path()).mkdir("img"));
    QVERIFY(QFile::copy(frameFile(1, 1), nul.filePath("img/a")));
    window w;
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    TraceCapture capture;
    w.openDescriptor(writeDescriptor(nul.path(), QByteArray::fromStdString("dataset a\0b width 32 height 24"s)));
    settle();
    QCOMPARE(w.dataset, QByteArray::fromStdString("a\0b"s));
    QVERIFY(capture.lines().last().contains(QByteArray::fromStdString("/img/a\0b_t000_z000_ch000.jpg"s)));
    QVERIFY(w.imageLabel->pixmap().isNull());
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
