#include "datasetwriter.h"

#include "datasetformat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError(const QString &path, int error)
{
    return path + QLatin1String(": ") + QString::fromLocal8Bit(std::strerror(error));
}

// Renames without replacing anything already at to.
bool renameNew(const QString &from, const QString &to)
{
    const QByteArray f = QFile::encodeName(from);
    const QByteArray t = QFile::encodeName(to);
    if (renameat2(AT_FDCWD, f.constData(), AT_FDCWD, t.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without RENAME_NOREPLACE.
    struct stat st;
    if (lstat(t.constData(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return std::rename(f.constData(), t.constData()) == 0;
}

bool removeAll(const QString &path)
{
    if (QFileInfo(path).isDir() && !QFileInfo(path).isSymLink())
        return QDir(path).removeRecursively();
    return QFile::remove(path);
}

} // namespace

datasetwriter::datasetwriter(const QString &output, const QString &name)
    : output(QDir::cleanPath(QFileInfo(output).absoluteFilePath())), name(name)
{
}

datasetwriter::~datasetwriter()
{
    discard();
}

bool datasetwriter::begin(QString *error)
{
    const QFileInfo out(output);
    QByteArray pattern = QFile::encodeName(out.absolutePath() + QLatin1String("/.") + out.fileName()
                                           + QLatin1String(".tesseline-import-XXXXXX"));
    if (!mkdtemp(pattern.data())) {
        *error = systemError(output, errno);
        return false;
    }
    temporary = QFile::decodeName(pattern);
    // mkdtemp makes the folder private; a dataset is as readable as any new folder.
    const mode_t mask = umask(0);
    umask(mask);
    chmod(pattern.constData(), 0777 & ~mask);
    if (!QDir(temporary).mkdir(QStringLiteral("img"))) {
        *error = systemError(temporary + QLatin1String("/img"), errno);
        discard();
        return false;
    }
    return true;
}

QString datasetwriter::framePath(int t, int z) const
{
    return temporary + QLatin1String("/img/") + frameFileName(name, t, z);
}

QString datasetwriter::cannotReplace(const QString &output, const QStringList &inputs)
{
    const QFileInfo info(output);
    if (!info.exists() && !info.isSymLink())
        return QString();
    const QString notDataset = output + QStringLiteral(": %1; --force replaces only a dataset");
    if (!info.isDir() || info.isSymLink())
        return notDataset.arg(QStringLiteral("not a folder"));
    // A dataset holds descriptors and its img folder, nothing else.
    const QFileInfoList entries = QDir(output).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                             | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const bool descriptor = entry.isFile() && !entry.isSymLink()
                && (entry.suffix() == QLatin1String("tz") || entry.fileName().endsWith(QLatin1String(".import.json")));
        const bool frames = entry.isDir() && !entry.isSymLink() && entry.fileName() == QLatin1String("img");
        if (!descriptor && !frames)
            return notDataset.arg(QStringLiteral("not a dataset (it holds %1)").arg(entry.fileName()));
    }

    const QString folder = info.canonicalFilePath();
    const auto inside = [&folder](const QString &path) {
        const QString canonical = QFileInfo(path).canonicalFilePath();
        return !canonical.isEmpty() && (canonical == folder || canonical.startsWith(folder + QLatin1Char('/'))
                                        || folder == QLatin1String("/"));
    };
    for (const QString &input : inputs) {
        if (inside(input))
            return output + QStringLiteral(": holds the input %1; --force does not replace it").arg(input);
    }
    if (inside(QDir::currentPath()))
        return output + QStringLiteral(": holds the current folder; --force does not replace it");
    return QString();
}

QByteArray datasetwriter::descriptor(const QString &name, int width, int height, int times, int planes)
{
    return descriptorText(name.toUtf8(), width, height, times, planes);
}

bool datasetwriter::writeFile(const QString &path, const char *data, std::size_t size, QString *error)
{
    const QByteArray file = QFile::encodeName(path);
    const int fd = open(file.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        *error = systemError(path, errno);
        return false;
    }
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = systemError(path, n < 0 ? errno : ENOSPC);
            close(fd);
            return false;
        }
        data += n;
        size -= std::size_t(n);
    }
    if (close(fd) != 0) {
        *error = systemError(path, errno);
        return false;
    }
    return true;
}

bool datasetwriter::commit(int width, int height, int times, int planes, bool replace, QString *error)
{
    if (!record.isEmpty()
        && !writeFile(temporary + QLatin1Char('/') + name + QLatin1String(".import.json"), record.constData(),
                      std::size_t(record.size()), error))
        return false;
    const QByteArray text = descriptor(name, width, height, times, planes);
    if (!writeFile(temporary + QLatin1Char('/') + name + QLatin1String(".tz"), text.constData(),
                   std::size_t(text.size()), error))
        return false;

    // An existing output goes aside first and comes back if the new one cannot take its place.
    QString aside;
    if (replace && (QFileInfo::exists(output) || QFileInfo(output).isSymLink())) {
        aside = temporary + QLatin1String(".old");
        if (!renameNew(output, aside)) {
            *error = systemError(output, errno);
            return false;
        }
    }
    if (!renameNew(temporary, output)) {
        *error = systemError(output, errno);
        if (!aside.isEmpty())
            renameNew(aside, output);
        return false;
    }
    temporary.clear();
    if (!aside.isEmpty())
        removeAll(aside);
    return true;
}

void datasetwriter::discard()
{
    if (!temporary.isEmpty())
        QDir(temporary).removeRecursively();
    temporary.clear();
}
