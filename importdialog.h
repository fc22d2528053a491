#ifndef IMPORTDIALOG_H
#define IMPORTDIALOG_H

#include <QDialog>
#include <QJsonObject>
#include <QList>

QT_BEGIN_NAMESPACE
class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QDoubleSpinBox;
class QFormLayout;
class QGridLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
QT_END_NAMESPACE

// What an import is to write, shown from the importer's description of the
// input before anything is written: the file or files, the image, the
// channels and their brightness, the dataset's name and folder.
class importdialog : public QDialog
{
    Q_OBJECT

public:
    // The result when an earlier import is to be opened instead.
    enum { OpenExisting = 2 };

    explicit importdialog(QWidget *parent = nullptr);

    void setDescription(const QJsonObject &description);
    void setAutoWindow(int image, int channel, const QJsonObject &window);
    void keepImage();
    void offerExisting(const QString &descriptor);
    QString existing() const { return existingDescriptor; }
    QString folder() const;
    QStringList arguments() const;

signals:
    void imageChosen(int image);
    void measureWanted(int image, int channel);

public slots:
    void accept() override;

protected:
    void showEvent(QShowEvent *e) override;

private slots:
    void nameEdited(const QString &name);
    void browse();
    void settingsChanged();

private:
    enum autoState { unmeasured, measuring, measured };
    struct channelRow
    {
        int index = 0;
        QCheckBox *include = nullptr;
        QComboBox *choice = nullptr;
        QDoubleSpinBox *low = nullptr;
        QDoubleSpinBox *high = nullptr;
        autoState state = unmeasured;
    };

    void addChannel(const QJsonObject &channel);
    QString defaultFolder(const QString &name) const;
    int image() const;

    QStringList inputs;
    int images = 1;
    QString existingDescriptor;
    int describedImage = 0;
    bool nameTyped = false;
    bool autoPicked = false;
    bool folderEdited = false;
    bool force = false;

    QFormLayout *form;
    QLabel *fileLabel;
    QListWidget *fileList;
    QLabel *patternLabel;
    QLabel *formatLabel;
    QComboBox *imageBox;
    QLabel *sizeLabel;
    QLabel *frameLabel;
    QLabel *typeLabel;
    QLabel *bytesLabel;
    QLabel *warningsLabel;
    QGroupBox *channelBox;
    QGridLayout *channelGrid;
    QList<channelRow> channels;
    QLineEdit *nameEdit;
    QLineEdit *folderEdit;
    QPushButton *browseButton;
    QDialogButtonBox *buttonBox;
    QPushButton *importButton;
    QPushButton *existingButton = nullptr;

    friend class tst_importflow;
};

#endif
