#include "orthoview.h"

#include <QtWidgets>

#include <algorithm>
#include <cstring>

orthoview::orthoview(Qt::Orientation across, QWidget *parent)
    : QWidget(parent, Qt::Window), across(across)
{
    setWindowTitle(across == Qt::Horizontal ? tr("XZ") : tr("YZ"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setCursor(Qt::CrossCursor);
}

void orthoview::read(framesource &source, const QSize &frame, int t, const QPoint &at, framesource::range range)
{
    planes = range;
    point = at;
    planeprovider &provider = source.provider();
    const qint64 planesCount = std::max<qint64>(qint64(range.last) - range.first + 1, 0);
    const bool xz = across == Qt::Horizontal;
    const int length = std::max(xz ? frame.width() : frame.height(), 0);
    const QRect line = xz ? QRect(0, at.y(), frame.width(), 1) : QRect(at.x(), 0, 1, frame.height());
    lines.clear();
    problem.clear();
    linesSize = QSize();
    // A picture of at most 2^28 samples a channel, which any real stack keeps within.
    if (planesCount * std::max(length, 1) > (qint64(1) << 28)) {
        problem = tr("%1 focal planes of %2 pixels are too many to show").arg(planesCount).arg(length);
        update();
        return;
    }
    const int count = int(planesCount);
    linesSize = xz ? QSize(length, count) : QSize(count, length);
    std::vector<planeData> read;
    for (int i = 0; i < count && problem.isEmpty(); ++i) {
        const int z = range.first + i;
        if (!provider.present(t, z))
            continue;
        trace(provider.traceLine(t, z));
        if (!provider.read(t, z, 0, line, read)) {
            problem = provider.error();
            trace(problem.toLocal8Bit());
            break;
        }
        lines.resize(std::max(lines.size(), read.size()));
        for (size_t c = 0; c < read.size(); ++c) {
            const planeData &from = read[c];
            planeData &into = lines[c];
            if (from.bytes.empty())
                continue;
            const size_t bytes = size_t(from.bits / 8);
            if (into.bytes.empty()) {
                into.bits = from.bits;
                into.format = from.format;
                into.bytes.assign(size_t(length) * size_t(count) * bytes, 0);
            }
            if (from.bits != into.bits || from.bytes.size() != size_t(length) * bytes)
                continue;
            if (xz) {
                std::memcpy(into.bytes.data() + size_t(i) * length * bytes, from.bytes.data(), from.bytes.size());
            } else {
                for (int y = 0; y < length; ++y)
                    std::memcpy(into.bytes.data() + (size_t(y) * count + i) * bytes, from.bytes.data() + size_t(y) * bytes, bytes);
            }
        }
    }
    redraw(source);
}

void orthoview::redraw(framesource &source)
{
    std::vector<const planeData *> shown;
    for (const planeData &p : lines)
        shown.push_back(p.bytes.empty() ? nullptr : &p);
    picture = problem.isEmpty() && !linesSize.isEmpty() ? colours.compose(shown, source.channels(), linesSize) : QImage();
    if (picture.isNull() && problem.isEmpty() && linesSize.isEmpty())
        problem = tr("no focal planes");
    update();
}

void orthoview::mark(const QPoint &at, int shownPlane)
{
    point = at;
    plane = shownPlane;
    update();
}

void orthoview::setScale(double pixel, double planeSize)
{
    pixelScale = pixel > 0 ? pixel : 1;
    planeScale = planeSize > 0 ? planeSize : 1;
    updateGeometry();
}

// The lines at the scale asked for.
QSize orthoview::imageSize() const
{
    const bool xz = across == Qt::Horizontal;
    const double w = xz ? linesSize.width() * pixelScale : linesSize.width() * planeScale;
    const double h = xz ? linesSize.height() * planeScale : linesSize.height() * pixelScale;
    return QSize(std::max(1, int(std::lround(w))), std::max(1, int(std::lround(h))));
}

QSize orthoview::sizeHint() const
{
    return imageSize();
}

void orthoview::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    if (picture.isNull() || !problem.isEmpty()) {
        painter.fillRect(rect(), Qt::black);
        painter.setPen(Qt::white);
        painter.drawText(rect().adjusted(6, 6, -6, -6), Qt::AlignCenter | Qt::TextWordWrap, problem);
        return;
    }
    // The picture fills the window, which the window manager may have made
    // larger than asked.
    const QRectF target(rect());
    painter.drawImage(target, picture);
    // Where a line of the frame or a plane lies in the picture: its middle.
    const bool xz = across == Qt::Horizontal;
    const double along = xz ? target.width() / linesSize.width() : target.height() / linesSize.height();
    const double deep = xz ? target.height() / linesSize.height() : target.width() / linesSize.width();
    const double z = (plane - planes.first + 0.5) * deep;
    const double at = ((xz ? point.x() : point.y()) + 0.5) * along;
    painter.setPen(QPen(QColor(255, 255, 0, 200), 1));
    if (xz) {
        painter.drawLine(QPointF(at, 0), QPointF(at, target.height()));
        painter.drawLine(QPointF(0, z), QPointF(target.width(), z));
    } else {
        painter.drawLine(QPointF(0, at), QPointF(target.width(), at));
        painter.drawLine(QPointF(z, 0), QPointF(z, target.height()));
    }
}

void orthoview::clickAt(const QPoint &at)
{
    if (picture.isNull())
        return;
    const bool xz = across == Qt::Horizontal;
    const int length = xz ? linesSize.width() : linesSize.height();
    const int count = planes.last - planes.first + 1;
    const int along = int(qint64(xz ? at.x() : at.y()) * length / std::max(xz ? width() : height(), 1));
    const int z = planes.first + std::clamp(int(qint64(xz ? at.y() : at.x()) * count / std::max(xz ? height() : width(), 1)), 0, count - 1);
    if (along < 0 || along >= length)
        return;
    emit clicked(xz ? QPoint(along, point.y()) : QPoint(point.x(), along), z);
}

void orthoview::mousePressEvent(QMouseEvent *e)
{
    if (e->button() == Qt::LeftButton)
        clickAt(e->position().toPoint());
}

void orthoview::mouseMoveEvent(QMouseEvent *e)
{
    if (e->buttons() & Qt::LeftButton)
        clickAt(e->position().toPoint());
}

void orthoview::closeEvent(QCloseEvent *e)
{
    QWidget::closeEvent(e);
    emit closed();
}
