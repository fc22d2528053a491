#include "datasetwriter.h"
#include "importer.h"
#include "names.h"
#include "stack.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t caught = 0;

void onSignal(int signal)
{
    caught = signal;
}

[[noreturn]] void misuse(const QString &problem)
{
    std::cerr << "tesseline-import: " << problem.toLocal8Bit().constData() << "\n"
              << "Try 'tesseline-import --help'." << std::endl;
    std::exit(2);
}

[[noreturn]] void fail(const QString &problem)
{
    std::cerr << "tesseline-import: " << problem.toLocal8Bit().constData() << std::endl;
    std::exit(1);
}

// Ends the program as the signal caught would have.
[[noreturn]] void dieOfSignal()
{
    const int signal = caught;
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    std::_Exit(128 + signal);
}

// A step that failed, or stopped for a signal.
[[noreturn]] void stop(const QString &error)
{
    if (caught)
        dieOfSignal();
    fail(error);
}

int intValue(const QCommandLineParser &parser, const QString &option, int low, int high)
{
    bool ok = false;
    const int value = parser.value(option).toInt(&ok);
    if (!ok || value < low || value > high)
        misuse(QStringLiteral("--%1 %2: not a whole number from %3 to %4")
                       .arg(option, parser.value(option)).arg(low).arg(high));
    return value;
}

struct ranges
{
    std::optional<rangeRequest> all;
    std::map<int, rangeRequest> perChannel;
};

// --range LOW:HIGH, C=LOW:HIGH or full, C=full.
ranges rangeValues(const QStringList &values)
{
    ranges result;
    for (const QString &value : values) {
        QString window = value;
        int channel = -1;
        const int equals = value.indexOf(u'=');
        if (equals >= 0) {
            bool ok = false;
            channel = value.left(equals).toInt(&ok);
            if (!ok || channel < 0)
                misuse(QStringLiteral("--range %1: the channel is not a number from 0").arg(value));
            window = value.mid(equals + 1);
        }
        rangeRequest request;
        if (window == QLatin1String("full")) {
            request.full = true;
        } else {
            const QStringList bounds = window.split(u':');
            bool lowOk = false, highOk = false;
            if (bounds.size() == 2) {
                request.low = bounds[0].toDouble(&lowOk);
                request.high = bounds[1].toDouble(&highOk);
            }
            if (!lowOk || !highOk || !std::isfinite(request.low) || !std::isfinite(request.high)
                || !(request.low < request.high))
                misuse(QStringLiteral("--range %1: not LOW:HIGH with LOW below HIGH, or full").arg(value));
        }
        if (channel < 0)
            result.all = request;
        else
            result.perChannel[channel] = request;
    }
    return result;
}

std::vector<int> channelValues(const QString &value)
{
    std::vector<int> result;
    for (const QString &part : value.split(u',')) {
        bool ok = false;
        const int channel = part.toInt(&ok);
        if (!ok || channel < 0 || std::find(result.begin(), result.end(), channel) != result.end())
            misuse(QStringLiteral("--channel %1: not a list of different channel numbers from 0").arg(value));
        result.push_back(channel);
    }
    return result;
}

QString colourName(QRgb colour)
{
    return QStringLiteral("#%1").arg(colour & 0xffffff, 6, 16, QLatin1Char('0'));
}

// "1 focal plane", "10 focal planes".
QString counted(qint64 n, const char *what)
{
    return QStringLiteral("%1 %2%3").arg(n).arg(QLatin1String(what)).arg(n == 1 ? "" : "s");
}

QString sizeText(double bytes)
{
    if (bytes >= 1e9)
        return QString::number(bytes / 1e9, 'f', 1) + QLatin1String(" GB");
    if (bytes >= 1e6)
        return QString::number(bytes / 1e6, 'f', 1) + QLatin1String(" MB");
    return QString::number(bytes / 1e3, 'f', 1) + QLatin1String(" kB");
}

void print(const QString &line)
{
    std::cout << line.toLocal8Bit().constData() << '\n';
}

void printWindows(const importer &import, const std::vector<int> &channels)
{
    for (std::size_t i = 0; i < channels.size(); ++i) {
        const intensityWindow &w = import.windows()[i];
        print(QString::asprintf("channel %d: window %g to %g (", channels[i], w.low, w.high) + w.source + ")");
    }
}

