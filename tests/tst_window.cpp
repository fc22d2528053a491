#include "window.h"
#include "testutil.h"

#include <QtTest>
#include <QtWidgets>

#include <climits>

class tst_window : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void startUp_data();
    void startUp();
    void startUpIsInert();
    void menus();
    void reLayout_data();
    void reLayout();
    void middlePlane_data();
    void middlePlane();
    void absurdSizes_data();
    void absurdSizes();
    void openThroughDialog();
    void cancelKeepsDataset();
    void openClearsLastShownPair();
    void about();
    void aboutQt();
    void exitEndsEventLoop();
    void resizingMovesNothing_data();
    void resizingMovesNothing();
    void drop_data();
    void drop();

private:
    QString descriptor(const QByteArray &content) { return writeDescriptor(dir.path(), content); }
    static QWidget *control(window &w, const QString &name);
    QTemporaryDir dir;
};

void tst_window::initTestCase()
{
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
}

QWidget *tst_window::control(window &w, const QString &name)
{
    const QHash<QString, QWidget *> controls {
        { "imageLabel", w.imageLabel }, { "dsName", w.dsName },
        { "timePoint", w.timePoint },   { "focalPlane", w.focalPlane },
        { "scrollTime", w.scrollTime }, { "scrollFocal", w.scrollFocal },
    };
    return controls.value(name);
}

void tst_window::startUp_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::newRow("imageLabel") << "imageLabel" << QRect(5, 5, 300, 300);
    QTest::newRow("dsName") << "dsName" << QRect(5, 310, 290, 25);
    QTest::newRow("timePoint") << "timePoint" << QRect(5, 340, 48, 25);
    QTest::newRow("focalPlane") << "focalPlane" << QRect(5, 370, 48, 25);
    QTest::newRow("scrollTime") << "scrollTime" << QRect(60, 344, 245, 16);
    QTest::newRow("scrollFocal") << "scrollFocal" << QRect(60, 374, 245, 16);
}

void tst_window::startUp()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    window w;
    QWidget *c = control(w, name);
    QCOMPARE(c->parentWidget(), w.mainLabel);
    QCOMPARE(c->geometry(), geometry);
    QVERIFY(!c->isEnabled());
    QVERIFY(w.isVisible());
    QCOMPARE(w.size(), QSize(310, 425));
    QCOMPARE(w.windowTitle(), QString("Tesseline"));
    QCOMPARE(w.centralWidget(), w.mainLabel);
    QVERIFY(w.mainLabel->isEnabled());
    QVERIFY(!w.mainLabel->layout());
    QCOMPARE(w.timePoint->segmentStyle(), QLCDNumber::Flat);
    QCOMPARE(w.focalPlane->segmentStyle(), QLCDNumber::Flat);
    QCOMPARE(w.scrollTime->orientation(), Qt::Horizontal);
    QCOMPARE(w.scrollFocal->orientation(), Qt::Horizontal);
    QCOMPARE(w.mTimePoint, -1);
    QCOMPARE(w.mFocalPlane, -1);
    QVERIFY(!w.opened);
}

