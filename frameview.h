#ifndef FRAMEVIEW_H
#define FRAMEVIEW_H

#include <QLabel>

// The image area: shows a frame, or the part of it decoded, at 100 % or
// scaled down to fit.  A frame larger than the area is dragged with the left
// button like a map; the offset stays from frame to frame.
class frameview : public QLabel
{
    Q_OBJECT

public:
    explicit frameview(QWidget *parent = nullptr);

    QRect wanted(const QSize &frame) const;
    void showFrame(QImage image, const QPoint &origin, const QSize &frame);
    void showFitted(QImage image, const QSize &frame);
    void resetOffset();
    void centreOn(const QPoint &framePoint);

    QPoint offset() const { return mOffset; }
    bool fitted() const { return mFitted; }
    bool pannable() const;
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
    QPoint clamped(const QPoint &offset, const QSize &frame) const;
    QPoint shownAt() const;
    void setPixmapShown(QImage image);
    void updateOpaque();
    void updateCursor();

    QSize frameSize;
    QPoint origin;
    QPoint mOffset;
    bool mFitted = false;
    bool dragging = false;
    bool regionAsked = false;
    QPoint dragStart;
    QPoint offsetAtStart;
};

#endif
