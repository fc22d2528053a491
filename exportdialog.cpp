#include "exportdialog.h"

#include <QtWidgets>

exportdialog::exportdialog(const QString &proposed, QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(tr("Export View"));
    file = new QLineEdit(QDir::toNativeSeparators(proposed), this);
    file->setMinimumWidth(fontMetrics().horizontalAdvance(QLatin1Char('x')) * 48);
    auto *browseButton = new QPushButton(tr("&Browse..."), this);
    browseButton->setAutoDefault(false);
    connect(browseButton, &QPushButton::clicked, this, &exportdialog::browse);
    formats = new QComboBox(this);
    formats->addItem(tr("PNG, as shown"));
    formats->addItem(tr("TIFF, as shown"));
    formats->addItem(tr("TIFF of the values, a page a channel shown"));
    connect(formats, &QComboBox::activated, this, &exportdialog::suffixFor);
    region = new QComboBox(this);
    region->addItem(tr("The region in view"));
    region->addItem(tr("The whole frame"));
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    QPushButton *save = buttons->addButton(tr("&Export"), QDialogButtonBox::AcceptRole);
    save->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto *fileRow = new QHBoxLayout;
    fileRow->addWidget(file, 1);
    fileRow->addWidget(browseButton);
    auto *form = new QFormLayout(this);
    form->addRow(tr("&File:"), fileRow);
    form->addRow(tr("F&orm:"), formats);
    form->addRow(tr("&Region:"), region);
    form->addRow(buttons);
}

QString exportdialog::fileName() const
{
    return QDir::fromNativeSeparators(file->text().trimmed());
}

exportdialog::kind exportdialog::format() const
{
    return kind(formats->currentIndex());
}

bool exportdialog::wholeFrame() const
{
    return region->currentIndex() == 1;
}

void exportdialog::browse()
{
    const QString chosen = QFileDialog::getSaveFileName(this, tr("Export View"), fileName(),
                                                        format() == png ? tr("PNG images (*.png)") : tr("TIFF images (*.tif *.tiff)"));
    if (!chosen.isEmpty())
        file->setText(QDir::toNativeSeparators(chosen));
}

// The file's suffix follows the form chosen.
void exportdialog::suffixFor(int chosen)
{
    const QFileInfo info(fileName());
    const QString suffix = chosen == png ? QStringLiteral("png") : QStringLiteral("tif");
    if (info.suffix().compare(suffix, Qt::CaseInsensitive) != 0)
        file->setText(QDir::toNativeSeparators(info.dir().filePath(info.completeBaseName() + QLatin1Char('.') + suffix)));
}
