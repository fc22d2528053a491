#include "window.h"
#include "formats.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace {

// Qt's own options: accepted here so that their values are not taken for a
// descriptor; QApplication acts on them.
const QStringList qtOptionsWithValue { "platform", "platformpluginpath", "platformtheme", "plugin",
                                       "qmljsdebugger", "qwindowgeometry", "geometry", "qwindowicon",
                                       "icon", "qwindowtitle", "title", "session", "display", "style",
                                       "stylesheet", "name", "visual", "ncols", "cmap" };
const QStringList qtFlags { "reverse", "widgetcount", "nograb", "dograb", "sync" };

[[noreturn]] void misuse(const QString &problem)
{
    std::cerr << "tesseline: " << problem.toLocal8Bit().constData() << "\n"
              << "Try 'tesseline --help'." << std::endl;
    std::exit(2);
}

// Why a descriptor or recording cannot be read, in words a person
// understands; empty if it can.  Only regular files are opened, so that a
// pipe or a device cannot block; a folder is a recording's.
QString unreadable(const QString &fileName, bool folderAllowed)
{
    const QFileInfo info(fileName);
    if (!info.exists())
        return QStringLiteral("No such file or directory");
    if (info.isDir())
        return folderAllowed ? QString() : QStringLiteral("Is a directory");
    if (!info.isFile())
        return QStringLiteral("Not a regular file");
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? QString() : file.errorString();
}

// Whether Qt has a window system to connect to.  Without one it aborts and
// advises reinstalling; a person over plain ssh rather needs to hear how to get one.
bool hasDisplay(const QCommandLineParser &parser)
{
#ifdef Q_OS_LINUX
    if (parser.isSet("platform") || parser.isSet("display") || !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return true;
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
#else
    Q_UNUSED(parser);
    return true;
#endif
}

} // namespace

int main(int argc, char *argv[])
{
#ifdef __GLIBC__
    // Frames come and go in buffers of many megabytes.  Freed ones stay in the
    // heap for the next frame, rather than going back to the system and coming
    // again as fresh pages the kernel has to fault in and clear at every step.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 512 * 1024 * 1024);
#endif

    // The command line is read before any window-system connection, so that
    // --help, --version and misuse work without a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCoreApplication::setOrganizationName("tesseline");
    QCoreApplication::setApplicationName("tesseline");
    QCoreApplication::setApplicationVersion(TESSELINE_VERSION);

    QCommandLineParser parser;
    parser.setApplicationDescription(
            "Viewer for z-stack time-lapse image series: opens a .tz descriptor and steps through\n"
            "its JPEG frames by time point and focal plane, or shows a microscope recording where\n"
            "it lies: a TIFF file, the files of a series, or a folder of them. Qt's standard\n"
            "options (-platform, -style, -geometry, ...) are accepted too. The full manual:\n"
            "man tesseline.");
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({ "h", "help" }, "Displays this help.");
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption timeout("timeout", "Seconds each request to a web server may take (default 20).", "seconds");
    parser.addOption(timeout);
    for (const QString &name : qtOptionsWithValue) {
        QCommandLineOption option(name, QString(), "value");
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const QString &name : qtFlags) {
        QCommandLineOption option(name);
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    parser.addPositionalArgument("file", "A dataset's descriptor (.tz); or a recording shown in place: a TIFF "
                                         "file, the files of a series, a folder of them, or an OME-Zarr folder or "
                                         "http(s) or s3:// URL.",
                                 "[descriptor.tz | recording... | folder | URL]");
    if (!parser.parse(arguments))
        misuse(parser.errorText());
    if (parser.isSet(help)) {
        std::cout << parser.helpText().replace("<executable_name>", "tesseline").toLocal8Bit().constData();
        return 0;
    }
    if (parser.isSet(version))
        parser.showVersion();
    bool timeoutOk = true;
    const int seconds = parser.isSet(timeout) ? parser.value(timeout).toInt(&timeoutOk) : 20;
    if (!timeoutOk || seconds < 1 || seconds > 3600)
        misuse(QString("--timeout %1: not a whole number of seconds from 1 to 3600").arg(parser.value(timeout)));
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1) {
        for (const QString &file : files) {
            if (file.endsWith(".tz"))
                misuse(QString("a descriptor is opened alone, %1 files were given").arg(files.size()));
        }
    }
    if (!hasDisplay(parser)) {
        std::cerr << "tesseline: no display to open a window on (DISPLAY and WAYLAND_DISPLAY are unset); "
                     "use ssh -X, or Tesseline's scripts/headless.sh to serve it over VNC"
                  << std::endl;
        return 1;
    }

    // Qt sees only what comes before "--": a file named like a Qt option stays a file.
    std::vector<char *> qtArguments(argv, argv + argc);
    qtArguments.erase(std::find(qtArguments.begin() + 1, qtArguments.end(), std::string("--")),
                      qtArguments.end());
    int qtArgc = int(qtArguments.size());
    qtArguments.push_back(nullptr);
    QApplication app(qtArgc, qtArguments.data());
    window w(nullptr);
    w.setRequestTimeout(seconds);

    bool readable = !files.isEmpty();
    for (const QString &fileName : files) {
        if (isAddress(fileName))
            continue;
        const QString reason = unreadable(fileName, files.size() == 1 && !fileName.endsWith(".tz"));
        if (reason.isEmpty())
            continue;
        std::cerr << "tesseline: cannot read " << fileName.toLocal8Bit().constData() << ": "
                  << reason.toLocal8Bit().constData() << std::endl;
        readable = false;
    }
    if (readable)
        w.openPaths(files);

    w.show();
    return app.exec();
}
