// The dialogs as a new user meets them: Brightness and Contrast beside the
// window, its keys, lookup tables, sliders, histograms and projections, and
// a recording replaced under it; Save as Dataset's windows, saved by the
// real importer.
#include "brightnessdialog.h"
#include "framesource.h"
#include "histogramview.h"
#include "importdialog.h"
#include "window.h"
#include "testutil.h"

#include <QtTest>
#include <QtWidgets>

class tst_dialogs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void keys_data();
    void keys();
    void placement_data();
    void placement();
    void controls_data();
    void controls();
    void histogramDrawing_data();
    void histogramDrawing();
    void replaced();
    void projection_data();
    void projection();
    void savedWindow_data();
    void savedWindow();

private:
    brightnessdialog *openBrightness(window &w, const QString &file);
    QTemporaryDir dir;
};

namespace {

QAction *action(const QWidget &w, const QString &text)
{
    for (QAction *a : w.findChildren<QAction *>()) {
        if (a->text() == text)
            return a;
    }
    return nullptr;
}

template<typename T>
T *named(const QWidget *parent, const QString &name, int index = 0)
{
    QList<T *> found;
    for (T *t : parent->findChildren<T *>()) {
        if (t->accessibleName() == name)
            found << t;
    }
    return found.value(index);
}

} // namespace

// 16-bit TZCYX of 3 x 4 x 2 whose channel c of (t, z) holds
// 1000 + 400 t + 100 z + 2000 c + 0..63, with display ranges; and one
// channel of three time points, 4000 apart, without one.
void tst_dialogs::initTestCase()
{
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QProcess python;
    python.start("/usr/bin/python3", { "-c", "import sys, numpy as np, tifffile\n"
                                             "y, x = np.ogrid[:30, :40]\n"
                                             "t, z, c = np.ogrid[:3, :4, :2]\n"
                                             "d = (1000 + 400 * t + 100 * z + 2000 * c)[..., None, None] + (x * 3 + y * 5) % 64\n"
                                             "tifffile.imwrite(sys.argv[1] + '/hyper.tif', d.astype(np.uint16), imagej=True,\n"
                                             "    metadata={'axes': 'TZCYX', 'Ranges': (1000.0, 4000.0, 624.0, 6282.0)})\n"
                                             "tifffile.imwrite(sys.argv[1] + '/one.tif', (d[:, 0, 0] + 3600 * t.reshape(3, 1, 1)).astype(np.uint16),\n"
                                             "    photometric='minisblack', metadata=None)\n",
                                       dir.path() });
    QVERIFY(python.waitForFinished(60000) && python.exitCode() == 0);
}

brightnessdialog *tst_dialogs::openBrightness(window &w, const QString &file)
{
    w.openRecording({ QFileInfo(file).isAbsolute() ? file : dir.filePath(file) });
    w.show();
    if (!QTest::qWaitForWindowExposed(&w))
        return nullptr;
    w.repaint();
    action(w, "&Brightness and Contrast...")->trigger();
    auto *d = w.findChild<brightnessdialog *>();
    settle();
    return d && d->isVisible() ? d : nullptr;
}

void tst_dialogs::keys_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("stays");
    QTest::newRow("Return applies a high value") << int(Qt::Key_Return) << "High" << "2500" << true;
    QTest::newRow("Enter applies a low value") << int(Qt::Key_Enter) << "Low" << "1200" << true;
    QTest::newRow("Escape closes") << int(Qt::Key_Escape) << "High" << "" << false;
}

