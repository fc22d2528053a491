#include "window.h"
#include "brightnessdialog.h"
#include "datasetformat.h"
#include "datasetsource.h"
#include "exportdialog.h"
#include "formats.h"
#include "moviedialog.h"
#include "moviewriter.h"
#include "frameview.h"
#include "importflow.h"
#include "infowindow.h"
#include "orthoview.h"
#include "planewriter.h"
#include "overlaydialog.h"
#include "pixelvalues.h"
#include "rangedialog.h"
#include "recordingdialog.h"
#include "recordingsource.h"

#include <QtWidgets>

#include <algorithm>
#include <iostream>

namespace {

int clampCoordinate(qint64 v)
{
    return int(std::clamp<qint64>(v, -QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
}

// On a high-density screen a frame pixel is drawn as a sharp block of device pixels.
QImage forScreen(QImage image, qreal ratio)
{
    if (ratio == 1 || image.isNull())
        return image;
    image = image.scaled(image.size() * ratio);
    image.setDevicePixelRatio(ratio);
    return image;
}

void place(QWidget *w, qint64 x, qint64 y, qint64 width, qint64 height)
{
    w->setGeometry(clampCoordinate(x), clampCoordinate(y), clampCoordinate(width),
                   clampCoordinate(height));
    w->setEnabled(true);
}

} // namespace

window::window(QWidget *parent)
    : QMainWindow(parent)
{
    mainLabel = new QLabel(this);
    setCentralWidget(mainLabel);

    imageLabel = new frameview(mainLabel);
    imageLabel->setGeometry(5, 5, 300, 300);
    imageLabel->setAccessibleName(tr("Frame"));
    dsName = new QLabel(mainLabel);
    dsName->setGeometry(5, 310, 290, 25);
    dsName->setTextFormat(Qt::PlainText);
    timePoint = new QLCDNumber(mainLabel);
    timePoint->setGeometry(5, 340, 48, 25);
    timePoint->setSegmentStyle(QLCDNumber::Flat);
    focalPlane = new QLCDNumber(mainLabel);
    focalPlane->setGeometry(5, 370, 48, 25);
    focalPlane->setSegmentStyle(QLCDNumber::Flat);
    scrollTime = new QScrollBar(Qt::Horizontal, mainLabel);
    scrollTime->setGeometry(60, 344, 245, 16);
    scrollFocal = new QScrollBar(Qt::Horizontal, mainLabel);
    scrollFocal->setGeometry(60, 374, 245, 16);
    for (QWidget *control : mainLabel->findChildren<QWidget *>())
        control->setEnabled(false);

    connect(scrollTime, &QScrollBar::valueChanged, this, &window::imageTimeChanged);
    connect(scrollFocal, &QScrollBar::valueChanged, this, &window::imageFocalChanged);
    connect(scrollTime, &QScrollBar::valueChanged, timePoint, qOverload<int>(&QLCDNumber::display));
    connect(scrollFocal, &QScrollBar::valueChanged, focalPlane, qOverload<int>(&QLCDNumber::display));
    connect(imageLabel, &frameview::regionNeeded, this, &window::reloadFrame);
    connect(imageLabel, &frameview::doubleClicked, this, &window::frameDoubleClicked);
    connect(imageLabel, &frameview::pointSet, this, &window::setPoint);
    connect(imageLabel, &frameview::pointerMoved, this, &window::pointerMoved);
    connect(imageLabel, &frameview::pointerLeft, this, &window::pointerLeft);
    importFlow = new importflow(this);

    createActions();
    createMenus();
    describeControls();
    updateZoom();

    setAcceptDrops(true);
    setWindowTitle(tr("Tesseline"));
    resize(310, 425);
    show();
}

window::~window() = default;

void window::openDescriptor(const QString &fileName)
{
    path = QFileInfo(fileName).absolutePath();
    lastFolder = path;
    readDescriptor(fileName);
    remember({ fileName });
    showFrames(std::make_unique<datasetsource>(QFile::encodeName(path), dataset,
                                               datasetsource::layout { width, height, { minTime, maxTime }, { minFocal, maxFocal } }));
}

// Shows a recording where it lies: one file, the files of a series, or a
// folder of them.  One that cannot be read is refused with the reason, and
// what was shown stays.
void window::openRecording(const QStringList &paths, int image)
{
    if (paths.isEmpty())
        return;
    QString error;
    std::unique_ptr<recordingsource> opened = recordingsource::open(paths, image, &error, requestTimeout);
    if (!opened) {
        refuse(error);
        return;
    }
    const QFileInfo first(paths.first());
    lastFolder = paths.size() == 1 && first.isDir() ? first.absoluteFilePath() : first.absolutePath();
    remember(paths);
    dataset = opened->name().toLocal8Bit();
    width = opened->size().width();
    height = opened->size().height();
    showFrames(std::move(opened));
}

// A descriptor, a recording or a folder, or the files of a series.
void window::openPaths(const QStringList &paths)
{
    if (paths.size() == 1)
        openFile(paths.first());
    else
        openRecording(paths);
}

// Lays the window out for the frames of source and shows the first time
// point at the middle focal plane.
void window::showFrames(std::unique_ptr<framesource> frames)
{
    if (frames)
        source = std::move(frames);
    projectedPlanes = source->planes();
    source->setProjection(projectionKind::none, projectedPlanes);
    {
        const QSignalBlocker blocker(projectionGroup);
        projectionGroup->actions().first()->setChecked(true);
    }
    scrollFocal->setProperty("projecting", false);
    updateImageMenu();
    minTime = source->times().first;
    maxTime = source->times().last;
    minFocal = source->planes().first;
    maxFocal = source->planes().last;
    fitOnScreen();
    imageLabel->resetView();

    scrollTime->setRange(minTime, maxTime);
    scrollFocal->setRange(minFocal, maxFocal);
    mTimePoint = minTime;
    mFocalPlane = int((qint64(minFocal) + maxFocal) / 2);
    scrollTime->setValue(mTimePoint);
    scrollFocal->setValue(mFocalPlane);
    // A range given upside down leaves its slider one position; the index stays where the slider shows it.
    mTimePoint = scrollTime->value();
    mFocalPlane = scrollFocal->value();

    opened = true;
    pValid = false;
    point = QPoint(width / 2, height / 2);
    orthoStale = true;
    describeControls();
    updateZoom();
    requestFrame();
}

void window::open()
{
    const QString fileName = QFileDialog::getOpenFileName(
            this, tr("OpenFile"), QDir::currentPath(),
            tr("TZ files (*.tz);;Microscope files (*.tif *.tiff *.lsm);;All files (*)"));
    if (!fileName.isEmpty())
        openFile(fileName);
}

// A descriptor, or a recording: a folder or URL, or a TIFF by its content or name.
void window::openFile(const QString &fileName)
{
    if (QFileInfo(fileName).isDir() || opensInPlace(fileName))
        openRecording({ fileName });
    else
        openDescriptor(fileName);
}

void window::about()
{
    QMessageBox::about(this, tr("About Tesseline"),
                       tr("Tesseline\n2026, the Tesseline developers"));
}

void window::keyPressEvent(QKeyEvent *e)
{
    if (!opened)
        return;
    switch (e->key()) {
    case Qt::Key_H:
    case Qt::Key_Left:
        prevTime();
        break;
    case Qt::Key_L:
    case Qt::Key_Right:
        nextTime();
        break;
    case Qt::Key_K:
    case Qt::Key_Up:
        upFocal();
        break;
    case Qt::Key_J:
    case Qt::Key_Down:
        downFocal();
        break;
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown: {
        const bool focal = e->modifiers() & Qt::ShiftModifier;
        const int first = focal ? minFocal : minTime;
        const int last = focal ? maxFocal : maxTime;
        const qint64 at = focal ? mFocalPlane : mTimePoint;
        const qint64 to = e->key() == Qt::Key_Home ? first
                : e->key() == Qt::Key_End          ? last
                : e->key() == Qt::Key_PageUp       ? at - 10
                                                   : at + 10;
        if (focal)
            goToFocal(to);
        else
            goToTime(to);
        break;
    }
    default:
        break;
    }
}

void window::prevTime()
{
    if (minTime < mTimePoint)
        scrollTime->setValue(--mTimePoint);
}

void window::nextTime()
{
    if (mTimePoint < maxTime)
        scrollTime->setValue(++mTimePoint);
}

void window::upFocal()
{
    if (minFocal < mFocalPlane && scrollFocal->isEnabled())
        scrollFocal->setValue(--mFocalPlane);
}

void window::downFocal()
{
    if (mFocalPlane < maxFocal && scrollFocal->isEnabled())
        scrollFocal->setValue(++mFocalPlane);
}

void window::imageTimeChanged(int a)
{
    mTimePoint = a;
    requestFrame();
}

void window::imageFocalChanged(int a)
{
    mFocalPlane = a;
    requestFrame();
}

// A move by Home, End or the page keys: to the index, or as far as the range goes.
void window::goToTime(qint64 t)
{
    const int to = int(std::clamp<qint64>(t, std::min(minTime, maxTime), std::max(minTime, maxTime)));
    if (to != mTimePoint)
        scrollTime->setValue(mTimePoint = to);
}

void window::goToFocal(qint64 z)
{
    const int to = int(std::clamp<qint64>(z, std::min(minFocal, maxFocal), std::max(minFocal, maxFocal)));
    if (to != mFocalPlane && scrollFocal->isEnabled())
        scrollFocal->setValue(mFocalPlane = to);
}

void window::zoomIn()
{
    zoomBy(true);
}

void window::zoomOut()
{
    zoomBy(false);
}

void window::normalSize()
{
    zoomTo(zoomlevel());
}

// The fit view, and 100 % when it ends, are laid out around the frame as
// opening lays them out, whatever level was shown before.
void window::fitToWindow(bool on)
{
    if (opened)
        fitOnScreen();
    if (!imageLabel->setFit(on))
        reloadFrame();
    updateZoom();
}

// A double-click in the fit view shows the point clicked at 100 %; at any
// level it fits the frame again.
void window::frameDoubleClicked(const QPoint &framePoint)
{
    if (fitAct->isChecked()) {
        fitAct->setChecked(false);
        imageLabel->centreOn(framePoint);
    } else {
        fitAct->setChecked(true);
    }
}

// The picture again, of the frame loaded: a dataset's file is read again,
// a recording's planes are at hand.
void window::reloadFrame()
{
    pictureWanted = true;
    requestFrame();
}

// View › Reload: the frame shown read again, and a server that stopped
// answering asked again.
void window::reread()
{
    if (!source)
        return;
    source->reread();
    orthoStale = true;
    reloadFrame();
}

// An OME-Zarr image on a web server, read chunk by chunk as it is shown.
void window::openUrl()
{
    bool ok = false;
    const QString url = QInputDialog::getText(this, tr("Open URL"), tr("URL of an OME-Zarr image (http, https or s3):"),
                                              QLineEdit::Normal, lastUrl, &ok).trimmed();
    if (!ok || url.isEmpty())
        return;
    lastUrl = url;
    openRecording({ url });
}

void window::openRecordingDialog()
{
    const QStringList paths = recordingdialog::choose(this, lastFolder.isEmpty() ? QDir::currentPath() : lastFolder);
    openPaths(paths);
}

// The recording as shown, written as a dataset by tesseline-import.
void window::saveAsDataset()
{
    if (source && (source->features() & framesource::saving))
        importFlow->save(*source);
}

void window::chooseImage(QAction *action)
{
    if (source && action->data().toInt() != source->image())
        openRecording(source->paths(), action->data().toInt());
}

void window::swapAxes(bool on)
{
    if (!source || on == source->swapped())
        return;
    source->setSwapped(on);
    showFrames(nullptr);
}

// One channel on or off; the last one shown stays.
void window::showChannel(int c, bool on)
{
    if (!source)
        return;
    std::vector<channel> &channels = source->channels();
    const auto shown = std::count_if(channels.begin(), channels.end(), [](const auto &ch) { return ch.shown; });
    if (!on && channels[size_t(c)].shown && shown == 1) {
        updateImageMenu();
        return;
    }
    channels[size_t(c)].shown = on;
    if (brightness)
        brightness->refresh();
    displayChanged();
}

void window::showBrightness()
{
    if (!brightness) {
        brightness = new brightnessdialog(this);
        connect(brightness, &brightnessdialog::changed, this, &window::displayChanged);
        brightness->setRecording(adjustable());
    }
    brightness->show();
    brightness->raise();
    brightness->activateWindow();
}

// A change of the channels' colours, windows or visibility: drawn again
// from the planes at hand.
void window::displayChanged()
{
    if (adjustable()) {
        const std::vector<channel> &channels = source->channels();
        const QList<QAction *> actions = channelsMenu->actions();
        for (qsizetype c = 0; c < actions.size() && size_t(c) < channels.size(); ++c) {
            const QSignalBlocker blocker(actions[c]);
            actions[c]->setChecked(channels[size_t(c)].shown);
        }
    }
    if (xzView && source) {
        xzView->redraw(*source);
        yzView->redraw(*source);
    }
    reloadFrame();
}

void window::wheelEvent(QWheelEvent *e)
{
    if (!opened)
        return;
    // Over a slider the wheel moves that slider only, even at its end, where
    // the slider lets the event through.
    if (qobject_cast<QScrollBar *>(childAt(e->position().toPoint())))
        return;
    // One signed delta, as wheels had before angle deltas: the axis turned most.
    const QPoint angle = e->angleDelta();
    const int delta = qAbs(angle.x()) > qAbs(angle.y()) ? angle.x() : angle.y();
    if (delta == 0 && (e->phase() == Qt::ScrollBegin || e->phase() == Qt::ScrollEnd))
        return;
    if (e->modifiers() & Qt::ControlModifier) {
        const QPoint at = imageLabel->mapFrom(this, e->position().toPoint());
        if (delta != 0)
            zoomBy(delta > 0, imageLabel->rect().contains(at) ? std::optional<QPoint>(at) : std::nullopt);
        return;
    }
    if (delta > 0)
        upFocal();
    else
        downFocal();
}

// Loads the frame of the current indices once they change, and draws the
// picture the view needs of it.
void window::paintEvent(QPaintEvent *)
{
    if (!pendingProblem.isEmpty())
        showPendingProblem();
    if (!opened)
        return;
    const bool moved = !pValid || pTime != mTimePoint || pFocal != mFocalPlane;
    if (moved) {
        pTime = mTimePoint;
        pFocal = mFocalPlane;
        pValid = true;
        source->load(mTimePoint, mFocalPlane);
        imageLabel->setAccessibleName(source->title());
        pictureWanted = true;
    }
    if (!pictureWanted)
        return;
    pictureWanted = false;
    const frameview::part part = imageLabel->wanted(source->size(), source->partsAtHand());
    imageLabel->showFrame(forScreen(source->picture(part.scaled, part.rect), devicePixelRatio()), part);
    imageLabel->setProblem(source->problem(), source->missedIn(part.scaled, part.rect));
    if (moved)
        updateOverlays();
    if (brightness && moved)
        brightness->frameLoaded();
    if (xzView && (orthoStale || orthoTime != mTimePoint))
        readOrthogonal();
    else if (xzView)
        placeOrthogonal();
    updatePixelValues();
    updateZoom();
    requestFrame();
}

// A window manager frames the window only once it is on screen, often after
// a dataset given on the command line was laid out: then the layout is made
// again, once, for the frame.  Later changes of the frame (maximizing, say)
// are the user's.
void window::moveEvent(QMoveEvent *e)
{
    QMainWindow::moveEvent(e);
    if (opened && decoration.isNull() && !(frameGeometry().size() - geometry().size()).isNull())
        fitOnScreen(imageLabel->level());
}

void window::dragEnterEvent(QDragEnterEvent *e)
{
    if (!droppedPaths(e->mimeData()).isEmpty())
        e->acceptProposedAction();
}

// A descriptor opens as a dataset; a recording, a folder of images or
// several images are shown where they lie.
void window::dropEvent(QDropEvent *e)
{
    const QStringList paths = droppedPaths(e->mimeData());
    if (paths.isEmpty())
        return;
    e->acceptProposedAction();
    openPaths(paths);
}

// What a drop opens: one ".tz" file, recording or folder of images, or
// several images; or nothing.
QStringList window::droppedPaths(const QMimeData *data)
{
    QStringList paths;
    for (const QUrl &url : data->urls()) {
        if (!url.isLocalFile())
            return {};
        paths << url.toLocalFile();
    }
    if (paths.size() == 1) {
        const QFileInfo info(paths.first());
        const bool opens = (info.isDir() && !inputsOf(paths).isEmpty())
                || (info.isFile() && (info.suffix() == QLatin1String("tz") || opensInPlace(paths.first())));
        return opens ? paths : QStringList();
    }
    for (const QString &path : paths) {
        if (!QFileInfo(path).isFile() || !isSeriesImage(path))
            return {};
    }
    return paths;
}

void window::createActions()
{
    openAct = new QAction(tr("&Open..."), this);
    openAct->setShortcut(QKeySequence(tr("Ctrl+O")));
    connect(openAct, &QAction::triggered, this, &window::open);

    openRecordingAct = new QAction(tr("Open &Recording..."), this);
    openRecordingAct->setShortcut(QKeySequence(tr("Ctrl+I")));
    connect(openRecordingAct, &QAction::triggered, this, &window::openRecordingDialog);

    openUrlAct = new QAction(tr("Open &URL..."), this);
    openUrlAct->setShortcut(QKeySequence(tr("Ctrl+L")));
    connect(openUrlAct, &QAction::triggered, this, &window::openUrl);

    saveAct = new QAction(tr("&Save as Dataset..."), this);
    saveAct->setShortcut(QKeySequence(tr("Ctrl+S")));
    connect(saveAct, &QAction::triggered, this, &window::saveAsDataset);

    exitAct = new QAction(tr("E&xit"), this);
    exitAct->setShortcut(QKeySequence(tr("Ctrl+Q")));
    connect(exitAct, &QAction::triggered, this, &window::close);

    aboutAct = new QAction(tr("&About"), this);
    connect(aboutAct, &QAction::triggered, this, &window::about);

    zoomInAct = new QAction(tr("Zoom &In"), this);
    zoomInAct->setShortcuts({ QKeySequence(tr("Ctrl++")), QKeySequence(tr("Ctrl+=")) });
    connect(zoomInAct, &QAction::triggered, this, &window::zoomIn);

    zoomOutAct = new QAction(tr("Zoom &Out"), this);
    zoomOutAct->setShortcut(QKeySequence(tr("Ctrl+-")));
    connect(zoomOutAct, &QAction::triggered, this, &window::zoomOut);

    normalSizeAct = new QAction(tr("&Normal Size"), this);
    normalSizeAct->setShortcut(QKeySequence(tr("Ctrl+0")));
    connect(normalSizeAct, &QAction::triggered, this, &window::normalSize);

    fitAct = new QAction(tr("Fit to &Window"), this);
    fitAct->setShortcut(QKeySequence(tr("Ctrl+F")));
    fitAct->setCheckable(true);
    connect(fitAct, &QAction::toggled, this, &window::fitToWindow);

    swapAct = new QAction(tr("&Swap Time and Focal Planes"), this);
    swapAct->setCheckable(true);
    connect(swapAct, &QAction::toggled, this, &window::swapAxes);

    brightnessAct = new QAction(tr("&Brightness and Contrast..."), this);
    brightnessAct->setShortcut(QKeySequence(tr("Ctrl+Shift+C")));
    connect(brightnessAct, &QAction::triggered, this, &window::showBrightness);

    projectionGroup = new QActionGroup(this);
    for (projectionKind kind : { projectionKind::none, projectionKind::maximum, projectionKind::mean, projectionKind::minimum,
                                 projectionKind::sum, projectionKind::standardDeviation }) {
        QAction *action = projectionGroup->addAction(tr(projectionName(kind).toLatin1().constData()));
        action->setCheckable(true);
        action->setChecked(kind == projectionKind::none);
        action->setData(int(kind));
    }
    connect(projectionGroup, &QActionGroup::triggered, this, &window::chooseProjection);

    projectToggleAct = new QAction(tr("&Toggle Projection"), this);
    projectToggleAct->setShortcut(QKeySequence(tr("Ctrl+Shift+P")));
    connect(projectToggleAct, &QAction::triggered, this, &window::toggleProjection);

    focalRangeAct = new QAction(tr("&Focal Range..."), this);
    connect(focalRangeAct, &QAction::triggered, this, &window::chooseFocalRange);

    orthoAct = new QAction(tr("&Orthogonal Views"), this);
    orthoAct->setShortcut(QKeySequence(tr("Ctrl+Shift+O")));
    orthoAct->setCheckable(true);
    connect(orthoAct, &QAction::toggled, this, &window::showOrthogonal);

    pixelValuesAct = new QAction(tr("&Pixel Values"), this);
    pixelValuesAct->setShortcut(QKeySequence(tr("Ctrl+Shift+V")));
    pixelValuesAct->setCheckable(true);
    connect(pixelValuesAct, &QAction::toggled, this, &window::showPixelValues);

    scaleBarAct = new QAction(tr("Scale &Bar"), this);
    scaleBarAct->setShortcut(QKeySequence(tr("Ctrl+Shift+B")));
    scaleBarAct->setCheckable(true);
    connect(scaleBarAct, &QAction::toggled, this, &window::updateOverlays);

    timeStampAct = new QAction(tr("&Time Stamp"), this);
    timeStampAct->setShortcut(QKeySequence(tr("Ctrl+Shift+T")));
    timeStampAct->setCheckable(true);
    connect(timeStampAct, &QAction::toggled, this, &window::updateOverlays);

    overlaySettingsAct = new QAction(tr("Overlay &Settings..."), this);
    connect(overlaySettingsAct, &QAction::triggered, this, &window::chooseOverlaySettings);

    exportViewAct = new QAction(tr("&Export View..."), this);
    exportViewAct->setShortcut(QKeySequence(tr("Ctrl+E")));
    connect(exportViewAct, &QAction::triggered, this, &window::exportView);

    rereadAct = new QAction(tr("&Reload"), this);
    rereadAct->setShortcut(QKeySequence(QKeySequence::Refresh));
    connect(rereadAct, &QAction::triggered, this, &window::reread);

    exportMovieAct = new QAction(tr("Export &Movie..."), this);
    exportMovieAct->setShortcut(QKeySequence(tr("Ctrl+Shift+E")));
    connect(exportMovieAct, &QAction::triggered, this, &window::exportMovie);

    infoAct = new QAction(tr("Show &Info..."), this);
    infoAct->setShortcut(QKeySequence(tr("Ctrl+Shift+I")));
    connect(infoAct, &QAction::triggered, this, &window::showInfo);

    imageGroup = new QActionGroup(this);
    connect(imageGroup, &QActionGroup::triggered, this, &window::chooseImage);

    aboutQtAct = new QAction(tr("About &Qt"), this);
    connect(aboutQtAct, &QAction::triggered, qApp, &QApplication::aboutQt);
}

void window::createMenus()
{
    fileMenu = new QMenu(tr("&File"), this);
    fileMenu->addAction(openAct);
    fileMenu->addAction(openRecordingAct);
    fileMenu->addAction(openUrlAct);
    recentMenu = fileMenu->addMenu(tr("Open Rec&ent"));
    connect(recentMenu, &QMenu::triggered, this, &window::openRecent);
    updateRecentMenu();
    fileMenu->addAction(saveAct);
    fileMenu->addAction(exportViewAct);
    fileMenu->addAction(exportMovieAct);
    fileMenu->addSeparator();
    fileMenu->addAction(exitAct);

    viewMenu = new QMenu(tr("&View"), this);
    viewMenu->addAction(zoomInAct);
    viewMenu->addAction(zoomOutAct);
    viewMenu->addAction(normalSizeAct);
    viewMenu->addSeparator();
    viewMenu->addAction(fitAct);
    viewMenu->addSeparator();
    viewMenu->addAction(rereadAct);
    viewMenu->addSeparator();
    viewMenu->addAction(scaleBarAct);
    viewMenu->addAction(timeStampAct);
    viewMenu->addAction(overlaySettingsAct);

    imageMenu = new QMenu(tr("&Image"), this);
    imagesMenu = imageMenu->addMenu(tr("I&mage"));
    imageMenu->addAction(swapAct);
    imageMenu->addSeparator();
    channelsMenu = imageMenu->addMenu(tr("&Channels"));
    imageMenu->addAction(brightnessAct);
    imageMenu->addSeparator();
    projectionMenu = imageMenu->addMenu(tr("&Projection"));
    projectionMenu->addActions(projectionGroup->actions());
    projectionMenu->addSeparator();
    projectionMenu->addAction(projectToggleAct);
    projectionMenu->addAction(focalRangeAct);
    imageMenu->addAction(orthoAct);
    imageMenu->addAction(pixelValuesAct);
    imageMenu->addSeparator();
    imageMenu->addAction(infoAct);

    helpMenu = new QMenu(tr("&Help"), this);
    helpMenu->addAction(aboutAct);
    helpMenu->addAction(aboutQtAct);

    menuBar()->addMenu(fileMenu);
    menuBar()->addMenu(viewMenu);
    menuBar()->addMenu(imageMenu);
    menuBar()->addMenu(helpMenu);
    updateImageMenu();
}

// What the Image menu offers: a recording's images, axes and channels; a
// dataset shows as stored.
void window::updateImageMenu()
{
    imagesMenu->clear();
    channelsMenu->clear();
    const int features = source ? source->features() : 0;
    const QStringList images = source ? source->imageNames() : QStringList();
    for (qsizetype i = 0; i < images.size(); ++i) {
        QAction *action = imagesMenu->addAction(images[i]);
        action->setCheckable(true);
        action->setChecked(i == source->image());
        action->setData(int(i));
        imageGroup->addAction(action);
    }
    imagesMenu->setEnabled(images.size() > 1);
    {
        const QSignalBlocker blocker(swapAct);
        swapAct->setChecked(source && source->swapped());
    }
    swapAct->setEnabled(features & framesource::swapping);
    const auto &channels = adjustable() ? source->channels() : std::vector<channel>();
    for (size_t c = 0; c < channels.size(); ++c) {
        QAction *action = channelsMenu->addAction(tr("&%1 %2").arg(c + 1).arg(channels[c].name));
        action->setCheckable(true);
        action->setChecked(channels[c].shown);
        if (c < 9)
            action->setShortcut(QKeySequence(tr("Alt+%1").arg(c + 1)));
        connect(action, &QAction::toggled, this, [this, c](bool on) { showChannel(int(c), on); });
    }
    channelsMenu->setEnabled(!channels.empty());
    brightnessAct->setEnabled(features & framesource::adjusting);
    for (QAction *action : { static_cast<QAction *>(projectToggleAct), focalRangeAct, orthoAct, pixelValuesAct, timeStampAct, infoAct,
                              exportViewAct, exportMovieAct, rereadAct })
        action->setEnabled(source != nullptr);
    // A dataset's descriptor holds no sizes.
    scaleBarAct->setEnabled(source && source->pixelSize());
    if (info && source)
        info->setContents(source->name(), source->facts(), source->metadataText());
    projectionMenu->setEnabled(source != nullptr);
    saveAct->setEnabled(features & framesource::saving);
    if (brightness)
        brightness->setRecording(adjustable());
}

// A recording that cannot be shown: the reason, and what was shown stays.
void window::refuse(const QString &problem)
{
    std::cerr << "tesseline: " << problem.toLocal8Bit().constData() << std::endl;
    pendingProblem = problem;
    // Before the window is on screen, a box would have no place to be
    // centred on: it waits for the window's first paint.
    if (windowHandle() && windowHandle()->isExposed())
        showPendingProblem();
}

void window::showPendingProblem()
{
    auto *box = new QMessageBox(QMessageBox::Warning, tr("Tesseline"), pendingProblem, QMessageBox::Ok, this);
    pendingProblem.clear();
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void window::readDescriptor(const QString &fileName)
{
    descriptor read { dataset, width, height, minTime, maxTime, minFocal, maxFocal };
    ::readDescriptor(fileName, read, trace);
    dataset = read.dataset;
    width = read.width;
    height = read.height;
    minTime = read.minTime;
    maxTime = read.maxTime;
    minFocal = read.minFocal;
    maxFocal = read.maxFocal;
}

void window::layOut(const QSize &area)
{
    const qint64 w = area.width();
    const qint64 h = area.height();
    place(imageLabel, 5, 5, w, h);
    dsName->setText(QString::fromLocal8Bit(dataset));
    place(dsName, 5, h + 10, w - 10, 25);
    place(timePoint, 5, h + 40, 48, 25);
    place(focalPlane, 5, h + 70, 48, 25);
    place(scrollTime, 60, h + 44, w - 63, 16);
    place(scrollFocal, 60, h + 74, w - 63, 16);
}

// One level up or down from the scale shown, about the point at in the image
// area or about its middle.
void window::zoomBy(bool in, const std::optional<QPoint> &at)
{
    const auto [num, den] = imageLabel->scale();
    if (const std::optional<zoomlevel> next = in ? zoomlevel::above(num, den) : zoomlevel::below(num, den))
        zoomTo(*next, at);
}

// Zooming leaves the fit view and lays the window out around the frame at
// the new level; a file is read only when the pixels decoded do not cover
// the new view.  The frame point at stays under the pointer though the
// window moves back onto the screen; the one in the middle of the area stays
// in its middle.
void window::zoomTo(const zoomlevel &level, const std::optional<QPoint> &at)
{
    {
        const QSignalBlocker blocker(fitAct);
        fitAct->setChecked(false);
    }
    const QSize area = imageArea(level);
    const QPoint to = at ? *at + frameGeometry().topLeft() - placed(area) : QPoint(area.width() / 2, area.height() / 2);
    if (!imageLabel->zoom(level, at.value_or(areaCentre()), to, area))
        reloadFrame();
    fitOnScreen(level);
    updateZoom();
}

QPoint window::areaCentre() const
{
    const QSize area = imageLabel->area();
    return QPoint(area.width() / 2, area.height() / 2);
}

// The zoom actions a dataset allows from the scale shown, and the scale in
// the image area's tooltip and accessible description.
void window::updateZoom()
{
    const auto [num, den] = imageLabel->scale();
    zoomInAct->setEnabled(opened && zoomlevel::above(num, den));
    zoomOutAct->setEnabled(opened && zoomlevel::below(num, den));
    normalSizeAct->setEnabled(opened);
    const QString level = tr("%1 %").arg(qRound(100.0 * num / den));
    const QString text = !opened ? tr("Frame")
            : fitAct->isChecked() ? tr("Frame, %1 (fit to window)").arg(level)
                                  : tr("Frame, %1").arg(level);
    // Screen readers are told of every change, so only of real ones.
    if (imageLabel->accessibleDescription() != text) {
        imageLabel->setToolTip(text);
        imageLabel->setAccessibleDescription(text);
    }
}

// Any repaint runs the frame loading in paintEvent; one pixel of the bare
// central area is enough to get one without redrawing the frame.
void window::requestFrame()
{
    update(QRect(mainLabel->pos(), QSize(1, 1)));
}

// The dataset's frame file at the current indices.
QByteArray window::frameName() const
{
    return ::frameName(QFile::encodeName(path), dataset, mTimePoint, mFocalPlane);
}

// Lays the window out around the frame at level, or the part of it that
// fits on the screen, and brings a window that has grown past the screen's
// edge back onto it.
void window::fitOnScreen(const zoomlevel &level)
{
    decoration = frameGeometry().size() - geometry().size();
    const QSize area = imageArea(level);
    layOut(area);
    resize(clampCoordinate(qint64(area.width()) + 10), clampCoordinate(qint64(area.height()) + 125));
    const QPoint at = placed(area);
    if (at != frameGeometry().topLeft())
        move(at);
}

// The image area the window is laid out around: the frame's size at level,
// unless the window would then not fit in the available area of its screen,
// title bar and frame included; then the largest part of it for which it
// does.  On a screen too small even for that, the area keeps 160 x 32 pixels
// (or the frame's size, if smaller), so that the name, counters and sliders
// stay whole and usable.
QSize window::imageArea(const zoomlevel &level) const
{
    const QSize shown = level.scaled(QSize(width, height));
    const QRect available = screen()->availableGeometry();
    const qint64 roomW = qint64(available.width()) - decoration.width() - 10;
    const qint64 roomH = qint64(available.height()) - decoration.height() - 125;
    if (shown.width() <= roomW && shown.height() <= roomH)
        return shown;
    return QSize(int(std::min<qint64>(shown.width(), std::max<qint64>(roomW, std::min(shown.width(), 160)))),
                 int(std::min<qint64>(shown.height(), std::max<qint64>(roomH, std::min(shown.height(), 32)))));
}

// Where the window's frame goes when the window is laid out around area:
// where it is, or as far back onto the screen as it fits.
QPoint window::placed(const QSize &area) const
{
    const QRect available = screen()->availableGeometry();
    const QPoint at = frameGeometry().topLeft();
    // The size resize() gives the window, whatever a descriptor says.
    const QSize frame = QSize(clampCoordinate(qint64(area.width()) + 10), clampCoordinate(qint64(area.height()) + 125))
                                .expandedTo(QSize(0, 0))
            + decoration;
    return QPoint(std::clamp(at.x(), available.left(), std::max(available.left(), available.right() + 1 - frame.width())),
                  std::clamp(at.y(), available.top(), std::max(available.top(), available.bottom() + 1 - frame.height())));
}

// Tooltips and names for screen readers: what each counter and slider moves,
// and over which range once a dataset is open.
void window::describeControls()
{
    const struct {
        QLCDNumber *counter;
        QScrollBar *slider;
        QString name;
    } axes[] = { { timePoint, scrollTime, tr("Time point") }, { focalPlane, scrollFocal, tr("Focal plane") } };
    for (const auto &axis : axes) {
        const QString tip = opened ? tr("%1, %2 to %3").arg(axis.name).arg(axis.slider->minimum()).arg(axis.slider->maximum())
                                   : axis.name;
        for (QWidget *control : { static_cast<QWidget *>(axis.counter), static_cast<QWidget *>(axis.slider) }) {
            control->setAccessibleName(axis.name);
            control->setToolTip(tip);
        }
    }
}

// Image › Projection: the focal planes of the range at each time point
// reduced to one.  The focal slider shows the range's middle plane and rests
// while a projection is shown; it comes back to its plane after.
void window::chooseProjection(QAction *action)
{
    setProjection(projectionKind(action->data().toInt()));
}

void window::toggleProjection()
{
    setProjection(source && source->projection() == projectionKind::none ? lastProjection : projectionKind::none);
}

void window::setProjection(projectionKind kind)
{
    if (!source)
        return;
    const projectionKind was = source->projection();
    if (kind != projectionKind::none)
        lastProjection = kind;
    for (QAction *action : projectionGroup->actions()) {
        const QSignalBlocker blocker(action);
        action->setChecked(projectionKind(action->data().toInt()) == kind);
    }
    const framesource::range range = focalRange();
    source->setProjection(kind, range);
    if (was == projectionKind::none && kind != projectionKind::none)
        focalBeforeProjection = mFocalPlane;
    const bool projecting = kind != projectionKind::none;
    const int focal = projecting ? int((qint64(range.first) + range.last) / 2) : focalBeforeProjection;
    scrollFocal->setEnabled(true);
    scrollFocal->setValue(focal);
    mFocalPlane = scrollFocal->value();
    scrollFocal->setEnabled(!projecting);
    focalPlane->setEnabled(!projecting);
    pValid = false;
    if (brightness)
        brightness->setRecording(adjustable());
    reloadFrame();
}

// The focal planes that projections and the orthogonal views span, within
// the source's.
framesource::range window::focalRange() const
{
    const int low = std::min(minFocal, maxFocal);
    const int high = std::max(minFocal, maxFocal);
    return { std::clamp(projectedPlanes.first, low, high), std::clamp(projectedPlanes.last, low, high) };
}

void window::chooseFocalRange()
{
    if (!source)
        return;
    const framesource::range now = focalRange();
    const auto chosen = rangedialog::choose(this, now.first, now.last, std::min(minFocal, maxFocal), std::max(minFocal, maxFocal));
    if (!chosen)
        return;
    projectedPlanes = { chosen->first, chosen->second };
    orthoStale = true;
    setProjection(source->projection());
}

// Image › Orthogonal Views: XZ below the window and YZ beside it, through
// the point set on the frame.
void window::showOrthogonal(bool on)
{
    if (!on || !source) {
        delete xzView;
        delete yzView;
        xzView = yzView = nullptr;
        imageLabel->setPointing(false);
        imageLabel->setCrosshair(std::nullopt);
        return;
    }
    if (xzView)
        return;
    xzView = new orthoview(Qt::Horizontal, this);
    yzView = new orthoview(Qt::Vertical, this);
    for (orthoview *view : { xzView, yzView }) {
        view->setAttribute(Qt::WA_DeleteOnClose);
        connect(view, &orthoview::clicked, this, &window::orthoClicked);
        connect(view, &orthoview::closed, this, [this] {
            // The one closed deletes itself.
            xzView->disconnect(this);
            yzView->disconnect(this);
            (sender() == xzView ? yzView : xzView)->deleteLater();
            xzView = yzView = nullptr;
            orthoAct->setChecked(false);
        });
    }
    imageLabel->setPointing(true);
    orthoStale = true;
    pictureWanted = true;
    requestFrame();
}

void window::orthoClicked(const QPoint &at, int plane)
{
    point = at;
    orthoStale = true;
    goToFocal(plane);
    reloadFrame();
}

void window::setPoint(const QPoint &framePoint)
{
    const QPoint at(std::clamp(framePoint.x(), 0, std::max(imageLabel->frame().width() - 1, 0)),
                    std::clamp(framePoint.y(), 0, std::max(imageLabel->frame().height() - 1, 0)));
    if (at == point && !orthoStale)
        return;
    point = at;
    orthoStale = true;
    reloadFrame();
}

// The row and the column through the point at the time point shown, read
// in the paint path as a frame is.
void window::readOrthogonal()
{
    orthoStale = false;
    orthoTime = mTimePoint;
    const QSize frame = imageLabel->frame();
    point = QPoint(std::clamp(point.x(), 0, std::max(frame.width() - 1, 0)), std::clamp(point.y(), 0, std::max(frame.height() - 1, 0)));
    const framesource::range range = focalRange();
    xzView->read(*source, frame, mTimePoint, point, range);
    yzView->read(*source, frame, mTimePoint, point, range);
    placeOrthogonal();
}

// The views at the frame's scale, the focal axis to scale where the sizes
// are known, below and beside the window; shown once they hold something.
void window::placeOrthogonal()
{
    const auto [num, den] = imageLabel->scale();
    const double scale = double(num) / double(den);
    const std::optional<double> pixel = source->pixelSize();
    const std::optional<double> spacing = source->planeSpacing();
    const double planeScale = scale * (pixel && spacing && *pixel > 0 && *spacing > 0 ? *spacing / *pixel : 1.0);
    const QRect frame = frameGeometry();
    const QPoint image = imageLabel->mapToGlobal(QPoint(0, 0)) - frame.topLeft() + QPoint(0, 0);
    const struct {
        orthoview *view;
        QPoint at;
    } views[] = { { xzView, QPoint(frame.left() + image.x(), frame.bottom() + 1) },
                  { yzView, QPoint(frame.right() + 1, frame.top() + image.y()) } };
    for (const auto &placed : views) {
        placed.view->setScale(scale, planeScale);
        placed.view->mark(point, mFocalPlane);
        const QSize wanted = placed.view->sizeHint().boundedTo(screen()->availableGeometry().size() / 2);
        if (placed.view->size() != wanted)
            placed.view->resize(wanted);
        if (!placed.view->isVisible()) {
            placed.view->move(placed.at);
            placed.view->show();
        }
    }
    imageLabel->setCrosshair(point);
}

// Image › Pixel Values: what lies under the pointer, from the planes held.
void window::showPixelValues(bool on)
{
    if (!on) {
        delete valuesWindow;
        valuesWindow = nullptr;
        return;
    }
    if (valuesWindow)
        return;
    valuesWindow = new pixelvalues(this);
    valuesWindow->setAttribute(Qt::WA_DeleteOnClose);
    connect(valuesWindow, &pixelvalues::nudged, this, &window::nudgePointer);
    connect(valuesWindow, &pixelvalues::closed, this, [this] {
        valuesWindow = nullptr;
        pixelValuesAct->setChecked(false);
    });
    // Beside the window, and beside the YZ view if that is there.
    valuesWindow->move(frameGeometry().topRight() + QPoint(1 + (yzView ? yzView->frameGeometry().width() : 0), 0));
    valuesWindow->show();
    updatePixelValues();
}

void window::pointerMoved(const QPoint &framePoint)
{
    pointer = framePoint;
    updatePixelValues();
}

void window::pointerLeft()
{
    pointer.reset();
    updatePixelValues();
}

// One frame pixel further, the pointer following it onto the screen.
void window::nudgePointer(int dx, int dy)
{
    if (!pointer)
        pointer = imageLabel->framePointAt(imageLabel->mapFromGlobal(QCursor::pos()));
    const QSize frame = imageLabel->frame();
    pointer = QPoint(std::clamp(pointer->x() + dx, 0, std::max(frame.width() - 1, 0)),
                     std::clamp(pointer->y() + dy, 0, std::max(frame.height() - 1, 0)));
    QCursor::setPos(imageLabel->mapToGlobal(imageLabel->viewPointOf(*pointer)));
    updatePixelValues();
}

void window::updatePixelValues()
{
    if (!valuesWindow)
        return;
    if (!source || !pointer || !QRect(QPoint(), imageLabel->frame()).contains(*pointer)) {
        valuesWindow->showValues({});
        return;
    }
    const auto number = [](double v, bool integral) {
        return integral ? QString::number(qint64(v)) : QString::number(v, 'g', 6);
    };
    QList<QPair<QString, QString>> lines;
    QString position = tr("%1, %2").arg(pointer->x()).arg(pointer->y());
    if (const std::optional<double> size = source->pixelSize())
        position += tr(" (%1, %2 %3)").arg(pointer->x() * *size, 0, 'f', 3).arg(pointer->y() * *size, 0, 'f', 3).arg(source->unit());
    lines.append({ tr("x, y:"), position });
    lines.append({ tr("Time point:"), QString::number(mTimePoint) });
    const framesource::range range = source->projected();
    lines.append({ tr("Focal plane:"), source->projection() == projectionKind::none
                           ? QString::number(mFocalPlane)
                           : tr("%1 of %2 to %3").arg(projectionName(source->projection())).arg(range.first).arg(range.last) });
    const std::vector<std::optional<double>> values = source->valuesAt(*pointer);
    const bool integral = source->format() != sampleFormat::floatingPoint;
    for (size_t c = 0; c < values.size() && c < source->channels().size(); ++c) {
        if (values[c])
            lines.append({ source->channels()[c].name + QLatin1Char(':'), number(*values[c], integral) });
    }
    if (const std::optional<QRgb> shown = imageLabel->shownColour(*pointer))
        lines.append({ tr("Shown:"), tr("%1, %2, %3").arg(qRed(*shown)).arg(qGreen(*shown)).arg(qBlue(*shown)) });
    valuesWindow->showValues(lines);
}

// The scale bar and the time stamp over the frame, as the View menu has them.
void window::updateOverlays()
{
    if (!source) {
        imageLabel->setOverlays(std::nullopt, QString(), QString(), overlays);
        return;
    }
    const std::optional<double> pixel = scaleBarAct->isChecked() && scaleBarAct->isEnabled() ? source->pixelSize() : std::nullopt;
    imageLabel->setOverlays(pixel, source->unit(), timeStampAct->isChecked() ? stampText(mTimePoint) : QString(), overlays);
}

// A time point's elapsed time where the file gives it, else its index.
QString window::stampText(int t) const
{
    const std::optional<double> seconds = source->elapsedSeconds(t);
    return seconds ? elapsedText(*seconds) : tr("t %1").arg(t);
}

void window::chooseOverlaySettings()
{
    if (const std::optional<overlayStyle> chosen = overlaydialog::choose(this, overlays)) {
        overlays = *chosen;
        updateOverlays();
    }
}

// Image › Show Info: a window of its own, kept up to date with what is shown.
void window::showInfo()
{
    if (!source)
        return;
    if (!info) {
        info = new infowindow(this);
        info->setAttribute(Qt::WA_DeleteOnClose);
        connect(info, &QObject::destroyed, this, [this] { info = nullptr; });
    }
    info->setContents(source->name(), source->facts(), source->metadataText());
    info->show();
    info->raise();
    info->activateWindow();
}

// File › Open Recent: the last ten datasets, recordings and URLs opened,
// kept between runs.
void window::remember(const QStringList &paths)
{
    QStringList absolute;
    for (const QString &p : paths)
        absolute << (isAddress(p) ? p : QFileInfo(p).absoluteFilePath());
    const QString entry = absolute.join(QLatin1Char('\n'));
    QSettings settings;
    QStringList recent = settings.value(QStringLiteral("recent")).toStringList();
    recent.removeAll(entry);
    recent.prepend(entry);
    while (recent.size() > 10)
        recent.removeLast();
    settings.setValue(QStringLiteral("recent"), recent);
    updateRecentMenu();
}

void window::updateRecentMenu()
{
    recentMenu->clear();
    const QStringList recent = QSettings().value(QStringLiteral("recent")).toStringList();
    for (qsizetype i = 0; i < recent.size(); ++i) {
        const QStringList paths = recent[i].split(QLatin1Char('\n'));
        const QString first = QDir::toNativeSeparators(paths.first());
        const QString text = paths.size() > 1 ? tr("%1 and %n more", nullptr, int(paths.size() - 1)).arg(first) : first;
        QAction *action = recentMenu->addAction(QStringLiteral("&%1 %2").arg((i + 1) % 10).arg(text));
        action->setData(recent[i]);
    }
    recentMenu->addSeparator();
    QAction *clear = recentMenu->addAction(tr("&Clear Menu"));
    clear->setEnabled(!recent.isEmpty());
    connect(clear, &QAction::triggered, this, [this] {
        QSettings().remove(QStringLiteral("recent"));
        updateRecentMenu();
    });
}

void window::openRecent(QAction *action)
{
    const QString entry = action->data().toString();
    if (entry.isEmpty())
        return;
    const QStringList paths = entry.split(QLatin1Char('\n'));
    if (paths.size() == 1 && QFileInfo(paths.first()).suffix() == QLatin1String("tz") && !opensInPlace(paths.first()))
        openDescriptor(paths.first());
    else
        openPaths(paths);
}

// A file name for what is shown, after the recording and its indices,
// beside it, or in a folder of the user's where that cannot be written.
QString window::proposedName(const QString &suffix, QStandardPaths::StandardLocation elsewhere) const
{
    QString base = source->name();
    base.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_.-]+")), QStringLiteral("_"));
    base.remove(QRegularExpression(QStringLiteral("\\.(ome\\.)?(tiff?|lsm|zarr)$|_+$"), QRegularExpression::CaseInsensitiveOption));
    const framesource::range planes = source->projected();
    const QString indices = source->projection() == projectionKind::none
            ? QStringLiteral("_t%1_z%2").arg(mTimePoint).arg(mFocalPlane)
            : QStringLiteral("_t%1_%2_z%3-%4").arg(mTimePoint).arg(projectionKey(source->projection())).arg(planes.first).arg(planes.last);
    const QStringList paths = source->paths();
    QString folder = paths.isEmpty() ? path : QFileInfo(paths.first()).absolutePath();
    if (folder.isEmpty() || (!paths.isEmpty() && isAddress(paths.first())) || !QFileInfo(folder).isWritable()) {
        folder = QStandardPaths::writableLocation(elsewhere);
        QDir().mkpath(folder);
    }
    return QDir(folder).filePath(base + (suffix == QLatin1String("png") || suffix == QLatin1String("tif") ? indices : QString())
                                 + QLatin1Char('.') + suffix);
}

// The scale bar and the time stamp as shown, on a picture of part of the
// frame at the frame's own resolution.
void window::burnOverlays(QImage &picture, const QRect &part, bool scaleBar, bool timeStamp, int t)
{
    QPainter painter(&picture);
    drawOverlays(painter, QRectF(QPointF(0, 0), QSizeF(part.size())), 1, imageLabel->frame().width(),
                 scaleBar ? source->pixelSize() : std::nullopt, source->unit(), timeStamp ? stampText(t) : QString(), overlays);
}

// File › Export View: the frame as shown (channels, windows, colours,
// projection, overlays) at its own resolution, or the values of the channels
// shown; the region in view or the whole frame.
void window::exportView()
{
    if (!source || !opened)
        return;
    exportdialog dialog(proposedName(QStringLiteral("png"), QStandardPaths::PicturesLocation), this);
    if (dialog.exec() != QDialog::Accepted || dialog.fileName().isEmpty())
        return;
    const QSize frame = imageLabel->frame();
    QRect part(QPoint(), frame);
    if (!dialog.wholeFrame()) {
        const QRectF seen = imageLabel->frameInView();
        part &= QRect(imageLabel->framePointAt(seen.topLeft().toPoint()),
                      imageLabel->framePointAt((seen.bottomRight() - QPointF(1, 1)).toPoint()));
    }
    QApplication::setOverrideCursor(Qt::BusyCursor);
    QImage picture = source->picture(frame, part);
    QString error;
    if (picture.isNull()) {
        error = source->problem().isEmpty() ? tr("%1: the frame cannot be read").arg(source->name()) : source->problem();
    } else if (dialog.format() == exportdialog::rawTiff) {
        std::vector<planeData> planes;
        for (size_t c = 0; c < source->channels().size(); ++c) {
            const planeData *plane = source->plane(int(c));
            const QRect held = source->keptRegion();
            if (!source->channels()[c].shown || !plane || source->keptLevel() != 0 || !held.contains(part))
                continue;
            planeData cut { plane->bits, plane->format, {} };
            const size_t bytes = size_t(plane->bits / 8);
            for (int y = part.top(); y <= part.bottom(); ++y) {
                const auto *row = plane->bytes.data() + ((size_t(y - held.top()) * held.width()) + size_t(part.left() - held.left())) * bytes;
                cut.bytes.insert(cut.bytes.end(), row, row + size_t(part.width()) * bytes);
            }
            planes.push_back(std::move(cut));
        }
        if (planes.empty())
            error = tr("%1: the values of this frame are not held; a dataset's frames are exported as shown").arg(source->name());
        else
            writePlanes(dialog.fileName(), planes, part.size(), source->pixelSize(), source->unit(), &error);
    } else {
        burnOverlays(picture, part, scaleBarAct->isChecked() && scaleBarAct->isEnabled(), timeStampAct->isChecked(), mTimePoint);
        if (dialog.format() == exportdialog::tiff) {
            writePicture(dialog.fileName(), picture, source->pixelSize(), source->unit(), &error);
        } else {
            QSaveFile file(dialog.fileName());
            QImageWriter writer(&file, "png");
            // zlib's fastest level: a 2048 x 2048 frame in a tenth of a second rather than two.
            writer.setCompression(1);
            if (!file.open(QIODevice::WriteOnly) || !writer.write(picture) || !file.commit())
                error = tr("%1: %2").arg(QDir::toNativeSeparators(dialog.fileName()),
                                         file.error() != QFileDevice::NoError ? file.errorString() : writer.errorString());
        }
    }
    QApplication::restoreOverrideCursor();
    if (!error.isEmpty())
        refuse(error);
    reloadFrame();
}

// File › Export Movie: what is shown (the focal plane, or the projection)
// over the time points, or the focal planes at the time point shown, one
// frame after another in this thread, with a progress dialog whose Cancel
// leaves no file behind.  Each frame read is traced as usual.
void window::exportMovie()
{
    if (!source || !opened)
        return;
    const bool projecting = source->projection() != projectionKind::none;
    moviedialog::choice overlaysShown;
    overlaysShown.scaleBar = scaleBarAct->isChecked();
    overlaysShown.timeStamp = timeStampAct->isChecked();
    moviedialog dialog(proposedName(QStringLiteral("mp4"), QStandardPaths::MoviesLocation), { minTime, maxTime, mTimePoint },
                       { minFocal, maxFocal, mFocalPlane }, !projecting, source->frameRate().value_or(7),
                       scaleBarAct->isEnabled(), overlaysShown, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const moviedialog::choice chosen = dialog.chosen();
    const QSize frame = imageLabel->frame();
    QSize size = frame;
    if (chosen.maxWidth > 0 && size.width() > chosen.maxWidth)
        size = QSize(chosen.maxWidth, std::max(1, int(qint64(frame.height()) * chosen.maxWidth / frame.width())));
    moviewriter writer;
    QString error;
    const std::optional<moviewriter::format> format = moviewriter::formatFor(chosen.fileName);
    if (!format) {
        refuse(tr("%1: a movie's name ends in .mp4 or .avi").arg(QDir::toNativeSeparators(chosen.fileName)));
        return;
    }
    if (!writer.open(chosen.fileName, *format, chosen.fps, moviewriter::qualityFor(chosen.quality).value_or(moviewriter::quality::normal),
                     size, &error)) {
        refuse(error);
        return;
    }
    const int count = chosen.last - chosen.first + 1;
    QProgressDialog progress(tr("Writing %1...").arg(QFileInfo(chosen.fileName).fileName()), tr("Cancel"), 0, count, this);
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(0);
    QElapsedTimer clock;
    clock.start();
    bool cancelled = false;
    for (int i = 0; i < count && error.isEmpty(); ++i) {
        const int t = chosen.overPlanes ? mTimePoint : chosen.first + i;
        const int z = chosen.overPlanes ? chosen.first + i : mFocalPlane;
        source->load(t, z);
        QImage picture = source->picture(frame, QRect(QPoint(), frame));
        if (picture.isNull()) {
            error = source->problem().isEmpty() ? tr("%1: time point %2, focal plane %3 cannot be read").arg(source->name()).arg(t).arg(z)
                                                : source->problem();
            break;
        }
        picture = picture.convertToFormat(QImage::Format_RGB32);
        burnOverlays(picture, QRect(QPoint(), frame), chosen.scaleBar, chosen.timeStamp, t);
        if (size != frame)
            picture = picture.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        if (!writer.add(picture, &error))
            break;
        const qint64 left = clock.elapsed() * (count - i - 1) / (i + 1) / 1000;
        progress.setLabelText(tr("Frame %1 of %2, about %3 s left").arg(i + 1).arg(count).arg(left));
        progress.setValue(i + 1);
        if (progress.wasCanceled()) {
            cancelled = true;
            break;
        }
    }
    if (cancelled || !error.isEmpty())
        writer.cancel();
    else
        writer.finish(&error);
    progress.reset();
    source->load(mTimePoint, mFocalPlane);
    pValid = false;
    reloadFrame();
    if (!error.isEmpty())
        refuse(error);
}

// The source when its channels and windows may be changed, else null.
framesource *window::adjustable() const
{
    return source && (source->features() & framesource::adjusting) ? source.get() : nullptr;
}

QByteArray window::digit3(int a) const
{
    return ::digit3(a);
}
