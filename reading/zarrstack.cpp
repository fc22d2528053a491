#include "zarrstack.h"

#include "formats.h"
#include "metadata.h"
#include "zarrcodecs.h"
#include "pagelayout.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>

#include <cmath>
#include <algorithm>
#include <cstring>
#include <limits>

namespace {

// .zattrs and .zarray are small; OME-XML beside the bioformats2raw layout less so.
constexpr qint64 maxAttributes = 16 * 1024 * 1024;
// The series of the bioformats2raw layout probed without a list of them.
constexpr int maxSeries = 10000;
// Chunks one read may take: tiny chunks over a large region would take hours.
constexpr qint64 maxChunksRead = 100000;
// Chunks of a shard read with one request when no more than this lies between them.
constexpr quint64 rangeGap = 64 * 1024;
constexpr quint64 maxRange = 16 * 1024 * 1024;
// Shard indexes of the frames a step away asked for with a frame's chunks: so many, of at most so many bytes.
constexpr size_t maxShardsAhead = 64;
constexpr qint64 maxIndexAhead = 64 * 1024;

enum { T, C, Z, Y, X };

// The samples of the planes read: 64-bit floats are given as 32-bit ones.
int planeBytes(const zarrArray &array)
{
    return std::min(array.itemBytes, 4);
}

// Copies count samples, in the machine's byte order and 64-bit floats as 32-bit ones.
void copySamples(const zarrArray &array, const unsigned char *from, qint64 count, unsigned char *to)
{
    if (array.itemBytes == 8) {
        for (qint64 i = 0; i < count; ++i) {
            const double v = array.bigEndian ? qFromBigEndian<double>(from + 8 * i) : qFromLittleEndian<double>(from + 8 * i);
            const float f = float(v);
            std::memcpy(to + 4 * i, &f, 4);
        }
        return;
    }
    std::memcpy(to, from, size_t(count) * size_t(array.itemBytes));
    if (!array.bigEndian || array.itemBytes == 1)
        return;
    if (array.itemBytes == 2)
        qFromBigEndian<quint16>(to, count, to);
    else
        qFromBigEndian<quint32>(to, count, to);
}

// The fill value as one sample of a plane.
std::vector<unsigned char> fillSample(const zarrArray &array)
{
    std::vector<unsigned char> sample(size_t(planeBytes(array)));
    if (array.format == sampleFormat::floatingPoint) {
        const float f = float(array.fill);
        std::memcpy(sample.data(), &f, 4);
        return sample;
    }
    const double low = array.format == sampleFormat::signedInt ? -std::ldexp(1, 8 * array.itemBytes - 1) : 0;
    const double high = std::ldexp(1, 8 * array.itemBytes - (array.format == sampleFormat::signedInt ? 1 : 0)) - 1;
    const qint64 v = qint64(std::isfinite(array.fill) ? std::clamp(array.fill, low, high) : 0);
    std::memcpy(sample.data(), &v, sample.size());   // the low bytes, on a little-endian machine
    if (QSysInfo::ByteOrder == QSysInfo::BigEndian)
        std::memcpy(sample.data(), reinterpret_cast<const unsigned char *>(&v) + 8 - sample.size(), sample.size());
    return sample;
}

void fillSamples(const std::vector<unsigned char> &fill, unsigned char *to, int count)
{
    if (std::all_of(fill.begin(), fill.end(), [&](unsigned char b) { return b == fill.front(); })) {
        std::memset(to, fill.front(), size_t(count) * fill.size());
        return;
    }
    for (int i = 0; i < count; ++i, to += fill.size())
        std::memcpy(to, fill.data(), fill.size());
}

QString joined(const QString &path, const QString &key)
{
    return path.isEmpty() ? key : path + u'/' + key;
}

QString counted(int count, const QString &what)
{
    return QStringLiteral("%1 %2%3").arg(count).arg(what, count == 1 ? QString() : QStringLiteral("s"));
}

// "it holds 12 TIFF files and 2 folders", files counted by the formats their names make them.
QString folderContents(const QDir &folder)
{
    const QFileInfoList entries = folder.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    if (entries.isEmpty())
        return QStringLiteral("it is empty");
    std::vector<int> files(formats().size() + 1);
    int folders = 0;
    for (const QFileInfo &entry : entries) {
        if (entry.isDir()) {
            ++folders;
            continue;
        }
        size_t kind = 0;
        while (kind < formats().size() && !formats()[kind].suffixes.contains(entry.suffix().toLower()))
            ++kind;
        ++files[kind];
    }
    QStringList parts;
    for (size_t kind = 0; kind < formats().size(); ++kind)
        if (files[kind] > 0)
            parts << counted(files[kind], QStringLiteral("%1 file").arg(QLatin1String(formats()[kind].name)));
    if (folders > 0)
        parts << counted(folders, QStringLiteral("folder"));
    if (files.back() > 0)
        parts << counted(files.back(), parts.isEmpty() ? QStringLiteral("file") : QStringLiteral("other file"));
    const QString last = parts.takeLast();
    return QStringLiteral("it holds ") + (parts.isEmpty() ? last : parts.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last);
}

} // namespace

