#ifndef ZARRCODECS_H
#define ZARRCODECS_H

#include "zarrmetadata.h"

#include <QByteArray>
#include <QString>

#include <vector>

// CRC-32C (Castagnoli) of the bytes, as Zarr v3's crc32c codec writes it.
quint32 crc32c(const char *data, size_t size);

// Decodes a chunk as stored into out, which has the chunk's size: its
// checksum checked, decompressed, and back in C order when transposed; its
// samples stay in the byte order stored.  Returns the reason when it cannot.
QString decodeChunk(const zarrArray &array, const char *stored, qint64 size, std::vector<unsigned char> &out,
                    std::vector<unsigned char> &scratch);

// Where a shard's chunks lie: an offset and a length for each, in C order of
// the chunks in the shard, both 2^64 - 1 for a chunk that is absent.  index
// is the shard's index as stored, shardSize the shard's bytes (-1 when not
// known).  Returns the reason when the index is unusable.
QString parseShardIndex(const zarrArray &array, const QByteArray &index, qint64 shardSize, std::vector<quint64> *entries);
constexpr quint64 absentChunk = ~quint64(0);

#endif
