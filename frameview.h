#ifndef FRAMEVIEW_H
#define FRAMEVIEW_H

#include "zoomlevel.h"

#include <QLabel>

#include <utility>

// The image area: shows a frame, or the part of it decoded, at a zoom level
// or scaled down to fit.  Above 100 % each frame pixel is a sharp square.  A
// frame larger than the area is dragged with the left button like a map; the
// offset and the level stay from frame to frame.
class frameview : public QLabel
{
    Q_OBJECT

public:
    // A part of a frame to read: rect within the frame scaled to `scaled`,
    // which is the frame's own size at 100 % and above.
    struct part
    {
        QRect rect;
        QSize scaled;
    };

    explicit frameview(QWidget *parent = nullptr);

    part wanted(const QSize &frame, bool partsAtHand = false);
    void showFrame(QImage image, const part &read);
    bool setFit(bool on);
    bool zoom(const zoomlevel &level, const QPoint &at, const QPoint &to, const QSize &size);
    void resetView();
    void centreOn(const QPoint &framePoint);

    QPoint offset() const { return mOffset; }
    zoomlevel level() const { return mLevel; }
    bool fitted() const;
    bool pannable() const;
    std::pair<qint64, qint64> scale() const;
    QSize viewSize() const;
    QSize area() const;

signals:
    void regionNeeded();
    void doubleClicked(const QPoint &framePoint);

protected:
    void paintEvent(QPaintEvent *e) override;
    void mousePressEvent(QMouseEvent *e) override;
    void mouseMoveEvent(QMouseEvent *e) override;
    void mouseReleaseEvent(QMouseEvent *e) override;
    void mouseDoubleClickEvent(QMouseEvent *e) override;

private:
    std::pair<qint64, qint64> axisScale(Qt::Orientation axis) const;
    bool framePixels() const;
    bool covered() const;
    QRect visibleIn(bool framePixels) const;
    QPoint viewOffset() const;
    QPoint clamped(const QPoint &offset) const;
    QRectF pictureRect() const;
    void viewChanged();
    void updateOpaque();
    void updateCursor();

    QSize frameSize;
    QSize pictureScaled;
    QPoint origin;
    zoomlevel mLevel;
    QPoint mOffset;
    bool fit = false;
    bool dragging = false;
    bool regionAsked = false;
    QPoint dragStart;
    QPoint offsetAtStart;
};

#endif