zarrStack::zarrStack(std::unique_ptr<zarrstore> store) : store(std::move(store)) { }

// A URL, or a folder of an OME-Zarr hierarchy.
bool zarrStack::isZarr(const QString &where)
{
    if (zarrstore::isUrl(where))
        return true;
    const QDir folder(where);
    return QFileInfo(where).isDir()
            && (folder.exists(QStringLiteral(".zattrs")) || folder.exists(QStringLiteral(".zgroup"))
                || folder.exists(QStringLiteral("zarr.json")) || folder.exists(QStringLiteral(".zarray")));
}

std::unique_ptr<stack> zarrStack::open(const QString &where, const stackOptions &options, QString *error)
{
    std::unique_ptr<zarrStack> s(new zarrStack(zarrstore::open(where, options.timeout)));
    s->maxBytes = options.maxPlaneBytes;
    QString path;
    if (!s->findImages(options, &path) || !s->openImage(path)) {
        *error = s->mError;
        return nullptr;
    }
    return s;
}

bool zarrStack::present(int t, int z, int c) const
{
    return t >= 0 && t < times && z >= 0 && z < planes && c >= 0 && c < int(channels.size());
}

bool zarrStack::read(int t, int z, int c, planeData &out)
{
    return readRegion(t, z, c, 0, QRect(0, 0, width, height), out);
}

bool zarrStack::readRegion(int t, int z, int c, int level, const QRect &region, planeData &out)
{
    return readPlanes(t, z, { c }, level, region, { &out });
}

bool zarrStack::readChannels(int t, int z, int level, const QRect &region, std::vector<planeData> &planes)
{
    planes.resize(channels.size());
    std::vector<int> shown;
    std::vector<planeData *> outs;
    for (int c = 0; c < int(channels.size()); ++c) {
        if (present(t, z, c)) {
            shown.push_back(c);
            outs.push_back(&planes[size_t(c)]);
        } else {
            planes[size_t(c)].bytes = std::vector<unsigned char>();
        }
    }
    return readPlanes(t, z, shown, level, region, outs);
}

