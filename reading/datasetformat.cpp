#include "datasetformat.h"

#include <QFile>
#include <QFileInfo>

#include <fstream>
#include <iomanip>
#include <locale>
#include <string>

#ifdef Q_OS_WIN
#include <filesystem>
#endif

namespace {

const struct {
    const char *tag;
    int descriptor::*field;
} numeric[] = {
    { "width", &descriptor::width },     { "height", &descriptor::height },
    { "mint", &descriptor::minTime },    { "maxt", &descriptor::maxTime },
    { "minz", &descriptor::minFocal },   { "maxz", &descriptor::maxFocal },
};

// Longer tokens are cut here and their rest skipped, so a binary file
// picked by mistake cannot grow a string without bound.
constexpr std::streamsize maxToken = 4096;

bool readToken(std::istream &in, std::string &token)
{
    if (!(in >> std::setw(maxToken) >> token))
        return false;
    if (token.size() == std::size_t(maxToken)) {
        std::streambuf *buf = in.rdbuf();
        const auto &ctype = std::use_facet<std::ctype<char>>(in.getloc());
        for (int c = buf->sgetc(); c != EOF && !ctype.is(ctype.space, char(c)); c = buf->snextc()) {
        }
    }
    return true;
}

// What follows the dataset's name in each frame's file name.
QByteArray frameSuffix(int t, int z)
{
    return "_t" + digit3(t) + "_z" + digit3(z) + "_ch000.jpg";
}

} // namespace

void readDescriptor(const QString &fileName, descriptor &into, const std::function<void(const QByteArray &)> &traced)
{
    // Only regular files: a device or a pipe could block or never end.
    if (!QFileInfo(fileName).isFile())
        return;
#ifdef Q_OS_WIN
    std::ifstream in(std::filesystem::path(fileName.toStdWString()));
#else
    std::ifstream in(QFile::encodeName(fileName).toStdString());
#endif
    std::string tag;
    while (readToken(in, tag)) {
        if (tag == "dataset") {
            std::string name;
            if (!readToken(in, name))
                return;
            into.dataset = QByteArray::fromStdString(name);
            traced(into.dataset);
            continue;
        }
        for (const auto &entry : numeric) {
            if (tag != entry.tag)
                continue;
            int value;
            if (!(in >> value))
                return;
            into.*entry.field = value;
            traced(QByteArray::number(value));
            break;
        }
    }
}

QByteArray descriptorText(const QByteArray &dataset, int width, int height, int times, int planes)
{
    descriptor d;
    d.width = width;
    d.height = height;
    d.maxTime = times - 1;
    d.maxFocal = planes - 1;
    QByteArray text = "dataset " + dataset + '\n';
    for (const auto &entry : numeric)
        text += QByteArray(entry.tag) + ' ' + QByteArray::number(d.*entry.field) + '\n';
    return text;
}

QByteArray digit3(int a)
{
    return QByteArray::number(a).rightJustified(3, '0');
}

QByteArray frameName(const QByteArray &root, const QByteArray &dataset, int t, int z)
{
    QByteArray name = root + "/img/" + dataset + frameSuffix(t, z);
#ifdef Q_OS_WIN
    name.replace('/', '\\');
#endif
    return name;
}

QString frameFileName(const QString &dataset, int t, int z)
{
    return dataset + QString::fromLatin1(frameSuffix(t, z));
}
