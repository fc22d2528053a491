#ifndef ZARRSTACK_H
#define ZARRSTACK_H

#include "stack.h"
#include "zarrmetadata.h"
#include "zarrstore.h"

// An OME-Zarr image (NGFF 0.4, Zarr v2) in a folder or on a web server:
// its planes are read chunk by chunk, only the chunks a region needs, at any
// of its resolution levels.  A plate's fields, or the series of the
// bioformats2raw layout, are its images.
class zarrStack : public stack
{
public:
    static bool isZarr(const QString &where);
    static std::unique_ptr<stack> open(const QString &where, const stackOptions &options, QString *error);

    bool present(int t, int z, int c) const override;
    bool read(int t, int z, int c, planeData &out) override;
    bool readRegion(int t, int z, int c, int level, const QRect &region, planeData &out) override;

private:
    explicit zarrStack(std::unique_ptr<zarrstore> store);

    bool findImages(const stackOptions &options, QString *imagePath);
    bool openImage(const QString &path);
    bool readChunk(const zarrArray &array, const QString &key, bool *found);
    bool fail(const QString &what);

    std::unique_ptr<zarrstore> store;
    qint64 maxBytes = 0;                 // of a region read
    std::vector<QString> levelPaths;     // of each level's array below the store
    std::vector<zarrArray> arrays;       // of each level
    int axis[5] = { -1, -1, -1, -1, -1 };   // the array dimension of t, c, z, y and x, or -1
    QByteArray rootAttributes;           // the .zattrs at the root
    QByteArray stored;                   // a chunk as stored
    std::vector<unsigned char> chunk;    // and decompressed
};

#endif
