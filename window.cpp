#include "window.h"
#include "brightnessdialog.h"
#include "datasetsource.h"
#include "frameview.h"
#include "importflow.h"
#include "recordingdialog.h"
#include "recordingsource.h"

#include <QtWidgets>

#include <algorithm>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <string>

#ifdef Q_OS_WIN
#include <filesystem>
#endif

namespace {

// Longer tokens are cut here and their rest skipped, so a binary file
// picked by mistake cannot grow a string without bound.
constexpr std::streamsize maxToken = 4096;

bool readToken(std::istream &in, std::string &token)
{
    if (!(in >> std::setw(maxToken) >> token))
        return false;
    if (token.size() == std::size_t(maxToken)) {
        std::streambuf *buf = in.rdbuf();
        const auto &ctype = std::use_facet<std::ctype<char>>(in.getloc());
        for (int c = buf->sgetc(); c != EOF && !ctype.is(ctype.space, char(c)); c = buf->snextc()) {
        }
    }
    return true;
}

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
    recording = nullptr;
    showFrames(std::make_unique<datasetsource>(QFile::encodeName(path), dataset));
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
    dataset = opened->name().toLocal8Bit();
    width = opened->size().width();
    height = opened->size().height();
    recording = opened.get();
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
    updateImageMenu();
    if (recording) {
        minTime = minFocal = 0;
        maxTime = recording->times() - 1;
        maxFocal = recording->planes() - 1;
    }
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
    if (QFileInfo(fileName).isDir() || recordingsource::isRecording(fileName))
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
    if (minFocal < mFocalPlane)
        scrollFocal->setValue(--mFocalPlane);
}

void window::downFocal()
{
    if (mFocalPlane < maxFocal)
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

// An OME-Zarr image on a web server, read chunk by chunk as it is shown.
void window::openUrl()
{
    bool ok = false;
    const QString url = QInputDialog::getText(this, tr("Open URL"), tr("URL of an OME-Zarr image (http or https):"),
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
    if (recording)
        importFlow->save(*recording);
}

void window::chooseImage(QAction *action)
{
    if (recording && action->data().toInt() != recording->image())
        openRecording(recording->paths(), action->data().toInt());
}

void window::swapAxes(bool on)
{
    if (!recording || on == recording->swapped())
        return;
    recording->setSwapped(on);
    showFrames(nullptr);
}

// One channel on or off; the last one shown stays.
void window::showChannel(int c, bool on)
{
    if (!recording)
        return;
    std::vector<recordingsource::channel> &channels = recording->channels();
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
        brightness->setRecording(recording);
    }
    brightness->show();
    brightness->raise();
    brightness->activateWindow();
}

// A change of the channels' colours, windows or visibility: drawn again
// from the planes at hand.
void window::displayChanged()
{
    if (recording) {
        const std::vector<recordingsource::channel> &channels = recording->channels();
        const QList<QAction *> actions = channelsMenu->actions();
        for (qsizetype c = 0; c < actions.size() && size_t(c) < channels.size(); ++c) {
            const QSignalBlocker blocker(actions[c]);
            actions[c]->setChecked(channels[size_t(c)].shown);
        }
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
    if (brightness && moved)
        brightness->frameLoaded();
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
        const bool opens = (info.isDir() && !recordingsource::inputsOf(paths).isEmpty())
                || (info.isFile() && (info.suffix() == QLatin1String("tz") || recordingsource::isRecording(paths.first())));
        return opens ? paths : QStringList();
    }
    for (const QString &path : paths) {
        if (!QFileInfo(path).isFile() || !recordingsource::isImage(path))
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
    fileMenu->addAction(saveAct);
    fileMenu->addSeparator();
    fileMenu->addAction(exitAct);

    viewMenu = new QMenu(tr("&View"), this);
    viewMenu->addAction(zoomInAct);
    viewMenu->addAction(zoomOutAct);
    viewMenu->addAction(normalSizeAct);
    viewMenu->addSeparator();
    viewMenu->addAction(fitAct);

    imageMenu = new QMenu(tr("&Image"), this);
    imagesMenu = imageMenu->addMenu(tr("I&mage"));
    imageMenu->addAction(swapAct);
    imageMenu->addSeparator();
    channelsMenu = imageMenu->addMenu(tr("&Channels"));
    imageMenu->addAction(brightnessAct);

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
    const QStringList images = recording ? recording->imageNames() : QStringList();
    for (qsizetype i = 0; i < images.size(); ++i) {
        QAction *action = imagesMenu->addAction(images[i]);
        action->setCheckable(true);
        action->setChecked(i == recording->image());
        action->setData(int(i));
        imageGroup->addAction(action);
    }
    imagesMenu->setEnabled(images.size() > 1);
    {
        const QSignalBlocker blocker(swapAct);
        swapAct->setChecked(recording && recording->swapped());
    }
    swapAct->setEnabled(recording && recording->swappable());
    const auto &channels = recording ? recording->channels() : std::vector<recordingsource::channel>();
    for (size_t c = 0; c < channels.size(); ++c) {
        QAction *action = channelsMenu->addAction(tr("&%1 %2").arg(c + 1).arg(channels[c].name));
        action->setCheckable(true);
        action->setChecked(channels[c].shown);
        if (c < 9)
            action->setShortcut(QKeySequence(tr("Alt+%1").arg(c + 1)));
        connect(action, &QAction::toggled, this, [this, c](bool on) { showChannel(int(c), on); });
    }
    channelsMenu->setEnabled(!channels.empty());
    brightnessAct->setEnabled(recording);
    saveAct->setEnabled(recording);
    if (brightness)
        brightness->setRecording(recording);
}

// A recording that cannot be shown: the reason, and what was shown stays.
void window::refuse(const QString &problem)
{
    std::cerr << "tesseline: " << problem.toLocal8Bit().constData() << std::endl;
    auto *box = new QMessageBox(QMessageBox::Warning, tr("Tesseline"), problem, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void window::readDescriptor(const QString &fileName)
{
    // Only regular files: a device or a pipe could block or never end.
    if (!QFileInfo(fileName).isFile())
        return;
#ifdef Q_OS_WIN
    std::ifstream in(std::filesystem::path(fileName.toStdWString()));
#else
    std::ifstream in(QFile::encodeName(fileName).toStdString());
#endif
    static const struct {
        const char *tag;
        int window::*field;
    } numeric[] = {
        { "width", &window::width },     { "height", &window::height },
        { "mint", &window::minTime },    { "maxt", &window::maxTime },
        { "minz", &window::minFocal },   { "maxz", &window::maxFocal },
    };

    std::string tag;
    while (readToken(in, tag)) {
        if (tag == "dataset") {
            std::string name;
            if (!readToken(in, name))
                return;
            dataset = QByteArray::fromStdString(name);
            trace(dataset);
            continue;
        }
        for (const auto &entry : numeric) {
            if (tag != entry.tag)
                continue;
            int value;
            if (!(in >> value))
                return;
            this->*entry.field = value;
            trace(QByteArray::number(value));
            break;
        }
    }
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
    return datasetsource::frameName(QFile::encodeName(path), dataset, mTimePoint, mFocalPlane);
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

QByteArray window::digit3(int a) const
{
    return datasetsource::digit3(a);
}
