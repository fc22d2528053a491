// Reads every input as a frame file: its size, then a part from the top left
// corner as the window shows it, a part at an odd offset, and the whole frame
// scaled down.  A picture read must have the size asked for, and where two
// parts overlap they must agree pixel for pixel.

#include "fuzzinput.h"
#include "framereader.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>

namespace {

// Claimed sizes reach 65535 x 65535: no read takes more than this of them.
constexpr int maxSide = 512;
constexpr int maxSkip = 1023;
// Only frames up to this many pixels are also read whole, scaled down.
constexpr qint64 maxScaledPixels = 1024 * 1024;

memoryFile *input = nullptr;

void requireSize(const QImage &image, const QSize &size)
{
    if (image.isNull() || image.size() == size)
        return;
    std::fprintf(stderr, "fuzz-frame: asked for %d x %d pixels, read %d x %d\n", size.width(), size.height(),
                 image.width(), image.height());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    static int argc = 1;
    static char *args[] = { (*argv)[0], nullptr };
    new QCoreApplication(argc, args);
    silenceQt();
    input = new memoryFile("frame");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    input->write(data, size);
    const QByteArray fileName = QFile::encodeName(input->path());

    framereader reader(fileName);
    const QSize frame = reader.size();
    require(frame.isEmpty() || frame.isValid(), "negative frame size");
    if (frame.isEmpty())
        return 0;
    const QRect corner(QPoint(), frame.boundedTo(QSize(maxSide, maxSide)));
    const QImage shown = reader.read(corner);
    requireSize(shown, corner.size());

    // Skipping rows costs time in proportion to the frame's width: no more than 1023 of them.
    const QPoint odd(std::min(frame.width() / 3, maxSkip) | 1, std::min(frame.height() / 3, maxSkip) | 1);
    if (odd.x() < frame.width() && odd.y() < frame.height()) {
        const QRect part(odd, (frame - QSize(odd.x(), odd.y())).boundedTo(QSize(maxSide, maxSide)));
        const QImage image = framereader::read(fileName, part);
        requireSize(image, part.size());
        const QRect both = corner & part;
        if (!shown.isNull() && !image.isNull() && !both.isEmpty())
            require(shown.copy(both) == image.copy(both.translated(-odd)), "parts disagree where they overlap");
    }

    if (qint64(frame.width()) * frame.height() <= maxScaledPixels) {
        const QSize third((frame.width() + 2) / 3, (frame.height() + 2) / 3);
        requireSize(framereader::read(fileName, QRect(QPoint(), frame), third), third);
    }
    return 0;
}
