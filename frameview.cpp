#include "frameview.h"

#include <QtWidgets>

#include <algorithm>

frameview::frameview(QWidget *parent)
    : QLabel(parent)
{
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setMouseTracking(true);
}

// The part of a frame to decode: at 100 % and above in frame pixels, below it
// scaled to the level.  All of it when it takes at most four times the area
// visible, so that dragging only moves pixels; otherwise what is visible, and
// while dragging half the area around it on every side.  A frame whose
// parts are at hand, drawn from memory, is drawn only where it is seen.
frameview::part frameview::wanted(const QSize &frame, bool partsAtHand)
{
    frameSize = frame;
    if (!fitted())
        mOffset = clamped(mOffset);
    const bool full = framePixels();
    const QSize scaled = full ? frameSize : viewSize();
    const QRect whole(QPoint(), scaled);
    const QRect visible = visibleIn(full);
    if (!partsAtHand && qint64(scaled.width()) * scaled.height() <= 4 * qint64(visible.width()) * visible.height())
        return { whole, scaled };
    if (!regionAsked)
        return { visible & whole, scaled };
    return { visible.adjusted(-visible.width() / 2, -visible.height() / 2, visible.width() / 2, visible.height() / 2)
                     & whole,
             scaled };
}

// Shows image, the part of the frame that was read.
void frameview::showFrame(QImage image, const part &read)
{
    pictureScaled = read.scaled;
    origin = read.rect.topLeft();
    regionAsked = false;
    shownImage = image;
    setPixmap(QPixmap::fromImage(std::move(image)));
    viewChanged();
}

// Fit to Window on or off; either way the level is 100 % again.  Returns
// whether the picture already holds what is to be shown.
bool frameview::setFit(bool on)
{
    fit = on;
    mLevel = zoomlevel();
    if (!fitted())
        mOffset = clamped(mOffset);
    regionAsked = false;
    viewChanged();
    return covered();
}

// Goes to level in an area resized to size, the frame point under at (in the
// area as it was) coming under to as far as the frame's edges let it: the
// offset is clamped to the new size.  Returns whether the picture already
// holds what is to be shown.
bool frameview::zoom(const zoomlevel &level, const QPoint &at, const QPoint &to, const QSize &size)
{
    const QPoint offset = viewOffset();
    const auto [nx, dx] = axisScale(Qt::Horizontal);
    const auto [ny, dy] = axisScale(Qt::Vertical);
    fit = false;
    mLevel = level;
    resize(size);
    // The centre of the pixel under at, from the old view into the frame and
    // on into the new one; a centre on a frame pixel's edge counts, as for
    // QPainter, as the pixel before it.
    auto moved = [](qint64 at, qint64 offset, qint64 num, qint64 den, qint64 toNum, qint64 toDen, qint64 to) {
        return int(((2 * (at + offset) + 1) * den * toNum - 1) / (2 * num * toDen) - to);
    };
    mOffset = clamped(QPoint(moved(at.x(), offset.x(), nx, dx, level.numerator(), level.denominator(), to.x()),
                             moved(at.y(), offset.y(), ny, dy, level.numerator(), level.denominator(), to.y())));
    regionAsked = false;
    viewChanged();
    return covered();
}

// Back to the top-left corner at 100 %, for a dataset just opened.
void frameview::resetView()
{
    mLevel = zoomlevel();
    mOffset = QPoint();
    regionAsked = false;
}

void frameview::centreOn(const QPoint &framePoint)
{
    const QSize shown = area();
    const qint64 num = mLevel.numerator(), den = mLevel.denominator();
    mOffset = clamped(QPoint(int(framePoint.x() * num / den) - shown.width() / 2,
                             int(framePoint.y() * num / den) - shown.height() / 2));
}

