#include "window.h"
#include "testutil.h"
#include "blockjpeg.h"

#include <QtTest>
#include <QtWidgets>

// Runs on screens of different sizes (layout.json): frames larger than the
// screen, dragging them, and the fit view.
namespace {

// Blocks of colours that differ all over the frame, so that any offset shows.
blockjpeg::Colour everywhere(int bx, int by)
{
    const unsigned h = (unsigned(bx) * 73856093u) ^ (unsigned(by) * 19349663u);
    return { int(h % 256), 64 + int((h >> 8) % 128), 64 + int((h >> 16) % 128) };
}

} // namespace

class tst_view : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void layout_data();
    void layout();
    void backOnScreen_data();
    void backOnScreen();
    void areaBoundedByDesktop_data();
    void areaBoundedByDesktop();
    void pan_data();
    void pan();
    void panOutlivesSteps();
    void fit_data();
    void fit();
    void doubleClick();
    void frameAboveAllocationFloor();
    void controlsSayWhatTheyAre();

private:
    window *openOn(const QString &screen, const QString &descriptor, const QPoint &at = QPoint());
    QString dataset(const QString &name, QSize size, int times = 1,
                    std::function<blockjpeg::Colour(int, int)> blocks = everywhere);
    static QImage shown(window *w, const QSize &size);
    QTemporaryDir dir;
    std::unique_ptr<window> w;
};

namespace {

void mouse(QWidget *widget, QEvent::Type type, QPoint at, Qt::MouseButtons held = Qt::LeftButton)
{
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, at, widget->mapToGlobal(at), button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &event);
    settle();
}

void drag(QWidget *widget, QPoint from, QPoint to)
{
    mouse(widget, QEvent::MouseButtonPress, from);
    QCOMPARE(widget->cursor().shape(), Qt::ClosedHandCursor);
    mouse(widget, QEvent::MouseMove, (from + to) / 2);
    mouse(widget, QEvent::MouseMove, to);
    mouse(widget, QEvent::MouseButtonRelease, to, Qt::NoButton);
}

} // namespace

QImage tst_view::shown(window *w, const QSize &size)
{
    return w->imageLabel->grab(QRect(QPoint(), size)).toImage().convertToFormat(QImage::Format_RGB32);
}

void tst_view::initTestCase()
{
    QCOMPARE(QGuiApplication::screens().size(), 4);
}

window *tst_view::openOn(const QString &screenName, const QString &descriptor, const QPoint &at)
{
    QScreen *screen = nullptr;
    for (QScreen *s : QGuiApplication::screens())
        if (s->name() == screenName)
            screen = s;
    w.reset(new window);
    w->setScreen(screen);
    w->move(screen->availableGeometry().topLeft() + at);
    w->activateWindow();
    if (!QTest::qWaitForWindowActive(w.get()))
        return nullptr;
    w->openDescriptor(descriptor);
    settle();
    return w.get();
}

// A dataset of block-pattern frames of the given size at 0, 0 ... times - 1, 0.
QString tst_view::dataset(const QString &name, QSize size, int times,
                          std::function<blockjpeg::Colour(int, int)> blocks)
{
    QDir(dir.path()).mkpath(name + "/img");
    for (int t = 0; t < times; ++t) {
        QFile file(dir.filePath(QString("%1/img/%1_t%2_z000_ch000.jpg").arg(name).arg(t, 3, 10, QChar('0'))));
        if (file.exists() || !file.open(QIODevice::WriteOnly))
            continue;
        blockjpeg::write(&file, size.width(), size.height(), [t, blocks](int bx, int by) { return blocks(bx + t, by); });
    }
    const QString descriptor = dir.filePath(name + "/" + name + ".tz");
    writeFile(descriptor, QString("dataset %1 width %2 height %3 mint 0 maxt %4 minz 0 maxz 0")
                                  .arg(name).arg(size.width()).arg(size.height()).arg(times - 1).toLatin1());
    return descriptor;
}

