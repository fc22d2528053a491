// Shows a file in place as the viewer does: opened with whatever pages it
// still holds, the frames of a few (time point, focal plane) pairs the input
// picks loaded one after another, each drawn whole, in part and scaled down,
// with channels hidden and windows changed between, as the Brightness and
// Contrast dialog changes them.
#include "fuzzinput.h"
#include "recordingsource.h"

#include <QCoreApplication>

#include <iostream>
#include <sstream>

namespace {

memoryFile *input = nullptr;

void draw(recordingsource &r, const QSize &scaled, const QRect &part)
{
    const QImage image = r.picture(scaled, part);
    require(image.isNull() || image.size() == part.size(), "a picture of another size than the part asked for");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    static int argc = 1;
    static char *args[] = { (*argv)[0], nullptr };
    new QCoreApplication(argc, args);
    silenceQt();
    // The trace of every frame read would drown the fuzzer's own lines.
    static std::ostringstream trace;
    std::cerr.rdbuf(trace.rdbuf());
    input = new memoryFile("recording");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    input->write(data, size);
    QString error;
    std::unique_ptr<recordingsource> r = recordingsource::open({ input->path() }, int(size % 3) - 1, &error, 1, 4 << 20);
    if (!r) {
        require(!error.isEmpty() && !error.contains('\n'), "a refusal that is not one line");
        return 0;
    }
    const QSize frame = r->size();
    require(frame.width() > 0 && frame.height() > 0 && r->times() > 0 && r->planes() > 0, "a recording without frames");
    const auto byte = [&](size_t i) { return size > 0 ? int(data[(i * 7919) % size]) : 0; };
    if (r->swappable())
        r->setSwapped(byte(0) & 1);
    for (size_t k = 0; k < 3; ++k) {
        r->load(byte(k) % r->times(), byte(k + 3) % r->planes());
        draw(*r, frame, QRect(QPoint(), frame));
        const QSize half = (frame / 2).expandedTo(QSize(1, 1));
        draw(*r, half, QRect(QPoint(byte(k + 6) % half.width(), 0), QSize(1, half.height())));
        std::vector<recordingsource::channel> &channels = r->channels();
        recordingsource::channel &changed = channels[size_t(byte(k + 9)) % channels.size()];
        changed.shown = byte(k + 12) & 1;
        changed.low = byte(k + 15) - 128;
        changed.high = changed.low + (byte(k + 18) & 3) * 1000.0;
        r->autoWindow(int(k % channels.size()));
        draw(*r, QSize(1, 1), QRect(0, 0, 1, 1));
    }
    return 0;
}