// The chunks the region of each channel's plane lies in, all asked for at
// once and each read once; a chunk that is missing holds the array's fill
// value, written only there.  Chunks that do not come fail the read, and
// the others are still placed.
bool zarrStack::readPlanes(int t, int z, const std::vector<int> &cs, int level, const QRect &region, const std::vector<planeData *> &outs)
{
    mMissed.clear();
    for (const int c : cs)
        if (!present(t, z, c) || level < 0 || size_t(level) >= arrays.size()
            || !QRect(QPoint(), levels[size_t(level)]).contains(region) || region.isEmpty())
            return fail(QStringLiteral("no plane at time point %1, focal plane %2, channel %3, level %4").arg(t).arg(z).arg(c).arg(level));
    if (cs.empty())
        return fail(QStringLiteral("no channel at time point %1, focal plane %2").arg(t).arg(z));
    const zarrArray &array = arrays[size_t(level)];
    const zarrArray &finest = arrays.front();
    // The index of each axis in this level's array: levels may have fewer focal planes.
    const auto position = [&](int time, int c, int plane) {
        std::vector<qint64> at(array.shape.size(), 0);
        const int index[5] = { time, c, plane, 0, 0 };
        for (int a = T; a <= Z; ++a) {
            if (axis[a] >= 0) {
                const size_t d = size_t(axis[a]);
                at[d] = std::min(array.shape[d] - 1, qint64(index[a]) * array.shape[d] / finest.shape[d]);
            }
        }
        return at;
    };
    std::vector<std::vector<qint64>> at;
    for (const int c : cs)
        at.push_back(position(t, c, z));
    const int bytes = planeBytes(array);
    if (qint64(region.width()) * region.height() * bytes > maxBytes)
        return fail(QStringLiteral("a region of %1 x %2 pixels is larger than %3 MiB").arg(region.width()).arg(region.height()).arg(maxBytes >> 20));
    for (planeData *out : outs) {
        out->bits = bits;
        out->format = format;
        out->bytes.resize(size_t(region.width()) * size_t(region.height()) * size_t(bytes));
    }
    const std::vector<unsigned char> fill = fillSample(array);

    const size_t dy = size_t(axis[Y]), dx = size_t(axis[X]);
    const qint64 chunkW = array.chunks[dx], chunkH = array.chunks[dy];
    const qint64 chunkCount = (region.bottom() / chunkH - region.top() / chunkH + 1) * (region.right() / chunkW - region.left() / chunkW + 1);
    if (chunkCount > maxChunksRead)
        return fail(QStringLiteral("a region of %1 x %2 pixels spans %3 chunks; at most %4 are read at once")
                            .arg(region.width()).arg(region.height()).arg(chunkCount).arg(maxChunksRead));
    // Strides of the chunk's dimensions, in samples.
    std::vector<qint64> stride(array.shape.size(), 1);
    for (size_t d = array.shape.size() - 1; d > 0; --d)
        stride[d - 1] = stride[d] * array.chunks[d];
    // Where each plane starts in its chunks.
    std::vector<qint64> base(cs.size(), 0);
    for (size_t i = 0; i < cs.size(); ++i)
        for (size_t d = 0; d < array.shape.size(); ++d)
            if (d != dy && d != dx)
                base[i] += (at[i][d] % array.chunks[d]) * stride[d];

    const auto rectOf = [&](const piece &p) { return QRect(int(p.cx * chunkW), int(p.cy * chunkH), int(chunkW), int(chunkH)) & region; };
    const auto place = [&](const piece &p, bool found) {
        const QRect inChunk = rectOf(p);
        for (int y = inChunk.top(); y <= inChunk.bottom(); ++y) {
            unsigned char *to = outs[p.plane]->bytes.data()
                    + (size_t(y - region.top()) * size_t(region.width()) + size_t(inChunk.left() - region.left())) * size_t(bytes);
            if (!found) {
                fillSamples(fill, to, inChunk.width());
                continue;
            }
            const qint64 from = base[p.plane] + (y - p.cy * chunkH) * stride[dy] + (inChunk.left() - p.cx * chunkW) * stride[dx];
            // x is the last dimension, so a row of the chunk is a run of samples.
            copySamples(array, chunk.data() + from * array.itemBytes, inChunk.width(), to);
        }
    };

    QString firstLoss;
    const auto lose = [&](const piece &p, const QString &why) {
        if (mMissed.empty())
            firstLoss = why;
        mMissed.push_back(rectOf(p));
        place(p, false);
    };
    const auto outcome = [&](bool finished) { return !finished ? false : mMissed.empty() || fail(firstLoss); };

    // The key of the chunk (cy, cx) of a plane, and the chunk's place in its shard.
    const bool sharded = !array.shard.empty();
    const auto keyOf = [&](const std::vector<qint64> &where, qint64 cy, qint64 cx, qint64 *inShard) {
        QStringList key;
        *inShard = sharded ? 0 : -1;
        for (size_t d = 0; d < array.shape.size(); ++d) {
            const qint64 i = d == dy ? cy : d == dx ? cx : where[d] / array.chunks[d];
            const qint64 across = sharded ? array.shard[d] / array.chunks[d] : 1;
            key << QString::number(i / across);
            if (sharded)
                *inShard = *inShard * across + i % across;
        }
        return joined(levelPaths[size_t(level)], array.keyPrefix + key.join(array.separator));
    };
    // The chunks gathered by the key that holds them: a shard holds
    // several, and a chunk may hold several channels' planes.
    std::vector<std::pair<QString, std::vector<piece>>> keys;
    std::map<QString, size_t> keyAt;
    for (size_t plane = 0; plane < cs.size(); ++plane) {
        for (qint64 cy = region.top() / chunkH; cy <= region.bottom() / chunkH; ++cy) {
            for (qint64 cx = region.left() / chunkW; cx <= region.right() / chunkW; ++cx) {
                qint64 inShard = 0;
                const QString name = keyOf(at[plane], cy, cx, &inShard);
                const auto added = keyAt.emplace(name, keys.size());
                if (added.second)
                    keys.push_back({ name, {} });
                keys[added.first->second].second.push_back({ cy, cx, inShard, plane });
            }
        }
    }
    // The shards of the frames a step away, whose indexes come with this
    // frame's chunks, so that a step to one of them waits for one round trip.
    std::set<QString> ahead;
    const int steps[4][2] = { { 0, 1 }, { 0, -1 }, { 1, 0 }, { -1, 0 } };
    for (const auto &step : steps) {
        if (!sharded || array.shardIndexBytes() > maxIndexAhead || t + step[0] < 0 || t + step[0] >= times || z + step[1] < 0 || z + step[1] >= planes)
            continue;
        for (const int c : cs) {
            const std::vector<qint64> next = position(t + step[0], c, z + step[1]);
            for (qint64 cy = region.top() / chunkH; cy <= region.bottom() / chunkH && ahead.size() < maxShardsAhead; ++cy) {
                for (qint64 cx = region.left() / chunkW; cx <= region.right() / chunkW && ahead.size() < maxShardsAhead; ++cx) {
                    qint64 inShard = 0;
                    const QString name = keyOf(next, cy, cx, &inShard);
                    if (keyAt.count(name) == 0 && shardIndexes.count(name) == 0)
                        ahead.insert(name);
                }
            }
        }
    }
    if (sharded) {
        return outcome(readShards(array, keys, ahead, [&](const QString &key, const piece &p, const char *stored, qint64 size) {
            if (stored) {
                chunk.resize(size_t(array.chunkBytes()));
                const QString why = decodeChunk(array, stored, size, chunk, scratch);
                if (!why.isEmpty()) {
                    lose(p, QStringLiteral("%1/%2: chunk %3 of the shard: %4").arg(store->location(), key).arg(p.inShard).arg(why));
                    return true;
                }
            }
            place(p, stored != nullptr);
            return true;
        }, lose));
    }
    // All the chunks at once, each decoded as it comes.
    const qint64 chunkBytes = array.chunkBytes();
    std::vector<zarrstore::request> requests(keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
        requests[i].key = keys[i].first;
        // Stored chunks may be a little larger than their samples, never much.
        requests[i].limit = chunkBytes + chunkBytes / 8 + 65536;
    }
    return outcome(store->getMany(requests, [&](size_t i, zarrstore::reply &r) {
        QString why = r.got == zarrstore::result::failed ? r.error : QString();
        if (r.got == zarrstore::result::found) {
            chunk.resize(size_t(chunkBytes));
            why = decodeChunk(array, r.value.constData(), r.value.size(), chunk, scratch);
            if (!why.isEmpty())
                why = QStringLiteral("%1/%2: %3").arg(store->location(), keys[i].first, why);
        }
        for (const piece &p : keys[i].second) {
            if (why.isEmpty())
                place(p, r.got == zarrstore::result::found);
            else
                lose(p, why);
        }
        return true;
    }));
}

