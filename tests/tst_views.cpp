// Projections, orthogonal views and pixel values against numpy; a dataset's
// projection; the scale bar and the exports.
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
    void pointer_data();
    void pointer();
    void datasetProjection();
    void scaleBarAndExports();

private:
    void open(window &w, const QString &name) { w.openRecording({ inputs.filePath(name + ".tif") }); show(w); }
    std::vector<double> doubles(const QString &name) const;
    static QAction *action(window &w, const QString &text);
    static void show(window &w) { w.repaint(); settle(); }
    static void press(window &w, Qt::Key key, Qt::KeyboardModifiers with = Qt::ControlModifier | Qt::ShiftModifier)
    { QTest::keyClick(&w, key, with); show(w); }

    QTemporaryDir inputs;
};

void tst_views::initTestCase()
{
    QProcess python;
    python.start("/usr/bin/python3", { INPUTS_PY, inputs.path() });
    QVERIFY(python.waitForFinished(60000) && python.exitCode() == 0);
}

std::vector<double> tst_views::doubles(const QString &name) const
{
    QFile file(inputs.filePath(name + ".raw"));
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    std::vector<double> values(size_t(bytes.size()) / sizeof(double));
    std::memcpy(values.data(), bytes.constData(), values.size() * sizeof(double));
    return values;
}

QAction *tst_views::action(window &w, const QString &text)
{
    for (QAction *a : w.findChildren<QAction *>())
        if (a->text() == text)
            return a;
    return nullptr;
}

void tst_views::projection_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("last");
    for (const auto &[menu, key] : { std::pair { "Maximum", "max" }, { "Mean", "mean" }, { "Minimum", "min" },
                                     { "Sum", "sum" }, { "Standard Deviation", "sd" } }) {
        QTest::addRow("16-bit %s", key) << "odd" << menu << 0 << 6;
        QTest::addRow("float %s of 2 to 4", key) << "float" << menu << 2 << 4;
    }
    QTest::newRow("in bands, max") << "tall" << "Maximum" << 0 << 6;
    QTest::newRow("in bands, sd of 2 to 4") << "tall" << "Standard Deviation" << 2 << 4;
}

// Each projection of time point 1 and its focal range, channel by channel, is
// numpy's: Sum past 16 bits included.
void tst_views::projection()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(int, first);
    QFETCH(int, last);
    window w;
    open(w, name);
    whenDialogOpens<QDialog>(&w, [&](QDialog *dialog) {
        const QList<QSpinBox *> boxes = dialog->findChildren<QSpinBox *>();
        boxes[1]->setValue(last);
        boxes[0]->setValue(first);
        dialog->accept();
    });
    action(w, "&Focal Range...")->trigger();
    action(w, kind)->trigger();
    press(w, Qt::Key_Right, Qt::NoModifier);
    framesource &source = *w.frames();
    const std::vector<double> wanted = doubles(QString("%1_%2_%3_%4").arg(name, projectionKey(source.projection())).arg(first).arg(last));
    const size_t pixels = size_t(source.size().width()) * size_t(source.size().height());
    QCOMPARE(wanted.size(), pixels * source.channels().size());
    for (size_t c = 0; c < source.channels().size(); ++c) {
        const planeData *plane = source.plane(int(c));
        QVERIFY(plane);
        for (size_t i = 0; i < pixels; ++i) {
            const double got = plane->format == sampleFormat::floatingPoint ? reinterpret_cast<const float *>(plane->bytes.data())[i]
                                                                            : reinterpret_cast<const quint16 *>(plane->bytes.data())[i];
            const double expected = wanted[c * pixels + i];
            QVERIFY2(std::abs(got - expected) <= 1e-3 + 1e-6 * std::abs(expected),
                     qPrintable(QString("channel %1 pixel %2: %3, not %4").arg(c).arg(i).arg(got).arg(expected)));
        }
    }
}

