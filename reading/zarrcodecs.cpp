#include "zarrcodecs.h"

#include <QtEndian>

#include <blosc.h>
#include <zlib.h>
#include <zstd.h>

#include <array>
#include <cstring>

namespace {

bool inflated(const char *stored, qint64 size, std::vector<unsigned char> &out, bool gzip)
{
    z_stream stream = {};
    if (inflateInit2(&stream, gzip ? 16 + MAX_WBITS : MAX_WBITS) != Z_OK)
        return false;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(stored));
    stream.avail_in = uInt(size);
    stream.next_out = out.data();
    stream.avail_out = uInt(out.size());
    const int result = inflate(&stream, Z_FINISH);
    const bool whole = result == Z_STREAM_END && stream.total_out == out.size();
    inflateEnd(&stream);
    return whole;
}

QString decompressed(const QString &compressor, const char *stored, qint64 size, std::vector<unsigned char> &out)
{
    if (compressor.isEmpty()) {
        if (size_t(size) != out.size())
            return QStringLiteral("%1 bytes where the chunk holds %2").arg(size).arg(out.size());
        std::memcpy(out.data(), stored, out.size());
        return QString();
    }
    if (compressor == QLatin1String("blosc")) {
        size_t bytes = 0;
        if (blosc_cbuffer_validate(stored, size_t(size), &bytes) != 0 || bytes != out.size()
            || blosc_decompress_ctx(stored, out.data(), out.size(), 1) != int(out.size()))
            return QStringLiteral("not a blosc chunk of %1 bytes").arg(out.size());
        return QString();
    }
    if (compressor == QLatin1String("zstd")) {
        const size_t bytes = ZSTD_decompress(out.data(), out.size(), stored, size_t(size));
        return ZSTD_isError(bytes) || bytes != out.size() ? QStringLiteral("not a zstd chunk of %1 bytes").arg(out.size())
                                                          : QString();
    }
    if (!inflated(stored, size, out, compressor == QLatin1String("gzip")))
        return QStringLiteral("not a %1 chunk of %2 bytes").arg(compressor).arg(out.size());
    return QString();
}

// Whether the last four bytes are the CRC-32C of those before them.
bool checked(const char *data, qint64 size)
{
    return size >= 4 && qFromLittleEndian<quint32>(data + size - 4) == crc32c(data, size_t(size - 4));
}

} // namespace

quint32 crc32c(const char *data, size_t size)
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> t {};
        for (quint32 i = 0; i < 256; ++i) {
            quint32 c = i;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0x82F63B78u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    quint32 crc = ~0u;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ uchar(data[i])) & 255] ^ (crc >> 8);
    return ~crc;
}

QString decodeChunk(const zarrArray &array, const char *stored, qint64 size, std::vector<unsigned char> &out,
                    std::vector<unsigned char> &scratch)
{
    if (array.checksum) {
        if (!checked(stored, size))
            return QStringLiteral("the chunk's CRC-32C checksum is wrong");
        size -= 4;
    }
    if (array.order.empty())
        return decompressed(array.compressor, stored, size, out);
    scratch.resize(out.size());
    const QString why = decompressed(array.compressor, stored, size, scratch);
    if (!why.isEmpty())
        return why;
    // The stored chunk's dimension k is the chunk's order[k]: walk it in C
    // order, each sample to where the chunk's strides put it.
    const size_t dimensions = array.chunks.size();
    std::vector<qint64> stride(dimensions, 1), extent(dimensions), at(dimensions, 0), step(dimensions);
    for (size_t d = dimensions - 1; d > 0; --d)
        stride[d - 1] = stride[d] * array.chunks[d];
    for (size_t k = 0; k < dimensions; ++k) {
        extent[k] = array.chunks[size_t(array.order[k])];
        step[k] = stride[size_t(array.order[k])] * array.itemBytes;
    }
    const size_t item = size_t(array.itemBytes);
    qint64 to = 0;
    for (size_t from = 0; from < scratch.size(); from += item) {
        std::memcpy(out.data() + to, scratch.data() + from, item);
        for (size_t k = dimensions; k-- > 0;) {
            to += step[k];
            if (++at[k] < extent[k])
                break;
            to -= step[k] * extent[k];
            at[k] = 0;
        }
    }
    return QString();
}

QString parseShardIndex(const zarrArray &array, const QByteArray &index, qint64 shardSize, std::vector<quint64> *entries)
{
    const qint64 bytes = array.shardIndexBytes();
    if (index.size() != bytes)
        return QStringLiteral("a shard index of %1 bytes where %2 are due").arg(index.size()).arg(bytes);
    if (array.indexChecksum && !checked(index.constData(), bytes))
        return QStringLiteral("the shard index's CRC-32C checksum is wrong");
    const qint64 count = 2 * array.chunksPerShard();
    entries->resize(size_t(count));
    for (qint64 i = 0; i < count; ++i) {
        const char *at = index.constData() + 8 * i;
        (*entries)[size_t(i)] = array.indexBigEndian ? qFromBigEndian<quint64>(at) : qFromLittleEndian<quint64>(at);
    }
    // The chunks lie after the index at the start, or before the index at the end.
    const quint64 first = array.indexAtStart ? quint64(bytes) : 0;
    const quint64 end = shardSize < 0 ? ~quint64(0) : quint64(shardSize) - (array.indexAtStart ? 0 : quint64(bytes));
    const quint64 largest = quint64(array.chunkBytes()) + quint64(array.chunkBytes()) / 8 + 65536;
    for (qint64 i = 0; i < count; i += 2) {
        const quint64 offset = (*entries)[size_t(i)], length = (*entries)[size_t(i) + 1];
        if (offset == absentChunk && length == absentChunk)
            continue;
        if (offset < first || length > largest || offset > end || length > end - offset)
            return QStringLiteral("the shard index puts chunk %1 at bytes %2 to %3, outside the shard's %4")
                    .arg(i / 2).arg(offset).arg(offset + length).arg(shardSize < 0 ? QStringLiteral("chunks") : QString::number(shardSize));
    }
    return QString();
}
