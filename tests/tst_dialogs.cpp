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
    void placement_data();
    void placement();
    void controls_data();
    void controls();
    void histogramDrawing_data();
    void histogramDrawing();
    void savedWindow();

private:
    brightnessdialog *openBrightness(window &w, const QString &file);
    QTemporaryDir dir;
};

// The index-th child of parent with the accessible name or the text given.
template<typename T>
static T *named(const QObject *parent, const QString &name, int index = 0)
{
    for (T *t : parent->findChildren<T *>()) {
        if ((t->property("accessibleName") == name || t->property("text") == name) && index-- == 0)
            return t;
    }
    return nullptr;
}

// 16-bit TZCYX of 3 x 4 x 2 whose channel c of (t, z) holds
// 1000 + 400 t + 100 z + 2000 c + 0..63, with display ranges; and one
// channel of three time points, 4000 apart, without one.
void tst_dialogs::initTestCase()
{
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    qputenv("PATH", QFileInfo(IMPORTER).absolutePath().toLocal8Bit() + ":" + qgetenv("PATH"));   // for Save as Dataset
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
    w.openRecording({ dir.filePath(file) });
    w.show();
    if (!QTest::qWaitForWindowExposed(&w))
        return nullptr;
    w.repaint();
    named<QAction>(&w, "&Brightness and Contrast...")->trigger();
    auto *d = w.findChild<brightnessdialog *>();
    settle();
    return d && d->isVisible() ? d : nullptr;
}

void tst_dialogs::placement_data()
{
    QTest::addColumn<QRect>("geometry");   // of the window, on the screens of layout.json
    QTest::addColumn<QPoint>("moved");     // where the user put the dialog first
    QTest::addColumn<QString>("side");
    QTest::newRow("to the right") << QRect(100, 100, 500, 400) << QPoint() << "right";
    QTest::newRow("grown past the right") << QRect(900, 100, 700, 400) << QPoint() << "left";
    QTest::newRow("over, on a small screen") << QRect(2000, 50, 300, 200) << QPoint() << "over";
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
    const QRect main = w.frameGeometry(), beside = d->frameGeometry(), screen = w.screen()->availableGeometry();
    if (side == "moved")
        QCOMPARE(d->pos(), moved);
    else
        QVERIFY(screen.contains(beside));
    if (side == "right")
        QVERIFY(beside.left() > main.right() && beside.top() == main.top());
    else if (side == "left")
        QVERIFY(beside.right() < main.left() && beside.top() == main.top());
    else if (side == "over")
        QCOMPARE(beside.right(), screen.right());
}

void tst_dialogs::controls_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("act");
    QTest::addColumn<double>("low");    // of the first channel; NaN: as it was
    QTest::addColumn<double>("high");
    QTest::addColumn<QString>("look");   // its colour's name or its table; empty: as it was
    const double same = qQNaN();
    QTest::newRow("Return applies a value typed") << "hyper.tif" << "Return" << same << 2500.0 << "";
    QTest::newRow("Green by name") << "hyper.tif" << "Green" << same << same << "#00ff00";
    QTest::newRow("Fire by name") << "hyper.tif" << "Fire" << same << same << "Fire";
    // The sliders span 1000 to 4000: the file's window and the plane's values.
    QTest::newRow("low slider at its middle") << "hyper.tif" << "middle" << 2500.0 << 4000.0 << "";
    QTest::newRow("Reset restores both ends") << "hyper.tif" << "Reset" << 1000.0 << 4000.0 << "";
    QTest::newRow("stepping to brighter frames") << "one.tif" << "step" << same << same << "";
    QTest::newRow("replaced with a chooser open") << "hyper.tif" << "replaced" << same << same << "";
    // Sum has windows of its own, and its sliders span its values.
    QTest::newRow("high slider at its end, Sum") << "hyper.tif" << "Sum" << 4600.0 << 4852.0 << "";
    QTest::newRow("high slider at its end, Maximum") << "hyper.tif" << "Maximum" << same << 4000.0 << "";
}