// Offscreen windows have a 2-pixel frame: on the 1920 x 1080 screen a window
// of up to 1916 x 1076 fits, around an image area of up to 1906 x 951.
void tst_view::layout_data()
{
    QTest::addColumn<QString>("screen");
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<QSize>("area");
    QTest::newRow("fits") << "laptop" << QSize(640, 480) << QSize(640, 480);
    QTest::newRow("fits exactly") << "laptop" << QSize(1906, 951) << QSize(1906, 951);
    QTest::newRow("a pixel too tall") << "laptop" << QSize(1906, 952) << QSize(1906, 951);
    QTest::newRow("too tall") << "laptop" << QSize(1024, 1024) << QSize(1024, 951);
    QTest::newRow("too wide") << "laptop" << QSize(3000, 200) << QSize(1906, 200);
    QTest::newRow("both") << "laptop" << QSize(2048, 2048) << QSize(1906, 951);
    QTest::newRow("absurd") << "laptop" << QSize(INT_MAX, INT_MAX) << QSize(1906, 951);
    QTest::newRow("small screen") << "small" << QSize(2304, 2304) << QSize(626, 351);
    QTest::newRow("screen smaller than the start-up window") << "tiny" << QSize(2048, 2048) << QSize(160, 32);
}

void tst_view::layout()
{
    QFETCH(QString, screen);
    QFETCH(QSize, frame);
    QFETCH(QSize, area);
    window *w = openOn(screen, writeDescriptor(dir.path(), QString("dataset none width %1 height %2")
                                                                   .arg(frame.width()).arg(frame.height()).toLatin1()));
    QVERIFY(w);
    QCOMPARE(w->frameGeometry().size() - w->geometry().size(), QSize(4, 4));
    const int W = area.width(), H = area.height();
    QCOMPARE(w->imageLabel->geometry(), QRect(5, 5, W, H));
    QCOMPARE(w->dsName->geometry(), QRect(5, H + 10, W - 10, 25));
    QCOMPARE(w->timePoint->geometry(), QRect(5, H + 40, 48, 25));
    QCOMPARE(w->focalPlane->geometry(), QRect(5, H + 70, 48, 25));
    QCOMPARE(w->scrollTime->geometry(), QRect(60, H + 44, W - 63, 16));
    QCOMPARE(w->scrollFocal->geometry(), QRect(60, H + 74, W - 63, 16));
    QCOMPARE(w->size(), QSize(W + 10, H + 125));
    const QRect available = w->screen()->availableGeometry();
    if (screen != "tiny")
        QVERIFY(available.contains(w->frameGeometry()));
    else
        QCOMPARE(w->frameGeometry().topLeft(), available.topLeft());
}

// A window that grows past the screen's edge moves back to end flush with it.
void tst_view::backOnScreen_data()
{
    QTest::addColumn<QPoint>("start");
    QTest::addColumn<QPoint>("end");
    // The window is 654 x 609 around an area of 640 x 480.
    QTest::newRow("past the right edge") << QPoint(1700, 100) << QPoint(1920 - 654, 100);
    QTest::newRow("past the bottom edge") << QPoint(100, 700) << QPoint(100, 1080 - 609);
    QTest::newRow("past both") << QPoint(1700, 700) << QPoint(1920 - 654, 1080 - 609);
}

void tst_view::backOnScreen()
{
    QFETCH(QPoint, start);
    QFETCH(QPoint, end);
    window *w = openOn("laptop", writeDescriptor(dir.path(), "dataset none width 640 height 480"), start);
    QVERIFY(w);
    QCOMPARE(w->frameGeometry(), QRect(end, QSize(654, 609)));
}

// A label larger than the whole desktop shows no more of the frame than the
// desktop holds, so a drag must reach the frame's far edge with that much.
void tst_view::areaBoundedByDesktop_data()
{
    QTest::addColumn<QSize>("label");
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<QSize>("area");
    QTest::newRow("wider and taller") << QSize(10000, 7000) << QSize(12000, 8000) << QSize(9080, 6400);
    QTest::newRow("wider only") << QSize(10000, 300) << QSize(12000, 600) << QSize(9080, 300);
}

void tst_view::areaBoundedByDesktop()
{
    QFETCH(QSize, label);
    QFETCH(QSize, frame);
    QFETCH(QSize, area);
    frameview view;
    view.resize(label);
    const frameview::part wanted = view.wanted(frame);
    QImage part(64, 64, QImage::Format_RGB32);
    part.fill(Qt::gray);
    view.showFrame(part, { QRect(QPoint(), part.size()), wanted.scaled });
    QCOMPARE(view.area(), area);
    drag(&view, QPoint(100, 100), QPoint(100 - frame.width(), 100 - frame.height()));
    QCOMPARE(view.offset(), QPoint(frame.width() - area.width(), frame.height() - area.height()));
}