void tst_window::startUpIsInert()
{
    window w;
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    TraceCapture capture;
    for (int key : { Qt::Key_H, Qt::Key_J, Qt::Key_K, Qt::Key_L, Qt::Key_Left, Qt::Key_Right,
                     Qt::Key_Up, Qt::Key_Down })
        QTest::keyClick(&w, Qt::Key(key));
    QWheelEvent wheel(QPointF(50, 50), w.mapToGlobal(QPointF(50, 50)), QPoint(), QPoint(0, 120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&w, &wheel);
    w.repaint();
    settle();
    QCOMPARE(w.mTimePoint, -1);
    QCOMPARE(w.mFocalPlane, -1);
    QVERIFY(capture.lines().isEmpty());
    QVERIFY(w.imageLabel->pixmap().isNull());
}

void tst_window::menus()
{
    window w;
    const QList<QAction *> bar = w.menuBar()->actions();
    QCOMPARE(bar.size(), 4);
    QCOMPARE(bar.at(0)->menu(), w.fileMenu);
    QCOMPARE(bar.at(1)->menu(), w.viewMenu);
    QCOMPARE(bar.at(2)->menu(), w.imageMenu);
    QCOMPARE(bar.at(3)->menu(), w.helpMenu);
    QCOMPARE(w.fileMenu->title(), QString("&File"));
    QCOMPARE(w.helpMenu->title(), QString("&Help"));

    const QList<QAction *> file = w.fileMenu->actions();
    QCOMPARE(file, (QList<QAction *> { w.openAct, w.openRecordingAct, w.openUrlAct, w.recentMenu->menuAction(), w.saveAct,
                                       w.exportViewAct, w.exportMovieAct, file.at(7), w.exitAct }));
    QVERIFY(file.at(7)->isSeparator());
    QCOMPARE(w.helpMenu->actions(), (QList<QAction *> { w.aboutAct, w.aboutQtAct }));

    QCOMPARE(w.openAct->text(), QString("&Open..."));
    QCOMPARE(w.openAct->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
    QCOMPARE(w.openRecordingAct->text(), QString("Open &Recording..."));
    QCOMPARE(w.openRecordingAct->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_I));
    QCOMPARE(w.saveAct->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));
    QCOMPARE(w.openUrlAct->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_L));
    // A dataset shows as stored: nothing of the Image menu applies to it.
    for (QAction *action : { w.saveAct, w.swapAct, w.brightnessAct, w.imagesMenu->menuAction(), w.channelsMenu->menuAction() })
        QVERIFY(!action->isEnabled());
    QCOMPARE(w.exitAct->text(), QString("E&xit"));
    QCOMPARE(w.exitAct->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    QCOMPARE(w.aboutAct->text(), QString("&About"));
    QVERIFY(w.aboutAct->shortcut().isEmpty());
    QCOMPARE(w.aboutQtAct->text(), QString("About &Qt"));
    for (QObject *o : { static_cast<QObject *>(w.openAct), static_cast<QObject *>(w.fileMenu),
                        static_cast<QObject *>(w.aboutQtAct), static_cast<QObject *>(w.helpMenu) })
        QCOMPARE(o->parent(), &w);
}

void tst_window::reLayout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::newRow("imageLabel") << "imageLabel" << QRect(5, 5, 320, 240);
    QTest::newRow("dsName") << "dsName" << QRect(5, 250, 310, 25);
    QTest::newRow("timePoint") << "timePoint" << QRect(5, 280, 48, 25);
    QTest::newRow("focalPlane") << "focalPlane" << QRect(5, 310, 48, 25);
    QTest::newRow("scrollTime") << "scrollTime" << QRect(60, 284, 257, 16);
    QTest::newRow("scrollFocal") << "scrollFocal" << QRect(60, 314, 257, 16);
}

void tst_window::reLayout()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    window w;
    w.openDescriptor(descriptor("dataset cellA width 320 height 240 mint 0 maxt 59 minz 1 maxz 21"));
    QWidget *c = control(w, name);
    QCOMPARE(c->geometry(), geometry);
    QVERIFY(c->isEnabled());
    QCOMPARE(w.size(), QSize(330, 365));
    QCOMPARE(w.dsName->text(), QString("cellA"));
    QCOMPARE(w.scrollTime->minimum(), 0);
    QCOMPARE(w.scrollTime->maximum(), 59);
    QCOMPARE(w.scrollTime->value(), 0);
    QCOMPARE(w.scrollFocal->minimum(), 1);
    QCOMPARE(w.scrollFocal->maximum(), 21);
    QCOMPARE(w.scrollFocal->value(), 11);
    QCOMPARE(w.mTimePoint, 0);
    QCOMPARE(w.mFocalPlane, 11);
    QCOMPARE(w.timePoint->intValue(), 0);
    QCOMPARE(w.focalPlane->intValue(), 11);
}

void tst_window::middlePlane_data()
{
    QTest::addColumn<int>("minz");
    QTest::addColumn<int>("maxz");
    QTest::addColumn<int>("middle");
    QTest::newRow("0..9") << 0 << 9 << 4;
    QTest::newRow("1..21") << 1 << 21 << 11;
    QTest::newRow("-3..0 truncates toward zero") << -3 << 0 << -1;
    QTest::newRow("-1..-1") << -1 << -1 << -1;
    QTest::newRow("full 32-bit range") << INT_MIN << INT_MAX << 0;
    QTest::newRow("a sum beyond 32 bits") << 1500000000 << 2000000000 << 1750000000;
    QTest::newRow("both at the top") << INT_MAX << INT_MAX << INT_MAX;
    QTest::newRow("both at the bottom") << INT_MIN << INT_MIN << INT_MIN;
}