// A value typed is applied by Return, and the dialog stays for the next.
void tst_dialogs::keys()
{
    QFETCH(int, key);
    QFETCH(QString, box);
    QFETCH(QString, typed);
    QFETCH(bool, stays);
    window w;
    brightnessdialog *d = openBrightness(w, "hyper.tif");
    QVERIFY(d);
    auto *spin = named<QDoubleSpinBox>(d, box);
    spin->setFocus();
    spin->selectAll();
    QTest::keyClicks(spin, typed);
    QTest::keyClick(spin, Qt::Key(key), key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
    QCOMPARE(d->isVisible(), stays);
    const channel &first = w.frames()->channels()[0];
    if (!typed.isEmpty())
        QCOMPARE(box == "Low" ? first.low : first.high, typed.toDouble());
}

void tst_dialogs::placement_data()
{
    QTest::addColumn<QRect>("geometry");   // of the window, on the screens of layout.json
    QTest::addColumn<QPoint>("moved");     // where the user put the dialog first
    QTest::addColumn<QString>("side");
    QTest::newRow("to the right") << QRect(100, 100, 500, 400) << QPoint() << "right";
    QTest::newRow("grown past the right") << QRect(900, 100, 700, 400) << QPoint() << "left";
    QTest::newRow("no room either side") << QRect(100, 100, 1500, 400) << QPoint() << "over";
    QTest::newRow("on a small screen") << QRect(2000, 50, 300, 200) << QPoint() << "over";
    QTest::newRow("moved by the user") << QRect(100, 100, 500, 400) << QPoint(1300, 600) << "moved";
}

// The dialog keeps beside the window as it moves or grows, on its screen,
// until the user moves it.
void tst_dialogs::placement()
{
    QFETCH(QRect, geometry);
    QFETCH(QPoint, moved);
    QFETCH(QString, side);
    window w;
    brightnessdialog *d = openBrightness(w, "hyper.tif");
    QVERIFY(d);
    if (!moved.isNull())
        d->move(moved);
    settle();
    w.setGeometry(geometry);
    settle();
    const QRect main = w.frameGeometry();
    const QRect beside = d->frameGeometry();
    const QRect screen = w.screen()->availableGeometry();
    if (side == "moved") {
        QCOMPARE(d->pos(), moved);
        return;
    }
    QVERIFY(screen.contains(beside));
    if (side == "right")
        QVERIFY(beside.left() > main.right() && beside.top() == main.top());
    else if (side == "left")
        QVERIFY(beside.right() < main.left() && beside.top() == main.top());
    else
        QCOMPARE(beside.right(), screen.right());
}

void tst_dialogs::controls_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("act");
    QTest::addColumn<double>("low");   // of the first channel; NaN: as it was
    QTest::addColumn<double>("high");
    QTest::addColumn<QString>("colour");   // empty: as it was
    QTest::addColumn<QString>("table");
    const double same = qQNaN();
    QTest::newRow("Red by name") << "hyper.tif" << "table Red" << same << same << "#ff0000" << "";
    QTest::newRow("Fire by name") << "hyper.tif" << "table Fire" << same << same << "" << "Fire";
    // The sliders span 1000 to 4000: the file's window and the plane's values.
    QTest::newRow("low slider at its middle") << "hyper.tif" << "middle" << 2500.0 << 4000.0 << "" << "";
    QTest::newRow("Reset restores both ends") << "hyper.tif" << "reset" << 1000.0 << 4000.0 << "" << "";
    QTest::newRow("stepping to brighter frames") << "one.tif" << "step" << same << same << "" << "";
}

