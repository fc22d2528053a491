#include "importflow.h"
#include "importdialog.h"
#include "formats.h"
#include "framesource.h"

#include <QtWidgets>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/types.h>
#endif

namespace {

const QString importerName = QStringLiteral("tesseline-import");

// The importer's one-line reason: the last line it wrote to standard error.
QString reason(QProcess *process)
{
    const QStringList lines = QString::fromLocal8Bit(process->readAllStandardError()).trimmed().split(QLatin1Char('\n'));
    if (!lines.last().isEmpty())
        return lines.last();
    if (process->error() == QProcess::FailedToStart)
        return process->errorString();
    return QCoreApplication::translate("importflow", "%1 ended without saying why.").arg(importerName);
}

QString timeText(double seconds)
{
    const int s = qCeil(seconds);
    return s < 60 ? QCoreApplication::translate("importflow", "%1 s").arg(s)
                  : QCoreApplication::translate("importflow", "%1 min %2 s").arg(s / 60).arg(s % 60);
}

} // namespace

importflow::importflow(QWidget *parent)
    : QObject(parent), window(parent)
{
}

// An import still running is interrupted, so that it leaves nothing behind.
importflow::~importflow()
{
    if (import) {
        import->disconnect();
        cancelImport();
        import->waitForFinished();
    }
    if (dialog)
        stopProcesses(dialog);
    stopProcesses(this);
}

// Describes the recording as the window shows it, then shows the dialog
// filled from it.  One import at a time: while one runs, its dialog comes
// to the front instead.
void importflow::save(const framesource &recording)
{
    if (active) {
        for (QWidget *shown : { static_cast<QWidget *>(dialog), static_cast<QWidget *>(progress) }) {
            if (shown) {
                shown->raise();
                shown->activateWindow();
            }
        }
        return;
    }
    command = importerPath();
    if (command.isEmpty()) {
        showError(tr("\"%1\" was not found beside %2 nor on PATH.")
                          .arg(importerName, QDir::toNativeSeparators(QCoreApplication::applicationDirPath())));
        return;
    }
    active = true;
    inputs = inputsOf(recording.paths());
    layout.clear();
    // Swapped, the pages of the one axis are the other axis's.
    if (recording.swapped())
        layout << QStringLiteral("--planes") << QString::number(recording.planes().last + 1);
    QStringList options = layout;
    if (recording.features() & framesource::choosingImages)
        options << QStringLiteral("--image") << QString::number(recording.image());
    if (recording.projection() != projectionKind::none)
        options << QStringLiteral("--project") << projectionKey(recording.projection()) << QStringLiteral("--project-planes")
                << QStringLiteral("%1-%2").arg(recording.projected().first).arg(recording.projected().last);
    shown.clear();
    const std::vector<channel> &channels = recording.channels();
    QStringList included;
    for (size_t c = 0; c < channels.size(); ++c) {
        const channel &channel = channels[c];
        shown << importdialog::shownChannel { channel.shown, channel.colour, channel.low, channel.high };
        if (!channel.shown)
            continue;
        included << QString::number(c);
        options << QStringLiteral("--range") << QStringLiteral("%1=%2:%3").arg(c).arg(channel.low, 0, 'g', 12).arg(channel.high, 0, 'g', 12)
                << QStringLiteral("--colour") << QStringLiteral("%1=%2").arg(c).arg(QColor(channel.colour).name());
    }
    options << QStringLiteral("--channel") << included.join(QLatin1Char(','));
    QApplication::setOverrideCursor(Qt::BusyCursor);
    describe(options, this, [this](const QJsonObject &description, const QString &error) {
        QApplication::restoreOverrideCursor();
        if (error.isEmpty()) {
            showDialog(description);
        } else {
            active = false;
            showError(error);
        }
    });
}

void importflow::describeImage(int image)
{
    dialog->setCursor(Qt::BusyCursor);
    describe(layout + QStringList { QStringLiteral("--image"), QString::number(image) }, dialog,
             [this](const QJsonObject &description, const QString &error) {
                 dialog->unsetCursor();
                 if (error.isEmpty()) {
                     dialog->setDescription(description);
                 } else {
                     dialog->keepImage();
                     showError(error);
                 }
             });
}

// The auto window of a channel takes a pass over its pixels: in the
// background, for as long as the dialog is open.
void importflow::measure(int image, int channel)
{
    describe(layout + QStringList { QStringLiteral("--image"), QString::number(image), QStringLiteral("--range"),
                                    QStringLiteral("%1=auto").arg(channel) },
             dialog, [this, image, channel](const QJsonObject &description, const QString &) {
                 QJsonObject window;
                 for (const QJsonValue &entry : description[QLatin1String("channels")].toArray()) {
                     if (entry[QLatin1String("index")].toInt() == channel)
                         window = entry[QLatin1String("window")].toObject();
                 }
                 dialog->setAutoWindow(image, channel, window);
             });
}

void importflow::dialogFinished(int result)
{
    stopProcesses(dialog);
    dialog->deleteLater();
    const QStringList options = dialog->arguments();
    dialog = nullptr;
    if (result == QDialog::Accepted)
        runImport(options + layout);
    else
        active = false;
}

