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

void histogramview::setLogarithmic(bool on)
{
    if (on == logarithmic)
        return;
    logarithmic = on;
    bars = QPixmap();
    update();
}

QSize histogramview::sizeHint() const
{
    return QSize(256, 64);
}

// Bars on a square-root or logarithmic scale, so that the few bright pixels
// that matter still show beside the many dark ones; drawn once for each
// plane, while the window over them changes.
void histogramview::paintEvent(QPaintEvent *)
{
    const QRectF inside = area();
    if (bars.size() != size()) {
        bars = QPixmap(size());
        bars.fill(palette().base().color());
        QPainter painter(&bars);
        const auto height = [this](std::uint64_t count) {
            return logarithmic ? std::log1p(double(count)) : std::sqrt(double(count));
        };
        const double tallest = bins.empty() ? 0 : height(*std::max_element(bins.begin(), bins.end()));
        const double barWidth = inside.width() / double(std::max<size_t>(bins.size(), 1));
        for (size_t i = 0; i < bins.size() && tallest > 0; ++i) {
            const double h = inside.height() * height(bins[i]) / tallest;
            painter.fillRect(QRectF(inside.left() + i * barWidth, inside.bottom() - h, barWidth + 0.5, h), palette().text());
        }
    }
    QPainter painter(this);
    painter.drawPixmap(0, 0, bars);
    QPainterPath ramp;
    ramp.moveTo(inside.left(), inside.bottom());
    ramp.lineTo(xOf(low), inside.bottom());
    ramp.lineTo(xOf(high), inside.top());
    ramp.lineTo(inside.right(), inside.top());
    // The colour over a dark outline, so that white and yellow show on any background.
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 4));
    painter.drawPath(ramp);
    painter.setPen(QPen(colour, 2));
    painter.drawPath(ramp);
    painter.setPen(palette().mid().color());
    painter.drawRect(inside);
}

QRectF histogramview::area() const
{
    return QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
}

// Where a value lies on the axis of the bars: bin i of n holds the values
// from first + i * (last - first) / n on.
double histogramview::xOf(double value) const
{
    const QRectF inside = area();
    return inside.left() + std::clamp((value - first) / (last - first), -1.0, 2.0) * inside.width();
}