// Dragging moves the frame under the pointer, clamped so that it covers the
// area; a frame decoded whole is not read again, a huge one, decoded as far as
// it is visible, is read around what comes into view.
void tst_view::pan_data()
{
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<QPoint>("by");
    QTest::addColumn<int>("reads");
    QTest::newRow("2048 x 2048, a little") << QSize(2048, 2048) << QPoint(-37, -11) << 0;
    QTest::newRow("2048 x 2048, past the corner") << QSize(2048, 2048) << QPoint(-5000, -5000) << 0;
    QTest::newRow("2048 x 2048, back past the start") << QSize(2048, 2048) << QPoint(300, 300) << 0;
    QTest::newRow("8000 x 8000, on within the area read") << QSize(8000, 8000) << QPoint(-1500, -601) << 1;
    QTest::newRow("8000 x 8000, beyond it") << QSize(8000, 8000) << QPoint(-3000, -1500) << 2;
    QTest::newRow("60000 x 600, sideways") << QSize(60000, 600) << QPoint(-1800, -50) << 1;
}

void tst_view::pan()
{
    QFETCH(QSize, frame);
    QFETCH(QPoint, by);
    QFETCH(int, reads);
    const QString name = QString("f%1x%2").arg(frame.width()).arg(frame.height());
    window *w = openOn("laptop", dataset(name, frame));
    QVERIFY(w);
    const QSize area = w->imageLabel->size();
    QCOMPARE(w->imageLabel->cursor().shape(), Qt::OpenHandCursor);
    TraceCapture capture;
    const QPoint start(area.width() / 2, area.height() / 2);
    drag(w->imageLabel, start, start + by);
    const QPoint offset(std::clamp(-by.x(), 0, frame.width() - area.width()),
                        std::clamp(-by.y(), 0, frame.height() - area.height()));
    QCOMPARE(w->imageLabel->offset(), offset);
    QCOMPARE(w->imageLabel->cursor().shape(), Qt::OpenHandCursor);
    QCOMPARE(capture.lines().size(), reads);
    QCOMPARE(w->mTimePoint, 0);

    // The blocks at the offset, from a small file with the same blocks.
    const QPoint block(offset.x() / 8, offset.y() / 8);
    const QImage wanted = decodedBlockFrame(area.width() + 16, area.height() + 16, [block](int bx, int by) {
        return everywhere(bx + block.x(), by + block.y());
    });
    const QSize visible = area.boundedTo(frame);
    QCOMPARE(shown(w, visible), wanted.copy(QRect(offset - block * 8, visible)));
}

// The offset stays from frame to frame and goes back to the corner when a
// dataset is opened.
void tst_view::panOutlivesSteps()
{
    const QString descriptor = dataset("steps", QSize(2048, 2048), 2);
    window *w = openOn("laptop", descriptor);
    QVERIFY(w);
    drag(w->imageLabel, QPoint(500, 500), QPoint(400, 450));
    QCOMPARE(w->imageLabel->offset(), QPoint(100, 50));
    w->nextTime();
    settle();
    QCOMPARE(w->imageLabel->offset(), QPoint(100, 50));
    const QImage next = QImage(dir.filePath("steps/img/steps_t001_z000_ch000.jpg")).convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shown(w, QSize(200, 100)), next.copy(100, 50, 200, 100));
    w->openDescriptor(descriptor);
    settle();
    QCOMPARE(w->imageLabel->offset(), QPoint());
}

void tst_view::fit_data()
{
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<QSize>("fitted");
    QTest::newRow("2048 x 2048") << QSize(2048, 2048) << QSize(951, 951);
    QTest::newRow("wide") << QSize(4000, 1000) << QSize(1906, 476);
    QTest::newRow("8000 x 8000") << QSize(8000, 8000) << QSize(951, 951);
    QTest::newRow("60000 x 600") << QSize(60000, 600) << QSize(1906, 19);
    QTest::newRow("fits: never enlarged") << QSize(640, 480) << QSize(640, 480);
}