// What --dry-run says: what was found, and what would be written.
void describe(const QStringList &inputs, const stack &input, const importer &import, const std::vector<int> &channels,
              const QString &output, std::size_t frameSize)
{
    const bool merged = channels.size() > 1;
    const std::vector<QRgb> colours = import.colours();
    print(QStringLiteral("input: ") + (inputs.size() == 1 ? inputs.first() + QStringLiteral(", ") : QString())
          + input.description);
    print(QStringLiteral("size: %1 x %2, %3, %4, %5 of %6-bit %7")
                  .arg(input.width).arg(input.height)
                  .arg(counted(input.times, "time point"), counted(input.planes, "focal plane"),
                       counted(qint64(input.channels.size()), "channel")).arg(input.bits)
                  .arg(input.format == sampleFormat::floatingPoint ? "float"
                       : input.format == sampleFormat::signedInt   ? "signed integers"
                                                                   : "unsigned integers"));
    for (std::size_t i = 0; i < channels.size(); ++i) {
        const channelInfo &info = input.channels[channels[i]];
        print(QStringLiteral("channel %1: %2%3").arg(channels[i])
                      .arg(merged ? colourName(colours[i]) + (info.colour ? " (from the file)" : " (default)")
                                  : QStringLiteral("greyscale"))
                      .arg(info.name.isEmpty() ? QString() : QStringLiteral(", ") + info.name));
    }
    printWindows(import, channels);
    const int frames = import.frameCount();
    print(QStringLiteral("would read %1 planes and write %2 %3 frames (%4 x %5, %6 x %7) to %8, about %9")
                  .arg(import.planeCount()).arg(frames).arg(merged ? "colour" : "greyscale")
                  .arg(input.width).arg(input.height)
                  .arg(counted(input.times, "time point"), counted(input.planes, "focal plane"), output)
                  .arg(sizeText(double(frameSize) * frames)));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tesseline-import"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TESSELINE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Turns TIFF stacks, or series of TIFF, PNG or JPEG files, into a Tesseline dataset:\n"
            "OUT/NAME.tz and OUT/img/NAME_tNNN_zNNN_ch000.jpg."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    parser.addOptions({
            { { "o", "output" }, "Write the dataset into folder <dir> (default: ./NAME).", "dir" },
            { "name", "Name the dataset <name> (default: from the input names, without indices).", "name" },
            { "planes", "Each time point has <n> focal planes (input without metadata).", "n" },
            { "order", "zt: focal planes vary fastest (default); tz: time points do.", "order" },
            { "pattern", "Where the indices are in the file names: {t}, {z} and {c}.", "pattern" },
            { "channel", "Write only these channels (0-based, e.g. 0 or 0,2).", "list" },
            { "range", "Map LOW..HIGH to 0..255, for all channels or channel C; full: the type's range.",
              "[C=]LOW:HIGH|full" },
            { "quality", "JPEG quality, 1 to 100 (default 95).", "q" },
            { "threads", "Encode on <n> threads (default: one per core).", "n" },
            { "force", "Replace an existing dataset once the new one is complete." },
            { "dry-run", "Say what would be written, and write nothing." },
            { { "q", "quiet" }, "Print nothing but warnings and errors." },
    });
    parser.addPositionalArgument(QStringLiteral("INPUT"), QStringLiteral("A TIFF stack, or the files of a series."),
                                 QStringLiteral("INPUT..."));
    if (!parser.parse(QCoreApplication::arguments()))
        misuse(parser.errorText());
    if (parser.isSet(helpOption))
        parser.showHelp(0);
    if (parser.isSet(versionOption)) {
        std::cout << "tesseline-import " << TESSELINE_VERSION << std::endl;
        return 0;
    }

    const QStringList inputs = parser.positionalArguments();
    if (inputs.isEmpty())
        misuse(QStringLiteral("no input given"));
    stackOptions layout;
    if (parser.isSet("planes"))
        layout.planes = intValue(parser, "planes", 1, 1000000);
    const QString order = parser.value("order");
    if (parser.isSet("order") && order != QLatin1String("zt") && order != QLatin1String("tz"))
        misuse(QStringLiteral("--order %1: not zt or tz").arg(order));
    layout.timeFastest = order == QLatin1String("tz");
    layout.pattern = parser.value("pattern");
    const int quality = parser.isSet("quality") ? intValue(parser, "quality", 1, 100) : 95;
    const int threads = parser.isSet("threads") ? intValue(parser, "threads", 1, 1024) : QThread::idealThreadCount();
    const std::vector<int> chosen = parser.isSet("channel") ? channelValues(parser.value("channel")) : std::vector<int>();
    const ranges requested = rangeValues(parser.values("range"));
    const bool quiet = parser.isSet("quiet");
    const bool dryRun = parser.isSet("dry-run");
    const bool force = parser.isSet("force");

    const QString name = parser.isSet("name") ? parser.value("name") : datasetNameFor(inputs);
    if (!isDatasetName(name))
        fail(parser.isSet("name") ? name + QStringLiteral(": a dataset name has only letters, digits, '-', '_' and '.'")
                                  : inputs.first() + QStringLiteral(": no dataset name in this file name; give --name"));
    const QString output = parser.isSet("output") ? parser.value("output") : name;
    const QFileInfo outputInfo(output);
    if (!force && (outputInfo.exists() || outputInfo.isSymLink()))
        fail(output + QStringLiteral(": exists already; --force replaces it"));
    if (force) {
        const QString refusal = datasetwriter::cannotReplace(output, inputs);
        if (!refusal.isEmpty())
            fail(refusal);
    }

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : { SIGINT, SIGTERM, SIGHUP })
        sigaction(signal, &action, nullptr);
    // A file size limit is then a write error rather than the end of the program.
    std::signal(SIGXFSZ, SIG_IGN);

    QElapsedTimer clock;
    clock.start();
    QString error;
    std::unique_ptr<stack> input = openStack(inputs, layout, &error);
    if (!input || caught)
        stop(error);
    for (const QString &warning : std::as_const(input->warnings))
        std::cerr << "tesseline-import: warning: " << warning.toLocal8Bit().constData() << std::endl;

    const int channelCount = int(input->channels.size());
    std::vector<int> channels = chosen;
    if (channels.empty()) {
        for (int c = 0; c < channelCount; ++c)
            channels.push_back(c);
    }
    for (int c : channels) {
        if (c >= channelCount)
            misuse(QStringLiteral("--channel %1: the input has %2 channel(s)").arg(c).arg(channelCount));
    }
    std::vector<std::optional<rangeRequest>> requests;
    for (const auto &[c, request] : requested.perChannel) {
        if (c >= channelCount)
            misuse(QStringLiteral("--range %1=...: the input has %2 channel(s)").arg(c).arg(channelCount));
    }
    for (int c : channels) {
        const auto own = requested.perChannel.find(c);
        requests.push_back(own != requested.perChannel.end() ? std::optional(own->second) : requested.all);
    }

    importer import(*input, channels, &caught);
    if (!import.chooseWindows(requests, &error))
        stop(error);
    if (dryRun) {
        std::size_t frameSize = 0;
        if (!import.sampleFrameSize(quality, &frameSize, &error))
            stop(error);
        describe(inputs, *input, import, channels, QDir::cleanPath(outputInfo.absoluteFilePath()), frameSize);
        return 0;
    }
    if (!quiet)
        printWindows(import, channels);

    datasetwriter writer(output, name);
    std::cout.flush();
    const bool done = writer.begin(&error)
            && import.run(writer, quality, threads, !quiet && isatty(STDERR_FILENO), &error) && !caught
            && writer.commit(input->width, input->height, input->times, input->planes, force, &error);
    if (!done) {
        // Name files by where they were to be, not by the temporary folder.
        if (!writer.temporaryFolder().isEmpty())
            error.replace(writer.temporaryFolder(), output);
        writer.discard();
        stop(error);
    }
    if (!quiet) {
        const double seconds = clock.nsecsElapsed() / 1e9;
        print(QStringLiteral("wrote %1 frames (%2 x %3, %4 x %5, %6) to %7 in %8 s (%9 frames/s)")
                      .arg(import.framesWritten()).arg(input->width).arg(input->height)
                      .arg(counted(input->times, "time point"), counted(input->planes, "focal plane"),
                           counted(qint64(channels.size()), "channel"), output).arg(seconds, 0, 'f', 1)
                      .arg(seconds > 0 ? import.framesWritten() / seconds : 0.0, 0, 'f', 1));
    }
    return 0;
}
