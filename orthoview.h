#ifndef ORTHOVIEW_H
#define ORTHOVIEW_H

#include "compositor.h"
#include "framesource.h"

#include <QWidget>

// A window of its own that shows, at the time point shown, the row (XZ) or
// the column (YZ) through a point across the focal planes of a range: XZ
// with x across and the planes downwards, YZ with the planes across and y
// downwards, the first plane at the top or the left.  The focal axis is drawn
// to scale when the sizes of pixels and planes are known.  A click moves to
// the plane and the point clicked.
class orthoview : public QWidget
{
    Q_OBJECT

public:
    orthoview(Qt::Orientation across, QWidget *parent = nullptr);

    // Reads one row or column of each plane of the range at t through point
    // (each read traced), or gives the reason it cannot.
    void read(framesource &source, const QSize &frame, int t, const QPoint &point, framesource::range planes);
    // Draws again from what was read, with the channels' windows and colours
    // as they are now.
    void redraw(framesource &source);
    void mark(const QPoint &point, int plane);
    // Shown pixels per frame pixel, and per focal plane.
    void setScale(double pixel, double plane);
    QSize sizeHint() const override;
    // The picture of the lines read, one pixel each sample.
    QImage image() const { return picture; }

signals:
    void clicked(const QPoint &point, int plane);
    void closed();

protected:
    void paintEvent(QPaintEvent *e) override;
    void mousePressEvent(QMouseEvent *e) override;
    void mouseMoveEvent(QMouseEvent *e) override;
    void closeEvent(QCloseEvent *e) override;

private:
    QSize imageSize() const;
    void clickAt(const QPoint &at);

    Qt::Orientation across;   // Horizontal: XZ; Vertical: YZ
    std::vector<planeData> lines;   // by channel: the planes' rows (XZ) or columns (YZ)
    QSize linesSize;          // x or y by the planes, as drawn
    framesource::range planes;
    QPoint point;
    int plane = 0;
    double pixelScale = 1;
    double planeScale = 1;
    QImage picture;
    QString problem;
    compositor colours;
};

#endif