// The image to read: the hierarchy's own, a plate's field or a series of
// the bioformats2raw layout, as options.image picks it.
bool zarrStack::findImages(const stackOptions &options, QString *imagePath)
{
    QByteArray attributes, json;
    QString error;
    // Zarr v2's attributes and v3's node together, one round trip over a
    // network.  A bucket that may not be listed refuses a key it lacks (S3's
    // 403) rather than saying it is missing: the other may still be there.
    const std::vector<zarrstore::reply> first
            = store->getAll({ { QStringLiteral(".zattrs"), 0, -1, maxAttributes }, { QStringLiteral("zarr.json"), 0, -1, maxAttributes } });
    zarrstore::result got = first[0].got;
    attributes = first[0].value;
    error = first[0].error;
    if (got != zarrstore::result::found) {
        if (first[1].got == zarrstore::result::found || got == zarrstore::result::missing) {
            got = first[1].got;
            json = first[1].value;
            error = first[1].error;
        }
        if (got == zarrstore::result::found) {
            zarrFormat = 3;
            const QString node = zarrJsonNode(json, &attributes, &error);
            if (node.isEmpty())
                return fail(error);
            plainArray = node == QLatin1String("array");
        } else if (got == zarrstore::result::missing) {
            got = store->get(QStringLiteral(".zarray"), maxAttributes, &json, &error);
            if (got == zarrstore::result::missing)
                return fail(nothingThere());
            plainArray = true;
        }
    }
    if (got == zarrstore::result::failed)
        return fail(error);
    const QJsonObject ome = QJsonDocument::fromJson(attributes).object();
    if (!plainArray && zarrFormat == 2 && !ome.contains(QLatin1String("multiscales")) && !ome.contains(QLatin1String("plate"))
        && !ome.contains(QLatin1String("well")) && !isBioformats2raw(attributes)) {
        // Attributes of a plain array rather than an image.
        got = store->get(QStringLiteral(".zarray"), maxAttributes, &json, &error);
        if (got == zarrstore::result::failed)
            return fail(error);
        plainArray = got == zarrstore::result::found;
    }
    if (plainArray) {
        description = zarrFormat == 3 ? QStringLiteral("Zarr v3 array") : QStringLiteral("Zarr array");
        return true;
    }
    rootAttributes = attributes;
    const QString version = zarrFormat == 3 ? QStringLiteral("OME-Zarr 0.5") : QStringLiteral("OME-Zarr");
    std::vector<zarrChild> children;
    QString kind;
    if (ome.contains(QLatin1String("plate"))) {
        kind = QStringLiteral("plate");
        for (const zarrChild &well : parsePlateWells(attributes)) {
            QByteArray wellAttributes;
            if (getAttributes(well.path, &wellAttributes, &error) == zarrstore::result::failed)
                return fail(error);
            for (const zarrChild &field : parseWellImages(wellAttributes, well.path))
                children.push_back(field);
        }
        if (children.empty())
            return fail(QStringLiteral("a plate without a field"));
    } else if (ome.contains(QLatin1String("well"))) {
        // A plate's well given by its own address.
        kind = QStringLiteral("well");
        children = parseWellImages(attributes, QString());
        if (children.empty())
            return fail(QStringLiteral("a well without a field"));
    } else if (isBioformats2raw(attributes)) {
        kind = QStringLiteral("bioformats2raw layout");
        QByteArray xml;
        std::vector<omeImage> ome;
        bool isOme = false;
        if (store->get(QStringLiteral("OME/METADATA.ome.xml"), maxAttributes, &xml, &error) == zarrstore::result::found)
            parseOme(xml, &ome, &isOme, &error);
        for (int i = 0; i < maxSeries; ++i) {
            QByteArray seriesAttributes;
            const QString path = QString::number(i);
            const zarrstore::result series = getAttributes(path, &seriesAttributes, &error);
            if (series == zarrstore::result::failed)
                return fail(error);
            if (series == zarrstore::result::missing)
                break;
            const QString name = size_t(i) < ome.size() && !ome[size_t(i)].name.isEmpty() ? ome[size_t(i)].name : QString();
            children.push_back({ path, name });
        }
        if (children.empty())
            return fail(QStringLiteral("the bioformats2raw layout holds no series"));
    }
    if (children.empty()) {
        description = version;
        return true;
    }
    if (options.image >= int(children.size()))
        return fail(QStringLiteral("--image %1: the %2 holds %3 images, numbered from 0").arg(options.image).arg(kind).arg(children.size()));
    image = std::max(options.image, 0);
    if (children.size() > 1 && options.image < 0)
        warnings << QStringLiteral("the %1 holds %2 images; image 0 is read (--image N picks another)").arg(kind).arg(children.size());
    for (const zarrChild &child : children)
        images.push_back({ child.name, 0, 0, 0, 0, 0, QString() });
    description = QStringLiteral("%1 %2").arg(version, kind);
    *imagePath = children[size_t(image)].path;
    return true;
}