void tst_dialogs::controls()
{
    QFETCH(QString, file);
    QFETCH(QString, act);
    QFETCH(double, low);
    QFETCH(double, high);
    QFETCH(QString, colour);
    QFETCH(QString, table);
    window w;
    brightnessdialog *d = openBrightness(w, file);
    QVERIFY(d);
    const channel before = w.frames()->channels()[0];
    const QList<QDoubleSpinBox *> boxes = d->findChildren<QDoubleSpinBox *>();
    if (act.startsWith("table ")) {
        auto *tables = d->findChildren<QComboBox *>().first();
        tables->setCurrentIndex(tables->findText(act.mid(6)));
        emit tables->textActivated(act.mid(6));
    } else if (act == "middle") {
        d->findChildren<QSlider *>().first()->setValue(500);
    } else if (act == "reset") {
        boxes[0]->setValue(1500);
        boxes[1]->setValue(3000);
        for (QPushButton *button : d->findChildren<QPushButton *>()) {
            if (button->text() == "&Reset")
                button->click();
        }
    } else {
        boxes[0]->setValue(before.low + 1);   // off the sliders' steps
        for (int t = 0; t < 2; ++t) {
            QTest::keyClick(&w, Qt::Key_Right);
            w.repaint();
        }
        QCOMPARE(w.frames()->shownTime(), 2);
        low = before.low + 1;
    }
    const channel &after = w.frames()->channels()[0];
    QCOMPARE(after.low, qIsNaN(low) ? before.low : low);
    QCOMPARE(after.high, qIsNaN(high) ? before.high : high);
    QCOMPARE(QColor(after.colour), colour.isEmpty() ? QColor(before.colour) : QColor(colour));
    QCOMPARE(after.table, table);
    QCOMPARE(boxes[0]->value(), after.low);
}

void tst_dialogs::histogramDrawing_data()
{
    QTest::addColumn<double>("first");
    QTest::addColumn<double>("last");
    QTest::addColumn<double>("low");
    QTest::addColumn<double>("high");
    QTest::addColumn<bool>("logarithmic");
    QTest::addColumn<double>("rampMiddle");   // x where the ramp is half way up
    QTest::addColumn<int>("barLeast");        // height of the bar of 10 beside one of 10^6
    QTest::addColumn<int>("barMost");
    QTest::newRow("square root, window in the middle") << 0.0 << 100.0 << 25.0 << 75.0 << false << 100.5 << 0 << 2;
    QTest::newRow("logarithmic, window to the right") << 1000.0 << 2000.0 << 1500.0 << 1750.0 << true << 125.5 << 8 << 14;
}

// The ramp from low to high lies where those values lie under the bars.
void tst_dialogs::histogramDrawing()
{
    QFETCH(double, first);
    QFETCH(double, last);
    QFETCH(double, low);
    QFETCH(double, high);
    QFETCH(bool, logarithmic);
    QFETCH(double, rampMiddle);
    QFETCH(int, barLeast);
    QFETCH(int, barMost);
    histogramview view;
    view.resize(201, 64);
    view.setCounts({ 10, 0, 0, 1000000 }, first, last);
    view.setWindow(low, high, Qt::red);
    view.setLogarithmic(logarithmic);
    const QImage image = view.grab().toImage();
    double sum = 0;
    int red = 0;
    for (int x = 0; x < image.width(); ++x) {
        const QColor c = image.pixelColor(x, 32);
        if (c.red() > 200 && c.green() < 80) {
            sum += x + 0.5;
            ++red;
        }
    }
    QVERIFY(red > 0);
    QVERIFY2(qAbs(sum / red - rampMiddle) < 2, qPrintable(QString::number(sum / red)));
    // Measured above the ramp's foot along the bottom.
    int top = 58;
    while (top > 0 && image.pixelColor(25, top).lightness() < 60)
        --top;
    const int bar = top == 58 ? 0 : 63 - top;
    QVERIFY2(bar >= barLeast && bar <= barMost, qPrintable(QString::number(bar)));
}

// A recording opened in place of another leaves nothing of it in the
// dialog, not even a colour chooser left open.
void tst_dialogs::replaced()
{
    window w;
    brightnessdialog *d = openBrightness(w, "hyper.tif");
    QVERIFY(d);
    named<QToolButton>(d, "Colour of Channel 2")->click();
    QPointer<QColorDialog> chooser = d->findChild<QColorDialog *>();
    QVERIFY(chooser && chooser->isVisible());
    w.openRecording({ dir.filePath("one.tif") });
    w.repaint();
    settle();
    if (chooser) {
        chooser->setCurrentColor(Qt::red);
        chooser->accept();
    }
    QVERIFY(!chooser);
    QCOMPARE(d->findChildren<QSlider *>().size(), 2);
    d->findChildren<QSlider *>().last()->setValue(0);
    QCOMPARE(w.frames()->channels()[0].high, w.frames()->channels()[0].low + 1);
}