// A projection reads each plane of the range once per time point, but for the
// plane already held, and the focal slider does not step meanwhile.  Sum has
// windows of its own, measured on its first projection and kept while
// stepping; the planes' windows come back when projecting ends.
void tst_views::projectionReads()
{
    window w;
    TraceCapture capture;
    open(w, "odd");
    const auto read = [path = QFile::encodeName(inputs.filePath("odd.tif"))](int t, int z) {
        return path + ": t " + QByteArray::number(t) + ", z " + QByteArray::number(z);
    };
    QCOMPARE(capture.lines(), QByteArrayList { read(0, 3) });
    framesource &source = *w.frames();
    source.channels()[0].low = 100;
    source.channels()[0].high = 200;
    capture.clear();
    press(w, Qt::Key_P);
    QCOMPARE(source.projection(), projectionKind::maximum);
    QCOMPARE(capture.lines().size(), 6);
    QVERIFY(!capture.lines().contains(read(0, 3)));
    action(w, "Sum")->trigger();
    show(w);
    const std::optional<intensityWindow> measured = source.autoWindow(0);
    QVERIFY(source.ownWindows() && measured && measured->high > 65535);
    QCOMPARE(source.channels()[0].high, measured->high);
    capture.clear();
    QTest::keyClick(&w, Qt::Key_Down);
    press(w, Qt::Key_Right, Qt::NoModifier);
    QCOMPARE(capture.lines(), (QByteArrayList { read(1, 0), read(1, 1), read(1, 2), read(1, 3), read(1, 4), read(1, 5), read(1, 6) }));
    QCOMPARE(source.channels()[0].high, measured->high);
    capture.clear();
    press(w, Qt::Key_P);
    QCOMPARE(capture.lines(), QByteArrayList { read(1, 3) });
    QCOMPARE(source.channels()[0].low, 100.0);
    QCOMPARE(source.channels()[0].high, 200.0);
}

void tst_views::pointer_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<double>("high");   // of the window shown in grey from 0
    QTest::newRow("16-bit") << "odd" << 65535.0;
    QTest::newRow("float") << "float" << 1000.0;
}

// The values under the pointer are the samples as read, in the data's own
// type, for each channel.  XZ holds the row, YZ the column, through the point
// clicked, of every plane at the time point shown; a click in XZ moves to its
// plane.
void tst_views::pointer()
{
    QFETCH(QString, name);
    QFETCH(double, high);
    window w;
    open(w, name);
    auto &channels = w.frames()->channels();
    const std::vector<double> all = doubles(name);   // t, z, c, y, x
    const auto sample = [&](int t, int z, size_t c, int y, int x) {
        return all[(((size_t(t) * 7 + size_t(z)) * channels.size() + c) * 13 + size_t(y)) * 11 + size_t(x)];
    };
    QTest::keyClick(&w, Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    auto *values = w.findChild<pixelvalues *>();
    auto *view = w.findChild<frameview *>();
    QVERIFY(values);
    emit view->pointerMoved(QPoint(4, 9));
    for (size_t c = 0; c < channels.size(); ++c) {
        const double v = sample(0, 3, c, 9, 4);
        const QString text = name == "odd" ? QString::number(qint64(v)) : QString::number(v, 'g', 6);
        QVERIFY2(values->text().contains(channels[c].name + ": " + text), qPrintable(values->text()));
    }
    QVERIFY(values->text().contains("x, y: 4, 9"));
    emit view->pointerLeft();
    QVERIFY(!values->text().contains("x, y"));

    for (channel &ch : channels)
        ch.low = 0, ch.high = high, ch.shown = &ch == &channels[0];
    channels[0].colour = qRgb(255, 255, 255);
    QTest::keyClick(&w, Qt::Key_Right);
    press(w, Qt::Key_O);
    const QPoint point(5, 8);
    QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, view->viewPointOf(point));
    show(w);
    orthoview *xz = nullptr, *yz = nullptr;
    for (orthoview *o : w.findChildren<orthoview *>())
        (o->windowTitle() == "XZ" ? xz : yz) = o;
    QVERIFY(xz && yz);
    QTRY_VERIFY(xz->isVisible() && yz->isVisible());
    const auto grey = [&](int z, int y, int x) { return qRound(std::clamp(sample(1, z, 0, y, x), 0.0, high) * 255 / high); };
    const QImage across = xz->image(), down = yz->image();
    QCOMPARE(across.size(), QSize(11, 7));
    QCOMPARE(down.size(), QSize(7, 13));
    for (int z = 0; z < 7; ++z) {
        for (int x = 0; x < 11; ++x)
            QCOMPARE(qRed(across.pixel(x, z)), grey(z, point.y(), x));
        for (int y = 0; y < 13; ++y)
            QCOMPARE(qRed(down.pixel(z, y)), grey(z, y, point.x()));
    }
    QTest::mouseClick(xz, Qt::LeftButton, Qt::NoModifier, QPoint(2, 5));
    show(w);
    QCOMPARE(w.frames()->shownPlane(), 5);
}

