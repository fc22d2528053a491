#include "importdialog.h"
#include "formats.h"

#include <QtWidgets>

#include <cmath>

namespace {

QString number(double value)
{
    return QString::number(value, 'g', 12);
}

QString windowText(double low, double high)
{
    return QStringLiteral("%1 – %2").arg(number(low), number(high));
}

// A window as the importer writes it: [low, high], or an object with low and high.
bool readWindow(const QJsonValue &value, double *low, double *high)
{
    if (value.isArray() && value.toArray().size() == 2) {
        *low = value[0].toDouble();
        *high = value[1].toDouble();
        return true;
    }
    if (value.isObject()) {
        *low = value[QLatin1String("low")].toDouble();
        *high = value[QLatin1String("high")].toDouble();
        return true;
    }
    return false;
}

QPixmap swatch(const QColor &colour)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(colour);
    return pixmap;
}

// What kind of recording the importer found, in words a user knows.
QString plainFormat(const QString &found)
{
    static const std::pair<const char *, const char *> kinds[] = {
        { "ImageJ hyperstack", "ImageJ hyperstack" }, { "ImageJ stack", "ImageJ stack" }, { "OME-TIFF", "OME-TIFF" },
        { "Zeiss LSM", "Zeiss LSM" }, { "PNG", "PNG file" }, { "JPEG", "JPEG file" }, { "OME-Zarr", "OME-Zarr" },
        { "Zarr", "Zarr array" },
    };
    if (QRegularExpression(QStringLiteral("^\\d+ files ")).match(found).hasMatch())
        return importdialog::tr("file series");
    for (const auto &[start, words] : kinds) {
        if (found.startsWith(QLatin1String(start)))
            return importdialog::tr(words);
    }
    return importdialog::tr("TIFF stack");
}

} // namespace

importdialog::importdialog(QWidget *parent)
    : QDialog(parent)
{
    fileLabel = new QLabel;
    fileLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    fileList = new QListWidget;
    fileList->setMaximumHeight(120);
    patternLabel = new QLabel;
    formatLabel = new QLabel;
    imageBox = new QComboBox;
    sizeLabel = new QLabel;
    frameLabel = new QLabel;
    typeLabel = new QLabel;
    bytesLabel = new QLabel;
    warningsLabel = new QLabel;
    warningsLabel->setWordWrap(true);

    channelBox = new QGroupBox(tr("Channels"));
    channelGrid = new QGridLayout(channelBox);

    nameEdit = new QLineEdit;
    nameEdit->setValidator(new QRegularExpressionValidator(QRegularExpression("(?!\\.\\.?$)[A-Za-z0-9._-]+"), nameEdit));
    nameEdit->setToolTip(tr("Letters, digits, '-', '_' and '.'"));
    folderEdit = new QLineEdit;
    folderEdit->setMinimumWidth(fontMetrics().horizontalAdvance(QLatin1Char('x')) * 40);
    browseButton = new QPushButton(tr("&Browse..."));
    // Enter is for the default button, wherever the focus is.
    browseButton->setAutoDefault(false);
    auto *folderRow = new QHBoxLayout;
    folderRow->addWidget(folderEdit);
    folderRow->addWidget(browseButton);

    buttonBox = new QDialogButtonBox;
    importButton = buttonBox->addButton(tr("&Save"), QDialogButtonBox::AcceptRole);
    buttonBox->addButton(QDialogButtonBox::Cancel);
    importButton->setDefault(true);
    importButton->setFocus();

    form = new QFormLayout;
    form->addRow(tr("File:"), fileLabel);
    form->addRow(tr("Files:"), fileList);
    form->addRow(tr("Names:"), patternLabel);
    form->addRow(tr("Format:"), formatLabel);
    form->addRow(tr("Image:"), imageBox);
    form->addRow(tr("Time points × focal planes × channels:"), sizeLabel);
    form->addRow(tr("Frame size:"), frameLabel);
    form->addRow(tr("Samples:"), typeLabel);
    form->addRow(tr("Dataset size:"), bytesLabel);
    form->addRow(tr("Warnings:"), warningsLabel);
    form->addRow(channelBox);
    form->addRow(tr("&Name:"), nameEdit);
    auto *folderLabel = new QLabel(tr("&Folder:"));
    folderLabel->setBuddy(folderEdit);
    form->addRow(folderLabel, folderRow);

    auto *mainLayout = new QVBoxLayout(this);
    mainLayout->addLayout(form);
    mainLayout->addWidget(buttonBox);

    connect(imageBox, &QComboBox::activated, this, &importdialog::imageChosen);
    connect(nameEdit, &QLineEdit::textEdited, this, &importdialog::nameEdited);
    connect(folderEdit, &QLineEdit::textEdited, this, [this] {
        folderEdited = true;
        settingsChanged();
    });
    connect(browseButton, &QPushButton::clicked, this, &importdialog::browse);
    connect(buttonBox, &QDialogButtonBox::accepted, this, &importdialog::accept);
    connect(buttonBox, &QDialogButtonBox::rejected, this, &importdialog::reject);

    setWindowTitle(tr("Save as Dataset"));
}

