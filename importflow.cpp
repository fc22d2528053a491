#include "importflow.h"
#include "importdialog.h"

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

// Whether the record of an earlier import names exactly these inputs, unchanged since.
bool unchangedSince(const QString &record, const QJsonArray &inputs)
{
    QFile file(record);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QJsonArray recorded = QJsonDocument::fromJson(file.readAll())[QLatin1String("inputs")].toArray();
    if (recorded.isEmpty() || recorded.size() != inputs.size())
        return false;
    for (qsizetype i = 0; i < inputs.size(); ++i) {
        const QFileInfo info(inputs[i].toString());
        const QJsonValue entry = recorded[i];
        if (entry[QLatin1String("path")].toString() != info.absoluteFilePath()
            || entry[QLatin1String("size")].toInteger(-1) != info.size()
            || QDateTime::fromString(entry[QLatin1String("modified")].toString(), Qt::ISODateWithMs)
                    != info.lastModified())
            return false;
    }
    return true;
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

// A TIFF (or BigTIFF) file by its first bytes, whatever its name.
bool importflow::isStack(const QString &fileName)
{
    QFile file(fileName);
    if (!QFileInfo(fileName).isFile() || !file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(4);
    for (const char *magic : { "II*\0", "MM\0*", "II+\0", "MM\0+" }) {
        if (head == QByteArray(magic, 4))
            return true;
    }
    return false;
}

// What a drop gives the importer: one stack, a folder's images, or several
// images, in the natural order of their names; or nothing.
QStringList importflow::droppedInputs(const QMimeData *data)
{
    static const QStringList images { "*.tif", "*.tiff", "*.lsm", "*.png", "*.jpg", "*.jpeg" };
    QStringList files;
    for (const QUrl &url : data->urls()) {
        if (!url.isLocalFile())
            return {};
        files << url.toLocalFile();
    }
    if (files.size() == 1) {
        const QFileInfo info(files.first());
        if (!info.isDir())
            return isStack(files.first()) ? files : QStringList();
        const QDir folder(files.first());
        files.clear();
        for (const QString &name : folder.entryList(images, QDir::Files))
            files << folder.absoluteFilePath(name);
    } else {
        for (const QString &file : files) {
            if (!QFileInfo(file).isFile() || !QDir::match(images, QFileInfo(file).fileName()))
                return {};
        }
    }
    QCollator collator;
    // Qt compares by code alone in the C locale, numbers too.
    if (collator.locale().language() == QLocale::C)
        collator.setLocale(QLocale(QLocale::English));
    collator.setNumericMode(true);
    std::sort(files.begin(), files.end(), collator);
    return files;
}

void importflow::setLastFile(const QString &fileName)
{
    lastFolder = QFileInfo(fileName).absolutePath();
}

void importflow::chooseFile()
{
    const QString fileName = QFileDialog::getOpenFileName(
            window, tr("Import"), lastFolder.isEmpty() ? QDir::currentPath() : lastFolder,
            tr("TIFF and LSM files (*.tif *.tiff *.lsm);;All files (*)"));
    if (!fileName.isEmpty())
        start({ fileName });
}

// Asks the importer what the files hold, then shows the dialog.  One import
// at a time: while one runs, its dialog comes to the front instead.
void importflow::start(const QStringList &files)
{
    if (files.isEmpty())
        return;
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
    inputs.clear();
    for (const QString &file : files)
        inputs << QFileInfo(file).absoluteFilePath();
    setLastFile(inputs.first());
    QApplication::setOverrideCursor(Qt::BusyCursor);
    describe({}, this, [this](const QJsonObject &description, const QString &error) {
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
    describe({ QStringLiteral("--image"), QString::number(image) }, dialog,
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
    describe({ QStringLiteral("--image"), QString::number(image), QStringLiteral("--range"),
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
    const QString existing = dialog->existing();
    dialog = nullptr;
    if (result == QDialog::Accepted) {
        runImport(options);
        return;
    }
    active = false;
    if (result == importdialog::OpenExisting)
        open(existing);
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
    if (status == QProcess::NormalExit && exitCode == 0 && !descriptor.isEmpty())
        open(descriptor);
    else
        showError(why);
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

// An earlier import of the same unchanged input, in the folder the dialog
// proposes, is offered to be opened.
void importflow::showDialog(const QJsonObject &description)
{
    dialog = new importdialog(window);
    connect(dialog, &importdialog::imageChosen, this, &importflow::describeImage);
    connect(dialog, &importdialog::measureWanted, this, &importflow::measure);
    connect(dialog, &QDialog::finished, this, &importflow::dialogFinished);
    dialog->setDescription(description);
    const QDir folder(dialog->folder());
    const QString name = description[QLatin1String("name")].toString();
    const QString existing = folder.filePath(name + QLatin1String(".tz"));
    if (QFileInfo(existing).isFile()
        && unchangedSince(folder.filePath(name + QLatin1String(".import.json")),
                          description[QLatin1String("inputs")].toArray()))
        dialog->offerExisting(existing);
    dialog->open();
}

void importflow::runImport(const QStringList &options)
{
    progress = new QProgressDialog(tr("Starting…"), tr("Cancel"), 0, 0, window);
    progress->setWindowTitle(tr("Import"));
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

// As if picked in File › Open; File › Import still starts where the input was.
void importflow::open(const QString &descriptor)
{
    const QString folder = lastFolder;
    emit datasetReady(descriptor);
    lastFolder = folder;
}

void importflow::showError(const QString &text)
{
    auto *box = new QMessageBox(QMessageBox::Warning, tr("Import"), text, QMessageBox::Ok,
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
