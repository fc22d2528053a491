#ifndef IMPORTFLOW_H
#define IMPORTFLOW_H

#include <QObject>
#include <QProcess>
#include <QStringList>

#include <functional>

QT_BEGIN_NAMESPACE
class QJsonObject;
class QMimeData;
class QProgressDialog;
QT_END_NAMESPACE
class importdialog;

// Opening a microscope file: tesseline-import, run as a child process,
// describes it for the import dialog, then writes the dataset with a
// progress dialog; the dataset it wrote is then handed on to be opened.
class importflow : public QObject
{
    Q_OBJECT

public:
    explicit importflow(QWidget *parent);
    ~importflow() override;

    static bool isStack(const QString &fileName);
    static QStringList droppedInputs(const QMimeData *data);
    void setLastFile(const QString &fileName);

public slots:
    void chooseFile();
    void start(const QStringList &files);

signals:
    void datasetReady(const QString &descriptor);

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
    void open(const QString &descriptor);
    void showError(const QString &text);
    QString importerPath() const;
    static void stopProcesses(QObject *owner);

    QWidget *window;
    QString program; // the importer to run instead of the one looked up
    QString command;
    QString lastFolder;
    QStringList inputs;
    bool active = false;
    importdialog *dialog = nullptr;
    QProcess *import = nullptr;
    QProgressDialog *progress = nullptr;
    QString descriptor;
    bool canceled = false;

    friend class tst_importflow;
};

#endif
