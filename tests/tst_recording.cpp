// Recordings shown where they lie: the frame against the one tesseline-import
// writes, the trace, the windows they start with and change without a read,
// files cut short, stage positions, the ways in, and Save as Dataset carrying
// what is shown into the importer's command line.
#include "brightnessdialog.h"
#include "importdialog.h"
#include "importflow.h"
#include "recordingsource.h"
#include "window.h"
#include "testutil.h"

#include <QtTest>
#include <QtWidgets>

static recordingsource *recordingOf(const window &w)
{
    return dynamic_cast<recordingsource *>(w.frames());
}

class tst_recording : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void matchesImport_data();
    void matchesImport();
    void traceAndBrightness();
    void startingWindows_data();
    void startingWindows();
    void cutShort();
    void positions();
    void axesAndChannels();
    void routes_data();
    void routes();
    void saveAsDataset_data();
    void saveAsDataset();

private:
    static QImage picture(window &w);
    static void goTo(window &w, int t, int z);
    QString input(const QString &name) const { return inputs.filePath(name); }
    QJsonObject imported(const QString &name, const QStringList &options);

    QTemporaryDir inputs;
    QTemporaryDir outputs;
};

namespace {

// The largest difference of any channel of any pixel.
int difference(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return 256;
    int most = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            for (int shift : { 0, 8, 16 })
                most = std::max(most, std::abs(int((a.pixel(x, y) >> shift) & 255) - int((b.pixel(x, y) >> shift) & 255)));
    return most;
}

} // namespace

QImage tst_recording::picture(window &w)
{
    w.repaint();
    settle();
    return w.imageLabel->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
}

void tst_recording::goTo(window &w, int t, int z)
{
    w.scrollTime->setValue(t);
    w.scrollFocal->setValue(z);
}

void tst_recording::initTestCase()
{
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QProcess python;
    python.start("/usr/bin/python3", { INPUTS_PY, inputs.path() });
    QVERIFY(python.waitForFinished(60000) && python.exitCode() == 0);
}

// Runs the importer into a folder of the name given; returns its record.
QJsonObject tst_recording::imported(const QString &name, const QStringList &options)
{
    QProcess import;
    import.start(IMPORTER, options + QStringList { "-q", "--name", name, "-o", outputs.filePath(name) });
    if (!import.waitForFinished(60000) || import.exitCode() != 0)
        return QJsonObject();
    QFile record(outputs.filePath(name + "/" + name + ".import.json"));
    return record.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(record.readAll()).object() : QJsonObject();
}

void tst_recording::matchesImport_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("time");
    QTest::addColumn<int>("plane");
    QTest::addColumn<QString>("colour");   // of the second channel, in the viewer too
    QTest::newRow("two channels merged") << "hyper.tif" << QStringList() << 2 << 3 << QString();
    QTest::newRow("one channel in its colour") << "hyper.tif" << QStringList { "--channel", "1", "--colour", "1=#00ff00" } << 1 << 0 << QString();
    QTest::newRow("colours sharing red") << "hyper.tif" << QStringList { "--colour", "1=#ffff00" } << 2 << 3 << "#ffff00";
    QTest::newRow("colours not pure") << "hyper.tif" << QStringList { "--colour", "1=#408020" } << 2 << 3 << "#408020";
    QTest::newRow("8-bit as stored") << "plain8.tif" << QStringList() << 4 << 0 << QString();
}

// What the window shows of a recording is what its dataset holds, but for JPEG's loss.
void tst_recording::matchesImport()
{
    QFETCH(QString, file);
    QFETCH(QStringList, options);
    QFETCH(int, time);
    QFETCH(int, plane);
    QFETCH(QString, colour);
    const QString name = QString("import%1").arg(QTest::currentDataTag()).remove(' ');
    QVERIFY(!imported(name, options + QStringList { input(file) }).isEmpty());
    window w;
    w.openRecording({ input(file) });
    if (options.contains("--channel"))
        w.channelsMenu->actions().at(0)->trigger();
    if (!colour.isEmpty())
        recordingOf(w)->channels()[1].colour = QColor(colour).rgb();
    goTo(w, time, plane);
    const QImage jpeg(outputs.filePath(QString("%1/img/%1_t%2_z%3_ch000.jpg").arg(name).arg(time, 3, 10, QChar('0')).arg(plane, 3, 10, QChar('0'))));
    QVERIFY(!jpeg.isNull());
    const int most = difference(picture(w), jpeg.convertToFormat(QImage::Format_RGB32));
    QVERIFY2(most <= 6, qPrintable(QString("differs by %1").arg(most)));
}