void tst_dialogs::controls()
{
    QFETCH(QString, file);
    QFETCH(QString, act);
    QFETCH(double, low);
    QFETCH(double, high);
    QFETCH(QString, look);
    window w;
    brightnessdialog *d = openBrightness(w, file);
    QVERIFY(d);
    const auto lookOf = [](const channel &c) { return c.table.isEmpty() ? QColor(c.colour).name() : c.table; };
    channel before = w.frames()->channels()[0];
    auto *lowBox = named<QDoubleSpinBox>(d, "Low");
    auto *highBox = named<QDoubleSpinBox>(d, "High");
    if (act == "Return") {
        highBox->setFocus();
        highBox->selectAll();
        QTest::keyClicks(highBox, QString::number(high));
        QTest::keyClick(highBox, Qt::Key_Return);
    } else if (act == "Green" || act == "Fire") {
        emit named<QComboBox>(d, "Lookup table of Channel 1")->textActivated(act);
    } else if (act == "middle") {
        named<QSlider>(d, "Low")->setValue(500);
    } else if (act == "Reset") {
        lowBox->setValue(1500);
        highBox->setValue(3000);
        named<QPushButton>(d, "&Reset")->click();
    } else if (act == "step") {
        low = before.low + 1;   // off the sliders' steps
        lowBox->setValue(low);
        for (int t = 0; t < 2; ++t) {
            QTest::keyClick(&w, Qt::Key_Right);
            w.repaint();
        }
        QCOMPARE(w.frames()->shownTime(), 2);
    } else if (act == "replaced") {
        // Nothing of the recording replaced stays, not even its colour chooser.
        named<QToolButton>(d, "Colour of Channel 2")->click();
        QPointer<QColorDialog> chooser = d->findChild<QColorDialog *>();
        QVERIFY(chooser && chooser->isVisible());
        w.openRecording({ dir.filePath("one.tif") });
        w.repaint();
        settle();
        if (chooser)
            chooser->accept();
        QVERIFY(!chooser);
        QCOMPARE(d->findChildren<QSlider *>().size(), 2);
        before = w.frames()->channels()[0];
        low = before.low + 1;
        named<QDoubleSpinBox>(d, "Low")->setValue(low);
    } else {
        framesource *frames = w.frames();
        frames->setProjection(act == "Sum" ? projectionKind::sum : projectionKind::maximum, { 0, 3 });
        frames->picture(frames->size(), QRect(QPoint(), frames->size()));
        d->frameLoaded();
        named<QSlider>(d, "High")->setValue(1000);
    }
    QVERIFY(d->isVisible());
    const channel &after = w.frames()->channels()[0];
    QCOMPARE(after.low, qIsNaN(low) ? before.low : low);
    QCOMPARE(after.high, qIsNaN(high) ? before.high : high);
    QCOMPARE(lookOf(after), look.isEmpty() ? lookOf(before) : look);
    QCOMPARE(named<QDoubleSpinBox>(d, "Low")->value(), after.low);
    const QLabel *note = named<QLabel>(d, "Windows measured on the Sum projection");
    QCOMPARE(note && note->isVisible(), act == "Sum");
}

void tst_dialogs::histogramDrawing_data()
{
    QTest::addColumn<double>("low");   // of values 1000 to 2000 over 201 pixels
    QTest::addColumn<double>("high");
    QTest::addColumn<bool>("logarithmic");
    QTest::addColumn<int>("bar");   // height of the bar of 10 beside one of 10^6, give or take 3
    QTest::newRow("square root") << 1250.0 << 1750.0 << false << 0;
    QTest::newRow("logarithmic") << 1500.0 << 1750.0 << true << 11;
}

// The ramp from low to high lies where those values lie under the bars.
void tst_dialogs::histogramDrawing()
{
    QFETCH(double, low);
    QFETCH(double, high);
    QFETCH(bool, logarithmic);
    QFETCH(int, bar);
    histogramview view;
    view.resize(201, 64);
    view.setCounts({ 10, 0, 0, 1000000 }, 1000, 2000);
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
    const double middle = ((low + high) / 2 - 1000) / 1000 * 201;
    QVERIFY2(red > 0 && qAbs(sum / red - middle) < 2, qPrintable(QString::number(sum / red)));
    // Measured above the ramp's foot along the bottom.
    int top = 58;
    while (top > 0 && image.pixelColor(25, top).lightness() < 60)
        --top;
    QVERIFY2(qAbs((top == 58 ? 0 : 63 - top) - bar) <= 3, qPrintable(QString::number(top)));
}

// Both channels' windows changed in the viewer; Save as Dataset offers the
// file's own range by what the file holds, and writes what is chosen;
// channels are numbered from 1, and given to the importer from 0.
void tst_dialogs::savedWindow()
{
    window w;
    brightnessdialog *d = openBrightness(w, "hyper.tif");
    QVERIFY(d);
    for (int c = 0; c < 2; ++c) {
        named<QDoubleSpinBox>(d, "Low", c)->setValue(1500);
        named<QDoubleSpinBox>(d, "High", c)->setValue(3000);
    }
    named<QAction>(&w, "&Save as Dataset...")->trigger();
    importdialog *save = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((save = w.findChild<importdialog *>()) && save->isVisible(), 30000);
    auto *first = named<QComboBox>(save, "Brightness of Channel 1");
    auto *second = named<QComboBox>(save, "Brightness of Channel 2");
    QVERIFY(first && second);
    QCOMPARE(second->itemText(0), QString("From the file: 624 – 6282"));
    first->setCurrentIndex(first->findData("default"));
    second->setCurrentIndex(second->findData("own"));
    save->accept();
    QMessageBox *done = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((done = w.findChild<QMessageBox *>()), 60000);
    QVERIFY2(done->text().startsWith("The dataset was saved as"), qPrintable(done->text()));
    QFile record(dir.filePath("hyper/hyper.import.json"));
    QVERIFY(record.open(QIODevice::ReadOnly));
    const QString given = QJsonDocument::fromJson(record.readAll())["settings"].toVariant().toStringList().join(' ');
    QVERIFY2(given.contains("--range 0=1000:4000") && given.contains("--range 1=1500:3000"), qPrintable(given));
}

QTEST_MAIN(tst_dialogs)
#include "tst_dialogs.moc"
