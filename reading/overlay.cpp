#include "overlay.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace {

// Where a box of size goes in a corner of area, a margin in from its edges.
QRectF inCorner(const QRectF &area, const QSizeF &size, overlayStyle::corner corner, double margin)
{
    const bool left = corner == overlayStyle::topLeft || corner == overlayStyle::bottomLeft;
    const bool top = corner == overlayStyle::topLeft || corner == overlayStyle::topRight;
    return QRectF(QPointF(left ? area.left() + margin : area.right() - margin - size.width(),
                          top ? area.top() + margin : area.bottom() - margin - size.height()),
                  size);
}

QFont overlayFont(const QRectF &area, const overlayStyle &style)
{
    QFont font;
    font.setPixelSize(std::max(10, int(std::lround(area.height() * style.textSize))));
    font.setBold(true);
    return font;
}

// Text in the colour, with a dark outline that keeps it legible on light parts.
void outlinedText(QPainter &painter, const QPointF &baseline, const QString &text, const QFont &font, const QColor &colour)
{
    QPainterPath path;
    path.addText(baseline, font, text);
    painter.setPen(QPen(QColor(0, 0, 0, 200), std::max(2.0, font.pixelSize() / 6.0), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path);
    painter.fillPath(path, colour);
}

} // namespace

double roundLength(double about)
{
    if (!(about > 0) || !std::isfinite(about))
        return about;
    const double decade = std::pow(10.0, std::floor(std::log10(about)));
    for (double step : { 5.0, 2.0, 1.0 }) {
        if (step * decade <= about * (1 + 1e-9))
            return step * decade;
    }
    return decade;
}

QString lengthText(double length, const QString &unit)
{
    return QStringLiteral("%1 %2").arg(QString::number(length, 'g', 6), unit).trimmed();
}

QString elapsedText(double seconds)
{
    if (!std::isfinite(seconds))
        return QString();
    const QString sign = seconds < 0 ? QStringLiteral("-") : QString();
    seconds = std::abs(seconds);
    if (seconds < 1)
        return sign + QStringLiteral("%1 s").arg(seconds, 0, 'f', 3);
    if (seconds < 30)
        return sign + QStringLiteral("%1 s").arg(seconds, 0, 'f', 1);
    const qint64 whole = qint64(std::llround(seconds));
    if (whole < 3600)
        return sign + QStringLiteral("%1:%2").arg(whole / 60).arg(whole % 60, 2, 10, QLatin1Char('0'));
    const qint64 minutes = whole / 60;
    return sign + QStringLiteral("%1 h %2 min").arg(minutes / 60).arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

void drawScaleBar(QPainter &painter, const QRectF &area, double pixelsPerUnit, const QString &unit, const overlayStyle &style)
{
    if (pixelsPerUnit > 0)
        drawScaleBar(painter, area, pixelsPerUnit, roundLength(area.width() * style.barFraction / pixelsPerUnit), unit, style);
}

void drawScaleBar(QPainter &painter, const QRectF &area, double pixelsPerUnit, double length, const QString &unit,
                  const overlayStyle &style)
{
    if (!(pixelsPerUnit > 0) || !(length > 0) || area.isEmpty())
        return;
    const double barWidth = length * pixelsPerUnit;
    if (!(barWidth >= 1))
        return;
    const QFont font = overlayFont(area, style);
    const QFontMetricsF metrics(font);
    const QString label = lengthText(length, unit);
    const double thickness = std::max(3.0, font.pixelSize() / 3.0);
    const double gap = font.pixelSize() / 4.0;
    const QSizeF box(std::max(barWidth, metrics.horizontalAdvance(label)), thickness + gap + metrics.height());
    const QRectF at = inCorner(area, box, style.barCorner, font.pixelSize() * 0.8);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bar(at.right() - barWidth, at.top(), barWidth, thickness);
    painter.setPen(QPen(QColor(0, 0, 0, 200), 1.5));
    painter.setBrush(style.colour);
    painter.drawRect(bar);
    const double textWidth = metrics.horizontalAdvance(label);
    outlinedText(painter, QPointF(bar.center().x() - textWidth / 2, bar.bottom() + gap + metrics.ascent()), label, font,
                 style.colour);
    painter.restore();
}

void drawOverlays(QPainter &painter, const QRectF &area, double scale, int frameWidth, std::optional<double> pixelSize,
                  const QString &unit, const QString &stamp, const overlayStyle &style)
{
    if (pixelSize && *pixelSize > 0)
        drawScaleBar(painter, area, scale / *pixelSize, roundLength(frameWidth * *pixelSize * style.barFraction), unit, style);
    drawTimeStamp(painter, area, stamp, style);
}

void drawTimeStamp(QPainter &painter, const QRectF &area, const QString &text, const overlayStyle &style)
{
    if (text.isEmpty() || area.isEmpty())
        return;
    const QFont font = overlayFont(area, style);
    const QFontMetricsF metrics(font);
    const QRectF at = inCorner(area, QSizeF(metrics.horizontalAdvance(text), metrics.height()), style.stampCorner,
                               font.pixelSize() * 0.8);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    outlinedText(painter, QPointF(at.left(), at.top() + metrics.ascent()), text, font, style.colour);
    painter.restore();
}