void tst_dialogs::projection_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("note");
    QTest::addColumn<double>("spanEnd");   // the high slider's end: the most of the window and the values
    QTest::newRow("Sum") << int(projectionKind::sum) << "Windows measured on the Sum projection" << 4852.0;
    QTest::newRow("Maximum") << int(projectionKind::maximum) << "" << 4000.0;
}

// Sum and Standard Deviation have windows of their own: the dialog says so
// and spans the projection's values.
void tst_dialogs::projection()
{
    QFETCH(int, kind);
    QFETCH(QString, note);
    QFETCH(double, spanEnd);
    window w;
    brightnessdialog *d = openBrightness(w, "hyper.tif");
    QVERIFY(d);
    framesource *frames = w.frames();
    frames->setProjection(projectionKind(kind), { 0, 3 });
    frames->picture(frames->size(), QRect(QPoint(), frames->size()));
    d->frameLoaded();
    QLabel *said = nullptr;
    for (QLabel *label : d->findChildren<QLabel *>()) {
        if (label->text().startsWith("Windows measured"))
            said = label;
    }
    QCOMPARE(said && said->isVisible() ? said->text() : QString(), note);
    d->findChildren<QSlider *>().at(1)->setValue(1000);
    QVERIFY2(qAbs(frames->channels()[0].high - spanEnd) < 1, qPrintable(QString::number(frames->channels()[0].high)));
}

void tst_dialogs::savedWindow_data()
{
    QTest::addColumn<QString>("choice");
    QTest::addColumn<QString>("range");
    QTest::newRow("the file's own") << "default" << "1=624:6282";
    QTest::newRow("the window shown") << "own" << "1=1500:3000";
}

// The second channel's window changed in the viewer: Save as Dataset offers
// the file's own range by what the file holds, and writes what it offers;
// channels are numbered from 1.
void tst_dialogs::savedWindow()
{
    QFETCH(QString, choice);
    QFETCH(QString, range);
    QTemporaryDir folder;
    QVERIFY(QFile::copy(dir.filePath("hyper.tif"), folder.filePath("hyper.tif")));
    const QByteArray path = qgetenv("PATH");
    const auto restore = qScopeGuard([&] { qputenv("PATH", path); });
    qputenv("PATH", QFileInfo(IMPORTER).absolutePath().toLocal8Bit() + ":" + path);
    window w;
    brightnessdialog *d = openBrightness(w, folder.filePath("hyper.tif"));
    QVERIFY(d);
    named<QDoubleSpinBox>(d, "Low", 1)->setValue(1500);
    named<QDoubleSpinBox>(d, "High", 1)->setValue(3000);
    action(w, "&Save as Dataset...")->trigger();
    importdialog *save = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((save = w.findChild<importdialog *>()) && save->isVisible(), 30000);
    QVERIFY(named<QComboBox>(save, "Brightness of Channel 1"));
    auto *second = named<QComboBox>(save, "Brightness of Channel 2");
    QVERIFY(second);
    QCOMPARE(second->itemText(0), QString("From the file: 624 – 6282"));
    second->setCurrentIndex(second->findData(choice));
    save->accept();
    QMessageBox *done = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((done = w.findChild<QMessageBox *>()), 60000);
    QVERIFY2(done->text().startsWith("The dataset was saved as"), qPrintable(done->text()));
    QFile record(folder.filePath("hyper/hyper.import.json"));
    QVERIFY(record.open(QIODevice::ReadOnly));
    const QStringList settings = QJsonDocument::fromJson(record.readAll())["settings"].toVariant().toStringList();
    QVERIFY2(settings.join(' ').contains("--range " + range), qPrintable(settings.join(' ')));
}

QTEST_MAIN(tst_dialogs)
#include "tst_dialogs.moc"
