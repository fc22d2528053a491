#include "recordingdialog.h"

#include <QFileInfo>

recordingdialog::recordingdialog(QWidget *parent, const QString &folder)
    : QFileDialog(parent, tr("Open Recording"), folder,
                  tr("Microscope files (*.tif *.tiff *.lsm *.png *.jpg *.jpeg);;All files (*)"))
{
    // Qt's own dialog, since the platform's cannot take files and folders alike.
    setOption(QFileDialog::DontUseNativeDialog);
    setFileMode(QFileDialog::ExistingFiles);
    setLabelText(QFileDialog::FileName, tr("File or folder:"));
}

QStringList recordingdialog::choose(QWidget *parent, const QString &folder)
{
    recordingdialog dialog(parent, folder);
    return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles() : QStringList();
}

// Where Qt's dialog would enter a folder selected, or stay in the one shown
// with none selected, that folder is the choice.
void recordingdialog::accept()
{
    const QStringList files = selectedFiles();
    if (files.size() == 1 && QFileInfo(files.first()).isDir()) {
        QDialog::accept();
        return;
    }
    QFileDialog::accept();
}
