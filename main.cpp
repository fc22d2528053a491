#include "window.h"

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

// Why a descriptor cannot be read, in words a person understands; empty if it can.
// Only regular files are opened, so that a pipe or a device cannot block.
QString unreadable(const QString &fileName)
{
    const QFileInfo info(fileName);
    if (!info.exists())
        return QStringLiteral("No such file or directory");
    if (info.isDir())
        return QStringLiteral("Is a directory");
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
    QCoreApplication::setApplicationName("tesseline");
    QCoreApplication::setApplicationVersion(TESSELINE_VERSION);

    QCommandLineParser parser;
    parser.setApplicationDescription(
            "Viewer for z-stack time-lapse image series: opens a .tz descriptor and steps through\n"
            "its JPEG frames by time point and focal plane; a microscope's TIFF file is imported\n"
            "first, through a dialog. Qt's standard options (-platform, -style, -geometry, ...)\n"
            "are accepted too. The full manual: man tesseline.");
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({ "h", "help" }, "Displays this help.");
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
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
    parser.addPositionalArgument("descriptor", "The dataset descriptor (.tz) to open, or a TIFF stack to import.",
                                 "[descriptor.tz|stack.tif]");
    if (!parser.parse(arguments))
        misuse(parser.errorText());
    if (parser.isSet(help)) {
        std::cout << parser.helpText().replace("<executable_name>", "tesseline").toLocal8Bit().constData();
        return 0;
    }
    if (parser.isSet(version))
        parser.showVersion();
    const QStringList descriptors = parser.positionalArguments();
    if (descriptors.size() > 1)
        misuse(QString("only one descriptor or stack can be opened, %1 were given").arg(descriptors.size()));
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

    if (!descriptors.isEmpty()) {
        const QString fileName = descriptors.first();
        const QString reason = unreadable(fileName);
        if (reason.isEmpty())
            w.openFile(fileName);
        else
            std::cerr << "tesseline: cannot read " << fileName.toLocal8Bit().constData() << ": "
                      << reason.toLocal8Bit().constData() << std::endl;
    }

    w.show();
    return app.exec();
}
