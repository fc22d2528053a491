#include "datasetsource.h"
#include "framereader.h"

#include <QFileInfo>

#include <iostream>

void trace(const QByteArray &line)
{
    const QByteArray text = line + '\n';
    std::cerr.write(text.constData(), text.size());
    std::cerr.flush();
}

datasetsource::datasetsource(const QByteArray &path, const QByteArray &dataset)
    : path(path), dataset(dataset)
{
}

datasetsource::~datasetsource() = default;

void datasetsource::load(int t, int z)
{
    name = frameName(path, dataset, t, z);
    opened.reset();
    reader();
}

QSize datasetsource::size()
{
    return reader().size();
}

QString datasetsource::title() const
{
    return QFileInfo(QString::fromLocal8Bit(name)).fileName();
}

QImage datasetsource::picture(const QSize &scaled, const QRect &part)
{
    const QImage image = reader().readScaled(scaled, part);
    opened.reset();
    return image;
}

// Built from the descriptor's own bytes, so that a name in any 8-bit
// encoding finds its files.
QByteArray datasetsource::frameName(const QByteArray &path, const QByteArray &dataset, int t, int z)
{
    QByteArray name = path + "/img/" + dataset + "_t" + digit3(t) + "_z" + digit3(z) + "_ch000.jpg";
#ifdef Q_OS_WIN
    name.replace('/', '\\');
#endif
    return name;
}

QByteArray datasetsource::digit3(int a)
{
    return QByteArray::number(a).rightJustified(3, '0');
}

// The frame's file, opened and traced once for each picture taken of it.
framereader &datasetsource::reader()
{
    if (!opened) {
        trace(name);
        opened = std::make_unique<framereader>(name);
    }
    return *opened;
}
