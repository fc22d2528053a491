#ifndef BLOCKJPEG_H
#define BLOCKJPEG_H

// Writes baseline JPEG files of any size up to 65535 x 65535 in little time
// and memory: every 8 x 8 block is of one colour, given by a function of the
// block's column and row, and only its DC coefficient is coded.  The same
// block function gives the same pixels in a small file and in the top-left
// part of a huge one, which makes huge frames checkable against small ones.

#include <QByteArray>
#include <QIODevice>

#include <array>
#include <cstdlib>
#include <functional>
#include <initializer_list>

namespace blockjpeg {

struct Colour
{
    int y, cb, cr; // 0..255 each
};

class BitWriter
{
public:
    explicit BitWriter(QIODevice *device) : out(device) { }
    ~BitWriter() { flush(); }

    void put(unsigned code, int length)
    {
        for (int i = length - 1; i >= 0; --i) {
            byte = (byte << 1) | ((code >> i) & 1);
            if (++filled == 8) {
                append(byte);
                byte = 0;
                filled = 0;
            }
        }
    }
    // Pads the last byte with ones, as the format asks.
    void flush()
    {
        if (filled > 0)
            put(0xff, 8 - filled);
        out->write(buffer);
        buffer.clear();
    }

private:
    void append(unsigned value)
    {
        buffer.append(char(value));
        if (value == 0xff)
            buffer.append('\0');
        if (buffer.size() >= 1 << 16) {
            out->write(buffer);
            buffer.clear();
        }
    }
    QIODevice *out;
    QByteArray buffer;
    unsigned byte = 0;
    int filled = 0;
};

inline QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray result;
    for (int v : values)
        result += char(v);
    return result;
}

inline void segment(QIODevice *out, int marker, const QByteArray &body)
{
    const int length = int(body.size()) + 2;
    out->write(bytes({ 0xff, marker, length >> 8, length & 0xff }) + body);
}

// The DC table codes the 12 magnitude categories with the usual luminance code
// lengths; the AC table holds only the end-of-block symbol, as a 1-bit code.
inline void write(QIODevice *out, int width, int height, const std::function<Colour(int, int)> &block)
{
    static const std::array<int, 16> dcCounts { 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0 };
    std::array<unsigned, 12> dcCode {};
    std::array<int, 12> dcLength {};
    unsigned code = 0;
    for (int length = 1, symbol = 0; length <= 16; ++length, code <<= 1)
        for (int i = 0; i < dcCounts[size_t(length - 1)]; ++i, ++symbol, ++code) {
            dcCode[size_t(symbol)] = code;
            dcLength[size_t(symbol)] = length;
        }

    out->write("\xff\xd8", 2);
    segment(out, 0xdb, QByteArray(1, '\0') + QByteArray(64, '\1')); // every quantizer 1
    QByteArray frame = bytes({ 8, height >> 8, height & 0xff, width >> 8, width & 0xff, 3 });
    for (int id : { 1, 2, 3 })
        frame += bytes({ id, 0x11, 0 });
    segment(out, 0xc0, frame);
    QByteArray dc(1, char(0x00));
    for (int count : dcCounts)
        dc += char(count);
    for (char symbol = 0; symbol < 12; ++symbol)
        dc += symbol;
    segment(out, 0xc4, dc);
    segment(out, 0xc4, QByteArray("\x10\x01", 2) + QByteArray(15, '\0') + QByteArray(1, '\0'));
    segment(out, 0xda, QByteArray("\x03\x01\x00\x02\x00\x03\x00\x00\x3f\x00", 10));

    {
        BitWriter bits(out);
        std::array<int, 3> previous {};
        for (int by = 0; by < (height + 7) / 8; ++by)
            for (int bx = 0; bx < (width + 7) / 8; ++bx) {
                const Colour c = block(bx, by);
                const std::array<int, 3> levels { c.y, c.cb, c.cr };
                for (size_t k = 0; k < 3; ++k) {
                    const int dc = (levels[k] - 128) * 8;
                    const int diff = dc - previous[k];
                    previous[k] = dc;
                    int category = 0;
                    while ((std::abs(diff) >> category) != 0)
                        ++category;
                    bits.put(dcCode[size_t(category)], dcLength[size_t(category)]);
                    if (category > 0)
                        bits.put(unsigned(diff > 0 ? diff : diff + (1 << category) - 1), category);
                    bits.put(0, 1); // end of block
                }
            }
    }
    out->write("\xff\xd9", 2);
}

// A pattern of blocks in the top-left 512 x 512 pixels, one colour beyond.
inline Colour pattern(int bx, int by)
{
    if (bx >= 64 || by >= 64)
        return { 90, 140, 110 };
    const unsigned h = (unsigned(bx) * 73856093u) ^ (unsigned(by) * 19349663u);
    return { int(h % 256), 64 + int((h >> 8) % 128), 64 + int((h >> 16) % 128) };
}

} // namespace blockjpeg

#endif