void tst_view::fit()
{
    QFETCH(QSize, frame);
    QFETCH(QSize, fitted);
    window *w = openOn("laptop", dataset(QString("g%1x%2").arg(frame.width()).arg(frame.height()), frame,
                                         1, blockjpeg::pattern));
    QVERIFY(w);
    TraceCapture capture;
    w->fitAct->trigger();
    settle();
    const bool larger = fitted != frame;
    QCOMPARE(capture.lines().size(), larger ? 1 : 0);
    QCOMPARE(w->imageLabel->pixmap().size(), fitted);
    QCOMPARE(w->imageLabel->cursor().shape(), Qt::ArrowCursor);
    // Beyond its top-left corner the pattern is of one colour, which averaging keeps.
    QString differs;
    const QRgb corner = shown(w, fitted).pixel(fitted.width() - 1, fitted.height() - 1);
    QVERIFY2(nearColour(corner, patternBackground(), 1, &differs), qPrintable(differs));

    // It stays for the next dataset, and Ctrl+F turns it off.
    w->openDescriptor(dir.filePath(QString("g%1x%2/g%1x%2.tz").arg(frame.width()).arg(frame.height())));
    settle();
    QVERIFY(w->fitAct->isChecked());
    QCOMPARE(w->imageLabel->pixmap().size(), fitted);
    QTest::keyClick(w, Qt::Key_F, Qt::ControlModifier);
    settle();
    QVERIFY(!w->fitAct->isChecked());
    QCOMPARE(w->imageLabel->fitted(), false);
}

// A double-click in the fit view shows the point at 100 % in the middle of
// the area; another one fits again.
void tst_view::doubleClick()
{
    window *w = openOn("laptop", dataset("f2048x2048", QSize(2048, 2048)));
    QVERIFY(w);
    w->fitAct->setChecked(true);
    settle();
    mouse(w->imageLabel, QEvent::MouseButtonDblClick, QPoint(600, 300));
    QVERIFY(!w->fitAct->isChecked());
    const QPoint at(600 * 2048 / 951, 300 * 2048 / 951);
    QCOMPARE(w->imageLabel->offset(), QPoint(std::min(at.x() - 1906 / 2, 2048 - 1906), at.y() - 951 / 2));
    mouse(w->imageLabel, QEvent::MouseButtonDblClick, QPoint(10, 10));
    QVERIFY(w->fitAct->isChecked());
    QVERIFY(w->imageLabel->fitted());
}

// A picture larger than Qt's 128 MiB allocation floor shows whole on a
// screen large enough for it.
void tst_view::frameAboveAllocationFloor()
{
    QDir(dir.path()).mkpath("png/img");
    QImage picture(6000, 6000, QImage::Format_RGB32);
    picture.fill(QColor(10, 200, 30));
    picture.setPixel(5999, 5999, qRgb(250, 0, 0));
    QVERIFY(picture.save(dir.filePath("png/img/png_t000_z000_ch000.jpg"), "PNG"));
    window *w = openOn("large", writeDescriptor(dir.filePath("png"), "dataset png width 6000 height 6000"));
    QVERIFY(w);
    QCOMPARE(w->imageLabel->size(), QSize(6000, 6000));
    QCOMPARE(w->imageLabel->pixmap().toImage(), picture);
}

// Tooltips and screen readers tell the counters and sliders apart, and name the frame shown.
void tst_view::controlsSayWhatTheyAre()
{
    w.reset(new window);
    const QList<QPair<QWidget *, QString>> controls { { w->timePoint, "Time point" }, { w->scrollTime, "Time point" },
                                                      { w->focalPlane, "Focal plane" }, { w->scrollFocal, "Focal plane" } };
    for (const auto &[control, name] : controls) {
        QCOMPARE(control->accessibleName(), name);
        QCOMPARE(control->toolTip(), name);
    }
    QCOMPARE(w->imageLabel->accessibleName(), QString("Frame"));
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    w->openDescriptor(writeDescriptor(dir.path(), "dataset cellA width 64 height 48 mint 3 maxt 59 minz -2 maxz 21"));
    settle();
    QCOMPARE(w->scrollTime->toolTip(), QString("Time point, 3 to 59"));
    QCOMPARE(w->timePoint->toolTip(), QString("Time point, 3 to 59"));
    QCOMPARE(w->scrollFocal->toolTip(), QString("Focal plane, -2 to 21"));
    QCOMPARE(w->focalPlane->accessibleName(), QString("Focal plane"));
    QCOMPARE(w->imageLabel->accessibleName(), QString("cellA_t003_z009_ch000.jpg"));
    w->nextTime();
    settle();
    QCOMPARE(w->imageLabel->accessibleName(), QString("cellA_t004_z009_ch000.jpg"));
}

QTEST_MAIN(tst_view)
#include "tst_view.moc"
