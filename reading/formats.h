#ifndef FORMATS_H
#define FORMATS_H

#include "stack.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

// One kind of input the reading library opens, and how it is recognised.
struct format
{
    const char *name;   // "OME-Zarr", "TIFF", "PNG", "JPEG"
    // For a folder or URL, which content cannot tell: whether where is one.
    bool (*isLocation)(const QString &where);
    // For a file: the first bytes it may start with.
    QByteArrayList signatures;
    // Lower-case suffixes a file is taken for one by, before or without reading it.
    QStringList suffixes;
    // Whether one such input is a recording on its own, not only a file of a series.
    bool recording;
    std::unique_ptr<stack> (*open)(const QString &where, const stackOptions &options, QString *error);
};

// The formats, in the order they are tried: a folder or URL first, then
// files by their first bytes.
const std::vector<format> &formats();

// How many first bytes of a file the signatures need.
constexpr qint64 headBytes = 8;

// The format of a folder or URL, or of a file by its first bytes (empty
// when not read); null when none is.
const format *formatOf(const QString &where, const QByteArray &head);
// The same, reading the first bytes of a regular file; null when none is,
// or when the file cannot be read.
const format *formatOf(const QString &where);

// Whether the viewer opens where as a recording in place: a URL, an
// OME-Zarr folder, or a TIFF file by its content or by a .tif, .tiff or
// .lsm name (even an unreadable one, so that it can say why).
bool opensInPlace(const QString &where);

// Whether a file may be one of a series: a TIFF, LSM, PNG or JPEG file by
// its name, or a TIFF file by its content.
bool isSeriesImage(const QString &where);

// Whether where is an address with a scheme ("ftp://…", "htp://…") rather
// than a path, and, if so, why it cannot be opened: only http and https
// addresses can.
bool isAddress(const QString &where);
QString addressRefusal(const QString &where);

// The inputs of a recording given as paths: an OME-Zarr folder or URL as
// it is, a folder's image files, or the files given, as absolute paths in
// natural order.
QStringList inputsOf(const QStringList &paths);

#endif
