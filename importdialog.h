#ifndef IMPORTDIALOG_H
#define IMPORTDIALOG_H

#include <QDialog>
#include <QJsonObject>
#include <QList>
#include <QRgb>

#include <optional>
#include <utility>

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

// What Save as Dataset is to write, shown from the importer's description
// of the recording before anything is written: the file or files, the
// image, the channels and their brightness, the dataset's name and folder.
class importdialog : public QDialog
{
    Q_OBJECT

public:
    // A channel as the window shows it.
    struct shownChannel
    {
        bool shown = true;
        QRgb colour = 0xffffffff;
        double low = 0;
        double high = 255;
    };

    explicit importdialog(QWidget *parent = nullptr);

    void setDescription(const QJsonObject &description);
    void setShown(const QList<shownChannel> &channels);
    void setAutoWindow(int image, int channel, const QJsonObject &window);
    void keepImage();
    QString folder() const;
    QStringList arguments() const;

    // The importer's words for the viewer's: menus rather than options.
    static QString viewerWords(QString text);

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
        QLabel *swatch = nullptr;
        std::optional<QRgb> colour;   // as shown, when it is to be kept
        std::optional<std::pair<double, double>> stored;   // the importer's default window, when not Auto
        autoState state = unmeasured;
    };

    void addChannel(const QJsonObject &channel);
    QString defaultFolder(const QString &name) const;
    int image() const;

    QStringList inputs;
    int images = 1;
    int describedImage = 0;
    bool nameTyped = false;
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

    friend class tst_importflow;
};

#endif