// Fills the dialog from the importer's --describe output; the name and
// folder as long as the user has not typed their own, since each image of a
// file has a name of its own.
void importdialog::setDescription(const QJsonObject &description)
{
    describedImage = description[QLatin1String("image")].toInt();
    inputs.clear();
    for (const QJsonValue &input : description[QLatin1String("inputs")].toArray())
        inputs << input.toString();
    const bool series = inputs.size() > 1;
    fileLabel->setText(inputs.value(0));
    if (auto *label = qobject_cast<QLabel *>(form->labelForField(fileLabel)))
        label->setText(isAddress(inputs.value(0)) ? tr("URL:") : tr("File:"));
    fileList->clear();
    for (const QString &input : inputs)
        fileList->addItem(QFileInfo(input).fileName());
    const QString pattern = description[QLatin1String("pattern")].toString();
    patternLabel->setText(pattern.isEmpty() ? tr("in the order of the numbers in them") : pattern);
    form->setRowVisible(fileLabel, !series);
    form->setRowVisible(fileList, series);
    form->setRowVisible(patternLabel, series);
    formatLabel->setText(plainFormat(description[QLatin1String("format")].toString()));

    const QJsonArray imageList = description[QLatin1String("images")].toArray();
    images = int(imageList.size());
    {
        const QSignalBlocker blocker(imageBox);
        imageBox->clear();
        for (const QJsonValue &item : imageList)
            imageBox->addItem(tr("%1: %2").arg(imageBox->count() + 1).arg(item[QLatin1String("name")].toString()));
        imageBox->setCurrentIndex(description[QLatin1String("image")].toInt());
    }
    form->setRowVisible(imageBox, images > 1);

    const QJsonArray channelList = description[QLatin1String("channels")].toArray();
    sizeLabel->setText(QStringLiteral("%1 × %2 × %3")
                               .arg(description[QLatin1String("times")].toInt())
                               .arg(description[QLatin1String("planes")].toInt())
                               .arg(channelList.size()));
    frameLabel->setText(tr("%1 × %2 pixels").arg(description[QLatin1String("width")].toInt())
                                .arg(description[QLatin1String("height")].toInt()));
    typeLabel->setText(description[QLatin1String("type")].toString());
    const int frames = description[QLatin1String("frames")].toInt();
    bytesLabel->setText(tr("about %1 (%2)")
                                .arg(locale().formattedDataSize(description[QLatin1String("estimatedBytes")].toInteger(),
                                                                1, QLocale::DataSizeSIFormat),
                                     frames == 1 ? tr("1 frame") : tr("%1 frames").arg(frames)));
    QStringList warnings;
    for (const QJsonValue &warning : description[QLatin1String("warnings")].toArray())
        warnings << viewerWords(warning.toString());
    warningsLabel->setText(warnings.join(QLatin1Char('\n')));
    form->setRowVisible(warningsLabel, !warnings.isEmpty());

    for (QWidget *child : channelBox->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
        delete child;
    channels.clear();
    for (const QJsonValue &channel : channelList)
        addChannel(channel.toObject());

    if (!nameTyped) {
        const QString name = description[QLatin1String("name")].toString();
        nameEdit->setText(name);
        if (!folderEdited)
            folderEdit->setText(defaultFolder(name));
    }
    settingsChanged();
}

// The channels as the window shows them: those shown included, each in its
// colour and with its window.
void importdialog::setShown(const QList<shownChannel> &shown)
{
    for (channelRow &row : channels) {
        if (row.index >= shown.size())
            continue;
        const shownChannel &channel = shown[row.index];
        row.include->setChecked(channel.shown);
        row.colour = channel.colour;
        row.swatch->setPixmap(swatch(QColor(channel.colour)));
        row.swatch->setToolTip(tr("%1, as shown").arg(QColor(channel.colour).name()));
        row.choice->setCurrentIndex(row.choice->findData(QStringLiteral("own")));
        row.low->setValue(channel.low);
        row.high->setValue(channel.high);
    }
    settingsChanged();
}

// Back to the image described, when another could not be.
void importdialog::keepImage()
{
    imageBox->setCurrentIndex(describedImage);
}

void importdialog::setAutoWindow(int image, int channel, const QJsonObject &window)
{
    if (image != this->image())
        return;
    for (channelRow &row : channels) {
        if (row.index != channel)
            continue;
        double low, high;
        const bool known = readWindow(window, &low, &high);
        row.state = measured;
        row.choice->setItemText(row.choice->findData(QStringLiteral("auto")),
                                tr("Auto (0.35 %): %1").arg(known ? windowText(low, high) : tr("not known")));
    }
}

QString importdialog::folder() const
{
    return QFileInfo(folderEdit->text()).absoluteFilePath();
}

// The importer's options for these settings (without the inputs).
QStringList importdialog::arguments() const
{
    QStringList options;
    if (images > 1)
        options << QStringLiteral("--image") << QString::number(image());
    QStringList included;
    for (const channelRow &row : channels) {
        if (row.include->isChecked())
            included << QString::number(row.index);
    }
    if (included.size() < channels.size())
        options << QStringLiteral("--channel") << included.join(QLatin1Char(','));
    for (const channelRow &row : channels) {
        if (!row.include->isChecked())
            continue;
        const QVariant kind = row.choice->currentData();
        // The importer's default, Auto, is for the importer to measure.
        if (kind == QLatin1String("auto") && !row.stored)
            continue;
        const QString window = kind == QLatin1String("auto")  ? QStringLiteral("auto")
                : kind == QLatin1String("default")             ? number(row.stored->first) + QLatin1Char(':') + number(row.stored->second)
                                                               : number(row.low->value()) + QLatin1Char(':') + number(row.high->value());
        options << QStringLiteral("--range") << QStringLiteral("%1=%2").arg(row.index).arg(window);
    }
    for (const channelRow &row : channels) {
        if (row.include->isChecked() && row.colour)
            options << QStringLiteral("--colour") << QStringLiteral("%1=%2").arg(row.index).arg(QColor(*row.colour).name());
    }
    options << QStringLiteral("--name") << nameEdit->text() << QStringLiteral("-o") << folder();
    if (force)
        options << QStringLiteral("--force");
    return options;
}

QString importdialog::viewerWords(QString text)
{
    static const std::pair<QRegularExpression, QString> words[] = {
        { QRegularExpression(QStringLiteral("\\(--image N picks another\\)")), tr("(Image › Image picks another)") },
        { QRegularExpression(QStringLiteral("; give --pattern.*$")),
          tr("; name the files with t, z or c before each number, as in cell_t5_z1.tif") },
        { QRegularExpression(QStringLiteral("; give --name$")), tr("; give the dataset a name") },
        { QRegularExpression(QStringLiteral(": import one position's files.*$")), tr(": open one position's files") },
    };
    for (const auto &[option, menu] : words)
        text.replace(option, menu);
    return text;
}

// An existing folder is replaced only when the user says so; a folder that
// cannot be written is said so, and the settings stay for another.
void importdialog::accept()
{
    force = false;
    QFileInfo parent(QFileInfo(folder()).absolutePath());
    if (!parent.isDir() || !parent.isWritable()) {
        QMessageBox::warning(this, tr("Save as Dataset"),
                             tr("%1 cannot be written. Choose another folder.").arg(QDir::toNativeSeparators(parent.filePath())));
        return;
    }
    if (QFileInfo::exists(folder())) {
        if (QMessageBox::question(this, tr("Save as Dataset"),
                                  tr("%1 exists already. Replace it with the new dataset?")
                                          .arg(QDir::toNativeSeparators(folder())))
            != QMessageBox::Yes)
            return;
        force = true;
    }
    QDialog::accept();
}

// The auto windows wanted are measured once the dialog is seen.
void importdialog::showEvent(QShowEvent *e)
{
    QDialog::showEvent(e);
    settingsChanged();
}

// The folder follows the name until the user picks one.
void importdialog::nameEdited(const QString &name)
{
    nameTyped = true;
    if (!folderEdited)
        folderEdit->setText(defaultFolder(name));
    settingsChanged();
}

void importdialog::browse()
{
    const QString parent = QFileDialog::getExistingDirectory(this, tr("Folder for the Dataset"),
                                                             QFileInfo(folder()).absolutePath());
    if (parent.isEmpty())
        return;
    folderEdit->setText(QDir::toNativeSeparators(QDir(parent).filePath(nameEdit->text())));
    folderEdited = true;
    settingsChanged();
}

// Asks for the auto windows now wanted, lets the user's own values be typed
// only where chosen, and allows Import only for settings the importer takes.
void importdialog::settingsChanged()
{
    bool valid = nameEdit->hasAcceptableInput() && !folderEdit->text().isEmpty();
    bool any = false;
    for (channelRow &row : channels) {
        const QVariant kind = row.choice->currentData();
        const bool own = kind == QLatin1String("own");
        row.low->setEnabled(own);
        row.high->setEnabled(own);
        if (!row.include->isChecked())
            continue;
        any = true;
        if (own && row.low->value() >= row.high->value())
            valid = false;
        if (kind == QLatin1String("auto") && row.state == unmeasured && isVisible()) {
            row.state = measuring;
            row.choice->setItemText(row.choice->findData(kind), tr("Auto (0.35 %): measuring…"));
            emit measureWanted(image(), row.index);
        }
    }
    importButton->setEnabled(valid && any);
}

// Choices of brightness: the importer's own default first, as it chooses
// it with no window given (the file's display range, else 8-bit samples as
// stored, else Auto), then Auto, then the user's own.  The description's
// window is that of the window shown, which is the user's own.
void importdialog::addChannel(const QJsonObject &channel)
{
    channelRow row;
    row.index = channel[QLatin1String("index")].toInt();
    const int line = int(channels.size());
    QString name = channel[QLatin1String("name")].toString();
    if (name.isEmpty())
        name = tr("Channel %1").arg(row.index + 1);
    row.include = new QCheckBox(name);
    row.include->setChecked(channel[QLatin1String("selected")].toBool(true));

    row.swatch = new QLabel;
    const QString colourName = channel[QLatin1String("colour")].toString();
    row.swatch->setPixmap(swatch(QColor(colourName)));
    row.swatch->setToolTip(channel[QLatin1String("colourFromFile")].toBool() ? tr("%1, from the file").arg(colourName)
                                                                             : tr("%1, the default").arg(colourName));

    row.choice = new QComboBox;
    row.choice->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    row.choice->setAccessibleName(tr("Brightness of %1").arg(name));
    double low = 0, high = 0;
    double typeLow = -1e9, typeHigh = 1e9;
    const bool integers = readWindow(channel[QLatin1String("typeWindow")], &typeLow, &typeHigh);
    if (readWindow(channel[QLatin1String("fileWindow")], &low, &high) && high > low && std::isfinite(high - low)) {
        row.stored = { low, high };
        row.choice->addItem(tr("From the file: %1").arg(windowText(low, high)), QStringLiteral("default"));
    } else if (integers && typeLow == 0 && typeHigh == 255) {
        low = 0;
        high = 255;
        row.stored = { low, high };
        row.choice->addItem(tr("As stored: %1").arg(windowText(low, high)), QStringLiteral("default"));
    } else if (!readWindow(channel[QLatin1String("window")], &low, &high)) {
        low = integers ? typeLow : 0;
        high = integers ? typeHigh : 1;
    }
    row.choice->addItem(tr("Auto (0.35 %)"), QStringLiteral("auto"));
    row.choice->addItem(tr("Your own:"), QStringLiteral("own"));

    // Integer samples get whole values within their type's range.
    row.low = new QDoubleSpinBox;
    row.high = new QDoubleSpinBox;
    for (QDoubleSpinBox *box : { row.low, row.high }) {
        box->setDecimals(integers ? 0 : 3);
        box->setRange(typeLow, typeHigh);
        connect(box, &QDoubleSpinBox::valueChanged, this, &importdialog::settingsChanged);
    }
    row.low->setValue(low);
    row.high->setValue(high);
    row.low->setAccessibleName(tr("Low"));
    row.high->setAccessibleName(tr("High"));

    channelGrid->addWidget(row.include, line, 0);
    channelGrid->addWidget(row.swatch, line, 1);
    channelGrid->addWidget(row.choice, line, 2);
    channelGrid->addWidget(row.low, line, 3);
    channelGrid->addWidget(row.high, line, 4);
    connect(row.include, &QCheckBox::toggled, this, &importdialog::settingsChanged);
    connect(row.choice, &QComboBox::currentIndexChanged, this, &importdialog::settingsChanged);
    channels << row;
}

// Beside the (first) input, or in the user's Pictures folder, made if it is
// missing, where that cannot be written or the input is a URL.
QString importdialog::defaultFolder(const QString &name) const
{
    QString parent = isAddress(inputs.value(0)) ? QString() : QFileInfo(inputs.value(0)).absolutePath();
    if (parent.isEmpty() || !QFileInfo(parent).isWritable()) {
        parent = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
        QDir().mkpath(parent);
    }
    return QDir::toNativeSeparators(QDir(parent).filePath(name));
}

int importdialog::image() const
{
    return std::max(imageBox->currentIndex(), 0);
}
