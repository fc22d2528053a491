#include "window.h"
#include "testutil.h"

#include <QtTest>
#include <QtWidgets>
#include <QtTest/qtestspontaneevent.h>

class tst_navigation : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void keys_data();
    void keys();
    void wheel_data();
    void wheel();
    void threeTurnsAway();
    void keysActWhereverTheFocusIs_data();
    void keysActWhereverTheFocusIs();
    void shortcutsStillWork();
    void indexSliderAndCounterAgree_data();
    void indexSliderAndCounterAgree();
    void wheelOverSlider_data();
    void wheelOverSlider();
    void singlePositionRange();
    void minusOneIsSteppable();
    void burstDecodesOnlyTheLast();

private:
    void start(int time, int focal);
    QByteArray frame(int time, int focal) const;
    void turn(QPoint angle, Qt::ScrollPhase phase = Qt::NoScrollPhase);
    QTemporaryDir dir;
    QString fileName;
    window *w = nullptr;
};

void tst_navigation::initTestCase()
{
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    fileName = dir.filePath("nav.tz");
    QVERIFY(writeFile(fileName, "dataset nav width 200 height 100 mint 0 maxt 59 minz 1 maxz 21"));
}

void tst_navigation::init()
{
    w = new window;
    // With no window manager (a bare X server) nothing activates a new window: ask for it.
    QVERIFY(QTest::qWaitForWindowExposed(w));
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w));
    w->openDescriptor(fileName);
    settle();
}

void tst_navigation::cleanup()
{
    delete w;
    w = nullptr;
}

void tst_navigation::start(int time, int focal)
{
    w->scrollTime->setValue(time);
    w->scrollFocal->setValue(focal);
    settle();
}

QByteArray tst_navigation::frame(int time, int focal) const
{
    return QFile::encodeName(dir.filePath(QString("img/nav_t%1_z%2_ch000.jpg")
                                                  .arg(time, 3, 10, QChar('0'))
                                                  .arg(focal, 3, 10, QChar('0'))));
}

void tst_navigation::turn(QPoint angle, Qt::ScrollPhase phase)
{
    const QPointF pos(8, 8);
    QWheelEvent event(pos, w->imageLabel->mapToGlobal(pos), QPoint(), angle, Qt::NoButton,
                      Qt::NoModifier, phase, false);
    QApplication::sendEvent(w, &event);
}

void tst_navigation::keys_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<int>("time");
    QTest::addColumn<int>("focal");
    QTest::addColumn<int>("expectedTime");
    QTest::addColumn<int>("expectedFocal");

    const Qt::KeyboardModifiers none = Qt::NoModifier;
    QTest::newRow("l") << int(Qt::Key_L) << none << 7 << 11 << 8 << 11;
    QTest::newRow("Shift+L") << int(Qt::Key_L) << Qt::KeyboardModifiers(Qt::ShiftModifier) << 7 << 11 << 8 << 11;
    QTest::newRow("Right") << int(Qt::Key_Right) << none << 7 << 11 << 8 << 11;
    QTest::newRow("h") << int(Qt::Key_H) << none << 7 << 11 << 6 << 11;
    QTest::newRow("Ctrl+H") << int(Qt::Key_H) << Qt::KeyboardModifiers(Qt::ControlModifier) << 7 << 11 << 6 << 11;
    QTest::newRow("Alt+L") << int(Qt::Key_L) << Qt::KeyboardModifiers(Qt::AltModifier) << 7 << 11 << 8 << 11;
    QTest::newRow("Left") << int(Qt::Key_Left) << none << 7 << 11 << 6 << 11;
    QTest::newRow("Shift+Left") << int(Qt::Key_Left) << Qt::KeyboardModifiers(Qt::ShiftModifier) << 7 << 11 << 6 << 11;
    QTest::newRow("k goes up a plane") << int(Qt::Key_K) << none << 7 << 11 << 7 << 10;
    QTest::newRow("Up") << int(Qt::Key_Up) << none << 7 << 11 << 7 << 10;
    QTest::newRow("j goes down a plane") << int(Qt::Key_J) << none << 7 << 11 << 7 << 12;
    QTest::newRow("Down") << int(Qt::Key_Down) << none << 7 << 11 << 7 << 12;
    QTest::newRow("l at the last time point") << int(Qt::Key_L) << none << 59 << 11 << 59 << 11;
    QTest::newRow("Right at the last time point") << int(Qt::Key_Right) << none << 59 << 11 << 59 << 11;
    QTest::newRow("h at the first time point") << int(Qt::Key_H) << none << 0 << 11 << 0 << 11;
    QTest::newRow("Left at the first time point") << int(Qt::Key_Left) << none << 0 << 11 << 0 << 11;
    QTest::newRow("k at the first plane") << int(Qt::Key_K) << none << 7 << 1 << 7 << 1;
    QTest::newRow("j at the last plane") << int(Qt::Key_J) << none << 7 << 21 << 7 << 21;
    QTest::newRow("x is dropped") << int(Qt::Key_X) << none << 7 << 11 << 7 << 11;
    QTest::newRow("Space is dropped") << int(Qt::Key_Space) << none << 7 << 11 << 7 << 11;
    QTest::newRow("Insert is dropped") << int(Qt::Key_Insert) << none << 7 << 11 << 7 << 11;
    const Qt::KeyboardModifiers shift = Qt::ShiftModifier;
    QTest::newRow("PageUp goes back ten time points") << int(Qt::Key_PageUp) << none << 17 << 11 << 7 << 11;
    QTest::newRow("PageUp stops at the first") << int(Qt::Key_PageUp) << none << 7 << 11 << 0 << 11;
    QTest::newRow("PageDown stops at the last") << int(Qt::Key_PageDown) << none << 55 << 11 << 59 << 11;
    QTest::newRow("Home") << int(Qt::Key_Home) << none << 7 << 11 << 0 << 11;
    QTest::newRow("End") << int(Qt::Key_End) << none << 7 << 11 << 59 << 11;
    QTest::newRow("Shift+PageDown goes ten planes down") << int(Qt::Key_PageDown) << shift << 7 << 11 << 7 << 21;
    QTest::newRow("Shift+PageUp stops at the first plane") << int(Qt::Key_PageUp) << shift << 7 << 5 << 7 << 1;
    QTest::newRow("Shift+Home") << int(Qt::Key_Home) << shift << 7 << 11 << 7 << 1;
}