void tst_window::middlePlane()
{
    QFETCH(int, minz);
    QFETCH(int, maxz);
    QFETCH(int, middle);
    window w;
    w.openDescriptor(descriptor(QString("width 40 height 30 minz %1 maxz %2").arg(minz).arg(maxz).toLatin1()));
    QCOMPARE(w.mFocalPlane, middle);
    QCOMPARE(w.scrollFocal->value(), middle);
    QVERIFY(w.opened);
}

void tst_window::absurdSizes_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("largest") << QByteArray("width 2147483647 height 2147483647");
    QTest::newRow("negative") << QByteArray("width -2147483648 height -5");
    QTest::newRow("zero") << QByteArray("width 0 height 0");
    QTest::newRow("wide and flat") << QByteArray("width 100000 height 1");
    QTest::newRow("inverted ranges") << QByteArray("mint 9 maxt 2 minz 5 maxz -5");
}

void tst_window::absurdSizes()
{
    QFETCH(QByteArray, content);
    window w;
    w.openDescriptor(descriptor(content));
    settle();
    const QSize screen = w.screen()->availableGeometry().size();
    QVERIFY(w.QWidget::width() <= screen.width());
    QVERIFY(w.QWidget::height() <= screen.height());
    QCOMPARE(w.scrollTime->value(), w.mTimePoint);
    QCOMPARE(w.scrollFocal->value(), w.mFocalPlane);
    QVERIFY(w.opened);
}

void tst_window::openThroughDialog()
{
    const QString fileName = descriptor("dataset viaDialog width 64 height 48 maxt 3");
    window w;
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QString caption, folder;
    QStringList filters;
    whenDialogOpens<QFileDialog>(this, [&](QFileDialog *dialog) {
        caption = dialog->windowTitle();
        folder = dialog->directory().absolutePath();
        filters = dialog->nameFilters();
        // The path goes into the file name field, and Return accepts it.
        auto *edit = dialog->findChild<QLineEdit *>("fileNameEdit");
        QVERIFY(edit);
        edit->setText(fileName);
        QTest::keyClick(edit, Qt::Key_Return);
    });
    TraceCapture capture;
    w.openAct->trigger();
    QCOMPARE(caption, QString("OpenFile"));
    QCOMPARE(folder, QDir::currentPath());
    QCOMPARE(filters, (QStringList { "TZ files (*.tz)", "Microscope files (*.tif *.tiff *.lsm)", "All files (*)" }));
    QCOMPARE(capture.lines().mid(0, 3), (QByteArrayList { "viaDialog", "64", "48" }));
    QCOMPARE(w.dsName->text(), QString("viaDialog"));
    QCOMPARE(w.size(), QSize(74, 173));
    QCOMPARE(w.scrollTime->maximum(), 3);
}

void tst_window::cancelKeepsDataset()
{
    window w;
    w.openDescriptor(descriptor("dataset kept width 50 height 40 mint 2 maxt 8 minz 0 maxz 6"));
    w.scrollTime->setValue(5);
    settle();
    const QSize size = w.size();
    whenDialogOpens<QFileDialog>(this, [](QFileDialog *dialog) { dialog->reject(); });
    TraceCapture capture;
    w.openAct->trigger();
    QVERIFY(capture.lines().isEmpty());
    QCOMPARE(w.dataset, QByteArray("kept"));
    QCOMPARE(w.mTimePoint, 5);
    QCOMPARE(w.mFocalPlane, 3);
    QCOMPARE(w.size(), size);
    QCOMPARE(w.scrollTime->maximum(), 8);
}

void tst_window::openClearsLastShownPair()
{
    window w;
    w.openDescriptor(descriptor("width 8 height 8"));
    settle();
    QVERIFY(w.pValid);
    w.openDescriptor(descriptor("width 8 height 8"));
    QVERIFY(!w.pValid);
}

