#include "importer.h"

#include "datasetwriter.h"
#include "framewriter.h"

#include <QJsonDocument>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

struct importer::frame
{
    int t = 0;
    int z = 0;
    std::vector<planeData> planes;   // one per chosen channel, empty where the input has none
    planeData scratch;               // a plane projected
};

importer::importer(stack &input, const std::vector<int> &channels, const volatile std::sig_atomic_t *stop)
    : input(input), channels(channels), frameBits(input.bits), frameFormat(input.format), stop(stop)
{
}

importer::~importer() = default;

void importer::setProjection(projectionKind projection, int firstPlane, int lastPlane)
{
    kind = projection;
    first = firstPlane;
    last = lastPlane;
    const bool keepsType = kind == projectionKind::none || kind == projectionKind::maximum
            || kind == projectionKind::minimum;
    frameBits = keepsType ? input.bits : 32;
    frameFormat = keepsType ? input.format : sampleFormat::floatingPoint;
}

bool importer::chooseWindows(const std::vector<std::optional<rangeRequest>> &requests, QString *error,
                             bool measureUnasked)
{
    const std::size_t n = channels.size();
    channelWindows.assign(n, intensityWindow());
    std::vector<std::unique_ptr<histogram>> histograms(n);
    std::vector<bool> autoWindow(n, false);
    bool rangePass = false;
    // Windows are measured on the planes, or on the projections where those have windows of their own.
    const int bits = ownWindows() ? frameBits : input.bits;
    const sampleFormat format = ownWindows() ? frameFormat : input.format;
    for (std::size_t i = 0; i < n; ++i) {
        const channelInfo &info = input.channels[channels[i]];
        const std::optional<rangeRequest> &request = requests[i];
        const bool given = request && !request->automatic;   // auto asked for is the last choice below
        intensityWindow &w = channelWindows[i];
        if (given && !request->full) {
            w = { request->low, request->high, QStringLiteral("--range") };
        } else if (given) {
            w = typeRange(bits, format);
            if (format == sampleFormat::floatingPoint) {
                histograms[i] = std::make_unique<histogram>(bits, format);
                rangePass = true;
            }
        } else if (!request && !ownWindows() && info.low && info.high && *info.high > *info.low
                   && std::isfinite(*info.high - *info.low)) {
            w = { *info.low, *info.high, QStringLiteral("from the file") };
        } else if (!request && !ownWindows() && input.bits == 8 && input.format == sampleFormat::unsignedInt) {
            w = { 0, 255, QStringLiteral("8-bit, kept") };
        } else if (!request && !measureUnasked) {
            w.source = QStringLiteral("auto, 0.35 % saturated");
            w.unmeasured = true;
        } else {
            histograms[i] = std::make_unique<histogram>(bits, format);
            autoWindow[i] = true;
            rangePass = rangePass || histograms[i]->needsRange();
        }
    }

    // The planes of the channels that have a histogram (the planes projected,
    // or the projections), read once a pass; counting one plane on a thread
    // of its own overlaps reading the next.
    struct place { int t, z; std::size_t i; };
    std::vector<place> toRead;
    const int firstRead = ownWindows() ? 0 : firstPlane(0);
    const int lastRead = ownWindows() ? 0 : projecting() ? last : input.planes - 1;
    for (int t = 0; t < input.times; ++t)
        for (int z = firstRead; z <= lastRead; ++z)
            for (std::size_t i = 0; i < n; ++i)
                if (histograms[i] && (ownWindows() ? shows(t, z, channels[i]) : input.present(t, z, channels[i])))
                    toRead.push_back({ t, z, i });
    const bool histogramPass = std::find(autoWindow.begin(), autoWindow.end(), true) != autoWindow.end();
    const int toMeasure = int(toRead.size()) * (int(rangePass) + int(histogramPass));
    int measured = 0;
    clock.start();
    lastProgress = -1;
    const auto eachPlane = [&](const std::function<void(std::size_t, const planeData &)> &use) {
        planeData buffers[2];
        planeData scratch;
        int next = 0;
        std::future<void> counting;   // waited for at the latest when it goes out of scope
        for (const place &p : toRead) {
            if (stopped())
                return false;
            const bool read = ownWindows() ? readPlane(p.t, p.z, p.i, buffers[next], scratch, error)
                                           : input.read(p.t, p.z, channels[p.i], buffers[next]);
            if (!read) {
                if (!ownWindows())
                    *error = input.error();
                return false;
            }
            if (counting.valid())
                counting.wait();
            counting = std::async(std::launch::async, use, p.i, std::cref(buffers[next]));
            next ^= 1;
            if (json && (++measured == toMeasure || clock.elapsed() - lastProgress >= 250))
                report("measuring", measured, toMeasure);
        }
        return true;
    };
    if (json && toMeasure > 0)
        report("measuring", 0, toMeasure);
    if (rangePass && !eachPlane([&](std::size_t i, const planeData &p) { histograms[i]->addToRange(p); }))
        return false;
    if (histogramPass && !eachPlane([&](std::size_t i, const planeData &p) {
            if (autoWindow[i])
                histograms[i]->add(p);
        }))
        return false;

    maps.clear();
    for (std::size_t i = 0; i < n; ++i) {
        intensityWindow &w = channelWindows[i];
        if (autoWindow[i]) {
            w = histograms[i]->autoWindow();
        } else if (histograms[i]) {
            // The full range of floats: the data's.
            const double low = histograms[i]->minimum();
            const double high = histograms[i]->maximum();
            w.low = low <= high ? low : 0;
            w.high = high > w.low ? high : w.low + 1;
        }
        maps.emplace_back(frameBits, frameFormat, w.low, w.high);
    }
    return true;
}

