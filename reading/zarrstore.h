#ifndef ZARRSTORE_H
#define ZARRSTORE_H

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

// Where the keys of an OME-Zarr hierarchy are read from: a folder on disk,
// or a web server over HTTP or HTTPS.  Reads are synchronous, on the
// caller's thread, each bounded by a timeout; a web server's are fetched
// together, over connections kept open from read to read.
class zarrstore
{
public:
    enum class result { found, missing, failed };

    // A key's value, or length bytes of it from offset (its last length
    // bytes when offset is negative); a whole value longer than limit fails.
    struct request
    {
        QString key;
        qint64 offset = 0;
        qint64 length = -1;   // -1: the whole value
        qint64 limit = 0;
    };
    struct reply
    {
        result got = result::failed;
        QByteArray value;
        qint64 size = -1;     // of the whole value, when known
        QString error;
    };
    // Called with the index of each request and its reply as it arrives;
    // false stops the others.
    using takeReply = std::function<bool(size_t, reply &)>;

    virtual ~zarrstore() = default;

    // Reads the value of a key ("0/.zarray", "0/0/3/1"): found, missing (no
    // such file; HTTP 404 or 410), or failed with *error "LOCATION/KEY: what
    // is wrong".  Values longer than limit fail.
    result get(const QString &key, qint64 limit, QByteArray *value, QString *error);
    // Reads a byte range of a key's value: length bytes from offset, or its
    // last length bytes when offset is negative; fewer where the value ends
    // first.  *size is the whole value's size when known, else -1.
    result getRange(const QString &key, qint64 offset, qint64 length, QByteArray *value, qint64 *size, QString *error);
    // Reads all the requests, in any order; false when take stopped them.
    virtual bool getMany(const std::vector<request> &requests, const takeReply &take) = 0;
    // Reads all the requests together, and gives their replies in order.
    std::vector<reply> getAll(const std::vector<request> &requests);
    // Forgets that the server did not answer, so the next read waits for it again.
    virtual void reset() { }
    // The folder or URL as given, for the trace and for messages.
    virtual QString location() const = 0;

    static bool isUrl(const QString &where);
    // A folder, or an http:// or https:// URL; timeout in seconds for each request.
    static std::unique_ptr<zarrstore> open(const QString &where, int timeout);
};

#endif