void tst_navigation::keys()
{
    QFETCH(int, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(int, time);
    QFETCH(int, focal);
    QFETCH(int, expectedTime);
    QFETCH(int, expectedFocal);

    start(time, focal);
    TraceCapture capture;
    QTest::keyClick(w->windowHandle(), Qt::Key(key), modifiers);
    settle();
    QCOMPARE(w->mTimePoint, expectedTime);
    QCOMPARE(w->mFocalPlane, expectedFocal);
    const bool moved = time != expectedTime || focal != expectedFocal;
    QCOMPARE(capture.lines(), moved ? QByteArrayList { frame(expectedTime, expectedFocal) }
                                    : QByteArrayList());
}

void tst_navigation::wheel_data()
{
    QTest::addColumn<QPoint>("angle");
    QTest::addColumn<Qt::ScrollPhase>("phase");
    QTest::addColumn<int>("focal");
    QTest::addColumn<int>("expectedFocal");

    QTest::newRow("away from the user") << QPoint(0, 120) << Qt::NoScrollPhase << 11 << 10;
    QTest::newRow("toward the user") << QPoint(0, -120) << Qt::NoScrollPhase << 11 << 12;
    QTest::newRow("zero delta steps down") << QPoint(0, 0) << Qt::NoScrollPhase << 11 << 12;
    QTest::newRow("large delta is one step") << QPoint(0, 960) << Qt::NoScrollPhase << 11 << 10;
    QTest::newRow("small delta is one step") << QPoint(0, -8) << Qt::NoScrollPhase << 11 << 12;
    QTest::newRow("horizontal larger, positive") << QPoint(120, -15) << Qt::NoScrollPhase << 11 << 10;
    QTest::newRow("horizontal larger, negative") << QPoint(-120, 15) << Qt::NoScrollPhase << 11 << 12;
    QTest::newRow("vertical larger") << QPoint(-15, 120) << Qt::NoScrollPhase << 11 << 10;
    QTest::newRow("away at the first plane") << QPoint(0, 120) << Qt::NoScrollPhase << 1 << 1;
    QTest::newRow("toward at the last plane") << QPoint(0, -120) << Qt::NoScrollPhase << 21 << 21;
    QTest::newRow("gesture begins") << QPoint(0, 0) << Qt::ScrollBegin << 11 << 11;
    QTest::newRow("gesture ends") << QPoint(0, 0) << Qt::ScrollEnd << 11 << 11;
    QTest::newRow("gesture update") << QPoint(0, 30) << Qt::ScrollUpdate << 11 << 10;
    QTest::newRow("momentum") << QPoint(0, -30) << Qt::ScrollMomentum << 11 << 12;
}

void tst_navigation::wheel()
{
    QFETCH(QPoint, angle);
    QFETCH(Qt::ScrollPhase, phase);
    QFETCH(int, focal);
    QFETCH(int, expectedFocal);

    start(30, focal);
    TraceCapture capture;
    turn(angle, phase);
    settle();
    QCOMPARE(w->mFocalPlane, expectedFocal);
    QCOMPARE(w->mTimePoint, 30);
    QCOMPARE(capture.lines(), focal != expectedFocal ? QByteArrayList { frame(30, expectedFocal) }
                                                     : QByteArrayList());
}

void tst_navigation::threeTurnsAway()
{
    QCOMPARE(w->mFocalPlane, 11);
    for (int i = 0; i < 3; ++i)
        turn(QPoint(0, 120));
    QCOMPARE(w->mFocalPlane, 8);
    start(0, 1);
    turn(QPoint(0, 120));
    turn(QPoint(0, 120));
    QCOMPARE(w->mFocalPlane, 1);
}

void tst_navigation::keysActWhereverTheFocusIs_data()
{
    QTest::addColumn<QString>("clicked");
    QTest::newRow("time slider") << "scrollTime";
    QTest::newRow("focal slider") << "scrollFocal";
    QTest::newRow("image") << "imageLabel";
    QTest::newRow("counter") << "timePoint";
}

void tst_navigation::keysActWhereverTheFocusIs()
{
    QFETCH(QString, clicked);
    const QHash<QString, QWidget *> widgets { { "scrollTime", w->scrollTime },
                                              { "scrollFocal", w->scrollFocal },
                                              { "imageLabel", w->imageLabel },
                                              { "timePoint", w->timePoint } };
    QWidget *target = widgets.value(clicked);
    QTest::mouseClick(target, Qt::LeftButton, {}, QPoint(target->width() - 30, target->height() / 2));
    start(20, 11);
    const int time = w->mTimePoint;
    const int focal = w->mFocalPlane;
    QTest::keyClick(w->windowHandle(), Qt::Key_Right);
    QTest::keyClick(w->windowHandle(), Qt::Key_Down);
    QCOMPARE(w->mTimePoint, time + 1);
    QCOMPARE(w->mFocalPlane, focal + 1);
}

void tst_navigation::shortcutsStillWork()
{
    whenDialogOpens<QFileDialog>(this, [](QFileDialog *dialog) { dialog->reject(); });
    QSignalSpy opened(w->openAct, &QAction::triggered);
    QTest::keyClick(w->windowHandle(), Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(opened.count(), 1);
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w));
    QTest::keyClick(w->windowHandle(), Qt::Key_Q, Qt::ControlModifier);
    QVERIFY(!w->isVisible());
}