// Why there is no image at all: a server's 404, or what the folder holds instead.
QString zarrStack::nothingThere() const
{
    if (zarrstore::isUrl(store->location()))
        return QStringLiteral("the server has no OME-Zarr image there (404)");
    const QDir folder(store->location());
    if (folder.exists(QStringLiteral(".zgroup")))
        return QStringLiteral("a Zarr group without OME-Zarr metadata (no .zattrs); %1").arg(folderContents(folder));
    return QStringLiteral("holds no OME-Zarr image (no .zattrs, .zgroup or zarr.json); %1").arg(folderContents(folder));
}

// A group's OME metadata: its .zattrs, or what its zarr.json holds under attributes.ome.
zarrstore::result zarrStack::getAttributes(const QString &group, QByteArray *attributes, QString *error)
{
    if (zarrFormat == 2)
        return store->get(joined(group, QStringLiteral(".zattrs")), maxAttributes, attributes, error);
    QByteArray json;
    const QString key = joined(group, QStringLiteral("zarr.json"));
    const zarrstore::result got = store->get(key, maxAttributes, &json, error);
    if (got == zarrstore::result::found && zarrJsonNode(json, attributes, error).isEmpty()) {
        *error = QStringLiteral("%1/%2: %3").arg(store->location(), key, *error);
        return zarrstore::result::failed;
    }
    return got;
}