void frameview::paintEvent(QPaintEvent *)
{
    const QPixmap shown = pixmap();
    QPainter painter(this);
    if (!shown.isNull()) {
        const QRectF at = pictureRect();
        if (at.size() == shown.deviceIndependentSize())
            painter.drawPixmap(at.topLeft(), shown);
        else
            painter.drawPixmap(at, shown, QRectF(QPointF(), shown.size()));
    }
    if (crosshair && !shown.isNull()) {
        const QPoint at = viewPointOf(*crosshair);
        painter.setPen(QPen(QColor(255, 255, 0, 200), 1));
        painter.drawLine(0, at.y(), width(), at.y());
        painter.drawLine(at.x(), 0, at.x(), height());
    }
    if ((barPixelSize || !stampText.isEmpty()) && !shown.isNull())
        drawOverlays(painter, frameInView(), screenScale(), frameSize.width(), barPixelSize, barUnit, stampText, overlays);
    if (!problem.isEmpty()) {
        // What did not come: dark, crossed with amber lines.
        std::vector<QRectF> hatched;
        if (shown.isNull())
            hatched.push_back(rect());
        const QRectF at = pictureRect();
        for (const QRect &r : shown.isNull() ? std::vector<QRect>() : missed)
            hatched.push_back(QRectF(at.left() + r.left() * at.width() / shown.width(), at.top() + r.top() * at.height() / shown.height(),
                                     r.width() * at.width() / shown.width(), r.height() * at.height() / shown.height()));
        painter.save();
        painter.setPen(QPen(QColor(255, 176, 0), 2));
        for (const QRectF &r : hatched) {
            painter.fillRect(r, QColor(0, 0, 0, 170));
            painter.setClipRect(r);
            for (qreal x = r.left() - r.height(); x < r.right(); x += 10)
                painter.drawLine(QPointF(x, r.bottom()), QPointF(x + r.height(), r.top()));
        }
        painter.restore();
        const int line = fontMetrics().height() + 8;
        const QRect band(0, (height() - line) / 2, width(), line);
        painter.fillRect(band, QColor(0, 0, 0, 200));
        painter.setPen(Qt::white);
        painter.drawText(band.adjusted(6, 0, -6, 0), Qt::AlignCenter | Qt::TextSingleLine,
                         fontMetrics().elidedText(problem, Qt::ElideMiddle, band.width() - 12));
    }
}

QPoint frameview::framePointAt(const QPoint &at) const
{
    const QPoint inFrame = at + viewOffset();
    const auto [nx, dx] = axisScale(Qt::Horizontal);
    const auto [ny, dy] = axisScale(Qt::Vertical);
    const auto down = [](qint64 v, qint64 num, qint64 den) {
        const qint64 scaled = v * den;
        return int(scaled >= 0 ? scaled / num : -((-scaled + num - 1) / num));
    };
    return QPoint(down(inFrame.x(), nx, dx), down(inFrame.y(), ny, dy));
}

QPoint frameview::viewPointOf(const QPoint &framePoint) const
{
    const auto [nx, dx] = axisScale(Qt::Horizontal);
    const auto [ny, dy] = axisScale(Qt::Vertical);
    return QPoint(int((2 * qint64(framePoint.x()) + 1) * nx / (2 * dx)), int((2 * qint64(framePoint.y()) + 1) * ny / (2 * dy)))
            - viewOffset();
}

std::optional<QRgb> frameview::shownColour(const QPoint &framePoint) const
{
    if (shownImage.isNull() || !QRect(QPoint(), frameSize).contains(framePoint))
        return std::nullopt;
    const QRectF at = pictureRect();
    const QPointF view = viewPointOf(framePoint);
    const QPoint pixel(int((view.x() - at.left()) * shownImage.width() / at.width()),
                       int((view.y() - at.top()) * shownImage.height() / at.height()));
    if (!shownImage.rect().contains(pixel))
        return std::nullopt;
    return shownImage.pixel(pixel);
}

void frameview::setPointing(bool on)
{
    pointing = on;
    updateCursor();
}

void frameview::setCrosshair(const std::optional<QPoint> &framePoint)
{
    if (crosshair == framePoint)
        return;
    crosshair = framePoint;
    update();
}