void tst_navigation::indexSliderAndCounterAgree_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("key") << "key";
    QTest::newRow("wheel") << "wheel";
    QTest::newRow("slider value") << "value";
    QTest::newRow("slider arrow") << "arrow";
    QTest::newRow("slider page") << "page";
}

void tst_navigation::indexSliderAndCounterAgree()
{
    QFETCH(QString, how);
    start(20, 11);
    if (how == "key") {
        QTest::keyClick(w->windowHandle(), Qt::Key_L);
        QTest::keyClick(w->windowHandle(), Qt::Key_J);
    } else if (how == "wheel") {
        turn(QPoint(0, 120));
    } else if (how == "value") {
        w->scrollTime->setValue(33);
        w->scrollFocal->setValue(2);
    } else if (how == "arrow") {
        w->scrollTime->triggerAction(QAbstractSlider::SliderSingleStepSub);
        w->scrollFocal->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    } else {
        w->scrollTime->triggerAction(QAbstractSlider::SliderPageStepAdd);
        w->scrollFocal->triggerAction(QAbstractSlider::SliderPageStepSub);
    }
    settle();
    QVERIFY(w->mTimePoint != 20 || w->mFocalPlane != 11);
    QCOMPARE(w->scrollTime->value(), w->mTimePoint);
    QCOMPARE(w->timePoint->intValue(), w->mTimePoint);
    QCOMPARE(w->scrollFocal->value(), w->mFocalPlane);
    QCOMPARE(w->focalPlane->intValue(), w->mFocalPlane);
    QCOMPARE(w->pTime, w->mTimePoint);
    QCOMPARE(w->pFocal, w->mFocalPlane);
}

