#ifndef OVERLAY_H
#define OVERLAY_H

#include <QColor>
#include <QRectF>
#include <QString>

#include <optional>

class QPainter;

// What is drawn over a frame to show it to others: a scale bar of a round
// length in the file's unit, and the time point's elapsed time.
struct overlayStyle
{
    enum corner { topLeft, topRight, bottomLeft, bottomRight };
    corner barCorner = bottomRight;
    corner stampCorner = topLeft;
    QColor colour = Qt::white;
    double barFraction = 0.1;   // of the frame's width, about
    double textSize = 0.04;     // of the frame's height, at least 10 pixels
};

// The round length (1, 2 or 5 x 10^n) nearest below about, or about itself
// when it is not a positive number.
double roundLength(double about);
// A length and its unit as a label: "5 µm", "200 nm", "1.5 mm".
QString lengthText(double length, const QString &unit);
// Elapsed time in the best unit: "0.250 s", "12.5 s", "0:42", "3 h 05 min".
QString elapsedText(double seconds);

// Draws a scale bar over the frame drawn in area, at pixels (of area) per
// unit of length, in its corner: of a round length near the style's
// fraction of area's width, or of the length given.
void drawScaleBar(QPainter &painter, const QRectF &area, double pixelsPerUnit, const QString &unit, const overlayStyle &style);
void drawScaleBar(QPainter &painter, const QRectF &area, double pixelsPerUnit, double length, const QString &unit,
                  const overlayStyle &style);
// Draws the text of a time stamp in its corner.
void drawTimeStamp(QPainter &painter, const QRectF &area, const QString &text, const overlayStyle &style);
// Both over a frame frameWidth pixels wide, of pixelSize (none: no bar),
// drawn at scale area pixels a frame pixel: the bar keeps its length in
// the unit at every scale.
void drawOverlays(QPainter &painter, const QRectF &area, double scale, int frameWidth, std::optional<double> pixelSize,
                  const QString &unit, const QString &stamp, const overlayStyle &style);

#endif
