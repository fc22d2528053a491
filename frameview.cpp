#include "frameview.h"

#include <QtWidgets>

#include <algorithm>

frameview::frameview(QWidget *parent)
    : QLabel(parent)
{
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

// The part of a frame to decode at 100 %: all of it when it takes at most
// four times the area, so that dragging only moves pixels; otherwise what is
// visible, and while dragging half the area around it on every side.
QRect frameview::wanted(const QSize &frame) const
{
    const QRect whole(QPoint(), frame);
    const QSize shown = area();
    if (qint64(frame.width()) * frame.height() <= 4 * qint64(shown.width()) * shown.height())
        return whole;
    const QRect visible(clamped(mOffset, frame), shown);
    if (!regionAsked)
        return visible & whole;
    return visible.adjusted(-shown.width() / 2, -shown.height() / 2, shown.width() / 2, shown.height() / 2)
            & whole;
}

// Shows image, the part of a frame that starts at origin, at 100 %.
void frameview::showFrame(QImage image, const QPoint &origin, const QSize &frame)
{
    frameSize = frame;
    this->origin = origin;
    mFitted = false;
    regionAsked = false;
    mOffset = clamped(mOffset, frameSize);
    setPixmapShown(std::move(image));
}

// Shows a whole frame scaled down to image's size.
void frameview::showFitted(QImage image, const QSize &frame)
{
    frameSize = frame;
    origin = QPoint();
    mFitted = true;
    setPixmapShown(std::move(image));
}

void frameview::resetOffset()
{
    mOffset = QPoint();
}

void frameview::centreOn(const QPoint &framePoint)
{
    const QSize shown = area();
    mOffset = clamped(framePoint - QPoint(shown.width() / 2, shown.height() / 2), frameSize);
}

void frameview::paintEvent(QPaintEvent *)
{
    const QPixmap shown = pixmap();
    if (shown.isNull())
        return;
    QPainter painter(this);
    painter.drawPixmap(shownAt(), shown);
}

void frameview::mousePressEvent(QMouseEvent *e)
{
    if (e->button() != Qt::LeftButton || !pannable()) {
        e->ignore();
        return;
    }
    dragging = true;
    dragStart = e->position().toPoint();
    offsetAtStart = mOffset;
    updateCursor();
}

void frameview::mouseMoveEvent(QMouseEvent *e)
{
    if (!dragging) {
        e->ignore();
        return;
    }
    const QPoint moved = clamped(offsetAtStart - (e->position().toPoint() - dragStart), frameSize);
    if (moved == mOffset)
        return;
    mOffset = moved;
    const QRect decoded(origin, pixmap().deviceIndependentSize().toSize());
    if (!decoded.contains(QRect(mOffset, area()) & QRect(QPoint(), frameSize))) {
        regionAsked = true;
        emit regionNeeded();
    }
    updateOpaque();
    update();
}

void frameview::mouseReleaseEvent(QMouseEvent *e)
{
    if (!dragging || e->button() != Qt::LeftButton) {
        e->ignore();
        return;
    }
    dragging = false;
    updateCursor();
}

void frameview::mouseDoubleClickEvent(QMouseEvent *e)
{
    if (e->button() != Qt::LeftButton || pixmap().isNull()) {
        e->ignore();
        return;
    }
    const QPoint at = e->position().toPoint();
    if (!mFitted) {
        emit doubleClicked(at + mOffset);
        return;
    }
    const QSizeF shown = pixmap().deviceIndependentSize();
    emit doubleClicked(QPoint(int(at.x() * frameSize.width() / shown.width()),
                              int(at.y() * frameSize.height() / shown.height())));
}

bool frameview::pannable() const
{
    const QSize shown = area();
    return !mFitted && !pixmap().isNull()
            && (frameSize.width() > shown.width() || frameSize.height() > shown.height());
}

// An offset at which the frame covers the area, or as much of it as it can.
QPoint frameview::clamped(const QPoint &offset, const QSize &frame) const
{
    const QSize shown = area();
    return QPoint(std::clamp(offset.x(), 0, std::max(0, frame.width() - shown.width())),
                  std::clamp(offset.y(), 0, std::max(0, frame.height() - shown.height())));
}

// What of the label can be seen: never more than the whole desktop.
QSize frameview::area() const
{
    return size().boundedTo(screen()->virtualSize());
}

// Where the picture's top-left corner is drawn in the label.
QPoint frameview::shownAt() const
{
    return mFitted ? QPoint() : origin - mOffset;
}

void frameview::setPixmapShown(QImage image)
{
    setPixmap(QPixmap::fromImage(std::move(image)));
    updateOpaque();
    updateCursor();
}

// A picture that hides the whole label spares painting the background beneath it.
void frameview::updateOpaque()
{
    const QPixmap shown = pixmap();
    const QRect at(shownAt(), shown.deviceIndependentSize().toSize());
    setAttribute(Qt::WA_OpaquePaintEvent, !shown.isNull() && !shown.hasAlphaChannel() && at.contains(rect()));
}

void frameview::updateCursor()
{
    if (pannable())
        setCursor(dragging ? Qt::ClosedHandCursor : Qt::OpenHandCursor);
    else
        unsetCursor();
}
