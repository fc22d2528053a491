#ifndef CRAFTJPEG_H
#define CRAFTJPEG_H

// Writes JPEG files made to cost a decoder time or memory, quickly and in
// little memory: a small frame behind many thousand markers among stray
// bytes, and progressive grey frames of a single scan of mid-grey blocks
// followed by any number of near-empty scans.

#include "blockjpeg.h"

#include <QBuffer>

#include <algorithm>

namespace craftjpeg {

using blockjpeg::bytes;
using blockjpeg::segment;

// A baseline frame of blockjpeg's pattern whose tables are followed by
// `count` APP1 segments of three bytes each, every one after one or two
// stray bytes, and then by the frame's scan.
inline void writeManyMarkers(QIODevice *out, int width, int height, int count)
{
    QBuffer frame;
    frame.open(QIODevice::WriteOnly);
    blockjpeg::write(&frame, width, height, blockjpeg::pattern);
    const QByteArray whole = frame.data();
    const qsizetype scan = whole.indexOf("\xff\xda");
    out->write(whole.left(scan));
    QByteArray markers;
    for (int i = 0; i < count; ++i) {
        markers += QByteArray(1 + i % 2, '?');
        markers += bytes({ 0xff, 0xe1, 0, 5, 'E', 'x', 'i' });
    }
    out->write(markers);
    out->write(whole.mid(scan));
}

// A progressive grey frame: a first DC scan that leaves every block
// mid-grey, then `acScans` first scans of all 63 AC coefficients, each
// nothing but end-of-band runs over the whole frame.  libjpeg takes a first
// AC scan again after one at full precision, so the file is well formed
// however many scans it holds.
inline void writeManyScans(QIODevice *out, int width, int height, int acScans)
{
    out->write("\xff\xd8", 2);
    segment(out, 0xdb, QByteArray(1, '\0') + QByteArray(64, '\1'));
    segment(out, 0xc2, bytes({ 8, height >> 8, height & 0xff, width >> 8, width & 0xff, 1, 1, 0x11, 0 }));
    // DC: only the difference category 0, coded 0.
    segment(out, 0xc4, bytes({ 0x00, 1 }) + QByteArray(15, '\0') + QByteArray(1, '\0'));
    // AC: the end-of-band runs EOB0..EOB14; EOB14 coded 0, EOBn coded 10000 + n.
    QByteArray ac = bytes({ 0x10, 1, 0, 0, 0, 14 }) + QByteArray(11, '\0') + char(0xe0);
    for (int n = 0; n < 14; ++n)
        ac += char(n << 4);
    segment(out, 0xc4, ac);

    const qint64 blocks = qint64((width + 7) / 8) * ((height + 7) / 8);
    segment(out, 0xda, bytes({ 1, 1, 0x00, 0, 0, 0x00 }));
    {
        blockjpeg::BitWriter bits(out);
        for (qint64 i = 0; i < blocks; ++i)
            bits.put(0, 1);
    }
    for (int scan = 0; scan < acScans; ++scan) {
        segment(out, 0xda, bytes({ 1, 1, 0x00, 1, 63, 0x00 }));
        blockjpeg::BitWriter bits(out);
        for (qint64 left = blocks; left > 0;) {
            const qint64 run = std::min<qint64>(left, (1 << 15) - 1);
            int n = 0;
            while ((run >> (n + 1)) != 0)
                ++n;
            if (n == 14)
                bits.put(0, 1);
            else
                bits.put(unsigned(0x10 + n), 5);
            bits.put(unsigned(run - (qint64(1) << n)), n);
            left -= run;
        }
    }
    out->write("\xff\xd9", 2);
}

} // namespace craftjpeg

#endif
