#include "datasetwriter.h"
#include "importer.h"
#include "metadata.h"
#include "movieexport.h"
#include "names.h"
#include "stack.h"
#include "zarrstore.h"

#include <QColor>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
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

// Says so, and ends with 130 for Ctrl+C, or as any other signal caught would have ended it.
[[noreturn]] void dieOfSignal()
{
    const int signal = caught;
    std::cerr << "tesseline-import: interrupted; nothing was written" << std::endl;
    if (signal == SIGINT)
        std::exit(128 + SIGINT);
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

// --range LOW:HIGH, full or auto, for every channel, or as C=... for channel C.
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
        } else if (window == QLatin1String("auto")) {
            request.automatic = true;
        } else {
            const QStringList bounds = window.split(u':');
            bool lowOk = false, highOk = false;
            if (bounds.size() == 2) {
                request.low = bounds[0].toDouble(&lowOk);
                request.high = bounds[1].toDouble(&highOk);
            }
            if (!lowOk || !highOk || !std::isfinite(request.low) || !std::isfinite(request.high)
                || !(request.low < request.high))
                misuse(QStringLiteral("--range %1: not LOW:HIGH with LOW below HIGH, full or auto").arg(value));
        }
        if (channel < 0)
            result.all = request;
        else
            result.perChannel[channel] = request;
    }
    return result;
}