void importer::setColour(int channel, QRgb colour)
{
    ownColours[channel] = colour;
}

std::vector<QRgb> importer::colours() const
{
    std::vector<QRgb> result;
    for (std::size_t i = 0; i < channels.size(); ++i) {
        const std::optional<QRgb> &colour = input.channels[channels[i]].colour;
        const auto own = ownColours.find(channels[i]);
        // By the channel's place in the input, so that it keeps its colour whichever channels are chosen.
        result.push_back(own != ownColours.end() ? own->second : colour ? *colour : defaultColour(channels[i]));
    }
    return result;
}

bool importer::inColour() const
{
    if (channels.size() != 1)
        return true;
    const auto own = ownColours.find(channels.front());
    return own != ownColours.end() && (own->second & 0xffffff) != 0xffffff;
}

bool importer::shows(int t, int z, int c) const
{
    for (int read = firstPlane(z); read <= lastPlane(z); ++read)
        if (input.present(t, read, c))
            return true;
    return false;
}

// Counts the frames with planes present in any of these channels, or every plane they read.
int importer::count(const std::vector<int> &of, bool frames) const
{
    int count = 0;
    for (int t = 0; t < input.times; ++t) {
        for (int z = 0; z < planesWritten(); ++z) {
            int present = 0;
            for (int c : of)
                for (int read = firstPlane(z); read <= lastPlane(z); ++read)
                    present += input.present(t, read, c) ? 1 : 0;
            count += frames ? std::min(present, 1) : present;
        }
    }
    return count;
}

bool importer::readPlane(int t, int z, std::size_t i, planeData &out, planeData &scratch, QString *error)
{
    const int c = channels[i];
    const std::size_t samples = std::size_t(input.width) * input.height;
    std::optional<projector> projection;
    if (projecting())
        projection.emplace(kind, input.bits, input.format, samples);
    // Read over the last frame's bytes, of the same size: clearing them would have each read zero them first.
    bool any = false;
    for (int read = firstPlane(z); read <= lastPlane(z); ++read) {
        if (!input.present(t, read, c))
            continue;
        any = true;
        planeData &plane = projecting() ? scratch : out;
        if (!input.read(t, read, c, plane)) {
            *error = input.error();
            return false;
        }
        // Every frame is mapped with the stack's sample type and size.
        if (plane.bits != input.bits || plane.format != input.format
            || plane.bytes.size() != samples * std::size_t(input.bits / 8) || (projection && !projection->add(plane))) {
            *error = input.description + QStringLiteral(": plane (t %1, z %2, channel %3) differs from the first")
                                                 .arg(t).arg(read).arg(c);
            return false;
        }
    }
    if (!any)
        out.bytes.clear();
    if (projection && projection->count() > 0)
        out = projection->result();
    return true;
}

bool importer::readFrame(int t, int z, frame &f, QString *error)
{
    f.t = t;
    f.z = z;
    f.planes.resize(channels.size());
    for (std::size_t i = 0; i < channels.size(); ++i)
        if (!readPlane(t, z, i, f.planes[i], f.scratch, error))
            return false;
    return true;
}

