// Shows a file in place as the viewer does: opened with whatever pages it
// still holds, the frames of a few (time point, focal plane) pairs the input
// picks loaded one after another, each drawn whole, in part and scaled down,
// with channels hidden and windows changed between, as the Brightness and
// Contrast dialog changes them; then rows and columns of a few planes.
#include "fuzzinput.h"
#include "recordingsource.h"
#include "stack.h"

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

// Rows and columns of planes read straight from the stack, as an orthogonal
// view reads them: each as large as asked for, or refused with a reason.
void readLines(stack &s, const uint8_t *data, size_t size)
{
    if (s.times < 1 || s.planes < 1 || s.channels.empty())
        return;
    const auto byte = [&](size_t i) { return size > 0 ? int(data[(i * 7919) % size]) : 0; };
    planeData out;
    for (size_t k = 0; k < 4; ++k) {
        const int t = byte(k + 21) % s.times;
        const int z = byte(k + 24) % s.planes;
        const int c = byte(k + 27) % int(s.channels.size());
        const int at = byte(k + 30) * 256 + byte(k + 33);
        const QRect line = k % 2 ? QRect(at % s.width, 0, 1, s.height) : QRect(0, at % s.height, s.width, 1);
        const QRect region = k == 3 ? line.adjusted(0, 0, 0, -line.height() / 2) : line;
        if (s.readRegion(t, z, c, 0, region, out))
            require(out.bytes.size() == size_t(region.width()) * size_t(region.height()) * size_t(out.bits / 8),
                    "a region of another size than asked for");
        else
            require(!s.error().isEmpty() && !s.error().contains('\n'), "a refused region without a one-line reason");
    }
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
    require(frame.width() > 0 && frame.height() > 0 && r->times().last >= 0 && r->planes().last >= 0,
            "a recording without frames");
    const auto byte = [&](size_t i) { return size > 0 ? int(data[(i * 7919) % size]) : 0; };
    if (r->features() & framesource::swapping)
        r->setSwapped(byte(0) & 1);
    const int times = r->times().last + 1;
    const int planes = r->planes().last + 1;
    for (size_t k = 0; k < 3; ++k) {
        // The second time, a projection over some of the planes.
        const int first = byte(k + 21) % planes;
        r->setProjection(k == 1 ? projectionKind(byte(k + 24) % 6) : projectionKind::none,
                         { first, first + byte(k + 27) % (planes - first) });
        r->load(byte(k) % times, byte(k + 3) % planes);
        draw(*r, frame, QRect(QPoint(), frame));
        const QSize half = (frame / 2).expandedTo(QSize(1, 1));
        draw(*r, half, QRect(QPoint(byte(k + 6) % half.width(), 0), QSize(1, half.height())));
        std::vector<channel> &channels = r->channels();
        channel &changed = channels[size_t(byte(k + 9)) % channels.size()];
        changed.shown = byte(k + 12) & 1;
        changed.low = byte(k + 15) - 128;
        changed.high = changed.low + (byte(k + 18) & 3) * 1000.0;
        r->autoWindow(int(k % channels.size()));
        draw(*r, QSize(1, 1), QRect(0, 0, 1, 1));
    }
    stackOptions options;
    options.partial = true;
    options.maxPlaneBytes = 4 << 20;
    QString ignored;
    if (std::unique_ptr<stack> s = openStack({ input->path() }, options, &ignored))
        readLines(*s, data, size);
    return 0;
}
