#ifndef HISTOGRAMVIEW_H
#define HISTOGRAMVIEW_H

#include <QColor>
#include <QPixmap>
#include <QWidget>

#include <cstdint>
#include <vector>

// A channel's histogram over the values its sliders span, its counts on a
// square-root or a logarithmic scale, with its window drawn on it: the ramp
// from black at the low value to the channel's colour at the high one.
class histogramview : public QWidget
{
    Q_OBJECT

public:
    explicit histogramview(QWidget *parent = nullptr);

    void setCounts(const std::vector<std::uint64_t> &counts, double first, double last);
    void setWindow(double low, double high, const QColor &colour);
    void setLogarithmic(bool on);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *e) override;

private:
    QRectF area() const;
    double xOf(double value) const;

    std::vector<std::uint64_t> bins;
    QPixmap bars;   // the bins drawn at the widget's size
    double first = 0;
    double last = 1;
    double low = 0;
    double high = 1;
    QColor colour = Qt::white;
    bool logarithmic = false;
};

#endif
