#ifndef ZOOMLEVEL_H
#define ZOOMLEVEL_H

#include <QSize>
#include <QtGlobal>

#include <optional>

// One of the image area's zoom levels, from 1/16 to 16, kept as an exact
// fraction so that frame pixels map to whole screen pixels wherever they can.
class zoomlevel
{
public:
    constexpr zoomlevel() = default;
    constexpr zoomlevel(int num, int den) : num(num), den(den) { }

    static std::optional<zoomlevel> above(qint64 num, qint64 den);
    static std::optional<zoomlevel> below(qint64 num, qint64 den);

    int numerator() const { return num; }
    int denominator() const { return den; }
    bool enlarges() const { return num > den; }
    bool reduces() const { return num < den; }
    QSize scaled(const QSize &frame) const;

    friend bool operator==(const zoomlevel &a, const zoomlevel &b) { return a.num == b.num && a.den == b.den; }
    friend bool operator!=(const zoomlevel &a, const zoomlevel &b) { return !(a == b); }

private:
    int num = 1;
    int den = 1;
};

#endif