// --colour COLOUR for every channel, or C=COLOUR for channel C: #rrggbb or a colour's name.
std::map<int, QRgb> colourValues(const QStringList &values, int channels)
{
    std::map<int, QRgb> result;
    for (const QString &value : values) {
        const int equals = value.indexOf(u'=');
        bool ok = equals < 0;
        const int channel = ok ? -1 : value.left(equals).toInt(&ok);
        const QColor colour(value.mid(equals + 1));
        if (!ok || channel < -1 || !colour.isValid())
            misuse(QStringLiteral("--colour %1: not [C=]COLOUR, with C a channel number from 0 and COLOUR #rrggbb or a name")
                           .arg(value));
        if (channel >= channels)
            misuse(QStringLiteral("--colour %1: the input has %2 channel(s)").arg(value).arg(channels));
        for (int c = channel < 0 ? 0 : channel; c < (channel < 0 ? channels : channel + 1); ++c)
            result[c] = colour.rgb();
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

// What --project and --project-planes ask for; last is -1 for the last plane of the input.
struct projectionRequest
{
    projectionKind kind = projectionKind::none;
    int first = 0;
    int last = -1;
};

projectionRequest projectionValues(const QCommandLineParser &parser)
{
    projectionRequest result;
    if (parser.isSet("project")) {
        const QString key = parser.value("project");
        result.kind = projectionFromKey(key);
        if (result.kind == projectionKind::none)
            misuse(QStringLiteral("--project %1: not max, mean, min, sum or sd").arg(key));
    }
    if (!parser.isSet("project-planes"))
        return result;
    const QString value = parser.value("project-planes");
    if (result.kind == projectionKind::none)
        misuse(QStringLiteral("--project-planes %1: only with --project").arg(value));
    const QRegularExpressionMatch range = QRegularExpression(QStringLiteral("^(\\d{1,7})-(\\d{1,7})$")).match(value);
    if (range.hasMatch()) {
        result.first = range.captured(1).toInt();
        result.last = range.captured(2).toInt();
    }
    if (!range.hasMatch() || result.first > result.last)
        misuse(QStringLiteral("--project-planes %1: not FIRST-LAST, focal planes from 0 with FIRST not above LAST").arg(value));
    return result;
}

// "Maximum of focal planes 0 to 3".
QString projectionText(const projectionRequest &p)
{
    return QStringLiteral("%1 of focal planes %2 to %3").arg(projectionName(p.kind)).arg(p.first).arg(p.last);
}

QJsonValue projectionObject(const projectionRequest &p)
{
    if (p.kind == projectionKind::none)
        return QJsonValue();
    return QJsonObject { { "kind", projectionKey(p.kind) }, { "name", projectionName(p.kind) },
                         { "first", p.first }, { "last", p.last } };
}

QJsonValue number(const std::optional<double> &value)
{
    return value ? QJsonValue(*value) : QJsonValue();
}

// The input's physical sizes, for people and for programs.
QJsonObject sizesObject(const stack &input)
{
    return QJsonObject { { "physicalSize", sizesText(input) }, { "pixelWidth", number(input.pixelWidth) },
                         { "pixelHeight", number(input.pixelHeight) }, { "planeSpacing", number(input.planeSpacing) },
                         { "unit", input.unit }, { "timing", timesText(input) }, { "timeInterval", number(input.timeInterval) },
                         { "frameRate", number(input.frameRate) } };
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
              const projectionRequest &projection, const QString &output, std::size_t frameSize)
{
    const bool merged = import.inColour();
    const std::vector<QRgb> colours = import.colours();
    print(QStringLiteral("input: ") + (inputs.size() == 1 ? inputs.first() + QStringLiteral(", ") : QString())
          + input.description);
    for (std::size_t i = 0; i < input.images.size() && input.images.size() > 1; ++i) {
        const imageSummary &image = input.images[i];
        // OME-Zarr's other fields and series are not looked at.
        if (image.width == 0) {
            print(QStringLiteral("image %1: %2").arg(i).arg(image.name));
            continue;
        }
        print(QStringLiteral("image %1: %2%3 x %4, %5, %6, %7, %8%9").arg(i)
                      .arg(image.name.isEmpty() ? QString() : image.name + QStringLiteral(", "))
                      .arg(image.width).arg(image.height)
                      .arg(counted(image.times, "time point"), counted(image.planes, "focal plane"),
                           counted(image.channels, "channel"), image.type)
                      .arg(int(i) == input.image ? QStringLiteral(" (read)") : QString()));
    }
    print(QStringLiteral("size: %1 x %2, %3, %4, %5 of %6")
                  .arg(input.width).arg(input.height)
                  .arg(counted(input.times, "time point"), counted(input.planes, "focal plane"),
                       counted(qint64(input.channels.size()), "channel"), sampleTypeText(input.bits, input.format)));
    print(QStringLiteral("physical size: ") + sizesText(input));
    print(QStringLiteral("times: ") + timesText(input));
    if (projection.kind != projectionKind::none)
        print(QStringLiteral("projection: ") + projectionText(projection));
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
                  .arg(counted(input.times, "time point"), counted(import.planesWritten(), "focal plane"), output)
                  .arg(sizeText(double(frameSize) * frames)));
}

QJsonValue window(const intensityWindow &w)
{
    if (w.unmeasured)
        return QJsonValue();
    return QJsonObject { { "low", w.low }, { "high", w.high }, { "source", w.source } };
}

QJsonValue pair(std::optional<double> low, std::optional<double> high)
{
    return low && high ? QJsonValue(QJsonArray { *low, *high }) : QJsonValue();
}

// What --describe prints: the input as the viewer's Save as Dataset dialog
// shows it; frameBytes is the mean size of a few frames encoded.
QJsonObject description(const QStringList &inputs, const stack &input, const importer &import,
                        const std::vector<int> &chosen, const projectionRequest &projection, const QString &name,
                        std::size_t frameBytes)
{
    QJsonArray files;
    for (const QString &file : input.files.isEmpty() ? inputs : input.files)
        files.append(zarrstore::isUrl(file) ? file : QFileInfo(file).absoluteFilePath());
    QJsonArray images;
    for (const imageSummary &image : input.images)
        images.append(QJsonObject { { "name", image.name }, { "width", image.width }, { "height", image.height },
                                    { "times", image.times }, { "planes", image.planes },
                                    { "channels", image.channels }, { "type", image.type } });
    const intensityWindow whole = typeRange(input.bits, input.format);
    const std::vector<QRgb> colours = import.colours();
    QJsonArray channels;
    for (std::size_t c = 0; c < input.channels.size(); ++c) {
        const channelInfo &info = input.channels[c];
        channels.append(QJsonObject {
                { "index", int(c) }, { "name", info.name }, { "colour", colourName(colours[c]) },
                { "colourFromFile", bool(info.colour) },
                { "fileWindow", import.ownWindows() ? QJsonValue() : pair(info.low, info.high) },
                { "typeWindow", input.format == sampleFormat::floatingPoint || import.ownWindows()
                                        ? QJsonValue() : pair(whole.low, whole.high) },
                { "window", window(import.windows()[c]) },
                { "selected", std::find(chosen.begin(), chosen.end(), int(c)) != chosen.end() } });
    }
    const int frames = import.frameCount(chosen);
    QJsonObject result {
        { "inputs", files }, { "format", input.description }, { "pattern", input.pattern }, { "images", images },
        { "image", input.image }, { "width", input.width }, { "height", input.height }, { "times", input.times },
        { "planes", input.planes }, { "type", sampleTypeText(input.bits, input.format) }, { "channels", channels },
        { "projection", projectionObject(projection) }, { "frames", frames },
        { "estimatedBytes", qint64(frameBytes) * frames }, { "name", name },
        { "warnings", QJsonArray::fromStringList(input.warnings) } };
    const QJsonObject sizes = sizesObject(input);
    for (auto it = sizes.begin(); it != sizes.end(); ++it)
        result.insert(it.key(), it.value());
    return result;
}

// The options given that shape a dataset, in one order, for its record.
QStringList arguments(const QCommandLineParser &parser)
{
    QStringList result;
    for (const char *option : { "image", "pattern", "planes", "order", "project", "project-planes", "channel", "range",
                                "colour", "quality", "name" })
        for (const QString &value : parser.values(option))
            result << QStringLiteral("--") + option << value;
    return result;
}

// What the dataset was imported from and how: the viewer reuses an import
// of an input that has not changed since.
QByteArray record(const QStringList &inputs, const QStringList &settings, const QJsonObject &more)
{
    QJsonArray files;
    for (const QString &input : inputs) {
        if (zarrstore::isUrl(input)) {   // as given: no size or time of change to keep
            files.append(QJsonObject { { "url", input } });
            continue;
        }
        const QFileInfo info(input);
        files.append(QJsonObject { { "path", info.absoluteFilePath() }, { "size", info.size() },
                                   { "modified", info.lastModified().toUTC().toString(Qt::ISODateWithMs) } });
    }
    QJsonObject result = more;
    result.insert("inputs", files);
    result.insert("settings", QJsonArray::fromStringList(settings));
    return QJsonDocument(result).toJson();
}

// Text over a movie's frames needs fonts, and so a QGuiApplication.
bool drawsText(int argc, char *argv[])
{
    bool movie = false;
    bool overlays = false;
    for (int i = 1; i < argc && qstrcmp(argv[i], "--") != 0; ++i) {
        const QByteArray argument(argv[i]);
        movie = movie || argument == "--movie" || argument.startsWith("--movie=");
        overlays = overlays || argument == "--scale-bar" || argument == "--time-stamp";
    }
    return movie && overlays;
}

double fpsValue(const QString &value)
{
    bool ok = false;
    const double fps = value.toDouble(&ok);
    if (!ok || !(fps >= 0.01 && fps <= 1000))
        misuse(QStringLiteral("--fps %1: not a number of frames per second from 0.01 to 1000").arg(value));
    return fps;
}

// What the movie options ask for, those that need no input checked.
movieSettings movieValues(const QCommandLineParser &parser)
{
    movieSettings movie;
    movie.fileName = parser.value("movie");
    const std::optional<moviewriter::format> kind = moviewriter::formatFor(movie.fileName);
    if (!kind)
        misuse(QStringLiteral("--movie %1: not a name ending in .mp4 or .avi").arg(movie.fileName));
    movie.kind = *kind;
    for (const char *option : { "output", "name", "describe" })
        if (parser.isSet(option))
            misuse(QStringLiteral("--%1: not with --movie").arg(option));
    const QString over = parser.isSet("over") ? parser.value("over") : QStringLiteral("time");
    if (over != QLatin1String("time") && over != QLatin1String("planes"))
        misuse(QStringLiteral("--over %1: not time or planes").arg(over));
    movie.overPlanes = over == QLatin1String("planes");
    movie.projecting = parser.isSet("project");
    if (movie.overPlanes && (parser.isSet("plane") || movie.projecting))
        misuse(QStringLiteral("--over planes: shows every focal plane; not with --plane or --project"));
    if (!movie.overPlanes && parser.isSet("time"))
        misuse(QStringLiteral("--time: only with --over planes"));
    if (movie.projecting && parser.isSet("plane"))
        misuse(QStringLiteral("--plane: not with --project"));
    if (parser.isSet("quality")) {
        const std::optional<moviewriter::quality> level = moviewriter::qualityFor(parser.value("quality"));
        if (!level)
            misuse(QStringLiteral("--quality %1: not high, normal or small for a movie").arg(parser.value("quality")));
        movie.level = *level;
    }
    if (parser.isSet("max-width"))
        movie.maxWidth = intValue(parser, "max-width", 2, 16384);
    movie.scaleBar = parser.isSet("scale-bar");
    movie.timeStamp = parser.isSet("time-stamp");
    movie.json = parser.isSet("json-progress");
    return movie;
}

} // namespace