void importflow::readProgress()
{
    QJsonObject last;
    while (import->canReadLine()) {
        const QJsonObject line = QJsonDocument::fromJson(import->readLine()).object();
        if (line[QLatin1String("stage")] == QLatin1String("done"))
            descriptor = line[QLatin1String("descriptor")].toString();
        else if (!line.isEmpty())
            last = line;
    }
    if (last.isEmpty())
        return;
    const int done = last[QLatin1String("done")].toInt();
    const int total = last[QLatin1String("total")].toInt();
    QString text = last[QLatin1String("stage")] == QLatin1String("measuring")
            ? tr("Measuring brightness…\n%1 of %2 planes").arg(done).arg(total)
            : tr("Writing frames…\n%1 of %2 frames").arg(done).arg(total);
    const QJsonValue left = last[QLatin1String("left")];
    if (left.isDouble())
        text += tr(", %1 left").arg(timeText(left.toDouble()));
    progress->setLabelText(text);
    progress->setMaximum(total);
    progress->setValue(done);
}

// A cancelled import, or one interrupted otherwise (status 130), says
// nothing: the importer has removed what it wrote.
void importflow::importFinished(int exitCode, QProcess::ExitStatus status)
{
    readProgress();
    const QString why = reason(import);
    import->deleteLater();
    import = nullptr;
    progress->hide();
    progress->deleteLater();
    progress = nullptr;
    active = false;
    if (canceled || (status == QProcess::NormalExit && exitCode == 130))
        return;
    if (status != QProcess::NormalExit || exitCode != 0 || descriptor.isEmpty()) {
        showError(why);
        return;
    }
    auto *box = new QMessageBox(QMessageBox::Information, tr("Save as Dataset"),
                                tr("The dataset was saved as %1.").arg(QDir::toNativeSeparators(descriptor)),
                                QMessageBox::Ok, window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

// As Ctrl+C would: the importer then removes what it wrote.
void importflow::cancelImport()
{
    if (canceled)
        return;
    canceled = true;
#ifdef Q_OS_UNIX
    if (import->processId() > 0)
        ::kill(pid_t(import->processId()), SIGINT);
#else
    import->kill();
#endif
}

// Runs --describe on the inputs; done gets the description, or else the
// importer's reason.  The run ends with its owner.
void importflow::describe(const QStringList &options, QObject *owner, const described &done)
{
    auto *process = new QProcess(owner);
    connect(process, &QProcess::finished, process, [process, done](int exitCode, QProcess::ExitStatus status) {
        const QJsonDocument json = QJsonDocument::fromJson(process->readAllStandardOutput());
        if (status == QProcess::NormalExit && exitCode == 0 && json.isObject())
            done(json.object(), QString());
        else
            done(QJsonObject(), reason(process));
        process->deleteLater();
    });
    connect(process, &QProcess::errorOccurred, process, [process, done](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        done(QJsonObject(), reason(process));
        process->deleteLater();
    });
    process->start(command, QStringList(QStringLiteral("--describe")) + options + inputs);
}

void importflow::showDialog(const QJsonObject &description)
{
    dialog = new importdialog(window);
    connect(dialog, &importdialog::imageChosen, this, &importflow::describeImage);
    connect(dialog, &importdialog::measureWanted, this, &importflow::measure);
    connect(dialog, &QDialog::finished, this, &importflow::dialogFinished);
    dialog->setDescription(description);
    dialog->setShown(shown);
    dialog->open();
}

void importflow::runImport(const QStringList &options)
{
    progress = new QProgressDialog(tr("Starting…"), tr("Cancel"), 0, 0, window);
    progress->setWindowTitle(tr("Save as Dataset"));
    progress->setAutoReset(false);
    progress->setAutoClose(false);
    connect(progress, &QProgressDialog::canceled, this, &importflow::cancelImport);

    canceled = false;
    descriptor.clear();
    import = new QProcess(this);
    connect(import, &QProcess::readyReadStandardOutput, this, &importflow::readProgress);
    connect(import, &QProcess::finished, this, &importflow::importFinished);
    connect(import, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            importFinished(-1, QProcess::CrashExit);
    });
    import->start(command, options + QStringList(QStringLiteral("--json-progress")) + inputs);
    progress->show();
}

void importflow::showError(const QString &text)
{
    auto *box = new QMessageBox(QMessageBox::Warning, tr("Save as Dataset"), importdialog::viewerWords(text), QMessageBox::Ok,
                                dialog ? static_cast<QWidget *>(dialog) : window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

// Beside the viewer, else on PATH.
QString importflow::importerPath() const
{
    if (!program.isEmpty())
        return program;
    const QString beside = QStandardPaths::findExecutable(importerName, { QCoreApplication::applicationDirPath() });
    return beside.isEmpty() ? QStandardPaths::findExecutable(importerName) : beside;
}

// Ends the importer runs owned by owner, without their results.
void importflow::stopProcesses(QObject *owner)
{
    for (QProcess *process : owner->findChildren<QProcess *>()) {
        process->disconnect();
        process->kill();
        process->waitForFinished();
    }
}
