// Seeing through the stack: projections against numpy's, the planes each one
// reads, the orthogonal views against the array's rows and columns through
// the point clicked, the values under the pointer, and a dataset's projection.
#include "framesource.h"
#include "exportdialog.h"
#include "frameview.h"
#include "moviedialog.h"
#include "moviewriter.h"
#include "orthoview.h"
#include "pixelvalues.h"
#include "window.h"
#include "testutil.h"

#include <QtTest>
#include <QtWidgets>

class tst_views : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void projection_data();
    void projection();
    void projectionReads();
    void ownWindows();
    void orthogonal();
    void pixelValues_data();
    void pixelValues();
    void datasetProjection();
    void scaleBar();
    void exports();

private:
    QString input(const QString &name) const { return inputs.filePath(name); }
    static std::vector<double> doubles(const QString &fileName);
    static QAction *action(window &w, const QString &text);
    static void show(window &w);

    QTemporaryDir inputs;
};

void tst_views::initTestCase()
{
    QProcess python;
    python.start("/usr/bin/python3", { INPUTS_PY, inputs.path() });
    QVERIFY(python.waitForFinished(60000) && python.exitCode() == 0);
}

std::vector<double> tst_views::doubles(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    std::vector<double> values(size_t(bytes.size()) / sizeof(double));
    std::memcpy(values.data(), bytes.constData(), values.size() * sizeof(double));
    return values;
}

QAction *tst_views::action(window &w, const QString &text)
{
    for (QAction *a : w.findChildren<QAction *>()) {
        if (a->text() == text)
            return a;
    }
    return nullptr;
}

void tst_views::show(window &w)
{
    w.repaint();
    settle();
}

void tst_views::projection_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("last");
    QTest::newRow("in bands, max") << "tall" << "Maximum" << 0 << 6;
    QTest::newRow("in bands, sd of 2 to 4") << "tall" << "Standard Deviation" << 2 << 4;
    for (const char *name : { "odd", "float" }) {
        for (const auto &[menu, key] : { std::pair { "Maximum", "max" }, { "Mean", "mean" }, { "Minimum", "min" },
                                         { "Sum", "sum" }, { "Standard Deviation", "sd" } }) {
            QTest::addRow("%s %s", name, key) << name << menu << 0 << 6;
            QTest::addRow("%s %s of 2 to 4", name, key) << name << menu << 2 << 4;
        }
    }
}

// Each projection of time point 1, channel by channel, is numpy's: Sum past
// 16 bits included.
void tst_views::projection()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(int, first);
    QFETCH(int, last);
    window w;
    w.openRecording({ input(name + ".tif") });
    show(w);
    if (first != 0 || last != 6) {
        whenDialogOpens<QDialog>(&w, [&](QDialog *dialog) {
            const QList<QSpinBox *> boxes = dialog->findChildren<QSpinBox *>();
            boxes[1]->setValue(last);
            boxes[0]->setValue(first);
            dialog->accept();
        });
        action(w, "&Focal Range...")->trigger();
    }
    action(w, kind)->trigger();
    QTest::keyClick(&w, Qt::Key_Right);
    show(w);
    framesource &source = *w.frames();
    QCOMPARE(source.projection() != projectionKind::none, true);
    const std::vector<double> wanted = doubles(input(QString("%1_%2_%3_%4.raw").arg(name, projectionKey(source.projection())).arg(first).arg(last)));
    const size_t pixels = size_t(source.size().width()) * size_t(source.size().height());
    QCOMPARE(wanted.size(), pixels * source.channels().size());
    for (size_t c = 0; c < source.channels().size(); ++c) {
        const planeData *plane = source.plane(int(c));
        QVERIFY(plane);
        for (size_t i = 0; i < pixels; ++i) {
            double got;
            if (plane->format == sampleFormat::floatingPoint)
                got = reinterpret_cast<const float *>(plane->bytes.data())[i];
            else
                got = reinterpret_cast<const quint16 *>(plane->bytes.data())[i];
            const double expected = wanted[c * pixels + i];
            QVERIFY2(std::abs(got - expected) <= 1e-3 + 1e-6 * std::abs(expected),
                     qPrintable(QString("channel %1 pixel %2: %3, not %4").arg(c).arg(i).arg(got).arg(expected)));
        }
    }
}

// A projection reads each plane of the range once per time point, but for
// the plane already held; stepping the focal slider is not possible meanwhile.
void tst_views::projectionReads()
{
    window w;
    TraceCapture capture;
    w.openRecording({ input("odd.tif") });
    show(w);
    const QByteArray path = QFile::encodeName(input("odd.tif"));
    QCOMPARE(capture.lines(), QByteArrayList { path + ": t 0, z 3" });
    capture.clear();
    QTest::keyClick(&w, Qt::Key_P, Qt::ControlModifier | Qt::ShiftModifier);
    show(w);
    QCOMPARE(capture.lines().size(), 6);
    QVERIFY(!capture.lines().contains(path + ": t 0, z 3"));
    capture.clear();
    QTest::keyClick(&w, Qt::Key_Down);
    QTest::keyClick(&w, Qt::Key_Right);
    show(w);
    QByteArrayList all;
    for (int z = 0; z < 7; ++z)
        all << path + ": t 1, z " + QByteArray::number(z);
    QCOMPARE(capture.lines(), all);
    QCOMPARE(w.frames()->projection(), projectionKind::maximum);
    capture.clear();
    QTest::keyClick(&w, Qt::Key_P, Qt::ControlModifier | Qt::ShiftModifier);
    show(w);
    QCOMPARE(capture.lines(), QByteArrayList { path + ": t 1, z 3" });
}