void tst_window::about()
{
    window w;
    QString title, text;
    whenDialogOpens<QMessageBox>(this, [&](QMessageBox *box) {
        title = box->windowTitle();
        text = box->text();
        box->accept();
    });
    w.aboutAct->trigger();
    QCOMPARE(title, QString("About Tesseline"));
    QCOMPARE(text.section('\n', 0, 0), QString("Tesseline"));
    QVERIFY(text.section('\n', 1).contains("20"));
}

void tst_window::aboutQt()
{
    window w;
    QString title;
    whenDialogOpens<QMessageBox>(this, [&](QMessageBox *box) {
        title = box->windowTitle();
        box->accept();
    });
    w.aboutQtAct->trigger();
    QCOMPARE(title, QString("About Qt"));
}

void tst_window::exitEndsEventLoop()
{
    window w;
    QVERIFY(w.isVisible());
    QTimer::singleShot(0, w.exitAct, &QAction::trigger);
    QTimer::singleShot(5000, [] { QCoreApplication::exit(1); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(!w.isVisible());
}

void tst_window::resizingMovesNothing_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QRect>("image");
    QTest::addColumn<QRect>("focal");
    QTest::newRow("before opening") << QByteArray() << QRect(5, 5, 300, 300) << QRect(60, 374, 245, 16);
    QTest::newRow("once open") << QByteArray("width 320 height 240") << QRect(5, 5, 320, 240)
                               << QRect(60, 314, 257, 16);
}

void tst_window::resizingMovesNothing()
{
    QFETCH(QByteArray, content);
    QFETCH(QRect, image);
    QFETCH(QRect, focal);
    window w;
    if (!content.isEmpty())
        w.openDescriptor(descriptor(content));
    for (const QSize &size : { QSize(700, 900), QSize(120, 80) }) {
        w.resize(size);
        settle();
        QCOMPARE(w.imageLabel->geometry(), image);
        QCOMPARE(w.scrollFocal->geometry(), focal);
    }
}

void tst_window::drop_data()
{
    const QString good = descriptor("dataset dropped width 40 height 30");
    const QString other = dir.filePath("notes.txt");
    writeFile(other, "width 40");
    // A descriptor is a name whose last suffix is .tz.
    const QString noDot = dir.filePath("notes.gtz");
    writeFile(noDot, "dataset dropped width 40 height 30");
    const QString twoSuffixes = dir.filePath("notes.txt.tz");
    writeFile(twoSuffixes, "dataset dropped width 40 height 30");
    QTest::addColumn<QList<QUrl>>("urls");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("a descriptor") << QList<QUrl> { QUrl::fromLocalFile(good) } << true;
    QTest::newRow("another file") << QList<QUrl> { QUrl::fromLocalFile(other) } << false;
    QTest::newRow("a name ending in tz without the dot") << QList<QUrl> { QUrl::fromLocalFile(noDot) } << false;
    QTest::newRow("a descriptor with two suffixes") << QList<QUrl> { QUrl::fromLocalFile(twoSuffixes) } << true;
    QTest::newRow("a missing descriptor") << QList<QUrl> { QUrl::fromLocalFile(dir.filePath("gone.tz")) } << false;
    QTest::newRow("a folder") << QList<QUrl> { QUrl::fromLocalFile(dir.path()) } << false;
    QTest::newRow("two descriptors") << QList<QUrl> { QUrl::fromLocalFile(good), QUrl::fromLocalFile(good) } << false;
    QTest::newRow("a remote descriptor") << QList<QUrl> { QUrl("https://example.org/a.tz") } << false;
    QTest::newRow("no file at all") << QList<QUrl>() << false;
}

void tst_window::drop()
{
    QFETCH(QList<QUrl>, urls);
    QFETCH(bool, accepted);
    window w;
    QMimeData data;
    data.setUrls(urls);
    data.setText("dataset text");
    QCOMPARE(dragAndDrop(&w, &data), accepted);
    QCOMPARE(w.opened, accepted);
    QCOMPARE(w.dataset, accepted ? QByteArray("dropped") : QByteArray());
}

QTEST_MAIN(tst_window)
#include "tst_window.moc"
