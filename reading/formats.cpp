#include "formats.h"

#include "imagefile.h"
#include "indexnames.h"
#include "tiffstack.h"
#include "s3access.h"
#include "zarrstack.h"
#include "zarrstore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace {

std::unique_ptr<stack> openPng(const QString &fileName, const stackOptions &, QString *error)
{
    return imageFile::open(fileName, "png", error);
}

std::unique_ptr<stack> openJpeg(const QString &fileName, const stackOptions &, QString *error)
{
    return imageFile::open(fileName, "jpeg", error);
}

// The format of a folder or URL, told by where it is.
const format *locationFormat(const QString &where)
{
    for (const format &f : formats()) {
        if (f.isLocation && f.isLocation(where))
            return &f;
    }
    return nullptr;
}

// The format a file's name makes it, of the recordings alone or of all.
const format *namedFormat(const QString &where, bool recordingsOnly)
{
    const QString suffix = QFileInfo(where).suffix().toLower();
    for (const format &f : formats()) {
        if ((f.recording || !recordingsOnly) && f.suffixes.contains(suffix))
            return &f;
    }
    return nullptr;
}

QStringList nameFilters()
{
    QStringList filters;
    for (const format &f : formats()) {
        for (const QString &suffix : f.suffixes)
            filters << QLatin1String("*.") + suffix;
    }
    return filters;
}

} // namespace

const std::vector<format> &formats()
{
    static const std::vector<format> table {
        { "OME-Zarr", zarrStack::isZarr, {}, {}, true, zarrStack::open },
        // Classic TIFF and BigTIFF in either byte order.
        { "TIFF", nullptr,
          { QByteArray("II*\0", 4), QByteArray("MM\0*", 4), QByteArray("II+\0", 4), QByteArray("MM\0+", 4) },
          { "tif", "tiff", "lsm" }, true, tiffStack::open },
        { "PNG", nullptr, { QByteArray("\x89PNG\r\n\x1a\n", 8) }, { "png" }, false, openPng },
        { "JPEG", nullptr, { QByteArray("\xff\xd8\xff", 3) }, { "jpg", "jpeg" }, false, openJpeg },
    };
    return table;
}

// A folder that is no OME-Zarr is opened as one all the same, to say what it
// holds instead: the viewer has made a folder of images its files before.
const format *formatOf(const QString &where, const QByteArray &head)
{
    for (const format &f : formats()) {
        if (f.isLocation ? f.isLocation(where) || QFileInfo(where).isDir()
                         : std::any_of(f.signatures.begin(), f.signatures.end(),
                                       [&head](const QByteArray &s) { return head.startsWith(s); }))
            return &f;
    }
    return nullptr;
}

const format *formatOf(const QString &where)
{
    if (const format *f = locationFormat(where))
        return f;
    // Only regular files: a pipe or a device could block.
    QFile file(where);
    if (!QFileInfo(where).isFile() || !file.open(QIODevice::ReadOnly))
        return nullptr;
    return formatOf(where, file.read(headBytes));
}

bool isAddress(const QString &where)
{
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*://"));
    return scheme.match(where).hasMatch();
}

QString addressRefusal(const QString &where)
{
    if (s3access::isS3(where) && s3access().urlOf(where).isEmpty())
        return QStringLiteral("%1: an s3:// address names a bucket, as s3://BUCKET/PATH").arg(where);
    if (!isAddress(where) || zarrstore::isUrl(where))
        return QString();
    return QStringLiteral("%1: only http, https and s3 addresses can be opened").arg(where);
}

bool opensInPlace(const QString &where)
{
    if (isAddress(where) || namedFormat(where, true))
        return true;
    const format *f = formatOf(where);
    return f && f->recording;
}

bool isSeriesImage(const QString &where)
{
    if (namedFormat(where, false))
        return true;
    // A file named otherwise is taken by its content only for a TIFF.
    const format *f = formatOf(where);
    return f && !f->isLocation && f->recording;
}

QStringList inputsOf(const QStringList &paths)
{
    if (paths.size() == 1 && isAddress(paths.first()))
        return paths;
    if (paths.size() == 1 && locationFormat(paths.first()))
        return zarrstore::isUrl(paths.first()) ? paths : QStringList { QFileInfo(paths.first()).absoluteFilePath() };
    QStringList files;
    if (paths.size() == 1 && QFileInfo(paths.first()).isDir()) {
        const QDir folder(paths.first());
        for (const QString &name : folder.entryList(nameFilters(), QDir::Files))
            files << folder.absoluteFilePath(name);
    } else {
        for (const QString &path : paths)
            files << QFileInfo(path).absoluteFilePath();
    }
    std::stable_sort(files.begin(), files.end(), [](const QString &a, const QString &b) {
        return naturalLess(QFileInfo(a).fileName(), QFileInfo(b).fileName());
    });
    return files;
}
