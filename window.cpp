#include "window.h"
#include "framereader.h"

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

void trace(const QByteArray &text)
{
    const QByteArray line = text + '\n';
    std::cerr.write(line.constData(), line.size());
    std::cerr.flush();
}

int clampCoordinate(qint64 v)
{
    return int(std::clamp<qint64>(v, -QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
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

    imageLabel = new QLabel(mainLabel);
    imageLabel->setGeometry(5, 5, 300, 300);
    imageLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
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

    createActions();
    createMenus();

    setAcceptDrops(true);
    setWindowTitle(tr("Tesseline"));
    resize(310, 425);
    show();
}

void window::openDescriptor(const QString &fileName)
{
    path = QFileInfo(fileName).absolutePath();
    readDescriptor(fileName);
    layOut();

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
    const QSize screenArea = screen()->availableGeometry().size();
    resize(int(std::clamp<qint64>(qint64(width) + 10, 0, screenArea.width())),
           int(std::clamp<qint64>(qint64(height) + 125, 0, screenArea.height())));
    requestFrame();
}

void window::open()
{
    const QString fileName = QFileDialog::getOpenFileName(this, tr("OpenFile"), QDir::currentPath(),
                                                          tr("TZ files (*.tz)"));
    if (!fileName.isEmpty())
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
    if (delta > 0)
        upFocal();
    else
        downFocal();
}

void window::paintEvent(QPaintEvent *)
{
    if (!opened || (pValid && pTime == mTimePoint && pFocal == mFocalPlane))
        return;
    const QByteArray name = frameName();
    trace(name);
    pTime = mTimePoint;
    pFocal = mFocalPlane;
    pValid = true;

    framereader reader(name);
    QImage image = reader.read(QRect(QPoint(), reader.size().boundedTo(visibleArea())));
    // On a high-density screen a frame pixel is drawn as a sharp block of device pixels.
    const qreal ratio = devicePixelRatio();
    if (ratio != 1 && !image.isNull()) {
        image = image.scaled(image.size() * ratio);
        image.setDevicePixelRatio(ratio);
    }
    const QPixmap pixmap = QPixmap::fromImage(std::move(image));
    // A picture that hides the whole label spares painting the background beneath it.
    const QSizeF shown = pixmap.deviceIndependentSize();
    const bool covers = !pixmap.isNull() && !pixmap.hasAlphaChannel()
            && shown.width() >= imageLabel->QWidget::width() && shown.height() >= imageLabel->QWidget::height();
    imageLabel->setAttribute(Qt::WA_OpaquePaintEvent, covers);
    imageLabel->setPixmap(pixmap);
    requestFrame();
}

void window::dragEnterEvent(QDragEnterEvent *e)
{
    if (!droppedDescriptor(e->mimeData()).isEmpty())
        e->acceptProposedAction();
}

void window::dropEvent(QDropEvent *e)
{
    const QString fileName = droppedDescriptor(e->mimeData());
    if (fileName.isEmpty())
        return;
    e->acceptProposedAction();
    openDescriptor(fileName);
}

// The one local ".tz" file a drag carries, or nothing.
QString window::droppedDescriptor(const QMimeData *data)
{
    const QList<QUrl> urls = data->urls();
    if (urls.size() != 1 || !urls.first().isLocalFile())
        return QString();
    const QString fileName = urls.first().toLocalFile();
    const QFileInfo info(fileName);
    return info.suffix() == QLatin1String("tz") && info.isFile() ? fileName : QString();
}

void window::createActions()
{
    openAct = new QAction(tr("&Open..."), this);
    openAct->setShortcut(QKeySequence(tr("Ctrl+O")));
    connect(openAct, &QAction::triggered, this, &window::open);

    exitAct = new QAction(tr("E&xit"), this);
    exitAct->setShortcut(QKeySequence(tr("Ctrl+Q")));
    connect(exitAct, &QAction::triggered, this, &window::close);

    aboutAct = new QAction(tr("&About"), this);
    connect(aboutAct, &QAction::triggered, this, &window::about);

    aboutQtAct = new QAction(tr("About &Qt"), this);
    connect(aboutQtAct, &QAction::triggered, qApp, &QApplication::aboutQt);
}

void window::createMenus()
{
    fileMenu = new QMenu(tr("&File"), this);
    fileMenu->addAction(openAct);
    fileMenu->addSeparator();
    fileMenu->addAction(exitAct);

    helpMenu = new QMenu(tr("&Help"), this);
    helpMenu->addAction(aboutAct);
    helpMenu->addAction(aboutQtAct);

    menuBar()->addMenu(fileMenu);
    menuBar()->addMenu(helpMenu);
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

void window::layOut()
{
    const qint64 w = width;
    const qint64 h = height;
    place(imageLabel, 5, 5, w, h);
    dsName->setText(QString::fromLocal8Bit(dataset));
    place(dsName, 5, h + 10, w - 10, 25);
    place(timePoint, 5, h + 40, 48, 25);
    place(focalPlane, 5, h + 70, 48, 25);
    place(scrollTime, 60, h + 44, w - 63, 16);
    place(scrollFocal, 60, h + 74, w - 63, 16);
}

// Any repaint runs the frame loading in paintEvent; one pixel of the bare
// central area is enough to get one without redrawing the frame.
void window::requestFrame()
{
    update(QRect(mainLabel->pos(), QSize(1, 1)));
}

// Built from the descriptor's own bytes, so that a name in any 8-bit
// encoding finds its files.
QByteArray window::frameName() const
{
    QByteArray name = QFile::encodeName(path) + "/img/" + dataset + "_t" + digit3(mTimePoint) + "_z"
            + digit3(mFocalPlane) + "_ch000.jpg";
#ifdef Q_OS_WIN
    name.replace('/', '\\');
#endif
    return name;
}

// What of a frame can be seen: the image label, and never more than the whole desktop.
QSize window::visibleArea() const
{
    return imageLabel->size().boundedTo(screen()->virtualSize());
}

QByteArray window::digit3(int a) const
{
    return QByteArray::number(a).rightJustified(3, '0');
}
