#include "datasetformat.h"
#include "window.h"
#include "testutil.h"

#include <QtTest>
#include <QtWidgets>

#include <climits>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

struct Fields
{
    QString dataset;
    int width = 300, height = 300, minTime = 0, maxTime = 0, minFocal = 0, maxFocal = 0;
};
Q_DECLARE_METATYPE(Fields)

class tst_descriptor : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
    void missingFile_data();
    void missingFile();
    void nonAsciiPath();
    void laterFileKeepsUnnamedFields();
    void roundTrip_data();
    void roundTrip();

private:
    static Fields fieldsOf(const window &w);
    QTemporaryDir dir;
};

Fields tst_descriptor::fieldsOf(const window &w)
{
    Fields f;
    f.dataset = w.dataset;
    f.width = w.width;
    f.height = w.height;
    f.minTime = w.minTime;
    f.maxTime = w.maxTime;
    f.minFocal = w.minFocal;
    f.maxFocal = w.maxFocal;
    return f;
}

void tst_descriptor::read_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArrayList>("trace");
    QTest::addColumn<Fields>("fields");

    const Fields none;
    Fields cell;
    cell.dataset = "cellA";
    cell.width = 320;
    cell.height = 240;
    cell.maxTime = 59;
    cell.minFocal = 1;
    cell.maxFocal = 21;
    const QByteArrayList cellTrace { "cellA", "320", "240", "0", "59", "1", "21" };
    auto with = [](std::function<void(Fields &)> change) {
        Fields f;
        change(f);
        return f;
    };

    QTest::newRow("one line")
            << QByteArray("dataset cellA width 320 height 240 mint 0 maxt 59 minz 1 maxz 21\n")
            << cellTrace << cell;
    QTest::newRow("one pair per line")
            << QByteArray("dataset cellA\nwidth 320\nheight 240\nmint 0\nmaxt 59\nminz 1\nmaxz 21\n")
            << cellTrace << cell;
    QTest::newRow("CRLF line ends")
            << QByteArray("dataset cellA\r\nwidth 320\r\nheight 240\r\nmint 0\r\nmaxt 59\r\nminz 1\r\nmaxz 21\r\n")
            << cellTrace << cell;
    QTest::newRow("any order, any white space")
            << QByteArray("maxz\t21 minz\v1\fmaxt\n\n59 mint 0 height\r240 width   320 dataset\ncellA")
            << QByteArrayList { "21", "1", "59", "0", "240", "320", "cellA" } << cell;
    QTest::newRow("empty file") << QByteArray() << QByteArrayList() << none;
    QTest::newRow("tags are case-sensitive") << QByteArray("Width 320\nDATASET x\n")
                                             << QByteArrayList() << none;
    QTest::newRow("unknown word skipped") << QByteArray("note width 320")
                                          << QByteArrayList { "320" }
                                          << with([](Fields &f) { f.width = 320; });
    QTest::newRow("trailing letters") << QByteArray("width 320px height 7")
                                      << QByteArrayList { "320", "7" }
                                      << with([](Fields &f) { f.width = 320; f.height = 7; });
    QTest::newRow("negative") << QByteArray("mint -3") << QByteArrayList { "-3" }
                              << with([](Fields &f) { f.minTime = -3; });
    QTest::newRow("plus sign") << QByteArray("maxz +7") << QByteArrayList { "7" }
                               << with([](Fields &f) { f.maxFocal = 7; });
    QTest::newRow("hex is decimal zero") << QByteArray("width 0x140 height 9")
                                         << QByteArrayList { "0", "9" }
                                         << with([](Fields &f) { f.width = 0; f.height = 9; });
    QTest::newRow("decimal point") << QByteArray("maxt 3.5 minz 2")
                                   << QByteArrayList { "3", "2" }
                                   << with([](Fields &f) { f.maxTime = 3; f.minFocal = 2; });
    QTest::newRow("last occurrence wins") << QByteArray("maxt 5\nmaxt 9\n")
                                          << QByteArrayList { "5", "9" }
                                          << with([](Fields &f) { f.maxTime = 9; });
    QTest::newRow("no final line end") << QByteArray("maxz 21") << QByteArrayList { "21" }
                                       << with([](Fields &f) { f.maxFocal = 21; });
    QTest::newRow("32-bit extremes")
            << QByteArray("mint -2147483648 maxt 2147483647")
            << QByteArrayList { "-2147483648", "2147483647" }
            << with([](Fields &f) { f.minTime = INT_MIN; f.maxTime = INT_MAX; });
    QTest::newRow("above 32 bits ends reading")
            << QByteArray("mint 4 maxt 2147483648 maxz 7") << QByteArrayList { "4" }
            << with([](Fields &f) { f.minTime = 4; });
    QTest::newRow("below 32 bits ends reading")
            << QByteArray("mint -2147483649 maxz 7") << QByteArrayList() << none;
    QTest::newRow("not a number ends reading")
            << QByteArray("height 8 width abc maxt 7") << QByteArrayList { "8" }
            << with([](Fields &f) { f.height = 8; });
    QTest::newRow("value missing at the end") << QByteArray("height 8 width")
                                              << QByteArrayList { "8" }
                                              << with([](Fields &f) { f.height = 8; });
    QTest::newRow("dataset as last token keeps the name")
            << QByteArray("dataset first width 5 dataset") << QByteArrayList { "first", "5" }
            << with([](Fields &f) { f.dataset = "first"; f.width = 5; });
    QTest::newRow("dataset as only token") << QByteArray("dataset\n") << QByteArrayList()
                                           << none;
    QTest::newRow("dataset named like a tag")
            << QByteArray("dataset width 12") << QByteArrayList { "width" }
            << with([](Fields &f) { f.dataset = "width"; });
    QTest::newRow("local 8-bit name") << QByteArray("dataset zell\xc3\xa4")
                                      << QByteArrayList { "zell\xc3\xa4" }
                                      << with([](Fields &f) { f.dataset = QString::fromUtf8("zell\xc3\xa4"); });
    QTest::newRow("overlong token skipped whole")
            << QByteArray(100000, 'w') + QByteArray("idth 3 width 4") << QByteArrayList { "4" }
            << with([](Fields &f) { f.width = 4; });
    // Tokens are cut at 4096 characters: a token of that length is whole,
    // and the next one must still be read.
    for (int length : { 4095, 4096, 4097 }) {
        QTest::addRow("%d-character word, then a tag", length)
                << QByteArray(length, 'w') + QByteArray(" width 320") << QByteArrayList { "320" }
                << with([](Fields &f) { f.width = 320; });
    }
    QTest::newRow("4096-character word, then a line end")
            << QByteArray(4096, 'w') + QByteArray("\nwidth 320") << QByteArrayList { "320" }
            << with([](Fields &f) { f.width = 320; });
    QTest::newRow("4096-character word ends the file")
            << QByteArray("width 320 ") + QByteArray(4096, 'w') << QByteArrayList { "320" }
            << with([](Fields &f) { f.width = 320; });
    QTest::newRow("4096 characters run into a tag")
            << QByteArray(4096, 'w') + QByteArray("width 320 height 7") << QByteArrayList { "7" }
            << with([](Fields &f) { f.height = 7; });
    for (int length : { 4095, 4096, 4097, 8193 }) {
        const QByteArray name = QByteArray(length, 'n');
        QTest::addRow("%d-character name, then a tag", length)
                << QByteArray("dataset ") + name + QByteArray(" width 320")
                << QByteArrayList { name.left(4096), "320" }
                << with([&](Fields &f) { f.dataset = QString::fromLatin1(name.left(4096)); f.width = 320; });
    }
    QTest::newRow("binary garbage")
            << QByteArrayLiteral("\x00\xff\xd8 width\x00 1 \x01\x02 height 6") << QByteArrayList { "6" }
            << with([](Fields &f) { f.height = 6; });
}