// A dataset's grey frames project like a recording's planes.
void tst_views::datasetProjection()
{
    QTemporaryDir dir;
    QDir(dir.path()).mkdir("img");
    std::vector<QImage> frames;
    for (int z = 0; z < 3; ++z) {
        const auto blocks = [z](int bx, int by) { return blockjpeg::Colour { (bx * 40 + by * 70 + z * 90) % 256, 128, 128 }; };
        QVERIFY(writeFile(dir.filePath(QString("img/grey_t000_z%1_ch000.jpg").arg(z, 3, 10, QChar('0'))), blockFrame(32, 24, blocks)));
        frames.push_back(decodedBlockFrame(32, 24, blocks));
    }
    window w;
    w.openDescriptor(writeDescriptor(dir.path(), "dataset grey width 32 height 24 mint 0 maxt 0 minz 0 maxz 2"));
    show(w);
    action(w, "Maximum")->trigger();
    show(w);
    const planeData *plane = w.frames()->plane(0);
    QVERIFY(plane && w.frames()->channels().size() == 1);
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 32; ++x) {
            int most = 0;
            for (const QImage &frame : frames)
                most = std::max(most, qRed(frame.pixel(x, y)));
            QCOMPARE(int(plane->bytes[size_t(y) * 32 + x]), most);
        }
}

// The scale bar keeps its length in micrometres at every zoom: 10 µm of
// 0.5 µm pixels are 20 screen pixels at 100 % and 40 at 200 %.  Export View
// writes the whole frame at its own size whatever the zoom; Export Movie one
// frame a time point, at the file's rate, as proposed beside the recording;
// cancelled, a movie leaves nothing, not even its temporary file.
void tst_views::scaleBarAndExports()
{
    window w;
    open(w, "scaled");
    QTest::keyClick(&w, Qt::Key_B, Qt::ControlModifier | Qt::ShiftModifier);
    auto *view = w.findChild<frameview *>();
    for (const int length : { 20, 40 }) {
        if (length == 40) {
            QTest::keyClick(&w, Qt::Key_Plus, Qt::ControlModifier);
            QTest::keyClick(&w, Qt::Key_Plus, Qt::ControlModifier);
        }
        show(w);
        const QImage shot = view->grab().toImage().convertToFormat(QImage::Format_RGB32);
        int longest = 0;
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0, run = 0; x < shot.width(); ++x)
                longest = std::max(longest, run = shot.pixel(x, y) == qRgb(255, 255, 255) ? run + 1 : 0);
        QVERIFY2(std::abs(longest - length) <= 2, qPrintable(QString::number(longest)));
    }
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

    QTemporaryDir folder;
    moviewriter writer;
    QString error;
    QImage frame(31, 17, QImage::Format_RGB32);
    frame.fill(Qt::gray);
    QVERIFY(writer.open(folder.filePath("cancelled.mp4"), moviewriter::format::mp4, 7, moviewriter::quality::normal, frame.size(), &error));
    QVERIFY(writer.add(frame, &error));
    writer.cancel();
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

QTEST_MAIN(tst_views)
#include "tst_views.moc"