// Sum has windows of its own, measured on the first projection and kept
// while stepping; the planes' windows come back with None.
void tst_views::ownWindows()
{
    window w;
    w.openRecording({ input("odd.tif") });
    show(w);
    framesource &source = *w.frames();
    source.channels()[0].low = 100;
    source.channels()[0].high = 200;
    action(w, "Sum")->trigger();
    show(w);
    QVERIFY(source.ownWindows());
    const std::optional<intensityWindow> measured = source.autoWindow(0);
    QVERIFY(measured && measured->high > 65535);
    QCOMPARE(source.channels()[0].high, measured->high);
    QTest::keyClick(&w, Qt::Key_Right);
    show(w);
    QCOMPARE(source.channels()[0].high, measured->high);
    action(w, "None")->trigger();
    show(w);
    QCOMPARE(source.channels()[0].low, 100.0);
    QCOMPARE(source.channels()[0].high, 200.0);
}

// XZ holds the row, YZ the column, through the point clicked, of every plane
// at the time point shown; a click in XZ moves to its plane.
void tst_views::orthogonal()
{
    window w;
    w.openRecording({ input("odd.tif") });
    show(w);
    framesource &source = *w.frames();
    for (channel &ch : source.channels()) {
        ch.low = 0;
        ch.high = 65535;
    }
    source.channels()[1].shown = false;
    source.channels()[0].colour = qRgb(255, 255, 255);
    QTest::keyClick(&w, Qt::Key_Right);
    QTest::keyClick(&w, Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
    show(w);
    auto *view = w.findChild<frameview *>();
    const QPoint point(5, 8);
    QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, view->viewPointOf(point));
    show(w);
    orthoview *xz = nullptr, *yz = nullptr;
    for (orthoview *o : w.findChildren<orthoview *>())
        (o->windowTitle() == "XZ" ? xz : yz) = o;
    QVERIFY(xz && yz);
    QTRY_VERIFY(xz->isVisible() && yz->isVisible());
    const std::vector<double> odd = doubles(input("odd.raw"));   // t, z, c, y, x
    const auto sample = [&](int z, int y, int x) { return odd[((size_t(1) * 7 + z) * 2 * 13 + y) * 11 + x]; };
    const auto grey = [](double v) { return qRound(v * 255 / 65535); };
    const QImage across = xz->image();
    const QImage down = yz->image();
    QCOMPARE(across.size(), QSize(11, 7));
    QCOMPARE(down.size(), QSize(7, 13));
    for (int z = 0; z < 7; ++z) {
        for (int x = 0; x < 11; ++x)
            QCOMPARE(qRed(across.pixel(x, z)), grey(sample(z, point.y(), x)));
        for (int y = 0; y < 13; ++y)
            QCOMPARE(qRed(down.pixel(z, y)), grey(sample(z, y, point.x())));
    }
    QTest::mouseClick(xz, Qt::LeftButton, Qt::NoModifier, QPoint(2, 5));
    show(w);
    QCOMPARE(w.frames()->shownPlane(), 5);
}

void tst_views::pixelValues_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("integral");
    QTest::newRow("16-bit") << "odd" << true;
    QTest::newRow("float") << "float" << false;
}