// One trace line per frame read; repaints and changes of brightness read nothing.
void tst_recording::traceAndBrightness()
{
    window w;
    TraceCapture capture;
    w.openRecording({ input("hyper.tif") });
    settle();
    const QByteArray path = QFile::encodeName(input("hyper.tif"));
    QCOMPARE(capture.lines(), QByteArrayList { path + ": t 0, z 1" });
    w.nextTime();
    picture(w);
    w.downFocal();
    picture(w);
    QCOMPARE(capture.lines(), (QByteArrayList { path + ": t 0, z 1", path + ": t 1, z 1", path + ": t 1, z 2" }));
    capture.clear();
    const QImage before = picture(w);
    w.brightnessAct->trigger();
    QTRY_VERIFY(w.brightness->isVisible());
    w.brightness->rows[0].high->setValue(2000);
    const QImage brighter = picture(w);
    QCOMPARE(recordingOf(w)->channels()[0].high, 2000.0);
    QVERIFY(qRed(brighter.pixel(0, 0)) > qRed(before.pixel(0, 0)));
    w.brightness->rows[1].shown->setChecked(false);
    QCOMPARE(qGreen(picture(w).pixel(0, 0)), 0);
    QVERIFY(!w.channelsMenu->actions().at(1)->isChecked());
    QVERIFY(capture.lines().isEmpty());
}

void tst_recording::startingWindows_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<double>("low");   // NaN: Auto on the first plane shown
    QTest::addColumn<double>("high");
    QTest::newRow("the file's range") << "hyper.tif" << 1000.0 << 4000.0;
    QTest::newRow("8-bit as stored") << "plain8.tif" << 0.0 << 255.0;
    QTest::newRow("16-bit without a range") << "dim16.tif" << qQNaN() << qQNaN();
}

// Each channel's window from the file, else 8-bit data as stored, else Auto
// on the first plane shown, kept while stepping.
void tst_recording::startingWindows()
{
    QFETCH(QString, file);
    QFETCH(double, low);
    QFETCH(double, high);
    window w;
    w.openRecording({ input(file) });
    picture(w);
    if (qIsNaN(low)) {
        const std::optional<intensityWindow> measured = recordingOf(w)->autoWindow(0);
        QVERIFY(measured && measured->low >= 1000 && measured->high <= 1063 && measured->high > measured->low);
        low = measured->low;
        high = measured->high;
    }
    w.nextTime();
    w.nextTime();
    picture(w);
    QCOMPARE(recordingOf(w)->channels()[0].low, low);
    QCOMPARE(recordingOf(w)->channels()[0].high, high);
}

// The planes of a file cut short show; the others blank the area and say why.
void tst_recording::cutShort()
{
    window w;
    TraceCapture capture;
    w.openRecording({ input("cut.tif") });
    QCOMPARE(w.maxTime, 1);
    QCOMPARE(w.maxFocal, 2);
    goTo(w, 0, 0);
    QVERIFY(!picture(w).isNull());
    goTo(w, 1, 2);
    QVERIFY(picture(w).isNull());
    QVERIFY(recordingOf(w)->problem().startsWith(input("cut.tif") + ": "));
    QCOMPARE(capture.lines().size(), 3);   // two frames, one reason
    QVERIFY(capture.lines().last().startsWith(QFile::encodeName(input("cut.tif")) + ": "));
    goTo(w, 0, 1);
    QVERIFY(!picture(w).isNull());
}

// Files of two stage positions are two images, P1 shown first.
void tst_recording::positions()
{
    window w;
    w.openRecording({ input("positions") });
    const QList<QAction *> images = w.imagesMenu->actions();
    QCOMPARE(images.size(), 2);
    QCOMPARE(images[1]->text(), QString("P2"));
    QCOMPARE(w.maxTime, 2);
    images[1]->trigger();
    QVERIFY(w.dataset.endsWith("(P2)"));
    w.nextTime();
    picture(w);
    QCOMPARE(recordingOf(w)->plane(0)->bytes.size(), size_t(40 * 30 * 2));
    quint16 first;
    std::memcpy(&first, recordingOf(w)->plane(0)->bytes.data(), 2);
    QCOMPARE(int(first), 2100);
}

// Swapping is offered only where no metadata names the axes, and steps the
// planes as shown; the last channel shown cannot be hidden.
void tst_recording::axesAndChannels()
{
    window w;
    w.openRecording({ input("hyper.tif") });
    QVERIFY(!w.swapAct->isEnabled());
    w.openRecording({ input("plain8.tif") });
    QVERIFY(w.swapAct->isEnabled());
    const QImage second = (goTo(w, 1, 0), picture(w));
    w.swapAct->trigger();
    QCOMPARE(w.maxTime, 0);
    QCOMPARE(w.maxFocal, 4);
    goTo(w, 0, 1);
    QCOMPARE(picture(w), second);
    QCOMPARE(recordingOf(w)->problem(), QString());
    w.channelsMenu->actions().at(0)->trigger();
    QVERIFY(w.channelsMenu->actions().at(0)->isChecked());
    QCOMPARE(picture(w), second);
}