bool importer::encodeFrame(const frame &f, framewriter &encoder, std::vector<unsigned char> &rows,
                           QString *error) const
{
    const int width = input.width;
    const std::size_t rowBytes = std::size_t(width) * (frameBits / 8);
    if (!inColour()) {
        const unsigned char *samples = f.planes[0].bytes.data();
        return encoder.encode([&](int y, unsigned char *row) { maps[0].mapRow(samples + y * rowBytes, width, row); },
                              error);
    }
    const std::vector<QRgb> merged = colours();
    std::vector<const unsigned char *> channelRows(channels.size());
    rows.resize(channels.size() * width);
    return encoder.encode(
            [&](int y, unsigned char *row) {
                mapRows(f, y, rows, channelRows);
                mergeRow(channelRows, merged, width, row);
            },
            error);
}

// Row y of every channel of a frame through its window, into rows; a
// channel missing from the frame is a null row.
void importer::mapRows(const frame &f, int y, std::vector<unsigned char> &rows,
                       std::vector<const unsigned char *> &channelRows) const
{
    const int width = input.width;
    const std::size_t rowBytes = std::size_t(width) * (frameBits / 8);
    for (std::size_t i = 0; i < channels.size(); ++i) {
        channelRows[i] = nullptr;
        if (f.planes[i].bytes.empty())
            continue;
        channelRows[i] = rows.data() + i * width;
        maps[i].mapRow(f.planes[i].bytes.data() + y * rowBytes, width, rows.data() + i * width);
    }
}

bool importer::renderFrame(int t, int z, QImage &out, QString *error)
{
    if (!rendered)
        rendered = std::make_unique<frame>();
    frame &f = *rendered;
    if (!readFrame(t, z, f, error))
        return false;
    if (out.size() != QSize(input.width, input.height) || out.format() != QImage::Format_RGB32)
        out = QImage(input.width, input.height, QImage::Format_RGB32);
    const int width = input.width;
    const std::vector<QRgb> merged = colours();
    std::vector<unsigned char> rows(channels.size() * width);
    std::vector<const unsigned char *> channelRows(channels.size());
    for (int y = 0; y < input.height; ++y) {
        QRgb *pixels = reinterpret_cast<QRgb *>(out.scanLine(y));
        mapRows(f, y, rows, channelRows);
        if (inColour()) {
            mergeRow(channelRows, merged, width, pixels);
        } else {
            for (int x = 0; x < width; ++x) {
                const int v = channelRows[0] ? channelRows[0][x] : 0;
                pixels[x] = qRgb(v, v, v);
            }
        }
    }
    return true;
}

bool importer::sampleFrameSize(int quality, std::size_t *size, QString *error)
{
    *size = 0;
    const int pairs = input.times * planesWritten();
    const int count = std::min(pairs, 5);
    std::vector<frame> frames;
    for (int k = 0; k < count; ++k) {
        const int pair = int((2 * qint64(k) + 1) * pairs / (2 * count));
        frame f;
        if (!readFrame(pair / planesWritten(), pair % planesWritten(), f, error))
            return false;
        if (std::any_of(f.planes.begin(), f.planes.end(), [](const planeData &p) { return !p.bytes.empty(); }))
            frames.push_back(std::move(f));
    }
    for (std::size_t i = 0; i < channels.size(); ++i) {
        if (!channelWindows[i].unmeasured)
            continue;
        histogram counts(frameBits, frameFormat);
        for (int pass = counts.needsRange() ? 0 : 1; pass < 2; ++pass)
            for (const frame &f : frames)
                if (!f.planes[i].bytes.empty())
                    pass == 0 ? counts.addToRange(f.planes[i]) : counts.add(f.planes[i]);
        const intensityWindow w = counts.autoWindow();
        maps[i] = channelMap(frameBits, frameFormat, w.low, w.high);
    }
    framewriter encoder(input.width, input.height, inColour() ? 3 : 1, quality);
    std::vector<unsigned char> rows;
    std::size_t total = 0;
    for (const frame &f : frames) {
        if (!encodeFrame(f, encoder, rows, error))
            return false;
        total += encoder.size();
    }
    *size = frames.empty() ? 0 : total / frames.size();
    return true;
}

