#include "zoomlevel.h"

#include <QWidget>

#include <algorithm>
#include <iterator>

namespace {

constexpr zoomlevel levels[] = { { 1, 16 }, { 1, 12 }, { 1, 8 }, { 1, 6 }, { 1, 4 }, { 1, 3 },
                                 { 1, 2 },  { 2, 3 },  { 1, 1 }, { 3, 2 }, { 2, 1 }, { 3, 1 },
                                 { 4, 1 },  { 6, 1 },  { 8, 1 }, { 12, 1 }, { 16, 1 } };

// Compares a level with the scale num / den without rounding.
int compare(const zoomlevel &level, qint64 num, qint64 den)
{
    const qint64 a = qint64(level.numerator()) * den, b = num * level.denominator();
    return a < b ? -1 : a > b ? 1 : 0;
}

} // namespace

// The first level larger than the scale num / den, if there is one.
std::optional<zoomlevel> zoomlevel::above(qint64 num, qint64 den)
{
    const auto next = std::find_if(std::begin(levels), std::end(levels),
                                   [&](const zoomlevel &l) { return compare(l, num, den) > 0; });
    return next == std::end(levels) ? std::nullopt : std::optional<zoomlevel>(*next);
}

// The last level smaller than the scale num / den, if there is one.
std::optional<zoomlevel> zoomlevel::below(qint64 num, qint64 den)
{
    const auto next = std::find_if(std::rbegin(levels), std::rend(levels),
                                   [&](const zoomlevel &l) { return compare(l, num, den) < 0; });
    return next == std::rend(levels) ? std::nullopt : std::optional<zoomlevel>(*next);
}

// A frame's size at this level, a part pixel counting as a whole one; never
// more than a widget can be, however large a header says the frame is.
QSize zoomlevel::scaled(const QSize &frame) const
{
    auto scale = [this](int v) { return int(std::min<qint64>((qint64(v) * num + den - 1) / den, QWIDGETSIZE_MAX)); };
    return QSize(scale(frame.width()), scale(frame.height()));
}
