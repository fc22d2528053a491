#include "histogramview.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

histogramview::histogramview(QWidget *parent)
    : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void histogramview::setCounts(const std::vector<std::uint64_t> &counts, double from, double to)
{
    bins = counts;
    first = from;
    last = to > from ? to : from + 1;
    bars = QPixmap();
    update();
}

void histogramview::setWindow(double from, double to, const QColor &shown)
{
    low = from;
    high = to;
    colour = shown;
    update();
}

QSize histogramview::sizeHint() const
{
    return QSize(256, 64);
}

// Bars on a square-root scale, so that the few bright pixels that matter
// still show beside the many dark ones; drawn once for each plane, while the
// window over them changes.
void histogramview::paintEvent(QPaintEvent *)
{
    const QRectF area = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    if (bars.size() != size()) {
        bars = QPixmap(size());
        bars.fill(palette().base().color());
        QPainter painter(&bars);
        const double tallest = bins.empty() ? 0 : std::sqrt(double(*std::max_element(bins.begin(), bins.end())));
        const double barWidth = area.width() / double(std::max<size_t>(bins.size(), 1));
        for (size_t i = 0; i < bins.size() && tallest > 0; ++i) {
            const double h = area.height() * std::sqrt(double(bins[i])) / tallest;
            painter.fillRect(QRectF(area.left() + i * barWidth, area.bottom() - h, barWidth + 0.5, h), palette().text());
        }
    }
    QPainter painter(this);
    painter.drawPixmap(0, 0, bars);
    QPainterPath ramp;
    ramp.moveTo(0, area.bottom());
    ramp.lineTo(xOf(low), area.bottom());
    ramp.lineTo(xOf(high), area.top());
    ramp.lineTo(area.right(), area.top());
    // The colour over a dark outline, so that white and yellow show on any background.
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 4));
    painter.drawPath(ramp);
    painter.setPen(QPen(colour, 2));
    painter.drawPath(ramp);
    painter.setPen(palette().mid().color());
    painter.drawRect(area);
}

double histogramview::xOf(double value) const
{
    return std::clamp((value - first) / (last - first), -1.0, 2.0) * width();
}
