#ifndef EXPORTDIALOG_H
#define EXPORTDIALOG_H

#include <QDialog>

QT_BEGIN_NAMESPACE
class QComboBox;
class QLineEdit;
QT_END_NAMESPACE

// File › Export View: where to write the frame as shown, in which form, and
// whether the region in view or the whole frame.
class exportdialog : public QDialog
{
    Q_OBJECT

public:
    enum kind { png, tiff, rawTiff };

    exportdialog(const QString &proposed, QWidget *parent = nullptr);

    QString fileName() const;
    kind format() const;
    bool wholeFrame() const;

private:
    void browse();
    void suffixFor(int format);

    QLineEdit *file;
    QComboBox *formats;
    QComboBox *region;
};

#endif
