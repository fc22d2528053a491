#ifndef DATASETWRITER_H
#define DATASETWRITER_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// Writes a dataset into a temporary folder beside its output folder and
// renames it into place once complete; an existing output folder is replaced
// only then.  Until commit() succeeds, discard() or the destructor removes
// everything written.
class datasetwriter
{
public:
    datasetwriter(const QString &output, const QString &name);
    ~datasetwriter();
    datasetwriter(const datasetwriter &) = delete;
    datasetwriter &operator=(const datasetwriter &) = delete;

    bool begin(QString *error);
    // What the dataset was imported from, written beside its descriptor as NAME.import.json.
    void setRecord(const QByteArray &json) { record = json; }
    QString framePath(int t, int z) const;
    // Writes the descriptor, then renames the folder into place.
    bool commit(int width, int height, int times, int planes, bool replace, QString *error);
    void discard();
    QString temporaryFolder() const { return temporary; }

    // Why an existing output must not be replaced, empty if it may: it is
    // not a dataset (descriptors, their records and img), or it holds an
    // input or the current folder.
    static QString cannotReplace(const QString &output, const QStringList &inputs);
    static QByteArray descriptor(const QString &name, int width, int height, int times, int planes);
    // Writes a file in one write, checking the write and the close.
    static bool writeFile(const QString &path, const char *data, std::size_t size, QString *error);

private:
    QString output;
    QString name;
    QString temporary;
    QByteArray record;
};

#endif