bool importer::run(datasetwriter &writer, int quality, int threads, bool progress, QString *error)
{
    using namespace std::chrono_literals;
    const int total = frameCount();
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<frame> queue;
    std::vector<frame> spare;   // frames done, whose buffers the reader fills again
    // Reading a plane takes a fraction of encoding it: a short queue keeps the
    // workers busy, and the frames in memory few.
    const std::size_t waiting = std::max(1, threads / 2);
    bool closed = false;
    bool failed = false;
    int done = 0;
    int queued = 0;
    // Keeps the first error; the others stop.
    const auto fail = [&](const QString &why) {
        if (!failed)
            *error = why;
        failed = true;
        changed.notify_all();
    };

    clock.start();
    lastProgress = -1;
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i) {
        workers.emplace_back([&] {
            framewriter encoder(input.width, input.height, inColour() ? 3 : 1, quality);
            std::vector<unsigned char> rows;
            std::unique_lock<std::mutex> lock(mutex);
            for (;;) {
                changed.wait_for(lock, 100ms, [&] { return !queue.empty() || closed || failed || stopped(); });
                if (failed || stopped() || (queue.empty() && closed))
                    return;
                if (queue.empty())
                    continue;
                frame f = std::move(queue.front());
                queue.pop_front();
                changed.notify_all();
                lock.unlock();
                QString why;
                const bool ok = encodeFrame(f, encoder, rows, &why)
                        && datasetwriter::writeFile(writer.framePath(f.t, f.z),
                                                    reinterpret_cast<const char *>(encoder.data()), encoder.size(),
                                                    &why);
                lock.lock();
                spare.push_back(std::move(f));
                if (ok)
                    ++done;
                else
                    fail(why);
                changed.notify_all();
            }
        });
    }

    const auto showIfDue = [&](std::unique_lock<std::mutex> &lock) {
        if ((progress || json) && (lastProgress < 0 || clock.elapsed() - lastProgress >= 250)) {
            const int now = done;
            lock.unlock();
            showProgress(now, total, false);
            lock.lock();
        }
    };
    for (int t = 0; t < input.times; ++t) {
        for (int z = 0; z < planesWritten(); ++z) {
            if (stopped() || failed)
                break;
            frame f;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (!spare.empty()) {
                    f = std::move(spare.back());
                    spare.pop_back();
                }
            }
            QString why;
            const bool ok = readFrame(t, z, f, &why);
            std::unique_lock<std::mutex> lock(mutex);
            if (!ok) {
                fail(why);
                break;
            }
            if (std::all_of(f.planes.begin(), f.planes.end(), [](const planeData &p) { return p.bytes.empty(); }))
                continue;
            while (queue.size() >= waiting && !failed && !stopped()) {
                changed.wait_for(lock, 100ms);
                showIfDue(lock);
            }
            queue.push_back(std::move(f));
            ++queued;
            changed.notify_all();
            showIfDue(lock);
        }
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        closed = true;
        changed.notify_all();
        while (done < queued && !failed && !stopped()) {
            changed.wait_for(lock, 100ms);
            showIfDue(lock);
        }
    }
    for (std::thread &worker : workers)
        worker.join();
    written = done;
    if (progress || json)
        showProgress(done, total, true);
    return !failed && !stopped();
}

void importer::showProgress(int done, int total, bool last)
{
    lastProgress = clock.elapsed();
    if (json) {
        if (!last || done == total)
            report("writing", done, total);
        return;
    }
    if (last) {
        std::fputs("\r\033[K", stderr);
        return;
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    const double rate = seconds > 0 ? done / seconds : 0;
    if (done == 0)
        std::fprintf(stderr, "\rframes 0/%d\033[K", total);
    else
        std::fprintf(stderr, "\rframes %d/%d, %.1f frames/s, %.0f s left\033[K", done, total, rate, (total - done) / rate);
    std::fflush(stderr);
}

// One line of progress for programs: {"stage": ..., "done": ..., "total": ...},
// with the seconds left while writing.
void importer::report(const char *stage, int done, int total)
{
    lastProgress = clock.elapsed();
    QJsonObject line { { "stage", stage }, { "done", done }, { "total", total } };
    if (QLatin1String(stage) == QLatin1String("writing")) {
        const double seconds = clock.nsecsElapsed() / 1e9;
        line.insert("left", done > 0 ? QJsonValue(std::round(10 * seconds * (total - done) / done) / 10) : QJsonValue());
    }
    printJsonLine(line);
}

void printJsonLine(const QJsonObject &line)
{
    const QByteArray text = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    std::fwrite(text.constData(), 1, std::size_t(text.size()), stdout);
    std::fflush(stdout);
}