bool zarrStack::openImage(const QString &path)
{
    zarrImage meta;
    QString error;
    QByteArray json;
    if (plainArray) {
        meta.levels << QString();
    } else {
        json = path.isEmpty() ? rootAttributes : QByteArray();   // the root's, read once
        const QString what = zarrFormat == 3 ? QStringLiteral("zarr.json") : QStringLiteral(".zattrs");
        if (json.isEmpty() && getAttributes(path, &json, &error) != zarrstore::result::found)
            return fail(error.isEmpty() ? QStringLiteral("%1: no %2: not an OME-Zarr image").arg(joined(path, QString()), what) : error);
        if (!parseImageAttributes(json, &meta, &error))
            return fail(error);
    }
    const QByteArray attributes = json;   // the image's own, before the arrays' are read over it
    const QString arrayKey = zarrFormat == 3 ? QStringLiteral("zarr.json") : QStringLiteral(".zarray");
    // Every level's array metadata at once: over a network, one round trip.
    std::vector<zarrstore::request> requests;
    for (const QString &level : meta.levels)
        requests.push_back({ joined(joined(path, level), arrayKey), 0, -1, maxAttributes });
    const std::vector<zarrstore::reply> replies = store->getAll(requests);
    for (qsizetype level = 0; level < meta.levels.size(); ++level) {
        const QString levelPath = joined(path, meta.levels[level]);
        const QString &key = requests[size_t(level)].key;
        const zarrstore::reply &r = replies[size_t(level)];
        if (r.got != zarrstore::result::found)
            return fail(r.error.isEmpty() ? QStringLiteral("no %1").arg(key) : r.error);
        json = r.value;
        zarrArray array;
        if (!(zarrFormat == 3 ? parseZarrJson(json, &array, &error) : parseZarray(json, &array, &error)))
            return fail(QStringLiteral("%1: %2").arg(key, error));
        // Coarser levels unlike the finest are left out.
        if (level > 0 && (array.shape.size() != arrays.front().shape.size() || array.itemBytes != arrays.front().itemBytes
                          || array.format != arrays.front().format)) {
            warnings << QStringLiteral("%1: unlike the finest level, left out").arg(levelPath);
            continue;
        }
        arrays.push_back(array);
        levelPaths.push_back(levelPath);
    }
    const zarrArray &finest = arrays.front();
    const QString axes = meta.axes.isEmpty() ? QStringLiteral("tczyx").right(qsizetype(finest.shape.size())) : meta.axes;
    axesGuessed = plainArray && finest.shape.size() > 2;
    if (axes.size() != qsizetype(finest.shape.size()))
        return fail(QStringLiteral("%1 axes for an array of %2 dimensions").arg(axes.size()).arg(finest.shape.size()));
    for (int a = T; a <= X; ++a)
        axis[a] = int(axes.indexOf(QChar(u"tczyx"[a])));
    if (axis[X] != int(axes.size()) - 1 || axis[Y] != int(axes.size()) - 2)
        return fail(QStringLiteral("axes '%1' do not end in y and x").arg(axes));
    const auto size = [&](const zarrArray &array, int a) { return axis[a] < 0 ? 1 : array.shape[size_t(axis[a])]; };
    if (size(finest, X) > maxSide || size(finest, Y) > maxSide)
        return fail(QStringLiteral("%1 x %2 pixels; at most %3 x %3 are read").arg(size(finest, X)).arg(size(finest, Y)).arg(maxSide));
    if (size(finest, C) > maxChannels)
        return fail(QStringLiteral("%1 channels; at most %2 are read").arg(size(finest, C)).arg(maxChannels));
    width = int(size(finest, X));
    height = int(size(finest, Y));
    times = int(size(finest, T));
    planes = int(size(finest, Z));
    bits = 8 * planeBytes(finest);
    format = finest.format;
    channels.assign(size_t(size(finest, C)), channelInfo());
    if (meta.channels.size() == channels.size())
        channels = meta.channels;
    for (const zarrArray &array : arrays)
        levels.push_back(QSize(int(size(array, X)), int(size(array, Y))));
    setSizes(finestSizes(meta, axes), this);
    if (axis[T] >= 0 && !meta.scales.empty() && meta.scales.front().size() == size_t(axes.size()))
        timeInterval = intervalInSeconds(meta.scales.front()[size_t(axis[T])],
                                         meta.units.size() == axes.size() ? meta.units[axis[T]] : QString());
    metadataText = QString::fromUtf8(attributes);
    if (!meta.name.isEmpty() && !images.empty() && images[size_t(image)].name.isEmpty())
        images[size_t(image)].name = meta.name;
    return true;
}