void frameview::setProblem(const QString &text, const std::vector<QRect> &parts)
{
    if (problem == text && missed == parts)
        return;
    problem = text;
    missed = parts;
    update();
}

void frameview::setOverlays(std::optional<double> pixelSize, const QString &unit, const QString &stamp,
                            const overlayStyle &style)
{
    barPixelSize = pixelSize && *pixelSize > 0 ? pixelSize : std::nullopt;
    barUnit = unit;
    stampText = stamp;
    overlays = style;
    update();
}

QRectF frameview::frameInView() const
{
    const auto [nx, dx] = axisScale(Qt::Horizontal);
    const auto [ny, dy] = axisScale(Qt::Vertical);
    const QPointF offset = viewOffset();
    const QRectF frame(-offset.x(), -offset.y(), double(frameSize.width()) * nx / dx, double(frameSize.height()) * ny / dy);
    return frame & QRectF(rect());
}

double frameview::screenScale() const
{
    const auto [nx, dx] = axisScale(Qt::Horizontal);
    return double(nx) / double(dx);
}

void frameview::leaveEvent(QEvent *e)
{
    QLabel::leaveEvent(e);
    emit pointerLeft();
}

void frameview::mousePressEvent(QMouseEvent *e)
{
    if (pointing && e->button() == Qt::LeftButton && !pixmap().isNull()) {
        dragButton = Qt::LeftButton;
        emit pointSet(framePointAt(e->position().toPoint()));
        return;
    }
    const bool pans = e->button() == Qt::MiddleButton || (e->button() == Qt::LeftButton && !pointing);
    if (!pans || !pannable()) {
        e->ignore();
        return;
    }
    dragButton = e->button();
    dragging = true;
    dragStart = e->position().toPoint();
    offsetAtStart = mOffset;
    updateCursor();
}

void frameview::mouseMoveEvent(QMouseEvent *e)
{
    if (!pixmap().isNull())
        emit pointerMoved(framePointAt(e->position().toPoint()));
    if (pointing && dragButton == Qt::LeftButton && !dragging) {
        emit pointSet(framePointAt(e->position().toPoint()));
        return;
    }
    if (!dragging) {
        e->ignore();
        return;
    }
    const QPoint moved = clamped(offsetAtStart - (e->position().toPoint() - dragStart));
    if (moved == mOffset)
        return;
    mOffset = moved;
    if (!covered()) {
        regionAsked = true;
        emit regionNeeded();
    }
    updateOpaque();
    update();
}

void frameview::mouseReleaseEvent(QMouseEvent *e)
{
    if (e->button() != dragButton) {
        e->ignore();
        return;
    }
    dragButton = Qt::NoButton;
    if (!dragging)
        return;
    dragging = false;
    updateCursor();
}

// Gives the frame pixel double-clicked.
void frameview::mouseDoubleClickEvent(QMouseEvent *e)
{
    if (e->button() != Qt::LeftButton || pixmap().isNull()) {
        e->ignore();
        return;
    }
    const QPoint at = e->position().toPoint() + viewOffset();
    const auto [nx, dx] = axisScale(Qt::Horizontal);
    const auto [ny, dy] = axisScale(Qt::Vertical);
    emit doubleClicked(QPoint(int(at.x() * dx / nx), int(at.y() * dy / ny)));
}

// Whether the frame is shown scaled down to fit: Fit to Window is on and the
// frame is larger than the area.
bool frameview::fitted() const
{
    const QSize shown = area();
    return fit && (frameSize.width() > shown.width() || frameSize.height() > shown.height());
}

bool frameview::pannable() const
{
    const QSize shown = area();
    const QSize view = viewSize();
    return !fitted() && !pixmap().isNull() && (view.width() > shown.width() || view.height() > shown.height());
}

// The scale shown, as a fraction: the level, or in the fit view the scale of
// the frame's longer side.
std::pair<qint64, qint64> frameview::scale() const
{
    return axisScale(frameSize.width() >= frameSize.height() ? Qt::Horizontal : Qt::Vertical);
}

