#ifndef TESTUTIL_H
#define TESTUTIL_H

#include <QByteArrayList>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include "blockjpeg.h"

#include <QApplication>
#include <QBuffer>
#include <QDialog>
#include <QImage>
#include <QMimeData>
#include <QDropEvent>
#include <QTimer>

#include <functional>

#include <iostream>
#include <sstream>

// Collects what the program writes to std::cerr while it lives.
class TraceCapture
{
public:
    TraceCapture() : old(std::cerr.rdbuf(buffer.rdbuf())) { }
    ~TraceCapture() { std::cerr.rdbuf(old); }

    QByteArrayList lines() const
    {
        QByteArray text = QByteArray::fromStdString(buffer.str());
        if (text.endsWith('\n'))
            text.chop(1);
        return text.isEmpty() ? QByteArrayList() : text.split('\n');
    }
    bool endsWithNewline() const
    {
        const std::string s = buffer.str();
        return s.empty() || s.back() == '\n';
    }
    void clear() { buffer.str(std::string()); }

private:
    std::ostringstream buffer;
    std::streambuf *old;
};

inline bool writeFile(const QString &fileName, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(fileName).absolutePath());
    QFile file(fileName);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Writes a descriptor with a new name into dir and returns its path.
inline QString writeDescriptor(const QString &dir, const QByteArray &content)
{
    static int count = 0;
    const QString fileName = QDir(dir).filePath(QString("d%1.tz").arg(++count));
    writeFile(fileName, content);
    return fileName;
}

// A frame with texture everywhere, different for every seed.
inline QImage testFrame(int width, int height, int seed)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb((x * 7 + seed * 40) & 255, (y * 5 + seed * 90) & 255, ((x ^ y) * 3) & 255));
    return image;
}

// A frame of blocks as blockjpeg writes it, and as Qt decodes it.
inline QByteArray blockFrame(int width, int height, const std::function<blockjpeg::Colour(int, int)> &blocks)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    blockjpeg::write(&buffer, width, height, blocks);
    return buffer.data();
}

inline QImage decodedBlockFrame(int width, int height, const std::function<blockjpeg::Colour(int, int)> &blocks)
{
    return QImage::fromData(blockFrame(width, height, blocks)).convertToFormat(QImage::Format_RGB32);
}

// The colour of blockjpeg's pattern beyond its top-left corner, as decoded.
inline QRgb patternBackground()
{
    return decodedBlockFrame(8, 8, [](int, int) { return blockjpeg::pattern(64, 64); }).pixel(0, 0);
}

// Whether no channel of two colours differs by more than within; with a
// message that says how they differ.
inline bool nearColour(QRgb colour, QRgb wanted, int within, QString *message)
{
    *message = QString("%1 instead of %2").arg(colour, 0, 16).arg(wanted, 0, 16);
    return qAbs(qRed(colour) - qRed(wanted)) <= within && qAbs(qGreen(colour) - qGreen(wanted)) <= within
            && qAbs(qBlue(colour) - qBlue(wanted)) <= within;
}

// Hands the next modal dialog, once it is up, to act (which must close it).
template<typename Dialog>
void whenDialogOpens(QObject *context, std::function<void(Dialog *)> act)
{
    QTimer::singleShot(10, context, [context, act] {
        if (auto *dialog = qobject_cast<Dialog *>(QApplication::activeModalWidget()))
            act(dialog);
        else
            whenDialogOpens<Dialog>(context, act);
    });
}

// Drags data over the widget and drops it there; returns whether the drag was accepted.
inline bool dragAndDrop(QWidget *widget, QMimeData *data)
{
    QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &enter);
    QDropEvent drop(QPointF(50, 50), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &drop);
    return enter.isAccepted();
}

// Lets queued events, and the repaints they request, run to the end.
inline void settle()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

#endif
