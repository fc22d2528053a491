#ifndef ZARRSTACK_H
#define ZARRSTACK_H

#include "stack.h"
#include "zarrmetadata.h"
#include "zarrstore.h"

#include <functional>
#include <map>
#include <set>

// An OME-Zarr image (NGFF 0.4 on Zarr v2, 0.5 on Zarr v3) in a folder or on
// a web server: its planes are read chunk by chunk, only the chunks a region
// needs, at any of its resolution levels; of a shard, its index and then the
// chunks needed, by byte ranges.  A plate's fields, or the series of the
// bioformats2raw layout, are its images; so are a well's, of a well given
// by its own address.  A plain Zarr array of 2 to 5
// dimensions, with no OME metadata, opens as one image too.
class zarrStack : public stack
{
public:
    static bool isZarr(const QString &where);
    static std::unique_ptr<stack> open(const QString &where, const stackOptions &options, QString *error);

    bool present(int t, int z, int c) const override;
    bool read(int t, int z, int c, planeData &out) override;
    bool readRegion(int t, int z, int c, int level, const QRect &region, planeData &out) override;
    bool readChannels(int t, int z, int level, const QRect &region, std::vector<planeData> &planes) override;
    // Asks a server that stopped answering again on the next read, rather than failing at once.
    void retry() override;

private:
    explicit zarrStack(std::unique_ptr<zarrstore> store);

    // A chunk a region needs: its place in the chunk grid, in its shard's
    // index (-1 when not sharded), and the plane it is for.
    struct piece
    {
        qint64 cy, cx, inShard;
        size_t plane;
    };
    // A chunk's bytes as stored, or nullptr when it is absent.
    using takePiece = std::function<bool(const QString &key, const piece &, const char *stored, qint64 size)>;
    // A chunk that did not come, and why.
    using losePiece = std::function<void(const piece &, const QString &why)>;

    bool findImages(const stackOptions &options, QString *imagePath);
    bool openImage(const QString &path);
    QString nothingThere() const;
    zarrstore::result getAttributes(const QString &group, QByteArray *attributes, QString *error);
    bool readShards(const zarrArray &array, const std::vector<std::pair<QString, std::vector<piece>>> &keys,
                    const std::set<QString> &ahead, const takePiece &take, const losePiece &lose);
    bool readPlanes(int t, int z, const std::vector<int> &cs, int level, const QRect &region, const std::vector<planeData *> &outs);
    bool fail(const QString &what);

    std::unique_ptr<zarrstore> store;
    qint64 maxBytes = 0;                 // of a region read
    std::vector<QString> levelPaths;     // of each level's array below the store
    std::vector<zarrArray> arrays;       // of each level
    int axis[5] = { -1, -1, -1, -1, -1 };   // the array dimension of t, c, z, y and x, or -1
    int zarrFormat = 2;                  // 3: zarr.json, not .zattrs and .zarray
    bool plainArray = false;             // the root is an array without OME metadata
    QByteArray rootAttributes;           // the OME metadata at the root
    std::vector<unsigned char> chunk;    // and decoded
    std::vector<unsigned char> scratch;
    std::map<QString, std::vector<quint64>> shardIndexes;   // by key, empty for a missing shard
};

#endif
