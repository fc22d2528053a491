#ifndef IMPORTFLOW_H
#define IMPORTFLOW_H

#include "importdialog.h"

#include <QObject>
#include <QProcess>
#include <QStringList>

#include <functional>

QT_BEGIN_NAMESPACE
class QJsonObject;
class QProgressDialog;
QT_END_NAMESPACE
class framesource;

// File › Save as Dataset: tesseline-import, run as a child process,
// describes the recording shown for the import dialog, which starts from
// what the window shows; then it writes the dataset with a progress dialog.
class importflow : public QObject
{
    Q_OBJECT

public:
    explicit importflow(QWidget *parent);
    ~importflow() override;

    void save(const framesource &recording);

private slots:
    void describeImage(int image);
    void measure(int image, int channel);
    void dialogFinished(int result);
    void readProgress();
    void importFinished(int exitCode, QProcess::ExitStatus status);
    void cancelImport();

private:
    using described = std::function<void(const QJsonObject &description, const QString &error)>;
    void describe(const QStringList &options, QObject *owner, const described &done);
    void showDialog(const QJsonObject &description);
    void runImport(const QStringList &options);
    void showError(const QString &text);
    QString importerPath() const;
    static void stopProcesses(QObject *owner);

    QWidget *window;
    QString program; // the importer to run instead of the one looked up
    QString command;
    QStringList inputs;
    QStringList layout;   // --planes, for the axes as swapped
    QList<importdialog::shownChannel> shown;
    bool active = false;
    importdialog *dialog = nullptr;
    QProcess *import = nullptr;
    QProgressDialog *progress = nullptr;
    QString descriptor;
    bool canceled = false;

    friend class tst_importflow;
    friend class tst_recording;
};

#endif