void tst_descriptor::read()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArrayList, trace);
    QFETCH(Fields, fields);

    const QString fileName = dir.filePath(QString("d%1.tz").arg(QTest::currentDataTag()));
    QVERIFY(writeFile(fileName, content));
    window w;
    TraceCapture capture;
    w.openDescriptor(fileName);

    QCOMPARE(capture.lines(), trace);
    QVERIFY(capture.endsWithNewline());
    const Fields got = fieldsOf(w);
    QCOMPARE(got.dataset, fields.dataset);
    QCOMPARE(got.width, fields.width);
    QCOMPARE(got.height, fields.height);
    QCOMPARE(got.minTime, fields.minTime);
    QCOMPARE(got.maxTime, fields.maxTime);
    QCOMPARE(got.minFocal, fields.minFocal);
    QCOMPARE(got.maxFocal, fields.maxFocal);
    QCOMPARE(w.path, QFileInfo(fileName).absolutePath());
}

void tst_descriptor::missingFile_data()
{
    QTest::addColumn<bool>("pipe");
    QTest::newRow("missing") << false;
    QTest::newRow("a named pipe") << true;
}

// Neither a missing file nor a pipe is read; opening the pipe would block
// until the watchdog writes a descriptor into it.
void tst_descriptor::missingFile()
{
    QFETCH(bool, pipe);
    const QByteArray name = QFile::encodeName(dir.filePath(pipe ? "x.tz" : "nothing-here.tz"));
    if (pipe)
        QCOMPARE(mkfifo(name.constData(), 0600), 0);
    auto removePipe = qScopeGuard([&] { QFile::remove(QFile::decodeName(name)); });
    QSemaphore done;
    std::thread watchdog([&] {
        if (done.tryAcquire(1, 5000))
            return;
        const int fd = ::open(name.constData(), O_WRONLY | O_NONBLOCK);
        if (fd < 0)
            return;
        [[maybe_unused]] const ssize_t written = ::write(fd, "width 64\n", 9);
        ::close(fd);
    });
    window w;
    TraceCapture capture;
    w.openDescriptor(QFile::decodeName(name));
    done.release();
    watchdog.join();
    QVERIFY(capture.lines().isEmpty());
    QCOMPARE(w.width, 300);
    QCOMPARE(w.dataset, QString());
    QVERIFY(w.opened);
    QVERIFY(w.scrollTime->isEnabled());
}