// The whole frame's size as shown.
QSize frameview::viewSize() const
{
    if (fitted())
        return frameSize.scaled(area(), Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    return mLevel.scaled(frameSize);
}

// What of the label can be seen: never more than the whole desktop.
QSize frameview::area() const
{
    return size().boundedTo(screen()->virtualSize());
}

// Screen pixels per frame pixel along an axis, as a fraction.
std::pair<qint64, qint64> frameview::axisScale(Qt::Orientation axis) const
{
    if (!fitted())
        return { mLevel.numerator(), mLevel.denominator() };
    const QSize view = viewSize();
    return axis == Qt::Horizontal ? std::make_pair(qint64(view.width()), qint64(frameSize.width()))
                                  : std::make_pair(qint64(view.height()), qint64(frameSize.height()));
}

// Whether the picture is read in frame pixels, and enlarged when shown.
bool frameview::framePixels() const
{
    return !fitted() && !mLevel.reduces();
}

// Whether the picture holds what the area shows, at the scale it needs.
bool frameview::covered() const
{
    const QPixmap shown = pixmap();
    const bool full = framePixels();
    if (shown.isNull() || pictureScaled != (full ? frameSize : viewSize()))
        return false;
    return QRect(origin, shown.deviceIndependentSize().toSize())
            .contains(visibleIn(full) & QRect(QPoint(), pictureScaled));
}

// The image area within the frame as shown, or in frame pixels.
QRect frameview::visibleIn(bool framePixels) const
{
    const QRect shown(viewOffset(), area());
    if (!framePixels)
        return shown;
    const qint64 num = mLevel.numerator(), den = mLevel.denominator();
    auto floor = [&](qint64 v) { return int(v * den / num); };
    auto ceil = [&](qint64 v) { return int((v * den + num - 1) / num); };
    return QRect(QPoint(floor(shown.left()), floor(shown.top())),
                 QPoint(ceil(shown.right() + 1) - 1, ceil(shown.bottom() + 1) - 1));
}

QPoint frameview::viewOffset() const
{
    return fitted() ? QPoint() : mOffset;
}

// An offset at which the frame covers the area, or as much of it as it can.
QPoint frameview::clamped(const QPoint &offset) const
{
    const QSize shown = area();
    const QSize view = viewSize();
    return QPoint(std::clamp(offset.x(), 0, std::max(0, view.width() - shown.width())),
                  std::clamp(offset.y(), 0, std::max(0, view.height() - shown.height())));
}

// Where the picture is drawn in the label: at its own size when it was read
// for the scale shown, enlarged when it holds frame pixels above 100 %, and
// stretched, until the next read, when it was read for another scale.
QRectF frameview::pictureRect() const
{
    const QSizeF size = pixmap().deviceIndependentSize();
    const QSize view = viewSize();
    qreal sx = 1, sy = 1;
    if (pictureScaled != view && !pictureScaled.isEmpty()) {
        const bool enlarged = pictureScaled == frameSize && framePixels();
        sx = enlarged ? qreal(mLevel.numerator()) / mLevel.denominator() : qreal(view.width()) / pictureScaled.width();
        sy = enlarged ? sx : qreal(view.height()) / pictureScaled.height();
    }
    const QPoint offset = viewOffset();
    return QRectF(origin.x() * sx - offset.x(), origin.y() * sy - offset.y(), size.width() * sx, size.height() * sy);
}

void frameview::viewChanged()
{
    updateOpaque();
    updateCursor();
    update();
}

// A picture that hides the whole label spares painting the background beneath it.
void frameview::updateOpaque()
{
    const QPixmap shown = pixmap();
    setAttribute(Qt::WA_OpaquePaintEvent,
                 !shown.isNull() && !shown.hasAlphaChannel() && pictureRect().contains(QRectF(rect())));
}

void frameview::updateCursor()
{
    if (pointing)
        setCursor(Qt::CrossCursor);
    else if (pannable())
        setCursor(dragging ? Qt::ClosedHandCursor : Qt::OpenHandCursor);
    else
        unsetCursor();
}