int main(int argc, char *argv[])
{
    std::unique_ptr<QCoreApplication> application;
    if (drawsText(argc, argv)) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        application = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        application = std::make_unique<QCoreApplication>(argc, argv);
    }
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
            { "image", "Read image <n> (0-based) of a file that holds several.", "n" },
            { "timeout", "Seconds each request to a web server may take (default 20).", "seconds" },
            { "pattern", "Where the indices are in the file names: {t}, {z} and {c}.", "pattern" },
            { "channel", "Write only these channels (0-based, e.g. 0 or 0,2).", "list" },
            { "range", "Map LOW..HIGH to 0..255, for all channels or channel C; full: the type's range; "
                       "auto: 0.35 % saturated at each end.",
              "[C=]LOW:HIGH|full|auto" },
            { "project", "Write one frame per time point, the projection of its focal planes: max, mean, "
                         "min, sum or sd (standard deviation).",
              "kind" },
            { "project-planes", "Project focal planes FIRST to LAST (0-based; default: all); only with --project.",
              "FIRST-LAST" },
            { "colour", "Merge all channels, or channel C, in COLOUR (#rrggbb or a name); a channel written "
                        "alone in a colour other than white is written in colour.",
              "[C=]COLOUR" },
            { "quality", "JPEG quality, 1 to 100 (default 95); of a movie: high, normal (default) or small.", "q" },
            { "threads", "Encode on <n> threads (default: one per core).", "n" },
            { "force", "Replace an existing dataset once the new one is complete." },
            { "dry-run", "Say what would be written, and write nothing." },
            { "describe", "Print what the input holds as JSON, and write nothing; reads no pixels "
                          "unless --range asks for auto." },
            { "json-progress", "Report progress as JSON lines on standard output, for programs." },
            { "movie", "Write a movie instead of a dataset: FILE.mp4 (H.264) or FILE.avi (Motion JPEG).", "file" },
            { "over", "What the movie goes over: time (default) or planes.", "time|planes" },
            { "plane", "The focal plane of a movie over time (0-based; default: the middle one).", "n" },
            { "time", "The time point of a movie over focal planes (0-based; default 0).", "n" },
            { "fps", "Frames per second of the movie (default: the file's playback rate, else 7).", "fps" },
            { "max-width", "Scale the movie down to at most <w> pixels wide.", "w" },
            { "scale-bar", "Draw a scale bar over the movie (needs the file's pixel size)." },
            { "time-stamp", "Draw the elapsed time, or the focal plane's position, over the movie." },
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
    layout.orderGiven = parser.isSet("order");
    if (parser.isSet("image"))
        layout.image = intValue(parser, "image", 0, 1000000);
    if (parser.isSet("timeout"))
        layout.timeout = intValue(parser, "timeout", 1, 3600);
    layout.pattern = parser.value("pattern");
    const bool makingMovie = parser.isSet("movie");
    for (const char *option : { "over", "plane", "time", "fps", "max-width", "scale-bar", "time-stamp" })
        if (!makingMovie && parser.isSet(option))
            misuse(QStringLiteral("--%1: only with --movie").arg(option));
    movieSettings movie = makingMovie ? movieValues(parser) : movieSettings();
    const int quality = parser.isSet("quality") && !makingMovie ? intValue(parser, "quality", 1, 100) : 95;
    const int threads = parser.isSet("threads") ? intValue(parser, "threads", 1, 1024) : QThread::idealThreadCount();
    const std::vector<int> chosen = parser.isSet("channel") ? channelValues(parser.value("channel")) : std::vector<int>();
    const ranges requested = rangeValues(parser.values("range"));
    projectionRequest projection = projectionValues(parser);
    const bool quiet = parser.isSet("quiet");
    const bool dryRun = parser.isSet("dry-run");
    const bool force = parser.isSet("force");

    const bool describing = parser.isSet("describe");
    const bool json = parser.isSet("json-progress");
    if (parser.isSet("name") && !isDatasetName(parser.value("name")))
        misuse(QStringLiteral("--name %1: a dataset name has only letters, digits, '-', '_' and '.'").arg(parser.value("name")));

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
    if (projection.kind != projectionKind::none) {
        if (projection.last < 0)
            projection.last = input->planes - 1;
        else if (projection.last >= input->planes)
            misuse(QStringLiteral("--project-planes %1: the input has %2")
                           .arg(parser.value("project-planes"), counted(input->planes, "focal plane")));
    }

    for (const QString &warning : describing ? QStringList() : input->warnings)
        std::cerr << "tesseline-import: warning: " << warning.toLocal8Bit().constData() << std::endl;

    // Each image of a file that holds several has a dataset of its own.
    const QString name = parser.isSet("name") ? parser.value("name")
                                              : datasetNameFor(inputs)
                    + (input->images.size() > 1 ? QStringLiteral("_image%1").arg(input->image) : QString());
    if (!makingMovie && !isDatasetName(name))
        fail(inputs.first() + QStringLiteral(": no dataset name in this file name; give --name"));
    const QString output = parser.isSet("output") ? parser.value("output") : name;
    const QFileInfo outputInfo(output);
    if (!makingMovie && !describing && !force && (outputInfo.exists() || outputInfo.isSymLink()))
        fail(output + QStringLiteral(": exists already; --force replaces it"));
    if (!makingMovie && force && !describing) {
        const QString refusal = datasetwriter::cannotReplace(output, inputs);
        if (!refusal.isEmpty())
            fail(refusal);
    }

    const int channelCount = int(input->channels.size());
    std::vector<int> channels = chosen;
    std::vector<int> every;
    for (int c = 0; c < channelCount; ++c)
        every.push_back(c);
    if (channels.empty())
        channels = every;
    for (int c : channels) {
        if (c >= channelCount)
            misuse(QStringLiteral("--channel %1: the input has %2 channel(s)").arg(c).arg(channelCount));
    }
    std::vector<std::optional<rangeRequest>> requests;
    for (const auto &[c, request] : requested.perChannel) {
        if (c >= channelCount)
            misuse(QStringLiteral("--range %1=...: the input has %2 channel(s)").arg(c).arg(channelCount));
    }
    for (int c : describing ? every : channels) {
        const auto own = requested.perChannel.find(c);
        requests.push_back(own != requested.perChannel.end() ? std::optional(own->second) : requested.all);
    }

    const std::map<int, QRgb> colours = colourValues(parser.values("colour"), channelCount);
    // A description tells every channel's window, but measures only those asked for.
    importer import(*input, describing ? every : channels, &caught);
    import.setProjection(projection.kind, projection.first, projection.last);
    for (const auto &[c, colour] : colours)
        import.setColour(c, colour);
    if (makingMovie) {
        if (movie.overPlanes && parser.isSet("time"))
            movie.index = intValue(parser, "time", 0, input->times - 1);
        else if (!movie.overPlanes && !movie.projecting)
            movie.index = parser.isSet("plane") ? intValue(parser, "plane", 0, input->planes - 1) : (input->planes - 1) / 2;
        if (movie.scaleBar && !input->pixelWidth)
            misuse(inputs.first() + QStringLiteral(": the file gives no pixel size, which --scale-bar needs"));
        movie.fps = parser.isSet("fps") ? fpsValue(parser.value("fps"))
                                        : input->frameRate && *input->frameRate >= 0.01 && *input->frameRate <= 1000
                        ? *input->frameRate : 7.0;
        movie.progress = !quiet && !movie.json && isatty(STDERR_FILENO);
        const QFileInfo movieInfo(movie.fileName);
        if (!force && (movieInfo.exists() || movieInfo.isSymLink()))
            fail(movie.fileName + QStringLiteral(": exists already; --force replaces it"));
    } else if (json) {
        import.reportAsJson();
    }
    if (!import.chooseWindows(requests, &error, !describing))
        stop(error);
    if (describing) {
        // The size of the dataset, from a few frames of the channels chosen.
        std::vector<std::optional<rangeRequest>> chosenRequests;
        for (int c : channels)
            chosenRequests.push_back(requests[size_t(c)]);
        importer sample(*input, channels, &caught);
        sample.setProjection(projection.kind, projection.first, projection.last);
        for (const auto &[c, colour] : colours)
            sample.setColour(c, colour);
        std::size_t frameBytes = 0;
        if (!sample.chooseWindows(chosenRequests, &error, false) || !sample.sampleFrameSize(quality, &frameBytes, &error))
            stop(error);
        printJsonLine(description(inputs, *input, import, channels, projection, name, frameBytes));
        return 0;
    }
    if (makingMovie) {
        movieexport exporter(*input, import, movie, input->files.isEmpty() ? inputs : input->files, &caught);
        const QSize size = moviewriter::movieSize(exporter.frameSize());
        const QString summary = QStringLiteral("%1 frames (%2 x %3, %4 frames/s) to %5")
                                        .arg(exporter.frameCount()).arg(size.width()).arg(size.height())
                                        .arg(movie.fps).arg(movie.fileName);
        if (dryRun) {
            print(QStringLiteral("would write ") + summary);
            return 0;
        }
        std::cout.flush();
        if (!exporter.run(&error))
            stop(error);
        if (json)
            printJsonLine({ { "done", true }, { "file", QFileInfo(movie.fileName).absoluteFilePath() } });
        else if (!quiet)
            print(QStringLiteral("wrote ") + summary);
        return 0;
    }
    if (dryRun) {
        std::size_t frameSize = 0;
        if (!import.sampleFrameSize(quality, &frameSize, &error))
            stop(error);
        describe(inputs, *input, import, channels, projection, QDir::cleanPath(outputInfo.absoluteFilePath()), frameSize);
        return 0;
    }
    if (!quiet && !json)
        printWindows(import, channels);

    datasetwriter writer(output, name);
    QJsonObject recorded = sizesObject(*input);
    recorded.insert("projection", projectionObject(projection));
    writer.setRecord(record(input->files.isEmpty() ? inputs : input->files, arguments(parser), recorded));
    std::cout.flush();
    const bool done = writer.begin(&error)
            && import.run(writer, quality, threads, !quiet && isatty(STDERR_FILENO), &error) && !caught
            && writer.commit(input->width, input->height, input->times, import.planesWritten(), force, &error);
    if (!done) {
        // Name files by where they were to be, not by the temporary folder.
        if (!writer.temporaryFolder().isEmpty())
            error.replace(writer.temporaryFolder(), output);
        writer.discard();
        stop(error);
    }
    if (json) {
        printJsonLine({ { "stage", "done" }, { "frames", import.framesWritten() },
                        { "descriptor", QDir::cleanPath(outputInfo.absoluteFilePath() + QLatin1Char('/') + name + ".tz") } });
    } else if (!quiet) {
        const double seconds = clock.nsecsElapsed() / 1e9;
        print(QStringLiteral("wrote %1 frames (%2 x %3, %4 x %5, %6) to %7 in %8 s (%9 frames/s)")
                      .arg(import.framesWritten()).arg(input->width).arg(input->height)
                      .arg(counted(input->times, "time point"), counted(import.planesWritten(), "focal plane"),
                           counted(qint64(channels.size()), "channel"), output).arg(seconds, 0, 'f', 1)
                      .arg(seconds > 0 ? import.framesWritten() / seconds : 0.0, 0, 'f', 1));
    }
    return 0;
}
