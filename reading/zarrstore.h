#ifndef ZARRSTORE_H
#define ZARRSTORE_H

#include <QByteArray>
#include <QString>

#include <memory>

// Where the keys of an OME-Zarr hierarchy are read from: a folder on disk,
// or a web server over HTTP or HTTPS.  Reads are synchronous, on the
// caller's thread, each bounded by a timeout.
class zarrstore
{
public:
    enum class result { found, missing, failed };

    virtual ~zarrstore() = default;

    // Reads the value of a key ("0/.zarray", "0/0/3/1"): found, missing (no
    // such file; HTTP 404), or failed with *error "LOCATION/KEY: what is
    // wrong".  Values longer than limit fail.
    virtual result get(const QString &key, qint64 limit, QByteArray *value, QString *error) = 0;
    // Reads a byte range of a key's value: length bytes from offset, or its
    // last length bytes when offset is negative; fewer where the value ends
    // first.  *size is the whole value's size when known, else -1.
    virtual result getRange(const QString &key, qint64 offset, qint64 length, QByteArray *value, qint64 *size,
                            QString *error) = 0;
    // The folder or URL as given, for the trace and for messages.
    virtual QString location() const = 0;

    static bool isUrl(const QString &where);
    // A folder, or an http:// or https:// URL; timeout in seconds for each request.
    static std::unique_ptr<zarrstore> open(const QString &where, int timeout);
};

#endif
