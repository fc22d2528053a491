#include "planeprovider.h"

stackplanes::stackplanes(stack &input, const QByteArray &tracePath)
    : in(input), tracePath(tracePath)
{
}

bool stackplanes::present(int t, int z) const
{
    for (int c = 0; c < channels(); ++c) {
        if (in.present(swapped ? z : t, swapped ? t : z, c))
            return true;
    }
    return false;
}

bool stackplanes::read(int t, int z, int level, const QRect &region, std::vector<planeData> &planes)
{
    const int time = swapped ? z : t;
    const int plane = swapped ? t : z;
    const size_t bytes = size_t(region.width()) * size_t(region.height()) * size_t(in.bits / 8);
    bool any = false;
    mMissed.clear();
    if (!in.readChannels(time, plane, level, region, planes)) {
        mError = in.error();
        mMissed = in.missed();
        if (mMissed.empty())
            return false;
    }
    for (size_t c = 0; c < planes.size(); ++c) {
        const planeData &out = planes[c];
        if (out.bytes.empty() && !in.present(time, plane, int(c)))
            continue;
        if (out.bits != in.bits || out.format != in.format || out.bytes.size() != bytes) {
            mError = QStringLiteral("%1: the plane at time point %2, focal plane %3, channel %4 differs from the first")
                             .arg(QString::fromLocal8Bit(tracePath)).arg(time).arg(plane).arg(c);
            return false;
        }
        any = true;
    }
    if (!mMissed.empty())
        return false;
    if (!any) {
        // The stack says why: the file of a series that is missing.
        planeData none;
        in.read(time, plane, 0, none);
        mError = in.error();
        return false;
    }
    return true;
}

bool stackplanes::cheapBands(int t, int z)
{
    const int time = swapped ? z : t;
    const int plane = swapped ? t : z;
    if (in.levels.size() > 1)
        return false;
    for (int c = 0; c < channels(); ++c) {
        if (in.present(time, plane, c) && !in.cheapRegions(time, plane, c))
            return false;
    }
    return true;
}

QByteArray stackplanes::traceLine(int t, int z) const
{
    return tracePath + ": t " + QByteArray::number(t) + ", z " + QByteArray::number(z);
}