// The shards' indexes not yet read, all at once, and kept; then the chunks
// asked for by ranges of the shards' bytes, all at once, chunks close
// together in one range.  Absent chunks and missing shards are the fill
// value; the chunks of an index or a range that did not come are lost.
bool zarrStack::readShards(const zarrArray &array, const std::vector<std::pair<QString, std::vector<piece>>> &keys,
                           const std::set<QString> &ahead, const takePiece &take, const losePiece &lose)
{
    std::map<QString, QString> unindexed;   // why
    const auto indexRequest = [&](const QString &key) {
        return zarrstore::request { key, array.indexAtStart ? 0 : -1, array.shardIndexBytes(), array.shardIndexBytes() };
    };
    // An index that came is kept; else why it did not.
    const auto keepIndex = [&](const QString &key, zarrstore::reply &r) {
        std::vector<quint64> entries;
        if (r.got == zarrstore::result::failed)
            return r.error;
        if (r.got == zarrstore::result::found) {
            const QString error = parseShardIndex(array, r.value, r.size, &entries);
            if (!error.isEmpty())
                return QStringLiteral("%1/%2: %3").arg(store->location(), key, error);
        }
        shardIndexes.emplace(key, std::move(entries));
        return QString();
    };
    std::vector<zarrstore::request> requests;
    for (const auto &entry : keys)
        if (shardIndexes.count(entry.first) == 0)
            requests.push_back(indexRequest(entry.first));
    const bool indexed = store->getMany(requests, [&](size_t i, zarrstore::reply &r) {
        if (const QString why = keepIndex(requests[i].key, r); !why.isEmpty())
            unindexed[requests[i].key] = why;
        return true;
    });
    if (!indexed)
        return false;

    struct run
    {
        const QString *key;
        quint64 start;
        std::vector<const piece *> pieces;
    };
    std::vector<run> runs;
    requests.clear();
    for (const auto &entry : keys) {
        if (const auto why = unindexed.find(entry.first); why != unindexed.end()) {
            for (const piece &p : entry.second)
                lose(p, why->second);
            continue;
        }
        const std::vector<quint64> &entries = shardIndexes[entry.first];
        const auto offset = [&](const piece *p) { return entries[size_t(2 * p->inShard)]; };
        const auto length = [&](const piece *p) { return entries[size_t(2 * p->inShard + 1)]; };
        std::vector<const piece *> present;
        for (const piece &p : entry.second) {
            if (!entries.empty() && offset(&p) != absentChunk)
                present.push_back(&p);
            else if (!take(entry.first, p, nullptr, 0))
                return false;
        }
        std::sort(present.begin(), present.end(), [&](const piece *a, const piece *b) { return offset(a) < offset(b); });
        for (size_t i = 0; i < present.size();) {
            const quint64 start = offset(present[i]);
            quint64 end = start + length(present[i]);
            size_t j = i + 1;
            for (; j < present.size() && offset(present[j]) <= end + rangeGap
                   && std::max(end, offset(present[j]) + length(present[j])) - start <= maxRange; ++j)
                end = std::max(end, offset(present[j]) + length(present[j]));
            requests.push_back({ entry.first, qint64(start), qint64(end - start), qint64(end - start) });
            runs.push_back({ &entry.first, start, std::vector<const piece *>(present.begin() + qsizetype(i), present.begin() + qsizetype(j)) });
            i = j;
        }
    }
    // The indexes of the shards a step away come along; those that do not are asked for again when needed.
    for (const QString &key : ahead)
        requests.push_back(indexRequest(key));
    return store->getMany(requests, [&](size_t i, zarrstore::reply &r) {
        if (i >= runs.size()) {
            keepIndex(requests[i].key, r);
            return true;
        }
        const run &got = runs[i];
        const auto loseRun = [&](const QString &why) {
            for (const piece *p : got.pieces)
                lose(*p, why);
            return true;
        };
        if (r.got == zarrstore::result::failed)
            return loseRun(r.error);
        const std::vector<quint64> &entries = shardIndexes[*got.key];
        if (r.got == zarrstore::result::missing || r.value.size() != requests[i].length)
            return loseRun(QStringLiteral("%1/%2: the shard ends before its chunks' bytes %3 to %4")
                                   .arg(store->location(), *got.key).arg(got.start).arg(got.start + quint64(requests[i].length)));
        for (const piece *p : got.pieces)
            if (!take(*got.key, *p, r.value.constData() + (entries[size_t(2 * p->inShard)] - got.start), qint64(entries[size_t(2 * p->inShard + 1)])))
                return false;
        return true;
    });
}

bool zarrStack::fail(const QString &what)
{
    mError = what.startsWith(store->location()) ? what : QStringLiteral("%1: %2").arg(store->location(), what);
    return false;
}

void zarrStack::retry()
{
    store->reset();
}