// The values under the pointer are the samples as read, in the data's own
// type, for each channel.
void tst_views::pixelValues()
{
    QFETCH(QString, name);
    QFETCH(bool, integral);
    window w;
    w.openRecording({ input(name + ".tif") });
    show(w);
    QTest::keyClick(&w, Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    auto *values = w.findChild<pixelvalues *>();
    QVERIFY(values);
    emit w.findChild<frameview *>()->pointerMoved(QPoint(4, 9));
    const std::vector<double> all = doubles(input(name + ".raw"));
    const int channels = int(w.frames()->channels().size());
    for (int c = 0; c < channels; ++c) {
        const double v = all[((size_t(0) * 7 + 3) * channels + c) * 13 * 11 + 9 * 11 + 4];
        const QString text = integral ? QString::number(qint64(v)) : QString::number(v, 'g', 6);
        QVERIFY2(values->text().contains(w.frames()->channels()[size_t(c)].name + ": " + text), qPrintable(values->text()));
    }
    QVERIFY(values->text().contains("x, y: 4, 9"));
    emit w.findChild<frameview *>()->pointerLeft();
    QVERIFY(!values->text().contains("x, y"));
}

// A dataset's grey frames project like a recording's planes.
void tst_views::datasetProjection()
{
    QTemporaryDir dir;
    QDir(dir.path()).mkdir("img");
    std::vector<QImage> frames;
    for (int z = 0; z < 3; ++z) {
        const auto blocks = [z](int bx, int by) {
            const int v = (bx * 40 + by * 70 + z * 90) % 256;
            return blockjpeg::Colour { v, 128, 128 };
        };
        QVERIFY(writeFile(dir.filePath(QString("img/grey_t000_z%1_ch000.jpg").arg(z, 3, 10, QChar('0'))), blockFrame(32, 24, blocks)));
        frames.push_back(decodedBlockFrame(32, 24, blocks));
    }
    window w;
    w.openDescriptor(writeDescriptor(dir.path(), "dataset grey width 32 height 24 mint 0 maxt 0 minz 0 maxz 2"));
    show(w);
    TraceCapture capture;
    action(w, "Maximum")->trigger();
    show(w);
    QCOMPARE(capture.lines().size(), 3);
    const planeData *plane = w.frames()->plane(0);
    QVERIFY(plane);
    QCOMPARE(w.frames()->channels().size(), size_t(1));
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 32; ++x) {
            int most = 0;
            for (const QImage &frame : frames)
                most = std::max(most, qRed(frame.pixel(x, y)));
            QCOMPARE(int(plane->bytes[size_t(y) * 32 + x]), most);
        }
}

// The scale bar keeps its length in micrometres at every zoom: 10 µm of
// 0.5 µm pixels are 20 screen pixels at 100 % and 40 at 200 %.
void tst_views::scaleBar()
{
    window w;
    w.openRecording({ input("scaled.tif") });
    show(w);
    QTest::keyClick(&w, Qt::Key_B, Qt::ControlModifier | Qt::ShiftModifier);
    auto *view = w.findChild<frameview *>();
    const auto longestWhite = [view] {
        const QImage shot = view->grab().toImage().convertToFormat(QImage::Format_RGB32);
        int longest = 0;
        for (int y = 0; y < shot.height(); ++y) {
            int run = 0;
            for (int x = 0; x < shot.width(); ++x) {
                run = shot.pixel(x, y) == qRgb(255, 255, 255) ? run + 1 : 0;
                longest = std::max(longest, run);
            }
        }
        return longest;
    };
    show(w);
    const int normal = longestWhite();
    QVERIFY2(std::abs(normal - 20) <= 2, qPrintable(QString::number(normal)));
    QTest::keyClick(&w, Qt::Key_Plus, Qt::ControlModifier);
    QTest::keyClick(&w, Qt::Key_Plus, Qt::ControlModifier);
    show(w);
    QCOMPARE(view->screenScale(), 2.0);
    const int doubled = longestWhite();
    QVERIFY2(std::abs(doubled - 40) <= 2, qPrintable(QString::number(doubled)));
}

// Export View writes the whole frame at its own size whatever the zoom;
// Export Movie one frame a time point, at the file's rate, as proposed
// beside the recording.
void tst_views::exports()
{
    window w;
    w.openRecording({ input("scaled.tif") });
    show(w);
    QTest::keyClick(&w, Qt::Key_Minus, Qt::ControlModifier);
    show(w);
    const QString picture = inputs.filePath("view.png");
    whenDialogOpens<exportdialog>(&w, [&](exportdialog *dialog) {
        dialog->findChild<QLineEdit *>()->setText(picture);
        dialog->findChildren<QComboBox *>().at(1)->setCurrentIndex(1);
        dialog->accept();
    });
    QTest::keyClick(&w, Qt::Key_E, Qt::ControlModifier);
    QCOMPARE(QImage(picture).size(), QSize(300, 200));
    whenDialogOpens<moviedialog>(&w, [&](moviedialog *dialog) { dialog->accept(); });
    action(w, "Export &Movie...")->trigger();
    QProcess probe;
    probe.start("ffprobe", { "-v", "error", "-count_frames", "-show_entries", "stream=codec_name,nb_read_frames,r_frame_rate",
                             "-of", "csv=p=0", inputs.filePath("scaled.mp4") });
    QVERIFY(probe.waitForFinished(30000));
    QCOMPARE(probe.readAllStandardOutput().trimmed(), QByteArray("h264,7/1,2"));

    // Cancelled, a movie leaves nothing behind, not even its temporary file.
    QTemporaryDir folder;
    moviewriter writer;
    QString error;
    QVERIFY(writer.open(folder.filePath("cancelled.mp4"), moviewriter::format::mp4, 7, moviewriter::quality::normal,
                        QSize(31, 17), &error));
    QImage frame(31, 17, QImage::Format_RGB32);
    frame.fill(Qt::gray);
    QVERIFY(writer.add(frame, &error));
    writer.cancel();
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

QTEST_MAIN(tst_views)
#include "tst_views.moc"
