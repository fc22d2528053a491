#ifndef RECORDINGDIALOG_H
#define RECORDINGDIALOG_H

#include <QFileDialog>

// File › Open Recording: one file, several files of a series, or a folder.
// A folder selected, or the one shown when nothing is, is opened when Open
// is pressed; a double-click enters it.
class recordingdialog : public QFileDialog
{
    Q_OBJECT

public:
    recordingdialog(QWidget *parent, const QString &folder);

    // The paths chosen, or none when the dialog was cancelled.
    static QStringList choose(QWidget *parent, const QString &folder);

public slots:
    void accept() override;
};

#endif