void tst_descriptor::nonAsciiPath()
{
    const QString fileName = dir.filePath(QString::fromUtf8("Ordner \xc3\xa4\xe2\x82\xac/\xe7\xb4\xb0\xe8\x83\x9e.tz"));
    QVERIFY(writeFile(fileName, "width 64"));
    window w;
    TraceCapture capture;
    w.openDescriptor(fileName);
    QCOMPARE(capture.lines(), QByteArrayList { "64" });
    QCOMPARE(w.width, 64);
    QCOMPARE(w.path, QFileInfo(fileName).absolutePath());
}

void tst_descriptor::laterFileKeepsUnnamedFields()
{
    const QString first = dir.filePath("first.tz");
    const QString second = dir.filePath("second.tz");
    QVERIFY(writeFile(first, "dataset a width 40 height 30 maxt 9"));
    QVERIFY(writeFile(second, "maxt 4"));
    window w;
    TraceCapture capture;
    w.openDescriptor(first);
    w.openDescriptor(second);
    QCOMPARE(capture.lines(), (QByteArrayList { "a", "40", "30", "9", "4" }));
    QCOMPARE(w.dataset, QString("a"));
    QCOMPARE(w.width, 40);
    QCOMPARE(w.maxTime, 4);
}

void tst_descriptor::roundTrip_data()
{
    QTest::addColumn<QByteArray>("dataset");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("times");
    QTest::addColumn<int>("planes");
    QTest::newRow("time-lapse stack") << QByteArray("cell-A.1") << 2048 << 1024 << 51 << 7;
    QTest::newRow("one frame") << QByteArray("one") << 3 << 2 << 1 << 1;
    QTest::newRow("largest") << QByteArray("x") << INT_MAX << INT_MAX << INT_MAX << INT_MAX;
}

// What the importer writes is read back whole.
void tst_descriptor::roundTrip()
{
    QFETCH(QByteArray, dataset);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, times);
    QFETCH(int, planes);
    const QString fileName = dir.filePath(QString("r%1.tz").arg(QTest::currentDataTag()));
    QVERIFY(writeFile(fileName, descriptorText(dataset, width, height, times, planes)));
    descriptor read;
    QByteArrayList traced;
    readDescriptor(fileName, read, [&traced](const QByteArray &line) { traced << line; });
    QCOMPARE(traced, (QByteArrayList { dataset, QByteArray::number(width), QByteArray::number(height), "0",
                                       QByteArray::number(times - 1), "0", QByteArray::number(planes - 1) }));
    QCOMPARE(read.dataset, dataset);
    QCOMPARE(read.width, width);
    QCOMPARE(read.height, height);
    QCOMPARE(read.minTime, 0);
    QCOMPARE(read.maxTime, times - 1);
    QCOMPARE(read.minFocal, 0);
    QCOMPARE(read.maxFocal, planes - 1);
}

QTEST_MAIN(tst_descriptor)
#include "tst_descriptor.moc"