void tst_recording::routes_data()
{
    QTest::addColumn<QString>("route");
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QByteArray>("traced");   // the path each frame's line names; none: no recording
    const QStringList series { input("series/cell_t10.tif"), input("series/cell_t1.tif"), input("series/cell_t2.tif") };
    for (const char *route : { "argument", "drop", "Open" })
        QTest::addRow("%s: a file", route) << route << QStringList { input("hyper.tif") } << QFile::encodeName(input("hyper.tif"));
    for (const char *route : { "argument", "drop", "Open Recording" })
        QTest::addRow("%s: a folder", route) << route << QStringList { input("series") } << QFile::encodeName(input("series"));
    QTest::newRow("argument: a series") << "argument" << series << QFile::encodeName(input("series"));
    QTest::newRow("drop: a series") << "drop" << series << QFile::encodeName(input("series"));
    QTest::newRow("Open: a TIFF by its content") << "Open" << QStringList { input("tiff.dat") } << QFile::encodeName(input("tiff.dat"));
    QTest::newRow("Open: a descriptor by any name") << "Open" << QStringList { input("notes.txt") } << QByteArray();
    QTest::newRow("drop: an image and a text file") << "drop" << QStringList { series[0], input("notes.txt") } << QByteArray();
}

void tst_recording::routes()
{
    QFETCH(QString, route);
    QFETCH(QStringList, paths);
    QFETCH(QByteArray, traced);
    window w;
    TraceCapture capture;
    if (route == "argument") {
        w.openPaths(paths);
    } else if (route == "drop") {
        QMimeData data;
        QList<QUrl> urls;
        for (const QString &path : paths)
            urls << QUrl::fromLocalFile(path);
        data.setUrls(urls);
        QCOMPARE(dragAndDrop(&w, &data), !traced.isEmpty());
    } else {
        whenDialogOpens<QFileDialog>(this, [&](QFileDialog *dialog) {
            dialog->findChild<QLineEdit *>("fileNameEdit")->setText(paths.first());
            QMetaObject::invokeMethod(dialog, "accept");
        });
        (route == "Open" ? w.openAct : w.openRecordingAct)->trigger();
    }
    settle();
    if (traced.isEmpty()) {
        QVERIFY(!recordingOf(w));
        QCOMPARE(w.dataset, route == "Open" ? QByteArray("notes") : QByteArray());
        return;
    }
    QVERIFY(recordingOf(w));
    QVERIFY(!capture.lines().isEmpty() && capture.lines().first().startsWith(traced + ": t 0, z "));
    if (paths.size() > 1 || QFileInfo(paths.first()).isDir())
        QCOMPARE(recordingOf(w)->input().files.size(), 3);
}

void tst_recording::saveAsDataset_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("settings");
    QTest::newRow("channel hidden, colour and window changed") << "hyper.tif"
            << QStringList { "--channel", "1", "--range", "1=3500:5000", "--colour", "1=#ff8000", "--name", "hyper" };
    QTest::newRow("axes swapped") << "plain8.tif"
            << QStringList { "--planes", "5", "--range", "0=0:255", "--colour", "0=#ffffff", "--name", "plain8" };
}

// Save as Dataset writes what is shown: the channels shown, in their colours
// and windows, the axes as swapped, beside the recording; the view stays.
void tst_recording::saveAsDataset()
{
    QFETCH(QString, file);
    QFETCH(QStringList, settings);
    QTemporaryDir folder;
    QVERIFY(QFile::copy(input(file), folder.filePath(file)));
    window w;
    w.importFlow->program = IMPORTER;
    w.openRecording({ folder.filePath(file) });
    if (recordingOf(w)->channels().size() > 1) {
        w.showChannel(0, false);
        recordingOf(w)->channels()[1].colour = qRgb(255, 128, 0);
        recordingOf(w)->channels()[1].low = 3500;
        recordingOf(w)->channels()[1].high = 5000;
    } else {
        w.swapAct->trigger();
        QCOMPARE(w.maxFocal, 4);
    }
    whenDialogOpens<importdialog>(this, [](importdialog *dialog) { dialog->accept(); });
    w.saveAct->trigger();
    QMessageBox *done = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((done = w.findChild<QMessageBox *>()), 30000);
    QVERIFY2(done->text().startsWith("The dataset was saved as"), qPrintable(done->text()));
    const QString name = QFileInfo(file).baseName();
    QFile record(folder.filePath(name + "/" + name + ".import.json"));
    QVERIFY(record.open(QIODevice::ReadOnly));
    QCOMPARE(QJsonDocument::fromJson(record.readAll())["settings"].toVariant().toStringList(), settings);
    QVERIFY(recordingOf(w));
}

QTEST_MAIN(tst_recording)
#include "tst_recording.moc"
