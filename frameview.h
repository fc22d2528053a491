#ifndef FRAMEVIEW_H
#define FRAMEVIEW_H

#include "overlay.h"
#include "zoomlevel.h"

#include <QLabel>

#include <optional>
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

    // The frame pixel under a point of the view, and the view point at the
    // middle of a frame pixel.
    QPoint framePointAt(const QPoint &at) const;
    QPoint viewPointOf(const QPoint &framePoint) const;
    // The colour shown of a frame pixel, if it is shown.
    std::optional<QRgb> shownColour(const QPoint &framePoint) const;
    // A left click or drag sets a point instead of dragging the frame (the
    // middle button still drags it); the point is marked with a crosshair.
    void setPointing(bool on);
    void setCrosshair(const std::optional<QPoint> &framePoint);
    // Why the frame cannot be shown, drawn over the area; empty for nothing.
    // Missed: the parts of the picture shown, in its pixels, that did not
    // come, hatched; the whole area is when there is no picture.
    void setProblem(const QString &problem, const std::vector<QRect> &missed = {});
    // A scale bar (with the size of a frame pixel in unit; none: no bar) and
    // a time stamp (empty: none) drawn over the frame, in style.
    void setOverlays(std::optional<double> pixelSize, const QString &unit, const QString &stamp, const overlayStyle &style);
    // The frame's part in view, in the view's pixels.
    QRectF frameInView() const;
    // Screen pixels per frame pixel across.
    double screenScale() const;

    QPoint offset() const { return mOffset; }
    QSize frame() const { return frameSize; }
    zoomlevel level() const { return mLevel; }
    bool fitted() const;
    bool pannable() const;
    std::pair<qint64, qint64> scale() const;
    QSize viewSize() const;
    QSize area() const;

signals:
    void regionNeeded();
    void doubleClicked(const QPoint &framePoint);
    void pointerMoved(const QPoint &framePoint);
    void pointerLeft();
    void pointSet(const QPoint &framePoint);

protected:
    void paintEvent(QPaintEvent *e) override;
    void mousePressEvent(QMouseEvent *e) override;
    void mouseMoveEvent(QMouseEvent *e) override;
    void mouseReleaseEvent(QMouseEvent *e) override;
    void mouseDoubleClickEvent(QMouseEvent *e) override;
    void leaveEvent(QEvent *e) override;

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
    Qt::MouseButton dragButton = Qt::NoButton;
    bool pointing = false;
    std::optional<QPoint> crosshair;
    QString problem;
    std::vector<QRect> missed;
    QImage shownImage;
    std::optional<double> barPixelSize;
    QString barUnit;
    QString stampText;
    overlayStyle overlays;
};

#endif