void tst_navigation::wheelOverSlider_data()
{
    QTest::addColumn<QString>("slider");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("delta");
    QTest::addColumn<bool>("moves");
    QTest::newRow("time slider at its start, away") << "time" << 0 << 120 << false;
    QTest::newRow("time slider at its start, toward") << "time" << 0 << -120 << true;
    QTest::newRow("time slider at its end, toward") << "time" << 59 << -120 << false;
    QTest::newRow("time slider at its end, away") << "time" << 59 << 120 << true;
    QTest::newRow("time slider inside") << "time" << 30 << 120 << true;
    QTest::newRow("focal slider inside") << "focal" << 11 << -120 << true;
}

// A real wheel turn reaches the slider under the pointer first, and the window
// only if the slider lets it through, as it does at its ends.
void tst_navigation::wheelOverSlider()
{
    QFETCH(QString, slider);
    QFETCH(int, from);
    QFETCH(int, delta);
    QFETCH(bool, moves);
    QScrollBar *bar = slider == "time" ? w->scrollTime : w->scrollFocal;
    const int otherStart = slider == "time" ? 11 : 30;
    if (slider == "time")
        start(from, otherStart);
    else
        start(otherStart, from);
    const QPointF pos(bar->width() / 2, bar->height() / 2);
    QWheelEvent event(pos, bar->mapToGlobal(pos), QPoint(), QPoint(0, delta), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QSpontaneKeyEvent::setSpontaneous(&event);
    qApp->notify(bar, &event);
    settle();
    QCOMPARE(bar->value() != from, moves);
    QCOMPARE(slider == "time" ? w->mTimePoint : w->mFocalPlane, bar->value());
    QCOMPARE(slider == "time" ? w->mFocalPlane : w->mTimePoint, otherStart);
    QCOMPARE(w->timePoint->intValue(), w->mTimePoint);
    QCOMPARE(w->focalPlane->intValue(), w->mFocalPlane);
}

void tst_navigation::singlePositionRange()
{
    const QString single = dir.filePath("single.tz");
    QVERIFY(writeFile(single, "dataset nav mint 5 maxt 5 minz 1 maxz 21"));
    w->openDescriptor(single);
    settle();
    TraceCapture capture;
    for (Qt::Key key : { Qt::Key_L, Qt::Key_Right, Qt::Key_H, Qt::Key_Left })
        QTest::keyClick(w->windowHandle(), key);
    settle();
    QCOMPARE(w->mTimePoint, 5);
    QCOMPARE(w->scrollTime->value(), 5);
    QCOMPARE(w->timePoint->intValue(), 5);
    QVERIFY(capture.lines().isEmpty());
}

void tst_navigation::minusOneIsSteppable()
{
    const QString negative = dir.filePath("negative.tz");
    QVERIFY(writeFile(negative, "dataset nav mint -1 maxt 1 minz -1 maxz -1"));
    w->openDescriptor(negative);
    settle();
    QCOMPARE(w->mTimePoint, -1);
    QCOMPARE(w->mFocalPlane, -1);
    QTest::keyClick(w->windowHandle(), Qt::Key_L);
    QCOMPARE(w->mTimePoint, 0);
    QTest::keyClick(w->windowHandle(), Qt::Key_H);
    QTest::keyClick(w->windowHandle(), Qt::Key_H);
    QCOMPARE(w->mTimePoint, -1);
    turn(QPoint(0, -120));
    QCOMPARE(w->mFocalPlane, -1);
}

void tst_navigation::burstDecodesOnlyTheLast()
{
    start(0, 11);
    TraceCapture capture;
    for (int i = 0; i < 50; ++i) {
        QCoreApplication::postEvent(w, new QKeyEvent(QEvent::KeyPress, Qt::Key_L, Qt::NoModifier, "l", true));
        QCoreApplication::postEvent(w, new QKeyEvent(QEvent::KeyRelease, Qt::Key_L, Qt::NoModifier, "l", true));
    }
    settle();
    QCOMPARE(w->mTimePoint, 50);
    QCOMPARE(capture.lines(), QByteArrayList { frame(50, 11) });
}

QTEST_MAIN(tst_navigation)
#include "tst_navigation.moc"
